// Temporary directories and whole-file reads and writes (see bio_test/files.h).
#include "bio_test/files.h"

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "bio_common/text.h"

namespace bio_test {

TempDir::TempDir() : path_((std::filesystem::temp_directory_path() / "bio_test.XXXXXX").string()) {
    if (mkdtemp(path_.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp " + path_);
    }
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.write(content.data(), static_cast<std::streamsize>(content.size())).flush()) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::string read_file(const std::string& path) {
    return bio_common::read_file(path);
}

}  // namespace bio_test
