// Process exit with the module running: the consumer thread waits on its condition variable and the
// loop is parked in the disabled gate with a deadline ten minutes away; exit must still be prompt, and
// the loop leaves (by its exception) only once the exit has begun.
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "bio_module.h"
#include "bio_test/legacy_support.h"
#include "pipeline_support.h"

namespace {

using namespace std::chrono_literals;
using pipeline_test::Clock;

bool thread_named(const std::string& wanted) {
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return false;
    }
    bool found = false;
    while (dirent* entry = readdir(dir)) {
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        if (std::getline(comm, name) && name == wanted) {
            found = true;
        }
    }
    closedir(dir);
    return found;
}

std::atomic<bool> exiting{false};

// The child: module up, loop parked while disabled, consumer waiting; then exit. Exit code 0 only
// when everything got that far; a hang shows as no exit at all.
[[noreturn]] void run_module_and_exit() {
    bio_test::TempDir frames_dir;
    bio_test::ModuleEnvOptions options;
    options.sensor.scenario =
        pipeline_test::replay_scenario(frames_dir.file("glass.rec"), {pipeline_test::glass_frame()});
    bio_test::ModuleEnv env(options);
    pipeline_test::apply_params(pipeline_test::module_params(env, {{"watchdog_timeout", "600000"}}));
    init_module();
    set_enabled(false);
    std::thread([] {
        try {
            run();
        } catch (...) {
            if (!exiting.load()) {
                std::_Exit(3);
            }
        }
    }).detach();
    const auto give_up = Clock::now() + 5s;
    while (!thread_named("bio_module_run")) {
        if (Clock::now() > give_up) {
            std::_Exit(2);
        }
        std::this_thread::sleep_for(5ms);
    }
    // Let the loop reach its wait; the exit must be prompt whether or not it got there.
    std::this_thread::sleep_for(100ms);
    exiting.store(true);
    std::exit(0);
}

TEST(ModuleUnloadTest, ProcessExitsPromptlyWhileTheConsumerAndTheDisabledLoopWait) {
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        run_module_and_exit();
    }
    int status = 0;
    pid_t done = 0;
    const auto give_up = Clock::now() + 20s;
    while ((done = waitpid(child, &status, WNOHANG)) == 0 && Clock::now() < give_up) {
        std::this_thread::sleep_for(10ms);
    }
    if (done == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        FAIL() << "the process did not exit: something waits for the module's threads at exit";
    }
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
