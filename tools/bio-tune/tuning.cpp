// bio-tune's computations.
#include "tuning.h"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <system_error>

#include "finger_kernels.h"
#include "recording/recording.h"

namespace bio_tune {

namespace {

[[noreturn]] void fail(const std::string& path, const std::string& what) {
    throw std::runtime_error("recording " + path + ": " + what);
}

Cluster cluster_of(std::vector<std::int32_t>::const_iterator begin,
                   std::vector<std::int32_t>::const_iterator end) {
    return Cluster{*begin, *(end - 1), static_cast<std::size_t>(end - begin)};
}

}  // namespace

ScoredRecording score_recording(const std::string& path, const std::vector<ScorePair>& pairs) {
    recording::Reader reader(path);
    ScoredRecording scored{path, 0, std::vector<std::vector<std::int32_t>>(pairs.size())};
    const kernel_variant& kernels = active_kernels();
    recording::Record record;
    std::size_t records = 0;
    while (reader.next(record)) {
        ++records;
        if (record.kind != recording::Record::Kind::frame) {
            continue;
        }
        for (std::size_t p = 0; p < pairs.size(); ++p) {
            scored.scores[p].push_back(
                kernels.variance(record.frame.bytes.data(), pairs[p].bsize, pairs[p].step));
        }
        ++scored.frames;
    }
    // A recording that ends inside a record lost its end: say so rather than tune on part of it.
    if (reader.ended_inside_record()) {
        fail(path, "truncated: it ends " + std::to_string(reader.partial_bytes()) + " bytes into record " +
                       std::to_string(records + 1));
    }
    if (scored.frames == 0) {
        fail(path, "holds no frame");
    }
    return scored;
}

Suggestion suggest(const std::vector<std::int32_t>& scores) {
    Suggestion suggestion;
    std::vector<std::int32_t> sorted = scores;
    std::sort(sorted.begin(), sorted.end());
    if (sorted.empty() || sorted.front() == sorted.back()) {
        suggestion.notes.push_back("every frame scores " +
                                   std::to_string(sorted.empty() ? 0 : sorted.front()) +
                                   ": this bsize and step tell nothing apart");
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
    suggestion.usable = true;
    suggestion.glass = cluster_of(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(split));
    suggestion.finger = cluster_of(sorted.begin() + static_cast<std::ptrdiff_t>(split), sorted.end());
    const std::int64_t gap = std::int64_t{suggestion.finger.low} - suggestion.glass.high;
    suggestion.var_min =
        static_cast<std::int32_t>(suggestion.glass.high + std::max<std::int64_t>(1, gap / 3));
    suggestion.margin_glass = std::int64_t{suggestion.var_min} - suggestion.glass.high;
    suggestion.margin_finger = std::int64_t{suggestion.finger.low} - suggestion.var_min;
    if (suggestion.glass.low < 0) {
        suggestion.notes.push_back(
            "scores below zero: the step does not divide bsize and the score wraps round");
    }
    if (gap <= std::int64_t{suggestion.glass.high} - suggestion.glass.low) {
        suggestion.notes.push_back(
            "the gap is narrower than the glass cluster's spread: record more touches or "
            "try another bsize and step");
    }
    return suggestion;
}

std::vector<bio_replay::Touch> replay_recordings(const std::vector<ScoredRecording>& recordings,
                                                 std::size_t pair, const bio_replay::Rules& rules) {
    std::vector<bio_replay::Touch> all;
    std::size_t offset = 0;
    for (const ScoredRecording& recording : recordings) {
        const std::vector<std::int32_t>& scores = recording.scores[pair];
        for (bio_replay::Touch touch : bio_replay::replay(scores.data(), scores.size(), rules)) {
            for (std::size_t* index : {&touch.first, &touch.decided, &touch.removed, &touch.best_index}) {
                if (*index != bio_replay::no_index) {
                    *index += offset;
                }
            }
            all.push_back(touch);
        }
        offset += scores.size();
    }
    return all;
}

}  // namespace bio_tune
