// The virtual sensor's truth of the frames it made, as bio-stream receives it beside the stream: one
// 32-byte datagram per frame (see recording::encode_truth_datagram), keyed by the hash of the frame's
// bytes as the sensor filled them. A raw frame of the debug stream carries those very bytes, so the
// writer finds its truth by hashing it; a grey frame (corrected) has no truth to find.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

#include "recording/recording.h"

namespace bio_stream {

// Truths held for frames not yet written: the sensor sends each some frames ahead of the stream.
constexpr std::size_t truths_kept = 512;

class TruthBook {
public:
    // Keeps a datagram's truth; false when `data` is not a truth datagram. The oldest truth goes
    // when the book is full (its frame was lost, or never streamed).
    bool add(const unsigned char* data, std::size_t size);
    // The truth of a frame with these bytes, taken out of the book: the oldest one sent for them,
    // since a sensor may make the same bytes twice (glass with no noise). None when it did not come.
    std::optional<recording::Truth> take(const unsigned char* frame, std::size_t size);

    std::uint64_t received() const noexcept { return received_.load(); }

private:
    std::mutex mutex_;
    std::deque<std::pair<std::uint64_t, recording::Truth>> truths_;  // oldest first
    std::atomic<std::uint64_t> received_{0};
};

}  // namespace bio_stream
