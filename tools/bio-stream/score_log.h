// The scores of the latest frames bio-stream has seen, in arrival order: a ring of a fixed length,
// written by the receive loop and read by the page's server, so that whatever arrives on the stream
// port the page's memory stays bounded.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace bio_stream {

// Scores the page keeps unless told otherwise: about 9.7 hours at 30 frames per second, 24 MiB.
constexpr std::size_t default_scores_kept = std::size_t{1} << 20;

// A ring of entries numbered from 0 in the order they were appended. Once it holds `capacity`
// entries, each new one replaces the oldest. Memory is taken in pieces as the ring fills.
// One writer and any number of readers; the lock is held only to copy entries, never while a reader
// waits for anything else.
class ScoreLog {
public:
    struct Entry {
        std::uint64_t number = 0;  // the frame's number (bio-stream counts frames from 1)
        double seconds = 0;        // arrival, seconds after bio-stream started
        std::int32_t score = 0;
        std::uint8_t state = 0;            // 0 whole, 1 cut short, 2 payload lost
        std::uint32_t missing_before = 0;  // frames lost just before this one
        std::uint8_t truth = 0;            // the sensor's truth: 0 unknown, 1 no contact, 2 contact
    };

    explicit ScoreLog(std::size_t capacity = default_scores_kept);
    ScoreLog(const ScoreLog&) = delete;
    ScoreLog& operator=(const ScoreLog&) = delete;

    std::size_t capacity() const noexcept { return capacity_; }

    // Writer only. Throws std::bad_alloc when the ring cannot grow.
    void append(const Entry& entry);

    // Entries ever appended: the index one past the newest.
    std::uint64_t end() const;
    // The index of the oldest entry kept.
    std::uint64_t begin() const;

    // Calls each(index, entry) for the kept entries of [from, from + count), oldest first, and
    // returns the index of the first one seen (begin() when `from` was dropped already). The lock is
    // held meanwhile: `each` must only copy.
    template <typename Each>
    std::uint64_t read(std::uint64_t from, std::size_t count, Each&& each) const {
        const std::lock_guard<std::mutex> lock(mutex_);
        const std::uint64_t first = std::max(from, oldest());
        const std::uint64_t last = std::min<std::uint64_t>(end_, from + count);
        for (std::uint64_t index = first; index < last; ++index) {
            each(index, slot(index));
        }
        return first;
    }

private:
    static constexpr std::size_t piece_entries = std::size_t{1} << 16;

    std::uint64_t oldest() const noexcept { return end_ > capacity_ ? end_ - capacity_ : 0; }
    const Entry& slot(std::uint64_t index) const noexcept;

    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<Entry[]>> pieces_;  // allocated as the ring first reaches them
    std::uint64_t end_ = 0;
};

}  // namespace bio_stream
