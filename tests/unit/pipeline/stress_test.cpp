// Concurrency stress: the loop publishes touches from the virtual sensor while another thread switches
// the module on and off and changes the template count; the bus transcript must stay well-formed.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bio_module.h"
#include "bio_test/legacy_support.h"
#include "pipeline_support.h"
#include "vsensor/vsensor.h"

namespace {

using namespace std::chrono_literals;
using pipeline_test::Event;
using pipeline_test::RunThread;
using pipeline_test::Transcript;
using pipeline_test::type_detected;
using pipeline_test::type_image;
using pipeline_test::type_removed;

TEST(PipelineStressTest, TogglingAndTemplateChangesKeepTheTranscriptWellFormed) {
    // Touches of four finger frames between two frames of empty glass, replayed for ever.
    bio_test::TempDir frames_dir;
    const auto glass = pipeline_test::glass_frame();
    const auto finger = pipeline_test::ridged_frame();
    bio_test::ModuleEnvOptions options;
    options.sensor.fps = 200;
    options.sensor.scenario = pipeline_test::replay_scenario(frames_dir.file("touches.rec"),
                                                             {glass, glass, finger, finger, finger, finger});
    bio_test::ModuleEnv env(options);
    pipeline_test::apply_params(pipeline_test::module_params(env, {{"img_num", "3"},
                                                                   {"min_img_num", "2"},
                                                                   {"finger_detected_delay", "0"},
                                                                   {"watchdog_timeout", "50"}}));
    init_module();
    const int threshold = var_min;

    Transcript transcript;
    auto loop = std::make_unique<RunThread>();

    std::atomic<bool> stop{false};
    std::thread meddler([&stop] {
        for (int i = 0; !stop.load(); ++i) {
            // Mostly enabled; every fourth step off for a while. 0 or 4001 templates: no delay or 50 ms.
            set_enabled(i % 4 != 3);
            template_count.store(i % 2 == 0 ? 0 : 4001);
            std::this_thread::sleep_for(15ms);  // pacing of the disturbance, not a synchronisation
        }
        set_enabled(true);
    });
    // About two seconds of traffic, or less once plenty of touches went through.
    transcript.wait_for_count(type_image, 40, 2s);
    stop.store(true);
    meddler.join();
    loop.reset();
    // A delayed event may still be due.
    transcript.wait_for_count(type_detected, transcript.count(type_image), 1s);

    int images = 0;
    int detected = 0;
    bool expecting_removal = false;
    for (const Event& e : transcript.events()) {
        if (!e.is_message) {
            continue;
        }
        if (e.type == type_image) {
            EXPECT_FALSE(expecting_removal) << "image " << images << " before the previous touch was removed";
            expecting_removal = true;
            ++images;
            EXPECT_GE(e.number("variance").value_or(-1), threshold);
            EXPECT_EQ(e.number("width"), 260);
            EXPECT_EQ(e.number("height"), 350);
        } else if (e.type == type_removed) {
            EXPECT_TRUE(expecting_removal) << "removal without an image before it";
            expecting_removal = false;
        } else if (e.type == type_detected) {
            ++detected;
            EXPECT_LE(detected, images) << "finger detected before its image";
        }
    }
    RecordProperty("images", images);
    RecordProperty("finger_detected", detected);
    EXPECT_GE(images, 3) << "too few touches published to judge";
    EXPECT_GE(detected, 1);
    EXPECT_LE(detected, images);
}

}  // namespace
