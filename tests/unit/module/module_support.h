// Helpers of the module's tests: the module started as the host starts it, its capture loop on a thread
// of its own, and a UDP receiver on loopback for the debug stream.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bio_module.h"
#include "bio_test/module.h"
#include "ovra/plugin.h"

namespace module_test {

using namespace std::chrono_literals;

// Table rows print as their names, and CTest lists them so.
template <typename Row, typename = decltype(Row::name)>
std::ostream& operator<<(std::ostream& out, const Row& row) {
    return out << row.name;
}
inline const auto row_name = [](const auto& info) { return std::string(info.param.name); };

// The module's environment and the plug-in object init registers with.
struct Host {
    explicit Host(bio_test::ModuleEnvOptions options = {}) : env(std::move(options)) {}
    // Calls init as the host does; 1, or 0 with the reason in `error`.
    int start() { return init(&plugin, &error); }

    bio_test::ModuleEnv env;
    ovra::Plugin plugin;
    std::string error;
};

// Runs the capture loop on a thread of its own. The loop leaves only by an exception; the destructor
// forces one (every dequeue and every camera start fails) if the test has not, and joins the thread.
class RunThread {
public:
    RunThread()
        : thread_([this] {
              std::string text = "run returned";
              try {
                  run();
              } catch (const std::exception& e) {
                  text = e.what();
              }
              std::lock_guard<std::mutex> lock(mutex_);
              exit_text_ = text;
              ended_.notify_all();
          }) {}
    ~RunThread() {
        if (!wait_exit(0ms)) {
            vsensor::add_fault({vsensor::Call::dqbuf, ENODEV, 0, -1});
            vsensor::add_fault({vsensor::Call::open, ENODEV, 0, -1});
            set_enabled(true);
        }
        wait_exit(20s) ? thread_.join() : thread_.detach();
    }
    RunThread(const RunThread&) = delete;
    RunThread& operator=(const RunThread&) = delete;

    std::thread::id id() const noexcept { return thread_.get_id(); }
    // The text of the exception that ended the loop, or nullopt while it still runs after `timeout`.
    std::optional<std::string> wait_exit(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        ended_.wait_for(lock, timeout, [this] { return exit_text_.has_value(); });
        return exit_text_;
    }

private:
    std::mutex mutex_;
    std::condition_variable ended_;
    std::optional<std::string> exit_text_;
    std::thread thread_;
};

// A UDP socket bound on 127.0.0.1 (an ephemeral port) with room for a whole raw frame in its queue.
class Receiver {
public:
    Receiver() {
        const int queue_bytes = 8 << 20;
        if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &queue_bytes, sizeof queue_bytes) != 0) {
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &queue_bytes, sizeof queue_bytes);
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            port_ = ntohs(address.sin_port);
        }
    }
    ~Receiver() { close(fd_); }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    int port() const { return port_; }
    // The next datagram, or nullopt after `timeout`.
    std::optional<std::vector<unsigned char>> next(std::chrono::milliseconds timeout = 2s) {
        pollfd p{fd_, POLLIN, 0};
        std::vector<unsigned char> data(65536);
        if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) {
            return std::nullopt;
        }
        const ssize_t n = recv(fd_, data.data(), data.size(), 0);
        data.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
        return data;
    }

private:
    int fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    int port_ = 0;
};

}  // namespace module_test
