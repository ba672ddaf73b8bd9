// Unloading the shipped library while its capture loop and consumer thread run: at process exit, and at
// dlclose, 100 times over, with no thread, descriptor or mapping left behind.
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

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

// Loads the library, runs init and then run on a thread of its own until frames flow; `then` runs before
// the plug-in object goes. The future gives the text run ended with.
std::future<std::string> load_and_run(void*& library, std::thread& run_thread,
                                      const std::function<void()>& then) {
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
    EXPECT_TRUE(vsensor::wait_frames_dequeued(vsensor::counters().frames_dequeued + 3, 10s)) << "no frames";
    then();
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
        auto ended = load_and_run(library, run_thread, [] {
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
        auto ended = load_and_run(library, run_thread, [] {});
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

}  // namespace
