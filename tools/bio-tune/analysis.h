// bio-tune's answer: for every bsize/step pair the clusters, the suggested var_min and the
// detector's replays, then the verdict (which pair, var_min, img_num and min_img_num, and why, or
// why none can be suggested) and the frames that decide the threshold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "replay.h"
#include "tuning.h"

namespace bio_tune {

// The detector replayed with one set of rules over every recording.
struct Replayed {
    bio_replay::Rules rules;
    std::vector<bio_replay::Touch> touches;  // positions of the recordings laid end to end
    bio_replay::Counts counts;
};

struct PairResult {
    ScorePair pair;
    std::size_t frames = 0;
    Suggestion suggestion;
    std::vector<Replayed> replays;  // one per rule set, at the suggested var_min; none when refused
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
};

struct Analysis {
    std::vector<PairResult> pairs;
    Verdict verdict;
    std::vector<Thumbnail> thumbnails;  // the verdict's pair: the highest-scoring glass, the lowest-scoring fingers
};

// Clusters, suggestion and replays of every pair, the verdict, and (reading the recordings again)
// the thumbnails of the frames nearest the suggested var_min on either side.
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
