// The scores of every frame bio-stream has seen, in arrival order, written by the receive loop and
// read by the page's server threads without a lock, so that no reader ever holds up reception.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace bio_stream {

// Append-only log with one writer and any number of readers. Entries never move once written:
// they live in fixed chunks, and the count is published after the entry it covers.
class ScoreLog {
public:
    struct Entry {
        std::uint64_t number = 0;  // the frame's number (bio-stream counts frames from 1)
        double seconds = 0;        // arrival, seconds after bio-stream started
        std::int32_t score = 0;
    };

    ScoreLog() = default;
    ScoreLog(const ScoreLog&) = delete;
    ScoreLog& operator=(const ScoreLog&) = delete;
    ~ScoreLog();

    // Writer only. Returns false, keeping nothing, once the log is full (about 100 days at 30 frames
    // per second) or memory runs out.
    bool append(const Entry& entry) noexcept;

    // Entries [0, size()) may be read from any thread.
    std::size_t size() const noexcept { return size_.load(std::memory_order_acquire); }
    const Entry& operator[](std::size_t index) const noexcept {
        return chunks_[index / chunk_entries].load(std::memory_order_relaxed)[index % chunk_entries];
    }

    // Entries that arrived in the `window` seconds before `now` (seconds after start), divided by the
    // window: the frame rate as seen lately.
    double rate(double now, double window) const noexcept;

private:
    static constexpr std::size_t chunk_entries = std::size_t{1} << 16;
    static constexpr std::size_t max_chunks = std::size_t{1} << 12;

    std::array<std::atomic<Entry*>, max_chunks> chunks_{};
    std::atomic<std::size_t> size_{0};
};

}  // namespace bio_stream
