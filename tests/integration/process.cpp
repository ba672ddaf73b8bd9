// Process driver of the integration tests: posix_spawn with three pipes and reader threads.
#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace bio_it {
namespace {

void make_pipe(int fds[2]) {
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
}

}  // namespace

std::string emulator_string() {
    if (const char* from_env = std::getenv("BIO_EMULATOR"); from_env != nullptr) {
        return from_env;
    }
    return BIO_TEST_EMULATOR_DEFAULT;
}

std::vector<std::string> emulator_prefix() {
    std::istringstream in(emulator_string());
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

Process::Process(const std::vector<std::string>& argv, const Environment& env) {
    std::vector<std::string> args = emulator_prefix();
    args.insert(args.end(), argv.begin(), argv.end());

    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const auto equals = text.find('=');
        if (equals != std::string::npos) {
            merged[text.substr(0, equals)] = text.substr(equals + 1);
        }
    }
    for (const auto& [name, value] : env) {
        merged[name] = value;
    }
    std::vector<std::string> env_text;
    for (const auto& [name, value] : merged) {
        env_text.push_back(name + "=" + value);
    }
    std::vector<char*> raw_args;
    for (std::string& arg : args) {
        raw_args.push_back(arg.data());
    }
    raw_args.push_back(nullptr);
    std::vector<char*> raw_env;
    for (std::string& entry : env_text) {
        raw_env.push_back(entry.data());
    }
    raw_env.push_back(nullptr);

    int in_pipe[2];
    int out_pipe[2];
    int err_pipe[2];
    make_pipe(in_pipe);
    make_pipe(out_pipe);
    make_pipe(err_pipe);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    // The child gets default signal handling and an empty signal mask.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t all_defaults;
    sigemptyset(&all_defaults);
    sigaddset(&all_defaults, SIGPIPE);
    sigaddset(&all_defaults, SIGINT);
    sigaddset(&all_defaults, SIGTERM);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all_defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const int result =
        ::posix_spawnp(&pid_, raw_args[0], &actions, &attributes, raw_args.data(), raw_env.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(in_pipe[0]);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    if (result != 0) {
        ::close(in_pipe[1]);
        ::close(out_pipe[0]);
        ::close(err_pipe[0]);
        throw std::runtime_error("cannot start " + args.front() + ": " + std::strerror(result));
    }
    stdin_fd_ = in_pipe[1];
    out_reader_ = std::thread([this, fd = out_pipe[0]] { read_stream(fd, true); });
    err_reader_ = std::thread([this, fd = err_pipe[0]] { read_stream(fd, false); });
}

Process::~Process() {
    if (!status_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    close_stdin();
    out_reader_.join();
    err_reader_.join();
}

void Process::read_stream(int fd, bool is_stdout) {
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (got <= 0) {
            if (is_stdout) {
                if (!partial_out_.empty()) {
                    out_lines_.push_back(partial_out_);
                    partial_out_.clear();
                }
                out_closed_ = true;
            } else {
                err_closed_ = true;
            }
            changed_.notify_all();
            break;
        }
        if (!is_stdout) {
            err_text_.append(buffer, static_cast<std::size_t>(got));
            continue;
        }
        partial_out_.append(buffer, static_cast<std::size_t>(got));
        std::size_t start = 0;
        for (std::size_t end; (end = partial_out_.find('\n', start)) != std::string::npos; start = end + 1) {
            out_lines_.push_back(partial_out_.substr(start, end - start));
        }
        partial_out_.erase(0, start);
        changed_.notify_all();
    }
    ::close(fd);
}

void Process::write_line(const std::string& line) {
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (stdin_fd_ >= 0 && done < text.size()) {
        const ssize_t wrote = ::write(stdin_fd_, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            throw std::runtime_error(std::string("write to child: ") + std::strerror(errno));
        }
        done += static_cast<std::size_t>(wrote);
    }
}

void Process::close_stdin() {
    if (stdin_fd_ >= 0) {
        ::close(stdin_fd_);
        stdin_fd_ = -1;
    }
}

void Process::send_signal(int signal) {
    if (!status_) {
        ::kill(pid_, signal);
    }
}

std::vector<std::string> Process::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_lines_;
}

std::string Process::stderr_text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return err_text_;
}

std::optional<std::size_t> Process::wait_line(const std::function<bool(const std::string&)>& match,
                                              std::chrono::milliseconds timeout, std::size_t from) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lock(mutex_);
    std::size_t next = from;
    for (;;) {
        for (; next < out_lines_.size(); ++next) {
            if (match(out_lines_[next])) {
                return next;
            }
        }
        if (out_closed_) {
            return std::nullopt;
        }
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout && next >= out_lines_.size()) {
            return std::nullopt;
        }
    }
}

std::optional<int> Process::wait_exit(std::chrono::milliseconds timeout) {
    if (status_) {
        return status_;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    {
        // The output pipes close when the process ends.
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_until(lock, deadline, [this] { return out_closed_ && err_closed_; });
    }
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            status_ = -1;
            return std::nullopt;
        }
        // The pipes are closed, so the process is on its way out: look again shortly.
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::milliseconds(5));
    }
}

}  // namespace bio_it
