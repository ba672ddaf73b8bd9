// Child processes of the hardening tests: posix_spawn with two pipes and a reader thread.
#include "child.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace hardening {

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "hardening-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp");
    }
    path = pattern;
}

std::string text_of(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

unsigned mode_of(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

std::chrono::milliseconds scaled(std::chrono::milliseconds bound) {
    const char* emulator = std::getenv("BIO_TEST_EMULATOR");
    return emulator != nullptr && *emulator != '\0' ? bound * 5 : bound;
}

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    const char* emulator = std::getenv("BIO_TEST_EMULATOR");
    std::vector<std::string> args;
    std::istringstream words(emulator != nullptr ? emulator : "");
    for (std::string word; words >> word;) {
        args.push_back(word);
    }
    args.insert(args.end(), argv.begin(), argv.end());
    std::vector<std::string> environment(env);
    if (args.size() > argv.size()) {
        environment.push_back(std::string("BIO_EMULATOR=") + emulator);  // bio-host runs itself again
    }
    for (char** entry = environ; *entry != nullptr; ++entry) {
        environment.emplace_back(*entry);  // later duplicates lose to the ones given
    }
    std::vector<char*> raw_args;
    std::vector<char*> raw_env;
    for (std::string& arg : args) {
        raw_args.push_back(arg.data());
    }
    for (std::string& entry : environment) {
        raw_env.push_back(entry.data());
    }
    raw_args.push_back(nullptr);
    raw_env.push_back(nullptr);
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    const int failed = ::posix_spawnp(&pid_, raw_args[0], &actions, nullptr, raw_args.data(), raw_env.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    input_ = in[1];
    if (failed != 0) {
        pid_ = -1;
        ::close(out[0]);
        throw std::runtime_error("cannot start " + args.front());
    }
    reader_ = std::thread([this, fd = out[0]] {
        char chunk[4096];
        ssize_t got;
        while ((got = ::read(fd, chunk, sizeof chunk)) > 0 || (got < 0 && errno == EINTR)) {
            std::lock_guard<std::mutex> lock(mutex_);
            output_.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
            changed_.notify_all();
        }
        ::close(fd);
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        changed_.notify_all();
    });
}

Child::~Child() {
    wait_exit(0ms);
    ::close(input_);
    reader_.join();
}

void Child::write(const std::string& text) {
    if (::write(input_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        throw std::runtime_error("write to child");
    }
}

void Child::signal(int number) const {
    if (pid_ > 0) {
        ::kill(pid_, number);
    }
}

bool Child::wait_for(const std::string& text, std::chrono::milliseconds bound) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, bound, [&] {
        return output_.find(text) != std::string::npos || closed_;
    }) && output_.find(text) != std::string::npos;
}

int Child::wait_exit(std::chrono::milliseconds bound) {
    if (pid_ <= 0) {
        return -1;
    }
    bool ended = false;
    {
        // The output pipe ends with the last process that holds it.
        std::unique_lock<std::mutex> lock(mutex_);
        ended = changed_.wait_for(lock, bound, [&] { return closed_; });
    }
    if (!ended) {
        ::kill(pid_, SIGKILL);
    }
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    if (!ended) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string Child::output() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_;
}

}  // namespace hardening
