// Unloading the shipped library while its capture loop and consumer thread run: every dlclose stops
// them, releases the device and unmaps the library, and many cycles leave no thread, descriptor or
// mapping behind.
#include <dirent.h>
#include <dlfcn.h>

#include <chrono>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bio_test/legacy_support.h"
#include "ovra/plugin.h"
#include "recording/recording.h"
#include "vsensor/vsensor.h"

namespace {

using namespace std::chrono_literals;

constexpr int cycles = 100;

// Names of the entries of a /proc directory, "." and ".." left out.
std::vector<std::string> entries(const char* dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir)) {
        while (dirent* entry = readdir(d)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        closedir(d);
    }
    return names;
}

bool thread_named(const std::string& wanted) {
    for (const std::string& task : entries("/proc/self/task")) {
        std::ifstream comm("/proc/self/task/" + task + "/comm");
        std::string name;
        if (std::getline(comm, name) && name == wanted) {
            return true;
        }
    }
    return false;
}

bool library_mapped() {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        if (line.find("libbio_module.so") != std::string::npos) {
            return true;
        }
    }
    return false;
}

// Loads and starts the module, waits until frames flow and the consumer thread is up, unloads it, and
// waits for the run thread's end. Fails the test (and returns false) when a step does not happen in time.
bool load_run_unload(std::uint64_t frames_before) {
    void* library = dlopen(BIO_MODULE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        ADD_FAILURE() << dlerror();
        return false;
    }
    EXPECT_TRUE(library_mapped());
    auto* init = reinterpret_cast<ovra::InitFunction>(dlsym(library, "init"));
    std::promise<std::string> run_end;
    std::future<std::string> run_ended = run_end.get_future();
    std::thread run_thread;
    {
        ovra::Plugin plugin;  // its listeners go before the library does
        std::string error;
        if (init(&plugin, &error) != 1) {
            ADD_FAILURE() << "init: " << error;
            return false;
        }
        run_thread = std::thread([run = plugin.run_function(), &run_end] {
            try {
                run();
                run_end.set_value("run returned");
            } catch (const std::exception& e) {
                run_end.set_value(e.what());
            }
        });
        EXPECT_TRUE(vsensor::wait_frames_dequeued(frames_before + 3, 10s)) << "no frames";
        const auto give_up = std::chrono::steady_clock::now() + 10s;
        while (!thread_named("bio_module_run") && std::chrono::steady_clock::now() < give_up) {
            std::this_thread::sleep_for(1ms);
        }
        EXPECT_TRUE(thread_named("bio_module_run")) << "no consumer thread";
    }
    EXPECT_EQ(dlclose(library), 0) << dlerror();
    const bool ended = run_ended.wait_for(10s) == std::future_status::ready;
    EXPECT_TRUE(ended) << "run did not leave at unload";
    if (!ended) {
        run_thread.detach();
        return false;
    }
    run_thread.join();
    return !testing::Test::HasFailure();
}

TEST(ModuleDlclose, UnloadsWhileRunningAndLeavesNothingBehind) {
    bio_test::TempDir dir;
    recording::Writer writer(dir.file("glass.rec"));
    const std::vector<unsigned char> glass(614400, 200);
    writer.append(0, glass.data());
    writer.close();
    bio_test::ModuleEnvOptions options;
    options.sensor.fps = 200;
    options.sensor.scenario = "replay " + dir.file("glass.rec") + "\nrepeat\n";
    bio_test::ModuleEnv env(options);

    // One cycle first: the stand-in host starts its own threads on first use.
    ASSERT_TRUE(load_run_unload(0));
    const std::size_t threads = entries("/proc/self/task").size();
    const std::size_t descriptors = entries("/proc/self/fd").size();

    for (int cycle = 1; cycle <= cycles; ++cycle) {
        ASSERT_TRUE(load_run_unload(vsensor::counters().frames_dequeued)) << "cycle " << cycle;
        ASSERT_FALSE(library_mapped()) << "cycle " << cycle << ": the library stayed mapped";
    }
    EXPECT_EQ(entries("/proc/self/task").size(), threads);
    EXPECT_EQ(entries("/proc/self/fd").size(), descriptors);
    EXPECT_EQ(vsensor::counters().open_descriptors, 0);
    EXPECT_EQ(vsensor::counters().live_mappings, 0);
}

}  // namespace
