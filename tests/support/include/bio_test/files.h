// Temporary directories and whole-file reads and writes for every test suite.
#pragma once

#include <string>

namespace bio_test {

// A fresh directory under $TMPDIR (or /tmp), removed with its content on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const noexcept { return path_; }
    // path() + "/" + name.
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Writes `content` to `path` byte for byte (no line end added); throws std::runtime_error.
void write_file(const std::string& path, const std::string& content);
// The whole content of `path`; throws std::system_error when it cannot be read.
std::string read_file(const std::string& path);

}  // namespace bio_test
