// bio-tune's answer: for every bsize/step pair the clusters, the suggested var_min and the
// detector's replays, then the verdict (which pair, var_min, img_num and min_img_num, and why, or
// why none can be suggested) and the frames that decide the threshold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "judge.h"
#include "quality.h"
#include "replay.h"
#include "tuning.h"

namespace bio_tune {

// The detector replayed with one set of rules over every recording.
struct Replayed {
    bio_replay::Rules rules;
    std::vector<bio_replay::Touch> touches;  // positions of the recordings laid end to end
    bio_replay::Counts counts;
    Judgement judged;  // against truth, when recordings carry it
};

// What the objective asks of the answer, in the words bio-tune prints.
constexpr const char* objective = "no false touch over the empty glass, then the most touches detected";

// The best var_min, img_num and min_img_num of one pair against truth.
struct OperatingPoint {
    std::size_t rules = 0;     // the rule set (index of the replays)
    std::int32_t low = 0;      // every var_min tried from low to high gave the same touches detected,
    std::int32_t high = 0;     // repeated and false (none)
};

// One var_min of the sweep at the operating point's img_num and min_img_num.
struct RocPoint {
    std::int32_t var_min = 0;
    std::size_t detected = 0;
    std::size_t false_touches = 0;
};

// One recording (a field condition) judged on its own.
struct Condition {
    std::size_t recording = 0;
    bool at_suggestion = false;  // the pair has a suggestion, and `judged` is its counts on this recording
    Judgement judged;
    std::string refused;         // on its own: why no var_min meets the objective; empty when one does
    OperatingPoint alone;        // on its own: its operating point
    bio_replay::Rules alone_rules;  // with its var_min
    Judgement alone_judged;
};

struct PairResult {
    ScorePair pair;
    std::size_t frames = 0;
    Suggestion suggestion;          // with truth: clusters by truth and var_min at the operating point
    std::vector<Replayed> replays;  // one per rule set, at the suggested var_min; none when refused
    bool judged = false;            // against truth: clusters by truth, var_min at the operating point
    OperatingPoint point;           // with truth, when the pair is not refused
    std::vector<RocPoint> roc;      // with truth: detected and false touches as var_min moves
    std::vector<Condition> conditions;  // with truth and several recordings: each on its own
};

struct Verdict {
    std::string refused;   // why nothing is suggested (every pair's reason); empty when a suggestion is made
    std::size_t pair = 0;  // the pair suggested (index of Analysis::pairs)
    std::size_t rules = 0;  // its replay whose img_num and min_img_num are suggested
    std::string why;       // how the choice was made, in a sentence or two

    bool made() const { return refused.empty(); }
};

// A frame shown in the report: the scored window at half size (each pixel the mean of 2 x 2 samples).
struct Thumbnail {
    static constexpr int width = 220;
    static constexpr int height = 140;
    std::string label;  // why it is shown
    std::size_t recording = 0;
    std::size_t position = 0;  // in its recording
    std::int32_t score = 0;
    std::vector<unsigned char> pixels;  // width x height, row-major
    bio_quality::Quality quality;       // of the frame's scored window
};

struct Analysis {
    std::vector<PairResult> pairs;
    Verdict verdict;
    std::vector<Thumbnail> thumbnails;  // the verdict's pair: the highest-scoring glass, the lowest-scoring fingers
    bool truth = false;                 // the recordings carry truth: the verdict is an operating point
    std::vector<TruthTouch> truth_touches;
    // The quality of the scored window of the frames the verdict's replay publishes and of each truth
    // touch's best frame, by position of the recordings laid end to end.
    std::map<std::size_t, bio_quality::Quality> quality;
};

// Clusters, suggestion and replays of every pair, the verdict, and (reading the recordings again)
// the thumbnails of the frames nearest the suggested var_min on either side and the quality of
// the frames published. With truth, each pair's var_min and rule set are the operating point that
// best meets the objective among the var_min values its scores allow.
Analysis analyse(const std::vector<ScoredRecording>& recordings, const std::vector<ScorePair>& pairs,
                 const std::vector<bio_replay::Rules>& rule_sets);

// Where a position of the recordings laid end to end lies: {recording, position in it}.
struct Place {
    std::size_t recording = 0;
    std::size_t position = 0;
};
Place place_of(const std::vector<ScoredRecording>& recordings, std::size_t index);

// Samples the score of one frame reads, a measure of its cost: blocks x samples per block.
long samples_per_frame(const ScorePair& pair);

}  // namespace bio_tune
