// bio-tune's answer from the scores: per pair, then across pairs.
#include "analysis.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <stdexcept>
#include <utility>

#include "finger_kernels.h"
#include "recording/recording.h"

namespace bio_tune {

namespace {

constexpr std::size_t thumbnails_per_side = 3;
// Pairs whose relative gaps differ by less than this are as good as each other.
constexpr double gap_tolerance = 0.05;

// The share of the lowest finger score that lies above the highest glass score: how much a finger
// can lose before it meets glass.
double relative_gap(const Suggestion& s) {
    return s.finger.low <= 0 ? 0.0
                             : static_cast<double>(std::int64_t{s.finger.low} - s.glass.high) / s.finger.low;
}

Verdict choose(const std::vector<PairResult>& pairs) {
    Verdict verdict;
    std::vector<std::size_t> usable;
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        if (pairs[p].suggestion.usable()) {
            usable.push_back(p);
        } else {
            verdict.refused += std::string(verdict.refused.empty() ? "" : "; ") + "bsize " +
                               std::to_string(pairs[p].pair.bsize) + ", step " + std::to_string(pairs[p].pair.step) +
                               ": " + pairs[p].suggestion.refused;
        }
    }
    if (usable.empty()) {
        return verdict;
    }
    verdict.refused.clear();
    double widest = 0;
    for (const std::size_t p : usable) {
        widest = std::max(widest, relative_gap(pairs[p].suggestion));
    }
    verdict.pair = usable.front();
    long cheapest = -1;
    for (const std::size_t p : usable) {
        const long cost = samples_per_frame(pairs[p].pair);
        if (relative_gap(pairs[p].suggestion) >= widest - gap_tolerance && (cheapest < 0 || cost < cheapest)) {
            cheapest = cost;
            verdict.pair = p;
        }
    }
    verdict.why = pairs.size() == 1 ? "var_min a third of the way up the gap from the glass scores to the finger scores"
                                    : "of the pairs tried, the cheapest score among those whose gap between glass and "
                                      "finger scores is within " +
                                          std::to_string(static_cast<int>(gap_tolerance * 100)) +
                                          " % of the widest; var_min a third of the way up the gap from the glass";
    verdict.why += "; img_num and min_img_num as the first replay: the recordings carry no truth to judge them by";
    return verdict;
}

// The frames of the verdict's pair nearest var_min: the highest-scoring glass and the
// lowest-scoring finger frames, as {label, recording, position, score}.
std::vector<Thumbnail> thumbnail_frames(const std::vector<ScoredRecording>& recordings, std::size_t pair,
                                        const Suggestion& s) {
    std::vector<Thumbnail> glass;
    std::vector<Thumbnail> finger;
    for (std::size_t r = 0; r < recordings.size(); ++r) {
        const std::vector<bio_replay::Sample>& samples = recordings[r].samples[pair];
        for (std::size_t i = 0; i < samples.size(); ++i) {
            if (samples[i].gap) {
                continue;
            }
            const bool is_glass = samples[i].score <= s.glass.high;
            (is_glass ? glass : finger)
                .push_back({is_glass ? "highest-scoring empty glass" : "lowest-scoring finger", r, i,
                            samples[i].score, {}});
        }
    }
    const auto keep = [](std::vector<Thumbnail>& frames, bool highest) {
        const std::size_t n = std::min(thumbnails_per_side, frames.size());
        std::partial_sort(frames.begin(), frames.begin() + static_cast<std::ptrdiff_t>(n), frames.end(),
                          [highest](const Thumbnail& a, const Thumbnail& b) {
                              return highest ? a.score > b.score : a.score < b.score;
                          });
        frames.resize(n);
    };
    keep(glass, true);
    keep(finger, false);
    glass.insert(glass.end(), finger.begin(), finger.end());
    return glass;
}

// Reads the recordings again for the pictures of `thumbnails`.
void read_pictures(const std::vector<ScoredRecording>& recordings, std::vector<Thumbnail>& thumbnails) {
    std::map<std::pair<std::size_t, std::size_t>, std::vector<Thumbnail*>> wanted;
    for (Thumbnail& thumbnail : thumbnails) {
        wanted[{thumbnail.recording, thumbnail.position}].push_back(&thumbnail);
    }
    for (std::size_t r = 0; r < recordings.size(); ++r) {
        auto next = wanted.lower_bound({r, 0});
        if (next == wanted.end() || next->first.first != r) {
            continue;
        }
        recording::Reader reader(recordings[r].path);
        recording::Record record;
        for (std::size_t position = 0; next != wanted.end() && next->first.first == r && reader.next(record);
             ++position) {
            if (position != next->first.second) {
                continue;
            }
            if (record.kind != recording::Record::Kind::frame) {
                throw std::runtime_error("recording " + recordings[r].path + ": changed while it was read");
            }
            std::vector<unsigned char> pixels(Thumbnail::width * Thumbnail::height);
            const unsigned char* frame = record.frame.bytes.data();
            for (int y = 0; y < Thumbnail::height; ++y) {
                for (int x = 0; x < Thumbnail::width; ++x) {
                    const std::size_t at =
                        kernel_row_bytes * static_cast<std::size_t>(variance_window_y + 2 * y) +
                        2 * static_cast<std::size_t>(variance_window_x + 2 * x);
                    const unsigned sum = frame[at] + frame[at + 2] + frame[at + kernel_row_bytes] +
                                         frame[at + kernel_row_bytes + 2];
                    pixels[static_cast<std::size_t>(y * Thumbnail::width + x)] =
                        static_cast<unsigned char>((sum + 2) / 4);
                }
            }
            for (Thumbnail* thumbnail : next->second) {
                thumbnail->pixels = pixels;
            }
            ++next;
        }
    }
}

}  // namespace

long samples_per_frame(const ScorePair& pair) {
    const long per_row = (pair.bsize + pair.step - 1) / pair.step;
    return static_cast<long>(variance_window_width / pair.bsize) * (variance_window_height / pair.bsize) *
           per_row * per_row;
}

Place place_of(const std::vector<ScoredRecording>& recordings, std::size_t index) {
    Place place;
    for (; place.recording < recordings.size(); ++place.recording) {
        const std::size_t size = recordings[place.recording].time_us.size();
        if (index < size) {
            place.position = index;
            return place;
        }
        index -= size;
    }
    throw std::logic_error("position past the recordings' end");
}

Analysis analyse(const std::vector<ScoredRecording>& recordings, const std::vector<ScorePair>& pairs,
                 const std::vector<bio_replay::Rules>& rule_sets) {
    Analysis analysis;
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        PairResult result;
        result.pair = pairs[p];
        const std::vector<std::int32_t> scores = frame_scores(recordings, p);
        result.frames = scores.size();
        result.suggestion = suggest(scores, pairs[p]);
        for (bio_replay::Rules rules : rule_sets) {
            if (!result.suggestion.usable()) {
                break;
            }
            rules.var_min = result.suggestion.var_min;
            Replayed replayed{rules, replay_recordings(recordings, p, rules), {}};
            replayed.counts = bio_replay::count_outcomes(replayed.touches);
            result.replays.push_back(std::move(replayed));
        }
        analysis.pairs.push_back(std::move(result));
    }
    analysis.verdict = choose(analysis.pairs);
    if (analysis.verdict.made()) {
        const std::size_t p = analysis.verdict.pair;
        analysis.thumbnails = thumbnail_frames(recordings, p, analysis.pairs[p].suggestion);
        read_pictures(recordings, analysis.thumbnails);
    }
    return analysis;
}

}  // namespace bio_tune
