// Finger detector: touch sequences fed score by score, judged by the bus messages and "run" records
// they produce and by which frame each published image came from.
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bio_module.h"
#include "bio_test/legacy_support.h"
#include "ovra/host.h"
#include "pipeline_support.h"

namespace {

using pipeline_test::Transcript;
using testing::ElementsAreArray;

// One captured frame: its score and the byte every sample of the frame holds (so the published
// best frame can be told apart).
struct Frame {
    int variance;
    int fill;
};

struct DetectionCase {
    const char* name;
    int img_num;
    int min_img_num;
    int var_min;
    bool identification;
    std::vector<Frame> frames;
    std::vector<std::string> expected;
};

std::ostream& operator<<(std::ostream& out, const DetectionCase& c) {
    return out << c.name;
}

const char* const early = "################ Dedo Precoce!!!!!!";
const char* const declined = "Biometry identification disabled!";

// var_min 100 unless a case says otherwise; img_num / min_img_num as listed.
const DetectionCase cases[] = {
    {"glass_keeps_idle", 3, 2, 100, true, {{50, 1}, {99, 2}, {0, 3}}, {}},
    {"publishes_best_at_img_num_then_ignores_finger_until_removed",
     3,
     2,
     100,
     true,
     {{150, 1}, {200, 2}, {180, 3}, {250, 4}, {300, 5}, {50, 6}, {40, 7}},
     {"image v=200 f=2", "UUID", "detected", "removed"}},
    {"reset_after_removal_starts_a_fresh_best",
     3,
     2,
     100,
     true,
     {{150, 1}, {200, 2}, {180, 3}, {50, 4}, {120, 5}, {110, 6}, {130, 7}},
     {"image v=200 f=2", "UUID", "detected", "removed", "image v=130 f=7", "UUID", "detected"}},
    {"score_equal_to_var_min_is_a_finger",
     3,
     2,
     100,
     true,
     {{100, 1}, {100, 2}, {100, 3}},
     {"image v=100 f=1", "UUID", "detected"}},
    {"equal_best_scores_keep_the_first_frame",
     3,
     2,
     100,
     true,
     {{150, 1}, {150, 2}, {150, 3}},
     {"image v=150 f=1", "UUID", "detected"}},
    {"lifted_after_min_frames_publishes_early_and_removes_at_once",
     3,
     2,
     100,
     true,
     {{150, 1}, {200, 2}, {50, 3}, {50, 4}},
     {early, "image v=200 f=2", "UUID", "detected", "removed"}},
    {"touch_shorter_than_min_resets_silently",
     3,
     2,
     100,
     true,
     {{150, 1}, {50, 2}, {120, 3}, {110, 4}, {105, 5}},
     {"image v=120 f=3", "UUID", "detected"}},
    {"img_num_one_publishes_the_first_finger_frame",
     1,
     1,
     100,
     true,
     {{150, 1}, {160, 2}, {50, 3}},
     {"image v=150 f=1", "UUID", "detected", "removed"}},
    {"min_img_num_one_publishes_a_single_frame_early",
     3,
     1,
     100,
     true,
     {{150, 1}, {50, 2}},
     {early, "image v=150 f=1", "UUID", "detected", "removed"}},
    {"identification_disabled_at_img_num_declines_and_still_removes",
     3,
     2,
     100,
     false,
     {{150, 1}, {150, 2}, {150, 3}, {150, 4}, {50, 5}, {50, 6}},
     {declined, "removed"}},
    {"identification_disabled_on_early_path_removes_with_the_next_glass_frame",
     3,
     2,
     100,
     false,
     {{150, 1}, {150, 2}, {50, 3}, {50, 4}, {50, 5}},
     {early, declined, "removed"}},
    {"img_num_zero_publishes_only_on_the_early_path",
     0,
     2,
     100,
     true,
     {{150, 1}, {160, 2}, {155, 3}, {170, 4}, {165, 5}, {50, 6}},
     {early, "image v=170 f=4", "UUID", "detected", "removed"}},
    {"img_num_negative_publishes_only_on_the_early_path",
     -1,
     2,
     100,
     true,
     {{150, 1}, {160, 2}, {50, 3}},
     {early, "image v=160 f=2", "UUID", "detected", "removed"}},
    // The best frame starts black and is not cleared by a reset: with min_img_num 0 every glass
    // frame publishes whatever it holds, with score 0.
    {"min_img_num_zero_publishes_the_stale_best_frame_with_score_zero",
     3,
     0,
     100,
     true,
     {{50, 1}, {150, 2}, {50, 3}, {50, 4}},
     {early, "image v=0 f=0", "UUID", "detected", "removed", early, "image v=150 f=2", "UUID", "detected",
      "removed", early, "image v=0 f=2", "UUID", "detected", "removed"}},
    {"min_img_num_negative_publishes_on_every_glass_frame",
     3,
     -1,
     100,
     true,
     {{50, 1}, {50, 2}},
     {early, "image v=0 f=0", "UUID", "detected", "removed", early, "image v=0 f=0", "UUID", "detected",
      "removed"}},
    {"var_min_zero_with_zero_scores_publishes_the_black_frame",
     3,
     2,
     0,
     true,
     {{0, 5}, {0, 6}, {0, 7}},
     {"image v=0 f=0", "UUID", "detected"}},
};

class DetectionTest : public testing::TestWithParam<DetectionCase> {
protected:
    bio_test::ModuleEnv env;
};

TEST_P(DetectionTest, MessagesAndRecordsFollowTheTouch) {
    const DetectionCase& c = GetParam();
    // An unknown sensor publishes 0 x 0 images: the detector's choices are what is judged here.
    camera_sensor = "None";
    img_num = c.img_num;
    min_img_num = c.min_img_num;
    var_min = c.var_min;
    finger_detected_delay = 0;
    template_count.store(0);
    finger_image_path.clear();
    ovra::host::set_identification_enabled(bio_identifier_id, c.identification);

    Transcript transcript(true);
    for (const Frame& frame : c.frames) {
        std::memset(captured_frame, frame.fill, frame_bytes);
        detection_step(frame.variance);
    }

    EXPECT_THAT(transcript.summary(), ElementsAreArray(c.expected));
}

INSTANTIATE_TEST_SUITE_P(Touches, DetectionTest, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<DetectionCase>& p) { return p.param.name; });

TEST(DetectionStateTest, HandledTouchIgnoresBetterFramesAndResetClearsTheCounters) {
    bio_test::ModuleEnv env;
    camera_sensor = "None";
    img_num = 2;
    min_img_num = 1;
    var_min = 100;
    template_count.store(0);
    finger_detected_delay = 0;

    std::memset(captured_frame, 1, frame_bytes);
    detection_step(150);
    std::memset(captured_frame, 2, frame_bytes);
    detection_step(140);
    EXPECT_TRUE(detection.handled);
    EXPECT_EQ(detection.finger_frames, 2);
    EXPECT_EQ(detection.best_variance, 150);

    // A better frame while handled is neither counted nor copied.
    std::memset(captured_frame, 3, frame_bytes);
    detection_step(500);
    EXPECT_EQ(detection.finger_frames, 2);
    EXPECT_EQ(detection.best_variance, 150);
    EXPECT_EQ(detection.best_frame[0], 1);
    EXPECT_EQ(detection.best_frame[frame_bytes - 1], 1);

    detection_step(10);
    EXPECT_FALSE(detection.handled);
    EXPECT_EQ(detection.finger_frames, 0);
    EXPECT_EQ(detection.best_variance, 0);
    // The best frame itself survives the reset.
    EXPECT_EQ(detection.best_frame[0], 1);
}

}  // namespace
