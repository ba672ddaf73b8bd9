// Tuning judged against the ground truth of the frames.
#include "judge.h"

#include <algorithm>
#include <map>

namespace bio_tune {

namespace {

double median(std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2), values.end());
    return values[values.size() / 2];
}

}  // namespace

TruthIndex::TruthIndex(const std::vector<ScoredRecording>& recordings) {
    std::size_t offset = 0;
    for (std::size_t r = 0; r < recordings.size(); ++r) {
        const ScoredRecording& recording = recordings[r];
        const bool judged = recording.facts.truth;
        any_ = any_ || judged;
        timed_ = timed_ && (!judged || recording.facts.timed);
        // Contact frames of one touch number make one touch; those of no number (0), one per run.
        std::map<std::uint64_t, int> by_key;
        std::uint64_t runs = 0;
        std::size_t glass_frames = 0;
        bool contact_before = false;
        for (std::size_t i = 0; i < recording.time_us.size(); ++i) {
            const recording::Truth& t = recording.truth[i];
            const std::size_t position = offset + i;
            touch_at_.push_back(-1);
            judged_.push_back(judged);
            value_.push_back(std::uint64_t{t.contact_permyriad} * t.contrast_permyriad);
            time_.push_back(recording.time_us[i]);
            const bool contact = judged && t.known && t.contact;
            glass_frames += judged && t.known && !t.contact ? 1 : 0;
            runs += contact && !contact_before ? 1 : 0;
            contact_before = contact;
            if (!contact) {
                continue;
            }
            const std::uint64_t key = t.touch != 0 ? t.touch : (std::uint64_t{1} << 32) + runs;
            const auto [found, added] = by_key.emplace(key, static_cast<int>(touches_.size()));
            if (added) {
                touches_.push_back({r, t.touch, position, position, position, value_.back()});
            }
            TruthTouch& touch = touches_[static_cast<std::size_t>(found->second)];
            touch.last_contact = position;
            if (value_.back() > touch.best_value) {
                touch.best = position;
                touch.best_value = value_.back();
            }
            touch_at_.back() = found->second;
        }
        if (recording.facts.timed) {
            empty_glass_s_ += static_cast<double>(glass_frames) / recording.facts.frame_rate;
        }
        offset += recording.time_us.size();
    }
}

Judgement judge(const TruthIndex& truth, const std::vector<bio_replay::Touch>& touches) {
    Judgement j;
    j.touches = truth.touches().size();
    j.truth_of.assign(touches.size(), -1);
    j.published_by.assign(j.touches, -1);
    std::vector<double> latencies;
    for (std::size_t i = 0; i < touches.size(); ++i) {
        const bio_replay::Touch& touch = touches[i];
        const bool publication =
            touch.outcome == bio_replay::Outcome::published || touch.outcome == bio_replay::Outcome::early;
        if (!publication || !truth.judged(touch.decided)) {
            continue;
        }
        // The touch whose contact the published frame shows, else the first contact it counted.
        int t = touch.best_index == bio_replay::no_index ? -1 : truth.touch_at(touch.best_index);
        for (std::size_t position = touch.first; t < 0 && position <= touch.decided; ++position) {
            t = truth.touch_at(position);
        }
        if (t < 0) {
            ++j.false_touches;
            continue;
        }
        j.truth_of[i] = t;
        int& first = j.published_by[static_cast<std::size_t>(t)];
        if (first >= 0) {
            ++j.repeated;
            continue;
        }
        first = static_cast<int>(i);
        ++j.detected;
        ++(touch.outcome == bio_replay::Outcome::early ? j.early : j.in_time);
        const TruthTouch& real = truth.touches()[static_cast<std::size_t>(t)];
        const std::uint64_t value = touch.best_index == bio_replay::no_index ? 0 : truth.value_at(touch.best_index);
        j.best_frame += static_cast<double>(value) >= best_share * static_cast<double>(real.best_value) ? 1 : 0;
        if (truth.timed()) {
            latencies.push_back(
                (static_cast<double>(truth.time_at(touch.decided)) - static_cast<double>(truth.time_at(real.first_contact))) /
                1e3);
        }
    }
    j.missed = j.touches - j.detected;
    if (truth.timed() && truth.empty_glass_s() > 0) {
        j.false_per_hour = static_cast<double>(j.false_touches) * 3600 / truth.empty_glass_s();
    }
    if (!latencies.empty()) {
        j.latency_median_ms = median(latencies);
        j.latency_max_ms = *std::max_element(latencies.begin(), latencies.end());
    }
    return j;
}

}  // namespace bio_tune
