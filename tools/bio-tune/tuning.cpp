// bio-tune's computations.
#include "tuning.h"

#include <algorithm>
#include <set>
#include <stdexcept>

#include "finger_kernels.h"

namespace bio_tune {

namespace {

[[noreturn]] void fail(const std::string& path, const std::string& what) {
    throw std::runtime_error("recording " + path + ": " + what);
}

Cluster cluster_of(std::vector<std::int32_t>::const_iterator begin,
                   std::vector<std::int32_t>::const_iterator end) {
    return Cluster{*begin, *(end - 1), static_cast<std::size_t>(end - begin)};
}

// Duration and rate from the arrival times of frames (every pair has the same gaps: the first
// pair's are read); intervals across a gap are left out.
void time_facts(const ScoredRecording& scored, RecordingFacts& facts) {
    std::vector<std::uint64_t> intervals;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    bool seen = false;
    bool after_gap = false;
    for (std::size_t i = 0; i < scored.time_us.size(); ++i) {
        if (scored.samples[0][i].gap) {
            after_gap = true;
            continue;
        }
        const std::uint64_t t = scored.time_us[i];
        if (seen && !after_gap && t > last) {
            intervals.push_back(t - last);
        }
        first = seen ? first : t;
        last = t;
        seen = true;
        after_gap = false;
    }
    if (intervals.empty()) {
        return;
    }
    std::nth_element(intervals.begin(), intervals.begin() + intervals.size() / 2, intervals.end());
    const double interval = static_cast<double>(intervals[intervals.size() / 2]);
    facts.timed = true;
    facts.frame_rate = 1e6 / interval;
    facts.duration_s = (static_cast<double>(last - first) + interval) / 1e6;
}

}  // namespace

ScoredRecording score_recording(const std::string& path, const std::vector<ScorePair>& pairs) {
    recording::Reader reader(path);
    ScoredRecording scored;
    scored.path = path;
    scored.samples.resize(pairs.size());
    RecordingFacts& facts = scored.facts;
    facts.truth = reader.carries_truth();
    const kernel_variant& kernels = active_kernels();
    recording::Record record;
    std::set<std::uint32_t> touches;
    while (reader.next(record)) {
        const bool gap = record.kind == recording::Record::Kind::gap;
        for (std::size_t p = 0; p < pairs.size(); ++p) {
            const std::int32_t score =
                gap ? 0 : kernels.variance(record.frame.bytes.data(), pairs[p].bsize, pairs[p].step);
            scored.samples[p].push_back({score, gap});
        }
        scored.time_us.push_back(gap ? record.gap.time_us : record.frame.time_us);
        scored.truth.push_back(gap ? recording::Truth{} : record.frame.truth);
        if (gap) {
            ++facts.gaps;
            facts.frames_lost += record.gap.frames_lost;
            facts.gaps_uncounted += record.gap.frames_lost == 0 ? 1 : 0;
        } else {
            ++facts.frames;
            if (record.frame.truth.known && record.frame.truth.contact) {
                touches.insert(record.frame.truth.touch);
            }
        }
    }
    facts.truth_touches = touches.size();
    // A recording that ends inside a record lost its end: say so rather than tune on part of it.
    if (reader.ended_inside_record()) {
        fail(path, "truncated: it ends " + std::to_string(reader.partial_bytes()) + " bytes into record " +
                       std::to_string(scored.time_us.size() + 1));
    }
    if (facts.frames == 0) {
        fail(path, "holds no frame");
    }
    time_facts(scored, facts);
    return scored;
}

Suggestion suggest(const std::vector<std::int32_t>& scores, const ScorePair& pair) {
    Suggestion suggestion;
    std::vector<std::int32_t> sorted = scores;
    std::sort(sorted.begin(), sorted.end());
    if (sorted.empty() || sorted.front() == sorted.back()) {
        suggestion.refused = "every frame scores " + std::to_string(sorted.empty() ? 0 : sorted.front()) +
                             ": this bsize and step tell nothing apart";
        return suggestion;
    }
    if (sorted.front() < 0) {
        suggestion.refused = "scores wrap round below zero (" + std::to_string(sorted.front()) + ")";
        if (pair.bsize % pair.step != 0) {
            suggestion.refused += ": step " + std::to_string(pair.step) + " does not divide bsize " +
                                  std::to_string(pair.bsize);
        }
        return suggestion;
    }
    // Between-group variance of a split before index i: w0 * w1 * (mean0 - mean1)^2, largest wins.
    const double n = static_cast<double>(sorted.size());
    double total = 0;
    for (const std::int32_t s : sorted) {
        total += s;
    }
    double below = 0;
    double best = -1;
    std::size_t split = 1;
    for (std::size_t i = 1; i < sorted.size(); ++i) {
        below += sorted[i - 1];
        if (sorted[i - 1] == sorted[i]) {
            continue;
        }
        const double w0 = static_cast<double>(i);
        const double w1 = n - w0;
        const double difference = below / w0 - (total - below) / w1;
        const double between = w0 * w1 * difference * difference;
        if (between > best) {
            best = between;
            split = i;
        }
    }
    suggestion.glass = cluster_of(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(split));
    suggestion.finger = cluster_of(sorted.begin() + static_cast<std::ptrdiff_t>(split), sorted.end());
    const std::int64_t gap = std::int64_t{suggestion.finger.low} - suggestion.glass.high;
    suggestion.var_min =
        static_cast<std::int32_t>(suggestion.glass.high + std::max<std::int64_t>(1, gap / 3));
    suggestion.margin_glass = std::int64_t{suggestion.var_min} - suggestion.glass.high;
    suggestion.margin_finger = std::int64_t{suggestion.finger.low} - suggestion.var_min;
    if (pair.bsize % pair.step != 0) {
        suggestion.notes.push_back("step " + std::to_string(pair.step) + " does not divide bsize " +
                                   std::to_string(pair.bsize) + ": the score is not a variance");
    }
    if (gap <= std::int64_t{suggestion.glass.high} - suggestion.glass.low) {
        suggestion.notes.push_back(
            "the gap is narrower than the glass cluster's spread: record more touches or "
            "try another bsize and step");
    }
    return suggestion;
}

std::vector<std::int32_t> frame_scores(const std::vector<ScoredRecording>& recordings, std::size_t pair) {
    std::vector<std::int32_t> scores;
    for (const ScoredRecording& recording : recordings) {
        for (const bio_replay::Sample& sample : recording.samples[pair]) {
            if (!sample.gap) {
                scores.push_back(sample.score);
            }
        }
    }
    return scores;
}

std::vector<bio_replay::Touch> replay_recordings(const std::vector<ScoredRecording>& recordings,
                                                 std::size_t pair, const bio_replay::Rules& rules) {
    std::vector<bio_replay::Touch> all;
    std::size_t offset = 0;
    for (const ScoredRecording& recording : recordings) {
        const std::vector<bio_replay::Sample>& samples = recording.samples[pair];
        for (bio_replay::Touch touch : bio_replay::replay(samples.data(), samples.size(), rules)) {
            for (std::size_t* index : {&touch.first, &touch.decided, &touch.removed, &touch.best_index}) {
                if (*index != bio_replay::no_index) {
                    *index += offset;
                }
            }
            all.push_back(touch);
        }
        offset += samples.size();
    }
    return all;
}

}  // namespace bio_tune
