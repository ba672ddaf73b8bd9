// bio-tune's computations: the scores of recorded frames with the module's own kernels, the
// empty-glass and finger clusters, the suggested var_min, and the detector replayed on the scores.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "replay.h"

namespace bio_tune {

struct ScorePair {
    int bsize = 16;
    int step = 4;
};

// One recording's frames scored for every pair asked: scores[pair][frame].
struct ScoredRecording {
    std::string path;
    std::size_t frames = 0;
    std::vector<std::vector<std::int32_t>> scores;
};

// Reads every frame of the recording at `path` and scores it with the kernels the module would run
// for each pair. Throws std::runtime_error with one line naming the path and the problem when the
// file is not a recording, is truncated (it ends inside a frame) or holds no frame.
ScoredRecording score_recording(const std::string& path, const std::vector<ScorePair>& pairs);

// A cluster of scores.
struct Cluster {
    std::int32_t low = 0;
    std::int32_t high = 0;
    std::size_t frames = 0;
};

struct Suggestion {
    bool usable = false;  // false: every frame scores the same; there is nothing to tell apart
    Cluster glass;        // the lower cluster: empty glass
    Cluster finger;       // the upper cluster: a finger on the glass
    std::int32_t var_min = 0;
    std::int64_t margin_glass = 0;   // var_min above the highest glass score
    std::int64_t margin_finger = 0;  // the lowest finger score above var_min
    std::vector<std::string> notes;  // warnings about the scores, one sentence each
};

// Splits the scores in two where the split best separates them (the largest variance between the
// two groups) and suggests var_min a third of the way up the gap from the highest glass score to
// the lowest finger score, nearer the glass: a finger scores lower on a bad day than glass does.
Suggestion suggest(const std::vector<std::int32_t>& scores);

// The detector replayed on each recording's scores of pair `pair` (it starts idle on each), as
// touches indexed in the recordings' frames laid end to end.
std::vector<bio_replay::Touch> replay_recordings(const std::vector<ScoredRecording>& recordings,
                                                 std::size_t pair, const bio_replay::Rules& rules);

}  // namespace bio_tune
