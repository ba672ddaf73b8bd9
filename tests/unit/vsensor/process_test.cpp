// The virtual sensor preloaded into another process and configured by its environment: a
// good configuration streams and writes the trace file; bad input stops the process at start
// with one line on stderr.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

namespace {

struct ProbeRun {
    int status = -1;  // exit status, or -1 when the process did not exit normally in time
    std::string out;
    std::string err;
};

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string scratch(const std::string& name) {
    return ::testing::TempDir() + "vsensor-process-" + std::to_string(::getpid()) + "-" + name;
}

// Runs the probe with libvsensor.so preloaded and `settings` (NAME=value) added to this
// process's environment, minus any VSENSOR_ and LD_PRELOAD of its own. Waits at most 20 s.
ProbeRun run_probe(const std::vector<std::string>& settings, const std::vector<std::string>& args) {
    std::vector<std::string> env;
    std::string asan_options = "verify_asan_link_order=0";
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (text.rfind("VSENSOR_", 0) == 0 || text.rfind("LD_PRELOAD=", 0) == 0) {
            continue;
        }
        if (text.rfind("ASAN_OPTIONS=", 0) == 0) {
            asan_options = text.substr(13) + ":verify_asan_link_order=0";
            continue;
        }
        env.push_back(text);
    }
    // A sanitizer runtime must come before the instrumented library it serves.
    env.push_back("ASAN_OPTIONS=" + asan_options);
    env.push_back(std::string("LD_PRELOAD=") + VSENSOR_LIBRARY);
    env.insert(env.end(), settings.begin(), settings.end());
    std::vector<char*> envp;
    for (auto& text : env) {
        envp.push_back(text.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> argv_text = {VSENSOR_PROBE};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& text : argv_text) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);

    const std::string out_path = scratch("stdout");
    const std::string err_path = scratch("stderr");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, VSENSOR_PROBE, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ProbeRun run;
    if (spawned != 0) {
        run.err = std::string("spawn failed: ") + std::strerror(spawned);
        return run;
    }
    // Bounded wait for the child's exit through a process descriptor.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        pollfd ready{pidfd, POLLIN, 0};
        if (poll(&ready, 1, 20000) != 1) {
            kill(pid, SIGKILL);
        }
        close(pidfd);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = read_file(out_path);
    run.err = read_file(err_path);
    std::remove(out_path.c_str());
    std::remove(err_path.c_str());
    return run;
}

void write_text(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

#ifdef VSENSOR_TEST_CROSS
#define SKIP_WHEN_EMULATED() GTEST_SKIP() << "a preloaded child process cannot be started under the emulator"
#else
#define SKIP_WHEN_EMULATED() (void)0
#endif

struct BadInput {
    const char* name;
    std::string scenario_text;  // written to the scenario file; empty: no file at all
    std::vector<std::string> settings;
    std::string message;  // the one line expected on stderr, after "vsensor: "
};

void PrintTo(const BadInput& input, std::ostream* out) {
    *out << input.name;
}

class VsensorBadInput : public ::testing::TestWithParam<BadInput> {};

TEST_P(VsensorBadInput, StopsTheProcessAtStartWithOneLine) {
    SKIP_WHEN_EMULATED();
    const std::string scenario = scratch("scenario");
    std::vector<std::string> settings = GetParam().settings;
    if (!GetParam().scenario_text.empty()) {
        write_text(scenario, GetParam().scenario_text);
    }
    for (auto& setting : settings) {
        const auto at = setting.find("@SCENARIO@");
        if (at != std::string::npos) {
            setting.replace(at, 10, scenario);
        }
    }
    std::string message = GetParam().message;
    if (const auto at = message.find("@SCENARIO@"); at != std::string::npos) {
        message.replace(at, 10, scenario);
    }
    const ProbeRun run = run_probe(settings, {"/dev/video-vsensor-probe", "1"});
    std::remove(scenario.c_str());
    EXPECT_NE(run.status, 0);
    EXPECT_EQ(run.err, "vsensor: " + message + "\n");
    EXPECT_EQ(run.out, "");  // the program itself never ran
}

INSTANTIATE_TEST_SUITE_P(
    Environment, VsensorBadInput,
    ::testing::Values(
        BadInput{"unknown_source",
                 "glass 1f\nfnger 2f\n",
                 {"VSENSOR_SCENARIO=@SCENARIO@"},
                 "VSENSOR_SCENARIO @SCENARIO@: scenario line 2: unknown source or setting 'fnger'"},
        BadInput{"unknown_fault",
                 "fault dqbuf ENOPE\n",
                 {"VSENSOR_SCENARIO=@SCENARIO@"},
                 "VSENSOR_SCENARIO @SCENARIO@: scenario line 1: unknown error 'ENOPE' in fault"},
        BadInput{"unreadable_scenario",
                 "",
                 {"VSENSOR_SCENARIO=@SCENARIO@"},
                 "cannot read scenario file @SCENARIO@: No such file or directory"},
        BadInput{
            "impossible_fps", "", {"VSENSOR_FPS=-5"}, "VSENSOR_FPS: impossible frame rate '-5' (0 to 1000)"},
        BadInput{"fps_not_a_number",
                 "",
                 {"VSENSOR_FPS=fast"},
                 "VSENSOR_FPS: impossible frame rate 'fast' (0 to 1000)"},
        BadInput{"bad_seed", "", {"VSENSOR_SEED=x1"}, "VSENSOR_SEED: bad seed 'x1'"}),
    [](const ::testing::TestParamInfo<BadInput>& param_info) { return std::string(param_info.param.name); });

TEST(VsensorProcess, StreamsAndWritesTheTraceFile) {
    SKIP_WHEN_EMULATED();
    const std::string scenario = scratch("good-scenario");
    const std::string trace = scratch("trace");
    write_text(scenario, "finger 2f\nglass 1f\nfault qbuf EINTR skip=3 count=1\n");
    const ProbeRun run =
        run_probe({"VSENSOR_DEVICE=/dev/video-vsensor-probe", "VSENSOR_FPS=0", "VSENSOR_SCENARIO=" + scenario,
                   "VSENSOR_TRACE=" + trace, "VSENSOR_SEED=4"},
                  {"/dev/video-vsensor-probe", "5"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "frames 5\n");
    const auto lines = lines_of(read_file(trace));
    std::remove(scenario.c_str());
    std::remove(trace.c_str());
    ASSERT_GE(lines.size(), 20u);
    EXPECT_NE(lines.front().find(" open fd="), std::string::npos) << lines.front();
    EXPECT_NE(lines.back().find(" close fd="), std::string::npos) << lines.back();
    int interrupted = 0;
    for (const auto& line : lines) {
        if (line.find(" qbuf ") != std::string::npos && line.find("errno=EINTR") != std::string::npos) {
            ++interrupted;
            EXPECT_NE(line.find("result=-1"), std::string::npos) << line;
        }
    }
    EXPECT_EQ(interrupted, 1);
}

TEST(VsensorProcess, WithoutThePreloadTheDeviceDoesNotExist) {
    SKIP_WHEN_EMULATED();
    // The probe alone (the library given to the loader but no device configured differently):
    // a path that is not the configured one goes to libc.
    const ProbeRun run =
        run_probe({"VSENSOR_DEVICE=/dev/video-vsensor-elsewhere"}, {"/dev/video-vsensor-probe", "1"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("start failed: No such file or directory"), std::string::npos) << run.err;
}

}  // namespace
