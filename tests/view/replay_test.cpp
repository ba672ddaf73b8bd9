// The detector's replay against touches derived by hand from its rules: var_min 10 throughout,
// "F" a frame scoring 20 (a finger), "." one scoring 0 (empty glass) unless the case says otherwise,
// "g" a gap (frames lost: neither finger nor glass).
#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "replay.h"

namespace {

using bio_replay::Outcome;
using bio_replay::Touch;
constexpr std::size_t none = bio_replay::no_index;

struct Case {
    const char* name;
    std::vector<bio_replay::Sample> scores;
    int img_num;
    int min_img_num;
    std::vector<Touch> expected;  // outcome, first, frames, decided, removed, best, best_index, gap
};

std::vector<bio_replay::Sample> frames(const std::string& pattern) {
    std::vector<bio_replay::Sample> scores;
    for (const char c : pattern) {
        scores.push_back({c == 'F' ? 20 : 0, c == 'g'});
    }
    return scores;
}

const Case cases[] = {
    // img_num frames publish at the img_num-th; later finger frames are ignored; the next glass
    // frame removes.
    {"published_then_removed", frames(".FFFF."), 3, 2, {{Outcome::published, 1, 3, 3, 5, 20, 1}}},
    // Lifted after min_img_num frames: published and removed by the same glass frame.
    {"early", {{0}, {20}, {30}, {0}}, 3, 2, {{Outcome::early, 1, 2, 3, 3, 30, 2}}},
    // Shorter than min_img_num: dropped, no removal.
    {"dropped_brush", frames(".F."), 3, 2, {{Outcome::dropped, 1, 1, 2, none, 20, 1}}},
    // A score equal to var_min is a finger frame.
    {"var_min_itself_is_a_finger", {{10}, {10}, {9}}, 3, 2, {{Outcome::early, 0, 2, 2, 2, 10, 0}}},
    // Equal best scores keep the first.
    {"tie_keeps_first", {{20}, {25}, {25}, {5}}, 5, 1, {{Outcome::early, 0, 3, 3, 3, 25, 1}}},
    // img_num 1 publishes at the first finger frame.
    {"img_num_one", frames("F."), 1, 1, {{Outcome::published, 0, 1, 0, 1, 20, 0}}},
    // Still on the glass at the end: published, no removal yet.
    {"published_no_removal", frames("FFFF"), 3, 2, {{Outcome::published, 0, 3, 2, none, 20, 0}}},
    // img_num 0 never equals the count: only the early path publishes; open at the end.
    {"img_num_zero_early", frames("FFFF."), 0, 2, {{Outcome::early, 0, 4, 4, 4, 20, 0}}},
    {"img_num_zero_open", frames("FFF"), 0, 2, {{Outcome::open, 0, 3, none, none, 20, 0}}},
    // min_img_num 0: every glass frame outside a touch publishes the stale frame, best 0.
    {"min_img_num_zero",
     frames(".."),
     5,
     0,
     {{Outcome::early, 0, 0, 0, 0, 0, none}, {Outcome::early, 1, 0, 1, 1, 0, none}}},
    // The demo's three touches (30, 3 and 1 frames) with img_num 5, min_img_num 2.
    {"demo_touches",
     frames("." + std::string(30, 'F') + "..FFF..F."),
     5,
     2,
     {{Outcome::published, 1, 5, 5, 31, 20, 1},
      {Outcome::early, 33, 3, 36, 36, 20, 33},
      {Outcome::dropped, 38, 1, 39, none, 20, 38}}},
    // A gap neither counts nor ends a touch, and marks the touch it falls in or just precedes.
    {"gap_inside_touch", frames(".FgF."), 3, 2, {{Outcome::early, 1, 2, 4, 4, 20, 1, true}}},
    {"gap_before_touch", frames(".gFF."), 3, 2, {{Outcome::early, 2, 2, 4, 4, 20, 2, true}}},
    {"gap_while_handled", frames("FFFg."), 3, 2, {{Outcome::published, 0, 3, 2, 4, 20, 0, true}}},
    {"gap_between_touches",
     frames("FFF.g..F."),
     3,
     2,
     {{Outcome::published, 0, 3, 2, 3, 20, 0}, {Outcome::dropped, 7, 1, 8, none, 20, 7}}},
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class Replay : public ::testing::TestWithParam<Case> {};

TEST_P(Replay, FindsTheTouchesTheRulesSay) {
    const Case& c = GetParam();
    const std::vector<Touch> touches =
        bio_replay::replay(c.scores.data(), c.scores.size(), {10, c.img_num, c.min_img_num});
    ASSERT_EQ(touches.size(), c.expected.size());
    EXPECT_EQ(bio_replay::count_outcomes(touches).interrupted,
              std::size_t(std::count_if(c.expected.begin(), c.expected.end(), [](auto& t) { return t.gap; })));
    for (std::size_t i = 0; i < touches.size(); ++i) {
        const Touch& got = touches[i];
        const Touch& want = c.expected[i];
        SCOPED_TRACE("touch " + std::to_string(i));
        EXPECT_STREQ(bio_replay::outcome_name(got.outcome), bio_replay::outcome_name(want.outcome));
        EXPECT_EQ(got.first, want.first);
        EXPECT_EQ(got.frames, want.frames);
        EXPECT_EQ(got.decided, want.decided);
        EXPECT_EQ(got.removed, want.removed);
        EXPECT_EQ(got.best, want.best);
        EXPECT_EQ(got.best_index, want.best_index);
        EXPECT_EQ(got.gap, want.gap);
    }
}

INSTANTIATE_TEST_SUITE_P(Rules, Replay, ::testing::ValuesIn(cases),
                         [](const ::testing::TestParamInfo<Case>& param) {
                             return std::string(param.param.name);
                         });

}  // namespace
