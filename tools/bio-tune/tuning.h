// bio-tune's computations: the scores of recorded frames with the module's own kernels, the
// empty-glass and finger clusters, the suggested var_min, and the detector replayed on the scores.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "recording/recording.h"
#include "replay.h"

namespace bio_tune {

struct ScorePair {
    int bsize = 16;
    int step = 4;
};

// What a recording holds, as bio-tune prints it.
struct RecordingFacts {
    std::size_t frames = 0;
    std::size_t gaps = 0;
    std::size_t frames_lost = 0;     // the gaps' counts added up
    std::size_t gaps_uncounted = 0;  // gaps whose number of frames lost is not known
    bool timed = false;              // the frames carry arrival times (version 2)
    double duration_s = 0;           // first frame to last, plus one frame interval
    double frame_rate = 0;           // frames per second, from the median interval between frames
    bool truth = false;              // the frames carry ground truth
    std::size_t truth_touches = 0;   // touch numbers with contact in the truth
};

// One recording's records (frames and gaps, in order: positions) and their scores for every pair
// asked: samples[pair][position], a gap where frames were lost.
struct ScoredRecording {
    std::string path;
    RecordingFacts facts;
    std::vector<std::uint64_t> time_us;       // per position: the frame's or the gap's arrival
    std::vector<recording::Truth> truth;      // per position; not known at a gap
    std::vector<std::vector<bio_replay::Sample>> samples;
};

// Reads every record of the recording at `path` and scores each frame with the kernels the module
// would run for each pair. Throws std::runtime_error with one line naming the path and the problem
// when the file is not a recording, is truncated (it ends inside a record) or holds no frame.
ScoredRecording score_recording(const std::string& path, const std::vector<ScorePair>& pairs);

// A cluster of scores.
struct Cluster {
    std::int32_t low = 0;
    std::int32_t high = 0;
    std::size_t frames = 0;
};

struct Suggestion {
    std::string refused;  // why no var_min can be suggested; empty when one is
    Cluster glass;        // the lower cluster: empty glass
    Cluster finger;       // the upper cluster: a finger on the glass
    std::int32_t var_min = 0;
    std::int64_t margin_glass = 0;   // var_min above the highest glass score
    std::int64_t margin_finger = 0;  // the lowest finger score above var_min
    std::vector<std::string> notes;  // warnings about the scores, one sentence each

    bool usable() const { return refused.empty(); }
};

// Splits the scores in two where the split best separates them (the largest variance between the
// two groups) and suggests var_min a third of the way up the gap from the highest glass score to
// the lowest finger score, nearer the glass: a finger scores lower on a bad day than glass does.
// Refused when every frame scores the same or when scores wrap round below zero.
Suggestion suggest(const std::vector<std::int32_t>& scores, const ScorePair& pair);

// The scores of pair `pair` of every frame of the recordings (gaps left out).
std::vector<std::int32_t> frame_scores(const std::vector<ScoredRecording>& recordings, std::size_t pair);

// The detector replayed on each recording's samples of pair `pair` (it starts idle on each), as
// touches indexed in the recordings' positions laid end to end.
std::vector<bio_replay::Touch> replay_recordings(const std::vector<ScoredRecording>& recordings,
                                                 std::size_t pair, const bio_replay::Rules& rules);

}  // namespace bio_tune
