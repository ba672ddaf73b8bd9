// bio-stream's socket reader: a thread that does nothing but take datagrams off the socket, with the
// kernel's count of those it dropped, into a bounded queue, so that pictures, tables, recordings and the
// page, made on another thread, never hold the socket up. When the queue is full it drops datagrams and
// says how many went before the next one it queues.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "reassembler.h"
#include "truth_book.h"

namespace bio_stream {

// Memory of queued datagrams bio-stream holds at most unless told otherwise: some 100 raw frames, more
// than 3 s of a raw stream at 30 frames per second.
constexpr std::size_t default_queue_bytes = std::size_t{64} << 20;

struct Datagram {
    std::vector<unsigned char> bytes;
    Arrival arrival;  // dropped_before: by the kernel and by the queue, both
};

class ReceiveThread {
public:
    // Reads `sock` (bound, with SO_RXQ_OVFL on) on a thread of its own; datagrams from another address
    // than `only` (network order) are dropped and counted as foreign. With a `truth_sock` (-1: none), the
    // truth datagrams it receives go into `truths`, read before each batch of the stream: a frame's truth,
    // sent before the frame, is in the book before the frame's last datagram is queued.
    ReceiveThread(int sock, std::optional<in_addr_t> only, std::size_t queue_bytes, int truth_sock = -1,
                  TruthBook* truths = nullptr);
    ~ReceiveThread();
    ReceiveThread(const ReceiveThread&) = delete;
    ReceiveThread& operator=(const ReceiveThread&) = delete;

    // The oldest queued datagram; false when none came within `wait`, or none will come any more.
    bool pop(Datagram& datagram, std::chrono::milliseconds wait);
    // Ends reading: after what the socket holds (read for at most 0.1 s) when `drain`, else at once.
    // Returns once the thread has ended. Throws what failed the socket, if anything did.
    void stop(bool drain);
    // After stop: datagrams still queued are dropped and counted as the queue's; returns how many datagrams
    // the reassembly has not been told of: those, those dropped before them, and those the kernel dropped
    // after the last one read.
    std::uint64_t discard();

    std::uint64_t kernel_dropped() const noexcept { return kernel_dropped_.load(); }
    std::uint64_t queue_dropped() const noexcept { return queue_dropped_.load(); }
    std::uint64_t foreign() const noexcept { return foreign_.load(); }

private:
    void run() noexcept;
    bool read_batch();  // false: the socket had nothing more
    void read_truths();
    void take(const unsigned char* data, std::size_t size, std::uint32_t kernel_drops, std::uint64_t now_ns);

    const int sock_;
    const std::optional<in_addr_t> only_;
    const std::size_t queue_bytes_;
    const int truth_sock_;
    TruthBook* const truths_;
    std::mutex mutex_;
    std::condition_variable ready_;
    // The queue: the reader fills `incoming_`; the writer takes it whole when it has handed out `batch_`.
    std::vector<Datagram> incoming_;
    std::size_t incoming_count_ = 0;
    std::vector<Datagram> batch_;
    std::size_t batch_count_ = 0;
    std::size_t taken_ = 0;
    std::size_t queued_bytes_ = 0;  // of both
    bool ended_ = false;  // the thread has ended: nothing more is queued
    std::exception_ptr failure_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> draining_{false};
    std::atomic<std::uint64_t> kernel_dropped_{0};
    std::atomic<std::uint64_t> queue_dropped_{0};
    std::atomic<std::uint64_t> foreign_{0};
    // The reading thread's own.
    std::optional<std::uint32_t> kernel_count_;  // SO_RXQ_OVFL's count at the last datagram
    std::uint64_t unreported_ = 0;               // dropped since the last datagram queued
    bool skipping_ = false;                      // dropping until a header finds room
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::thread thread_;
};

}  // namespace bio_stream
