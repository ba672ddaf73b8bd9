// bio-stream's socket reader.
#include "receive_thread.h"

#include <linux/sock_diag.h>  // SK_MEMINFO_DROPS
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace bio_stream {

namespace {

constexpr int batch = 16;                  // datagrams a system call takes at most
constexpr std::size_t largest = 65536;     // larger than any UDP payload over IPv4
constexpr int longest_wait_ms = 100;       // a stop is seen within this
constexpr auto drain_time = std::chrono::milliseconds(100);

// The memory a queued datagram takes: its bytes, its entry and the allocator's share, so that a flood of
// small datagrams is held to the bound as well as one of large ones.
std::size_t held(std::size_t size) {
    return size + sizeof(Datagram) + 32;
}

}  // namespace

ReceiveThread::ReceiveThread(int sock, std::optional<in_addr_t> only, std::size_t queue_bytes, int truth_sock,
                             TruthBook* truths)
    : sock_(sock),
      only_(only),
      queue_bytes_(queue_bytes),
      truth_sock_(truths != nullptr ? truth_sock : -1),
      truths_(truths),
      thread_([this] { run(); }) {}

ReceiveThread::~ReceiveThread() {
    stopping_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
}

void ReceiveThread::run() noexcept {
    try {
        std::chrono::steady_clock::time_point drain_end = std::chrono::steady_clock::time_point::max();
        for (;;) {
            if (stopping_) {
                if (!draining_) {
                    break;
                }
                if (drain_end == std::chrono::steady_clock::time_point::max()) {
                    drain_end = std::chrono::steady_clock::now() + drain_time;
                }
                read_truths();
                if (!read_batch() || std::chrono::steady_clock::now() >= drain_end) {
                    break;
                }
                continue;
            }
            pollfd waiting[2] = {{sock_, POLLIN, 0}, {truth_sock_, POLLIN, 0}};  // a negative fd is skipped
            if (::poll(waiting, 2, longest_wait_ms) == -1 && errno != EINTR) {
                throw std::system_error(errno, std::generic_category(), "poll");
            }
            do {
                read_truths();
            } while (!stopping_ && read_batch());
        }
    } catch (...) {
        const std::lock_guard<std::mutex> lock(mutex_);
        failure_ = std::current_exception();
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    ready_.notify_all();
}

bool ReceiveThread::read_batch() {
    // Kept between calls: the thread's own buffers, taken once.
    thread_local std::vector<unsigned char> buffers(batch * largest);
    union Control {
        cmsghdr header;
        unsigned char bytes[CMSG_SPACE(sizeof(std::uint32_t))];
    };
    thread_local std::vector<Control> controls(batch);
    mmsghdr messages[batch] = {};
    iovec slices[batch];
    sockaddr_in senders[batch];
    for (int i = 0; i < batch; ++i) {
        slices[i] = {buffers.data() + i * largest, largest};
        messages[i].msg_hdr.msg_iov = &slices[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_name = &senders[i];
        messages[i].msg_hdr.msg_namelen = sizeof senders[i];
        messages[i].msg_hdr.msg_control = controls[i].bytes;
        messages[i].msg_hdr.msg_controllen = sizeof controls[i].bytes;
    }
    const int got = ::recvmmsg(sock_, messages, batch, MSG_DONTWAIT, nullptr);
    if (got == -1) {
        if (errno == EAGAIN || errno == EINTR) {  // EWOULDBLOCK is EAGAIN on Linux
            return false;
        }
        throw std::system_error(errno, std::generic_category(), "recv");
    }
    const std::uint64_t now_ns = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start_).count());
    for (int i = 0; i < got; ++i) {
        std::optional<std::uint32_t> kernel;
        for (cmsghdr* c = CMSG_FIRSTHDR(&messages[i].msg_hdr); c != nullptr;
             c = CMSG_NXTHDR(&messages[i].msg_hdr, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                std::uint32_t value = 0;
                std::memcpy(&value, CMSG_DATA(c), sizeof value);
                kernel = value;
            }
        }
        // The count is only attached once the kernel has dropped something.
        const std::uint32_t drops = kernel ? *kernel - kernel_count_.value_or(0) : 0;
        if (kernel) {
            kernel_count_ = kernel;
        }
        if (only_ && senders[i].sin_addr.s_addr != *only_) {
            ++foreign_;
            unreported_ += drops;
            kernel_dropped_ += drops;
            continue;
        }
        take(buffers.data() + i * largest, messages[i].msg_len, drops, now_ns);
    }
    return got == batch;
}

// Takes every truth datagram waiting; what is not one, or comes from another address than the stream's,
// is left out. A failing truth socket only ends the truth: the stream goes on.
void ReceiveThread::read_truths() {
    if (truth_sock_ < 0) {
        return;
    }
    unsigned char datagram[recording::truth_datagram_bytes + 1];
    for (;;) {
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        const ssize_t got = ::recvfrom(truth_sock_, datagram, sizeof datagram, MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&sender), &length);
        if (got < 0) {
            return;
        }
        if (!only_ || sender.sin_addr.s_addr == *only_) {
            truths_->add(datagram, static_cast<std::size_t>(got));
        }
    }
}

void ReceiveThread::take(const unsigned char* data, std::size_t size, std::uint32_t kernel_drops,
                         std::uint64_t now_ns) {
    kernel_dropped_ += kernel_drops;
    unreported_ += kernel_drops;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        // Full: drop until a frame's header finds room, so that whole frames go rather than pieces of many.
        const bool room = queued_bytes_ + held(size) <= queue_bytes_;
        skipping_ = !room || (skipping_ && size != header_datagram_bytes);
        if (!skipping_) {
            // Slots and their buffers are used again: no memory is taken or given back per datagram. A
            // buffer much larger than the datagram is given back, so that they stay within the bound too.
            if (incoming_count_ == incoming_.size()) {
                incoming_.emplace_back();
            }
            Datagram& slot = incoming_[incoming_count_++];
            if (slot.bytes.capacity() > 2 * size + 64) {
                slot.bytes = std::vector<unsigned char>(data, data + size);
            } else {
                slot.bytes.assign(data, data + size);
            }
            slot.arrival = Arrival{unreported_, static_cast<double>(now_ns) / 1e9};
            queued_bytes_ += held(size);
            unreported_ = 0;
            ready_.notify_one();
            return;
        }
    }
    ++unreported_;
    ++queue_dropped_;
}

bool ReceiveThread::pop(Datagram& datagram, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (taken_ == batch_count_) {
        if (!ready_.wait_for(lock, wait, [this] { return incoming_count_ != 0 || ended_; }) || incoming_count_ == 0) {
            return false;
        }
        std::swap(batch_, incoming_);
        batch_count_ = incoming_count_;
        incoming_count_ = 0;
        taken_ = 0;
    }
    Datagram& slot = batch_[taken_++];
    std::swap(datagram.bytes, slot.bytes);
    datagram.arrival = slot.arrival;
    queued_bytes_ -= held(datagram.bytes.size());
    return true;
}

void ReceiveThread::stop(bool drain) {
    draining_ = drain;
    stopping_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    if (failure_) {
        std::rethrow_exception(failure_);
    }
}

std::uint64_t ReceiveThread::discard() {
    std::uint64_t dropped = unreported_;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        // Each left, and those dropped before it.
        for (std::size_t i = taken_; i < batch_count_; ++i) {
            dropped += 1 + batch_[i].arrival.dropped_before;
        }
        for (std::size_t i = 0; i < incoming_count_; ++i) {
            dropped += 1 + incoming_[i].arrival.dropped_before;
        }
        queue_dropped_ += batch_count_ - taken_ + incoming_count_;
        taken_ = batch_count_ = incoming_count_ = 0;
        queued_bytes_ = 0;
    }
    // What the kernel dropped after the last datagram read.
    std::uint32_t info[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof info;
    if (::getsockopt(sock_, SOL_SOCKET, SO_MEMINFO, info, &length) == 0 && length > SK_MEMINFO_DROPS * 4) {
        const std::uint32_t late = info[SK_MEMINFO_DROPS] - kernel_count_.value_or(0);
        kernel_dropped_ += late;
        dropped += late;
    }
    unreported_ = 0;
    return dropped;
}

}  // namespace bio_stream
