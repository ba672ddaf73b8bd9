// A program of this build run as a child process, with a text on its standard input and its
// output lines collected; under qemu-user the build's emulator runs it.
#pragma once

#include <signal.h>  // kill, pid_t

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "bio_common/unique_fd.h"

namespace bio_test {

// The command that runs this build's programs: $BIO_EMULATOR if set, else the build's emulator
// ("qemu-arm -L ..." in a cross build, empty natively).
std::string emulator();

class Process {
public:
    // Starts `argv` (argv[0] a path) behind the emulator, with the "NAME=value" entries of `env`
    // added to its environment and `input` as the whole of its standard input. A program that
    // cannot be started ends with status 127.
    explicit Process(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                     const std::string& input = "");
    // Kills (SIGKILL) and reaps a child that still runs.
    ~Process();

    // Reads output until a line satisfies `match`; false when the output ends or `timeout`
    // passes first.
    bool wait_line(const std::function<bool(const std::string&)>& match, std::chrono::milliseconds timeout);
    // Reads the output to its end and reaps the child (once): its exit status, 128 + the signal
    // that ended it, or -1 when it did not end within `timeout` (it is killed then).
    int wait_exit(std::chrono::milliseconds timeout);
    void signal(int number) { ::kill(pid_, number); }

    // The lines (without line ends) of standard output and standard error, in the order written.
    const std::vector<std::string>& lines() const noexcept { return lines_; }

private:
    pid_t pid_ = -1;
    int status_ = -2;  // -2 until reaped
    bio_common::unique_fd out_;
    std::string partial_;  // output after the last line end
    std::vector<std::string> lines_;
};

}  // namespace bio_test
