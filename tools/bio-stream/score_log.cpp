// The page's ring of scores.
#include "score_log.h"

#include <stdexcept>

namespace bio_stream {

ScoreLog::ScoreLog(std::size_t capacity)
    : capacity_(capacity), pieces_((capacity + piece_entries - 1) / piece_entries) {
    if (capacity == 0) {
        throw std::invalid_argument("the score log must keep at least one score");
    }
}

void ScoreLog::append(const Entry& entry) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t at = static_cast<std::size_t>(end_ % capacity_);
    std::unique_ptr<Entry[]>& piece = pieces_[at / piece_entries];
    if (!piece) {
        // The last piece is only as long as the ring needs.
        piece = std::make_unique<Entry[]>(
            std::min(piece_entries, capacity_ - at / piece_entries * piece_entries));
    }
    piece[at % piece_entries] = entry;
    ++end_;
}

std::uint64_t ScoreLog::end() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return end_;
}

std::uint64_t ScoreLog::begin() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return oldest();
}

const ScoreLog::Entry& ScoreLog::slot(std::uint64_t index) const noexcept {
    const std::size_t at = static_cast<std::size_t>(index % capacity_);
    return pieces_[at / piece_entries][at % piece_entries];
}

}  // namespace bio_stream
