// What the hardening tests share: programs of this build run as children (standard output and
// error gathered from one pipe, standard input on another, every wait bounded) and files.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace hardening {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// A fresh directory under the temporary directory, removed with its content.
struct TempDir {
    fs::path path;
    TempDir();
    ~TempDir() { fs::remove_all(path); }
};

// The whole content of a file ("" when it cannot be read); the permission bits of a path
// itself, links not followed (0 when it does not exist).
std::string text_of(const fs::path& path);
unsigned mode_of(const fs::path& path);

// Bounds scaled for emulated (qemu-arm) runs, which are several times slower.
std::chrono::milliseconds scaled(std::chrono::milliseconds bound);

class Child {
public:
    // Starts argv (behind the emulator prefix of BIO_TEST_EMULATOR) with `env` ("NAME=VALUE")
    // added to this process's environment.
    explicit Child(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
    // Kills (SIGKILL) and reaps a child that still runs.
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    void write(const std::string& text);
    void signal(int number) const;
    // True once the output holds `text`; false when `bound` passes or the output ends first.
    bool wait_for(const std::string& text, std::chrono::milliseconds bound);
    // The exit status (128 + signal number after a signal); -1 when the child has not ended
    // within `bound`, after which it is killed.
    int wait_exit(std::chrono::milliseconds bound);
    std::string output() const;

private:
    pid_t pid_ = -1;
    int input_ = -1;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string output_;
    bool closed_ = false;
    std::thread reader_;
};

}  // namespace hardening
