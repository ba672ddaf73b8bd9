// Black-box process driver of the integration tests: starts a program with pipes on its
// standard streams, collects its output lines, and waits for lines and exit with time limits.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace bio_it {

using Environment = std::vector<std::pair<std::string, std::string>>;

// A running child process. The emulator prefix (see emulator_prefix()) is put in front of
// `argv` so that target-architecture programs run under qemu in a cross build.
class Process {
public:
    // Starts argv[0] (searched in PATH when it has no '/') with this process's environment
    // plus `env` (which wins). Raises std::runtime_error when the program cannot be started.
    Process(const std::vector<std::string>& argv, const Environment& env = {});
    // Kills the process (SIGKILL) if it still runs and reaps it.
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const noexcept { return pid_; }

    // Writes one line (a '\n' is added) to the child's standard input.
    void write_line(const std::string& line);
    void close_stdin();
    void send_signal(int signal);

    // Lines of standard output so far (without their '\n').
    std::vector<std::string> lines() const;
    std::string stderr_text() const;

    // Waits until a line at index >= `from` satisfies `match`; returns its index, or nullopt
    // when `timeout` passes or the output ends first.
    std::optional<std::size_t> wait_line(const std::function<bool(const std::string&)>& match,
                                         std::chrono::milliseconds timeout, std::size_t from = 0) const;

    // Waits for the process to end; returns its exit status (128 + signal number when a
    // signal ended it), or nullopt on time-out, after which the process is killed.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout);

private:
    void read_stream(int fd, bool is_stdout);

    pid_t pid_ = -1;
    int stdin_fd_ = -1;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> out_lines_;
    std::string partial_out_;
    std::string err_text_;
    bool out_closed_ = false;
    bool err_closed_ = false;
    std::optional<int> status_;
    std::thread out_reader_;
    std::thread err_reader_;
};

// The command prefix that runs target programs: $BIO_EMULATOR if set, else the build's
// emulator (empty natively), split at blanks.
std::vector<std::string> emulator_prefix();
std::string emulator_string();

}  // namespace bio_it
