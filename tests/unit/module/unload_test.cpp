// Unloading the shipped library while its capture loop and consumer thread run: at process exit, and at
// dlclose, 100 times over, with no thread, descriptor or mapping left behind.
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bio_test/module.h"
#include "ovra/plugin.h"
#include "ovra/post_office.h"

namespace {

using namespace std::chrono_literals;

std::size_t entries(const char* dir) {
    const std::filesystem::directory_iterator listing(dir);
    return static_cast<std::size_t>(std::distance(begin(listing), end(listing)));
}

bool library_mapped() {
    return bio_test::read_file("/proc/self/maps").find("libbio_module.so") != std::string::npos;
}

// Glass replayed fast for ever, the loop's gate deadline ten minutes away.
bio_test::ModuleEnvOptions glass_options(const bio_test::TempDir& dir) {
    bio_test::ModuleEnvOptions options;
    options.overrides = {{"watchdog_timeout", "600000"}};
    options.sensor.fps = 200;
    options.sensor.scenario = bio_test::replay_scenario(dir.file("glass.rec"), {bio_test::glass_frame()});
    return options;
}

// Whether a record of `kind` whose text holds `text` was made.
std::function<bool(const std::vector<bio_test::Event>&)> recorded(bio_test::Event::Kind kind,
                                                                  std::string text) {
    return [kind, text](const std::vector<bio_test::Event>& events) {
        return std::any_of(events.begin(), events.end(), [&](const bio_test::Event& e) {
            return e.kind == kind && e.text.find(text) != std::string::npos;
        });
    };
}

// A finger for ever, published at its first frame.
bio_test::ModuleEnvOptions finger_options(const bio_test::TempDir& dir) {
    auto options = glass_options(dir);
    options.overrides.insert({{"img_num", "1"}, {"min_img_num", "1"}});
    options.sensor.scenario = bio_test::replay_scenario(dir.file("finger.rec"), {bio_test::ridged_frame()});
    return options;
}

// Loads the library, runs init and then run on a thread of its own until `frames` more frames were
// dequeued; `then` runs before the plug-in object goes. The future gives the text run ended with.
std::future<std::string> load_and_run(void*& library, std::thread& run_thread, int frames = 3,
                                      const std::function<void()>& then = {}) {
    library = dlopen(BIO_MODULE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(library, nullptr) << dlerror();
    auto* init = reinterpret_cast<ovra::InitFunction>(dlsym(library, "init"));
    auto ended = std::make_shared<std::promise<std::string>>();
    ovra::Plugin plugin;  // its listeners go before the library does
    std::string error;
    EXPECT_EQ(init(&plugin, &error), 1) << error;
    run_thread = std::thread([run = plugin.run_function(), ended] {
        try {
            run();
            ended->set_value("run returned");
        } catch (const std::exception& e) {
            ended->set_value(e.what());
        }
    });
    EXPECT_TRUE(vsensor::wait_frames_dequeued(vsensor::counters().frames_dequeued + frames, 10s))
        << "no frames";
    if (then) {
        then();
    }
    return ended->get_future();
}

// The loop parked in the disabled gate and the consumer waiting: exit is prompt, and run leaves (by its
// exception) only once exit has begun.
TEST(ModuleUnload, ProcessExitsPromptlyWhileTheModuleWaits) {
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        bio_test::TempDir dir;
        bio_test::ModuleEnv env(glass_options(dir));
        void* library = nullptr;
        std::thread run_thread;
        auto ended = load_and_run(library, run_thread, 3, [] {
            ovra::PostOffice::send_message(new ovra::Message("bio_module_disable", 0, nullptr));
            ovra::PostOffice::flush(5s);
        });
        run_thread.detach();
        std::exit(ended.wait_for(0s) == std::future_status::ready || testing::Test::HasFailure() ? 3 : 0);
    }
    auto ended = std::async(std::launch::async, [child] {
        int status = 0;
        waitpid(child, &status, 0);
        return status;
    });
    if (ended.wait_for(20s) != std::future_status::ready) {
        kill(child, SIGKILL);
        FAIL() << "the process did not exit: something waits for the module's threads at exit";
    }
    const int status = ended.get();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

TEST(ModuleUnload, DlcloseWhileRunningLeavesNothingBehind) {
    bio_test::TempDir dir;
    bio_test::ModuleEnv env(glass_options(dir));
    std::size_t threads = 0;
    std::size_t descriptors = 0;
    // One cycle first: the stand-in host starts its own threads on first use.
    for (int cycle = 0; cycle <= 100; ++cycle) {
        void* library = nullptr;
        std::thread run_thread;
        auto ended = load_and_run(library, run_thread);
        ASSERT_EQ(dlclose(library), 0) << dlerror();
        ASSERT_EQ(ended.wait_for(10s), std::future_status::ready)
            << "cycle " << cycle << ": run did not leave";
        run_thread.join();
        ASSERT_FALSE(library_mapped()) << "cycle " << cycle << ": the library stayed mapped";
        ASSERT_FALSE(testing::Test::HasFailure()) << "cycle " << cycle;
        if (cycle == 0) {
            threads = entries("/proc/self/task");
            descriptors = entries("/proc/self/fd");
        }
    }
    EXPECT_EQ(entries("/proc/self/task"), threads);
    EXPECT_EQ(entries("/proc/self/fd"), descriptors);
    EXPECT_EQ(vsensor::counters().open_descriptors, 0);
    EXPECT_EQ(vsensor::counters().live_mappings, 0);
}

// Over a finger published at its first frame, dlclose lands at 60 moments spread over the loop's first
// 150 ms (from its first iteration's keep-alive), twice over: while the loop sends its first bus messages
// or waits for a frame. dlclose returns, run leaves and the library is gone every time.
TEST(ModuleUnload, DlcloseAtAnyMomentOfTheFirstFrames) {
    bio_test::TempDir dir;
    auto options = finger_options(dir);
    options.overrides["watchdog_timeout"] = "-1";  // a keep-alive in every iteration
    bio_test::ModuleEnv env(options);
    int published = 0;
    for (int cycle = 0; cycle < 120; ++cycle) {
        published += env.events.count("identifier_new_biometric_image");
        env.events.clear();
        void* library = nullptr;
        std::thread run_thread;
        auto ended = load_and_run(library, run_thread, 0);
        ASSERT_TRUE(env.events.wait_for(recorded(bio_test::Event::Kind::keep_alive, ""), 10s));
        std::this_thread::sleep_for(cycle % 60 * 2500us);
        ASSERT_EQ(dlclose(library), 0) << dlerror();
        ASSERT_EQ(ended.wait_for(10s), std::future_status::ready)
            << "cycle " << cycle << ": run did not leave";
        run_thread.join();
        ASSERT_FALSE(library_mapped()) << "cycle " << cycle;
    }
    EXPECT_GE(published, 60);
}

// run held inside a host call (a bus tap that does not return) when dlclose comes: the unload logs that
// it waits, and waits for as long as run is held, instead of unmapping the code run returns into.
TEST(ModuleUnload, DlcloseWaitsForARunHeldInsideTheHost) {
    bio_test::TempDir dir;
    bio_test::ModuleEnv env(finger_options(dir));
    std::promise<void> release;
    const int tap = ovra::PostOffice::add_tap(
        [released = release.get_future().share()](const ovra::TapEvent&) { released.wait(); });
    void* library = nullptr;
    std::thread run_thread;
    auto ended = load_and_run(library, run_thread, 0);
    ASSERT_TRUE(env.events.wait_for("identifier_new_biometric_image", 1, 10s));
    auto closed = std::async(std::launch::async, [library] { return dlclose(library); });
    const bool logged =
        env.events.wait_for(recorded(bio_test::Event::Kind::log, "run has not left after"), 60s);
    const bool waited = closed.wait_for(1s) == std::future_status::timeout;  // it must not return meanwhile
    release.set_value();
    EXPECT_TRUE(logged && waited) << "logged " << logged << ", dlclose waited " << waited;
    EXPECT_EQ(closed.get(), 0);
    ASSERT_EQ(ended.wait_for(10s), std::future_status::ready);
    run_thread.join();
    ovra::PostOffice::remove_tap(tap);
    EXPECT_FALSE(library_mapped());
}

}  // namespace
