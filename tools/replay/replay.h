// The module's finger detector replayed on a sequence of frame scores: which touches it would
// publish, early or in time, and which brushes it would drop, at a given var_min, img_num and
// min_img_num. One place for these rules, shared by bio-stream's page and bio-tune's report.
//
// Frames lost on the way (a gap in a recording or in the stream) were seen by the module but not
// by the replay: a gap is unknown, neither finger nor glass. It neither counts nor ends a touch,
// and the touch it falls in (or just before) is marked, since the module may have counted, kept
// or ended it differently; a gap between touches may hide a brush.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bio_replay {

// The configuration keys the detector decides with.
struct Rules {
    int var_min = 0;
    int img_num = 0;
    int min_img_num = 0;
};

enum class Outcome {
    published,  // img_num finger frames: published at the img_num-th; removal at the next frame below var_min
    early,      // the finger left after at least min_img_num frames: published and removed at once
    dropped,    // the finger left after fewer than min_img_num frames: nothing is sent
    open,       // the scores end while the touch's frames are still being counted
};

// "published", "early", "dropped", "open".
const char* outcome_name(Outcome outcome) noexcept;

// An index that is not there.
constexpr std::size_t no_index = static_cast<std::size_t>(-1);

// One touch as the detector follows it. Indices are positions in the scores replayed.
struct Touch {
    Outcome outcome = Outcome::open;
    std::size_t first = 0;           // first finger frame; for a touch of no frames, the frame that ended it
    int frames = 0;                  // finger frames counted (the detector stops counting once published)
    std::size_t decided = no_index;  // frame at which it was published or dropped; no_index while open
    std::size_t removed = no_index;  // frame that sends the removal event; no_index when none comes
    std::int32_t best = 0;           // best score among the counted frames; 0 when none scored above 0
    std::size_t best_index = no_index;  // the frame published: the first of the best; no_index when none
                                        // was kept (then the detector publishes a stale frame)
    bool gap = false;  // frames were lost just before its first frame or before it ended
};

// One position of a sequence replayed: a frame's score, or a gap where frames were lost.
struct Sample {
    std::int32_t score = 0;
    bool gap = false;
};

struct Counts {
    std::size_t published = 0;
    std::size_t early = 0;
    std::size_t dropped = 0;
    std::size_t open = 0;
    std::size_t interrupted = 0;  // touches of any outcome marked by a gap
};

// The touches the detector finds in scores[0, count) from its idle state, with identification
// enabled, in the order they start. A frame is a finger frame when its score is at least var_min.
std::vector<Touch> replay(const std::int32_t* scores, std::size_t count, const Rules& rules);

// The same over frames and gaps: indices are positions in samples[0, count), gaps included.
std::vector<Touch> replay(const Sample* samples, std::size_t count, const Rules& rules);

// How many touches of each outcome.
Counts count_outcomes(const std::vector<Touch>& touches) noexcept;

}  // namespace bio_replay
