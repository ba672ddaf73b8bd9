// The page's log of scores.
#include "score_log.h"

#include <new>

namespace bio_stream {

ScoreLog::~ScoreLog() {
    for (std::atomic<Entry*>& chunk : chunks_) {
        delete[] chunk.load(std::memory_order_relaxed);
    }
}

bool ScoreLog::append(const Entry& entry) noexcept {
    const std::size_t index = size_.load(std::memory_order_relaxed);
    const std::size_t chunk = index / chunk_entries;
    if (chunk >= max_chunks) {
        return false;
    }
    Entry* entries = chunks_[chunk].load(std::memory_order_relaxed);
    if (entries == nullptr) {
        entries = new (std::nothrow) Entry[chunk_entries];
        if (entries == nullptr) {
            return false;
        }
        // Readers reach the chunk only through an index below size_, published below.
        chunks_[chunk].store(entries, std::memory_order_relaxed);
    }
    entries[index % chunk_entries] = entry;
    size_.store(index + 1, std::memory_order_release);
    return true;
}

double ScoreLog::rate(double now, double window) const noexcept {
    std::size_t recent = 0;
    for (std::size_t i = size(); i > 0 && (*this)[i - 1].seconds > now - window; --i) {
        ++recent;
    }
    return window > 0 ? static_cast<double>(recent) / window : 0.0;
}

}  // namespace bio_stream
