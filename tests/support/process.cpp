// Child processes of the tests: fork and exec with two pipes, output read with poll on the
// caller's thread.
#include "bio_test/process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "bio_common/text.h"

namespace bio_test {

std::string emulator() {
    const char* from_env = std::getenv("BIO_EMULATOR");
    return from_env != nullptr ? from_env : BIO_TEST_EMULATOR_DEFAULT;
}

Process::Process(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                 const std::string& input) {
    // env(1) runs natively and sets the variables; the emulator passes them on to the program.
    std::vector<std::string> args{"env"};
    const std::vector<std::string> emulator_words = bio_common::split_words(emulator());
    for (const auto* part : {&env, &emulator_words, &argv}) {
        args.insert(args.end(), part->begin(), part->end());
    }
    std::vector<char*> raw;
    for (std::string& arg : args) {
        raw.push_back(arg.data());
    }
    raw.push_back(nullptr);
    // Standard input is written before the child exists, so a child that leaves early cannot
    // raise SIGPIPE here (the inputs are far below a pipe's capacity).
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size()) ||
        (pid_ = ::fork()) < 0) {
        throw std::runtime_error("cannot start " + argv.at(0));
    }
    if (pid_ == 0) {
        // Async-signal-safe calls only. The stop signals are handled by default: an ignored one
        // would be lost even to a child that blocks it to take it with sigtimedwait.
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(out[1], 2);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
        ::signal(SIGPIPE, SIG_DFL);
        ::execvp(raw[0], raw.data());
        ::_exit(127);
    }
    for (int fd : {in[0], in[1], out[1]}) {
        ::close(fd);
    }
    out_.reset(out[0]);
}

Process::~Process() {
    if (status_ == -2) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool Process::wait_line(const std::function<bool(const std::string&)>& match,
                        std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (std::size_t next = 0;;) {
        for (; next < lines_.size(); ++next) {
            if (match(lines_[next])) {
                return true;
            }
        }
        const long long left = (deadline - std::chrono::steady_clock::now()) / std::chrono::milliseconds(1);
        pollfd ready{out_.get(), POLLIN, 0};
        const int polled = out_ && left > 0 ? ::poll(&ready, 1, static_cast<int>(left) + 1) : 0;
        char buffer[65536];
        const ssize_t got = polled > 0 ? ::read(out_.get(), buffer, sizeof buffer) : -1;
        if (polled == 0) {
            return false;
        } else if (got > 0) {
            partial_.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            out_.reset();
            partial_ += partial_.empty() ? "" : "\n";  // the last line may lack its end
        }
        for (std::size_t end; (end = partial_.find('\n')) != std::string::npos; partial_.erase(0, end + 1)) {
            lines_.push_back(partial_.substr(0, end));
        }
    }
}

int Process::wait_exit(std::chrono::milliseconds timeout) {
    wait_line([](const std::string&) { return false; }, timeout);
    if (out_) {  // the output has not ended in time
        ::kill(pid_, SIGKILL);
    }
    // The output has ended or the child was killed: it is leaving, and waitpid returns soon.
    int status = 0;
    ::waitpid(pid_, &status, 0);
    status_ = out_ ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
}

}  // namespace bio_test
