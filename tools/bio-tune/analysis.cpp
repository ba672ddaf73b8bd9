// bio-tune's answer from the scores: per pair, then across pairs; against truth when the
// recordings carry it.
#include "analysis.h"

#include <algorithm>
#include <functional>
#include <set>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "finger_kernels.h"
#include "recording/recording.h"

namespace bio_tune {

namespace {

constexpr std::size_t thumbnails_per_side = 3;
// Pairs whose relative gaps differ by less than this are as good as each other.
constexpr double gap_tolerance = 0.05;
// var_min values replayed per rule set against truth, at most.
constexpr std::size_t sweep_values = 256;

// The share of the lowest finger score that lies above the highest glass score: how much a finger
// can lose before it meets glass.
double relative_gap(const Suggestion& s) {
    return s.finger.low <= 0 ? 0.0
                             : static_cast<double>(std::int64_t{s.finger.low} - s.glass.high) / s.finger.low;
}

std::string pair_name(const ScorePair& pair) {
    return "bsize " + std::to_string(pair.bsize) + ", step " + std::to_string(pair.step);
}

// Every pair's refusal, or empty when one pair is usable.
std::string refusals(const std::vector<PairResult>& pairs) {
    std::string text;
    for (const PairResult& r : pairs) {
        if (r.suggestion.usable()) {
            return "";
        }
        text += (text.empty() ? "" : "; ") + pair_name(r.pair) + ": " + r.suggestion.refused;
    }
    return text;
}

// Without truth: the cheapest pair among those whose gap is nearly the widest.
Verdict choose_by_gap(const std::vector<PairResult>& pairs) {
    Verdict verdict;
    verdict.refused = refusals(pairs);
    if (!verdict.made()) {
        return verdict;
    }
    double widest = 0;
    for (const PairResult& r : pairs) {
        widest = r.suggestion.usable() ? std::max(widest, relative_gap(r.suggestion)) : widest;
    }
    long cheapest = -1;
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        const long cost = samples_per_frame(pairs[p].pair);
        if (pairs[p].suggestion.usable() && relative_gap(pairs[p].suggestion) >= widest - gap_tolerance &&
            (cheapest < 0 || cost < cheapest)) {
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

// How well a replay meets the objective once it publishes no false touch: larger is better.
std::tuple<std::size_t, long, std::size_t, double> merit(const Judgement& j) {
    return {j.detected, -static_cast<long>(j.repeated), j.best_frame, -j.latency_median_ms};
}

// With truth: the pair whose operating point detects the most (then repeats the least, publishes
// the best frames, soonest), the cheapest among equals.
Verdict choose_by_truth(const std::vector<PairResult>& pairs) {
    Verdict verdict;
    verdict.refused = refusals(pairs);
    if (!verdict.made()) {
        return verdict;
    }
    bool found = false;
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        const PairResult& r = pairs[p];
        if (!r.suggestion.usable()) {
            continue;
        }
        const PairResult& chosen = pairs[verdict.pair];
        const auto mine = merit(r.replays[r.point.rules].judged);
        const auto best = found ? merit(chosen.replays[chosen.point.rules].judged) : mine;
        if (!found || mine > best || (mine == best && samples_per_frame(r.pair) < samples_per_frame(chosen.pair))) {
            verdict.pair = p;
            verdict.rules = r.point.rules;
            found = true;
        }
    }
    const PairResult& chosen = pairs[verdict.pair];
    verdict.why = std::string("the operating point with ") + objective +
                  (pairs.size() > 1 ? " (then the fewest repeated, the most best frames, the soonest, the cheapest "
                                      "score) of the pairs and replays tried"
                                    : " (then the fewest repeated, the most best frames, the soonest) of the replays "
                                      "tried") +
                  "; var_min a third of the way up from " + std::to_string(chosen.point.low) + " to " +
                  std::to_string(chosen.point.high) + ", where every var_min tried gives the same counts";
    return verdict;
}

// The var_min values worth replaying: every distinct score (each changes which frames count as a
// finger), thinned evenly to sweep_values, and one above the highest; none below 1 (0 would
// select the sensor's default).
std::vector<std::int32_t> sweep_candidates(std::vector<std::int32_t> scores, bool& thinned) {
    for (std::int32_t& s : scores) {
        s = std::max<std::int32_t>(s, 1);
    }
    std::sort(scores.begin(), scores.end());
    scores.erase(std::unique(scores.begin(), scores.end()), scores.end());
    if (scores.back() < INT32_MAX) {
        scores.push_back(scores.back() + 1);
    }
    thinned = scores.size() > sweep_values;
    if (!thinned) {
        return scores;
    }
    std::vector<std::int32_t> kept;
    for (std::size_t i = 0; i < sweep_values; ++i) {
        kept.push_back(scores[i * (scores.size() - 1) / (sweep_values - 1)]);
    }
    return kept;
}

Judgement judged_at(const std::vector<ScoredRecording>& recordings, const TruthIndex& truth, std::size_t pair,
                    bio_replay::Rules rules, std::int32_t var_min) {
    rules.var_min = var_min;
    return judge(truth, replay_recordings(recordings, pair, rules));
}

// Clusters of the frames by truth: glass without contact, finger in full contact (any contact when
// no frame is held).
void truth_clusters(const std::vector<ScoredRecording>& recordings, std::size_t pair, Suggestion& s) {
    std::vector<std::int32_t> glass;
    std::vector<std::int32_t> held;
    std::vector<std::int32_t> contact;
    for (const ScoredRecording& recording : recordings) {
        for (std::size_t i = 0; recording.facts.truth && i < recording.truth.size(); ++i) {
            const recording::Truth& t = recording.truth[i];
            const std::int32_t score = recording.samples[pair][i].score;
            if (!t.known || recording.samples[pair][i].gap) {
                continue;
            }
            (t.contact ? contact : glass).push_back(score);
            if (t.contact && t.phase == recording::Phase::hold) {
                held.push_back(score);
            }
        }
    }
    const auto cluster = [](const std::vector<std::int32_t>& scores) {
        const auto [low, high] = std::minmax_element(scores.begin(), scores.end());
        return scores.empty() ? Cluster{} : Cluster{*low, *high, scores.size()};
    };
    s.glass = cluster(glass);
    s.finger = cluster(held.empty() ? contact : held);
    if (!glass.empty() && s.finger.frames != 0 && s.finger.low <= s.glass.high) {
        s.notes.push_back("finger frames in full contact score as low as " + std::to_string(s.finger.low) +
                          ", not above the highest empty-glass score " + std::to_string(s.glass.high) +
                          ": no var_min tells every frame apart, touches are judged whole");
    }
}

// Replays every var_min worth trying with every rule set against truth and sets the pair's
// operating point, suggestion and curve; refuses the pair when no var_min meets the objective.
void sweep(const std::vector<ScoredRecording>& recordings, const TruthIndex& truth, std::size_t pair,
           const std::vector<bio_replay::Rules>& rule_sets, PairResult& result) {
    Suggestion& s = result.suggestion;
    truth_clusters(recordings, pair, s);
    if (truth.touches().empty()) {
        s.refused = "the recordings' truth holds no touch to detect";
        return;
    }
    bool thinned = false;
    const std::vector<std::int32_t> values = sweep_candidates(frame_scores(recordings, pair), thinned);
    using Key = std::tuple<std::size_t, long, std::size_t, double, std::int64_t>;
    Key best{};
    bool found = false;
    std::vector<std::vector<Judgement>> judged(rule_sets.size());
    const Judgement* least_false = nullptr;
    std::pair<std::size_t, std::int32_t> least_false_at;
    for (std::size_t r = 0; r < rule_sets.size(); ++r) {
        for (const std::int32_t v : values) {
            judged[r].push_back(judged_at(recordings, truth, pair, rule_sets[r], v));
        }
        // Runs of neighbouring values with no false touch and the same touches detected and repeated.
        for (std::size_t start = 0, end = 0; start < values.size(); start = end) {
            const Judgement& first = judged[r][start];
            for (end = start + 1; end < values.size() && judged[r][end].false_touches == first.false_touches &&
                                  judged[r][end].detected == first.detected &&
                                  judged[r][end].repeated == first.repeated;
                 ++end) {
            }
            if (first.detected > 0 && (least_false == nullptr || first.false_touches < least_false->false_touches)) {
                least_false = &first;
                least_false_at = {r, values[start]};
            }
            if (first.false_touches != 0 || first.detected == 0) {
                continue;
            }
            const auto [detected, repeated, best_frames, latency] = merit(first);
            const Key key{detected, repeated, best_frames, latency, std::int64_t{values[end - 1]} - values[start]};
            if (!found || key > best) {
                best = key;
                found = true;
                // Every value above the previous one tried classifies the frames as this one does, unless
                // values were thinned out in between.
                result.point = {r, start == 0 || thinned ? values[start] : values[start - 1] + 1, values[end - 1]};
            }
        }
    }
    if (!found) {
        s.refused = "no var_min separates finger from glass: every var_min tried that detects a touch publishes "
                    "false touches too";
        if (least_false != nullptr) {
            s.refused += " (the fewest: " + std::to_string(least_false->false_touches) + " false with " +
                         std::to_string(least_false->detected) + " of " + std::to_string(least_false->touches) +
                         " touches detected, at var_min " + std::to_string(least_false_at.second) + ", img_num " +
                         std::to_string(rule_sets[least_false_at.first].img_num) + ", min_img_num " +
                         std::to_string(rule_sets[least_false_at.first].min_img_num) + ")";
        }
        return;
    }
    // A third of the way up the range, nearer the glass; between thinned values the counts are not
    // known, so the value is checked and the range's low end taken if it differs.
    const OperatingPoint& point = result.point;
    s.var_min = static_cast<std::int32_t>(point.low + (std::int64_t{point.high} - point.low) / 3);
    const Judgement at_v = judged_at(recordings, truth, pair, rule_sets[point.rules], s.var_min);
    if (at_v.false_touches != 0 || at_v.detected != std::get<0>(best) ||
        -static_cast<long>(at_v.repeated) != std::get<1>(best)) {
        s.var_min = point.low;
    }
    s.margin_glass = s.glass.frames ? std::int64_t{s.var_min} - s.glass.high : 0;
    s.margin_finger = s.finger.frames ? std::int64_t{s.finger.low} - s.var_min : 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const Judgement& j = judged[point.rules][i];
        if (result.roc.empty() || result.roc.back().detected != j.detected ||
            result.roc.back().false_touches != j.false_touches) {
            result.roc.push_back({values[i], j.detected, j.false_touches});
        }
    }
}

// Each recording with truth judged at the pair's suggestion, and on its own: the best it allows.
void judge_conditions(const std::vector<ScoredRecording>& recordings, std::size_t pair,
                      const std::vector<bio_replay::Rules>& rule_sets, PairResult& result) {
    for (std::size_t r = 0; r < recordings.size(); ++r) {
        if (!recordings[r].facts.truth) {
            continue;
        }
        const std::vector<ScoredRecording> one{recordings[r]};
        const TruthIndex truth(one);
        Condition condition;
        condition.recording = r;
        condition.at_suggestion = result.suggestion.usable();
        if (condition.at_suggestion) {
            condition.judged =
                judged_at(one, truth, pair, rule_sets[result.point.rules], result.suggestion.var_min);
        }
        PairResult alone;
        alone.suggestion = suggest(frame_scores(one, pair), result.pair);
        if (alone.suggestion.usable()) {
            sweep(one, truth, pair, rule_sets, alone);
        }
        condition.refused = alone.suggestion.refused;
        if (alone.suggestion.usable()) {
            condition.alone = alone.point;
            condition.alone_rules = rule_sets[alone.point.rules];
            condition.alone_rules.var_min = alone.suggestion.var_min;
            condition.alone_judged = judged_at(one, truth, pair, condition.alone_rules, alone.suggestion.var_min);
        }
        result.conditions.push_back(std::move(condition));
    }
}

// The frames of the verdict's pair nearest var_min: the highest-scoring glass and the
// lowest-scoring finger frames (by truth when the recordings carry it: no contact, and full contact).
std::vector<Thumbnail> thumbnail_frames(const std::vector<ScoredRecording>& recordings, std::size_t pair,
                                        const Suggestion& s, bool truth) {
    std::vector<Thumbnail> glass;
    std::vector<Thumbnail> finger;
    for (std::size_t r = 0; r < recordings.size(); ++r) {
        const std::vector<bio_replay::Sample>& samples = recordings[r].samples[pair];
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const recording::Truth& t = recordings[r].truth[i];
            if (samples[i].gap || (truth && (!recordings[r].facts.truth || !t.known))) {
                continue;
            }
            const bool is_glass = truth ? !t.contact : samples[i].score <= s.glass.high;
            if (truth && t.contact && t.phase != recording::Phase::hold && s.finger.frames != 0 &&
                samples[i].score < s.finger.low) {
                continue;  // a finger arriving or leaving: not one of the frames that decide
            }
            (is_glass ? glass : finger)
                .push_back({is_glass ? "highest-scoring empty glass" : "lowest-scoring finger", r, i,
                            samples[i].score, {}, {}});
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

// Reads the recordings again and calls `visit` with each frame at the positions wanted (positions of
// the recordings laid end to end).
void visit_frames(const std::vector<ScoredRecording>& recordings, const std::set<std::size_t>& wanted,
                  const std::function<void(std::size_t, const recording::Frame&)>& visit) {
    auto next = wanted.begin();
    std::size_t offset = 0;
    for (const ScoredRecording& scored : recordings) {
        const std::size_t end = offset + scored.time_us.size();
        if (next != wanted.end() && *next < end) {
            recording::Reader reader(scored.path);
            recording::Record record;
            for (std::size_t position = offset; next != wanted.end() && *next < end && reader.next(record);
                 ++position) {
                if (position != *next) {
                    continue;
                }
                if (record.kind != recording::Record::Kind::frame) {
                    throw std::runtime_error("recording " + scored.path + ": changed while it was read");
                }
                visit(position, record.frame);
                ++next;
            }
        }
        offset = end;
    }
}

// The scored window at half size.
std::vector<unsigned char> thumbnail_pixels(const unsigned char* frame) {
    std::vector<unsigned char> pixels(Thumbnail::width * Thumbnail::height);
    for (int y = 0; y < Thumbnail::height; ++y) {
        for (int x = 0; x < Thumbnail::width; ++x) {
            const std::size_t at = kernel_row_bytes * static_cast<std::size_t>(variance_window_y + 2 * y) +
                                   2 * static_cast<std::size_t>(variance_window_x + 2 * x);
            const unsigned sum =
                frame[at] + frame[at + 2] + frame[at + kernel_row_bytes] + frame[at + kernel_row_bytes + 2];
            pixels[static_cast<std::size_t>(y * Thumbnail::width + x)] = static_cast<unsigned char>((sum + 2) / 4);
        }
    }
    return pixels;
}

// Thumbnails and the quality of the frames published at the verdict and of each truth touch's best.
void read_frames(const std::vector<ScoredRecording>& recordings, Analysis& analysis) {
    std::size_t offset = 0;
    std::vector<std::size_t> offsets;
    for (const ScoredRecording& recording : recordings) {
        offsets.push_back(offset);
        offset += recording.time_us.size();
    }
    std::set<std::size_t> wanted;
    for (const Thumbnail& t : analysis.thumbnails) {
        wanted.insert(offsets[t.recording] + t.position);
    }
    const PairResult& pair = analysis.pairs[analysis.verdict.pair];
    for (const bio_replay::Touch& touch : pair.replays[analysis.verdict.rules].touches) {
        if (touch.best_index != bio_replay::no_index && touch.outcome != bio_replay::Outcome::dropped) {
            wanted.insert(touch.best_index);
        }
    }
    for (const TruthTouch& touch : analysis.truth_touches) {
        wanted.insert(touch.best);
    }
    visit_frames(recordings, wanted, [&](std::size_t position, const recording::Frame& frame) {
        analysis.quality[position] = bio_quality::measure(bio_quality::scored_window(frame.bytes.data(), 2));
        for (Thumbnail& t : analysis.thumbnails) {
            if (offsets[t.recording] + t.position == position) {
                t.pixels = thumbnail_pixels(frame.bytes.data());
                t.quality = analysis.quality[position];
            }
        }
    });
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
    const TruthIndex truth(recordings);
    analysis.truth = truth.any();
    analysis.truth_touches = truth.touches();
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        PairResult result;
        result.pair = pairs[p];
        const std::vector<std::int32_t> scores = frame_scores(recordings, p);
        result.frames = scores.size();
        result.suggestion = suggest(scores, pairs[p]);
        result.judged = truth.any();
        const bool scored = result.suggestion.usable();
        if (scored && truth.any()) {
            sweep(recordings, truth, p, rule_sets, result);
        }
        if (scored && truth.any() && recordings.size() > 1) {
            judge_conditions(recordings, p, rule_sets, result);
        }
        for (bio_replay::Rules rules : rule_sets) {
            if (!result.suggestion.usable()) {
                break;
            }
            rules.var_min = result.suggestion.var_min;
            Replayed replayed{rules, replay_recordings(recordings, p, rules), {}, {}};
            replayed.counts = bio_replay::count_outcomes(replayed.touches);
            if (truth.any()) {
                replayed.judged = judge(truth, replayed.touches);
            }
            result.replays.push_back(std::move(replayed));
        }
        analysis.pairs.push_back(std::move(result));
    }
    analysis.verdict = truth.any() ? choose_by_truth(analysis.pairs) : choose_by_gap(analysis.pairs);
    if (analysis.verdict.made()) {
        const std::size_t p = analysis.verdict.pair;
        analysis.thumbnails = thumbnail_frames(recordings, p, analysis.pairs[p].suggestion, truth.any());
        read_frames(recordings, analysis);
    }
    return analysis;
}

}  // namespace bio_tune
