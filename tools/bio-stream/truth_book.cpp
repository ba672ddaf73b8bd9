// The truths bio-stream holds for the frames it has yet to write.
#include "truth_book.h"

#include <algorithm>

namespace bio_stream {

bool TruthBook::add(const unsigned char* data, std::size_t size) {
    std::uint64_t hash = 0;
    recording::Truth truth;
    if (!recording::decode_truth_datagram(data, size, hash, truth)) {
        return false;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    if (truths_.size() == truths_kept) {
        truths_.pop_front();
    }
    truths_.emplace_back(hash, truth);
    ++received_;
    return true;
}

std::optional<recording::Truth> TruthBook::take(const unsigned char* frame, std::size_t size) {
    if (received_ == 0) {
        return std::nullopt;  // no sensor sends truth: frames are not hashed
    }
    const std::uint64_t hash = recording::frame_hash(frame, size);
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = std::find_if(truths_.begin(), truths_.end(), [&](const auto& t) { return t.first == hash; });
    if (found == truths_.end()) {
        return std::nullopt;
    }
    const recording::Truth truth = found->second;
    truths_.erase(found);
    return truth;
}

}  // namespace bio_stream
