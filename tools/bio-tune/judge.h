// Tuning judged against the ground truth that recordings of the virtual sensor carry: which real
// touches the detector publishes, misses or publishes twice, and what it publishes when no finger
// touches the glass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "replay.h"
#include "tuning.h"

namespace bio_tune {

// A touch by truth: the frames of one touch number during which the finger touches the glass.
// Positions are those of the recordings laid end to end.
struct TruthTouch {
    std::size_t recording = 0;
    std::uint32_t number = 0;
    std::size_t first_contact = 0;
    std::size_t last_contact = 0;
    std::size_t best = 0;        // its best frame by truth: the largest contact x contrast, the first of equals
    std::uint64_t best_value = 0;
};

// The truth of the recordings that carry it, gathered once for every pair and rule set.
class TruthIndex {
public:
    explicit TruthIndex(const std::vector<ScoredRecording>& recordings);

    bool any() const { return any_; }  // at least one recording carries truth
    const std::vector<TruthTouch>& touches() const { return touches_; }
    double empty_glass_s() const { return empty_glass_s_; }  // frames without contact x frame interval; 0 untimed
    // The truth touch whose contact frame is at `position`: its index, or -1 (no contact, or no truth).
    int touch_at(std::size_t position) const { return touch_at_[position]; }
    bool judged(std::size_t position) const { return judged_[position]; }  // its recording carries truth
    std::uint64_t value_at(std::size_t position) const { return value_[position]; }  // contact x contrast
    std::uint64_t time_at(std::size_t position) const { return time_[position]; }
    bool timed() const { return timed_; }

private:
    bool any_ = false;
    bool timed_ = true;
    double empty_glass_s_ = 0;
    std::vector<TruthTouch> touches_;
    std::vector<int> touch_at_;
    std::vector<bool> judged_;
    std::vector<std::uint64_t> value_;
    std::vector<std::uint64_t> time_;
};

// A published frame is the touch's best when its contact x contrast is at least this share of the
// touch's best: frames of a steady hold differ by little.
constexpr double best_share = 0.95;

// How a replay fares against truth.
struct Judgement {
    std::size_t touches = 0;        // touches by truth
    std::size_t detected = 0;       // of which published at least once
    std::size_t in_time = 0;        // first published at img_num frames
    std::size_t early = 0;          // first published by the early path (lifted before img_num)
    std::size_t missed = 0;         // never published
    std::size_t false_touches = 0;  // publications with no contact among the frames they counted
    std::size_t repeated = 0;       // publications of a touch published before
    std::size_t best_frame = 0;     // detected touches whose first publication is their best frame by truth
    double false_per_hour = -1;     // false touches per hour of empty glass; -1 when the frames are untimed
    double latency_median_ms = -1;  // first contact to first publication; -1 with nothing detected or untimed
    double latency_max_ms = -1;
    // Per touch replayed: the truth touch it published, or -1 (false, or no publication, or untruthed).
    std::vector<int> truth_of;
    // Per truth touch: the replayed touch that first published it, or -1 (missed).
    std::vector<int> published_by;
};

Judgement judge(const TruthIndex& truth, const std::vector<bio_replay::Touch>& touches);

}  // namespace bio_tune
