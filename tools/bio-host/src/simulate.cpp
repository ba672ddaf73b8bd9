// Scenario reading, the private directory, the re-execution of bio-host with the virtual sensor
// preloaded, and the sensor's configuration in the process that runs the plug-in.
#include "simulate.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "bio_common/cli.h"
#include "bio_common/config_keys.h"
#include "bio_common/text.h"
#include "bio_host_paths.h"
#include "files.h"
#include "probe.h"

namespace bio_host {
namespace {

// The other files of the private directory: the sensor's device node and its timeline.
constexpr const char* sim_device_file = "video0";
constexpr const char* sim_timeline_file = "scenario";

// What the name of a sensor variable may hold.
constexpr const char* env_name_chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_";

// The scenario of --simulate with --model applied; raises UsageError naming the file when it
// cannot be read or bio-host refuses one of its lines.
SimScenario load_scenario(const Options& options) {
    SimScenario scenario;
    try {
        scenario = parse_sim_scenario(read_text_file(options.simulate));
    } catch (const std::invalid_argument& e) {
        throw bio_common::cli::UsageError(options.simulate + ": " + e.what());
    } catch (const std::runtime_error& e) {
        throw bio_common::cli::UsageError(e.what());
    }
    if (!options.model.empty()) {
        scenario.model = options.model;
    }
    return scenario;
}

// A C entry point of the loaded virtual sensor; nullptr without one.
template <typename Function>
Function* sensor_function(const char* name) {
    void* symbol = ::dlsym(RTLD_DEFAULT, name);
    return reinterpret_cast<Function*>(reinterpret_cast<std::uintptr_t>(symbol));
}

// Path of the running executable; empty on failure, with errno set by readlink.
std::string self_path() {
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

// libvsensor.so as given (only there), or next to bio-host, in the build tree or where the
// package installs it, resolved to an absolute path; empty when there is none.
std::string find_vsensor(const std::string& given) {
    const std::string here = executable_dir();
    const std::vector<std::string> candidates =
        !given.empty() ? std::vector<std::string>{given}
                       : std::vector<std::string>{here + "/libvsensor.so",
                                                  here + "/../../sim/vsensor/libvsensor.so",  // build tree
                                                  here + "/../lib/bio_module/libvsensor.so",  // installed package
                                                  here + "/../lib/libvsensor.so",
                                                  std::string(BIO_HOST_INSTALL_LIBDIR) + "/libvsensor.so"};
    std::string library = first_existing(candidates);
    if (char* real = library.empty() ? nullptr : ::realpath(library.c_str(), nullptr)) {
        library = real;
        std::free(real);
    }
    return library;
}

// Where the sensor sends the truth of its frames: beside the module's debug stream, to the
// receiver's port + 1, when the configuration turns the stream on; "" otherwise.
std::string truth_destination(const std::vector<IniEntry>& configuration) {
    constexpr const char* ip_key = bio_common::module_key("net_debug_ip");
    constexpr const char* port_key = bio_common::module_key("net_debug_port");
    std::string ip;
    unsigned port = 9000;
    for (const IniEntry& entry : configuration) {
        if (entry.section == bio_common::module_section && entry.key == ip_key) {
            ip = entry.value;
        } else if (entry.section == bio_common::module_section && entry.key == port_key) {
            port = bio_common::parse_integer<unsigned>(entry.value).value_or(port) & 0xFFFFu;
        }
    }
    return ip.empty() || port == 0xFFFFu ? std::string() : ip + ":" + std::to_string(port + 1);
}

// The command that runs this program again with its arguments, and `library` preloaded for it
// (before any preload the caller gave). Raises when /proc/self/exe cannot be read.
std::vector<std::string> self_command(const std::string& library, int argc, char** argv) {
    std::string preload = library;
    const char* existing = std::getenv("LD_PRELOAD");
    if (existing != nullptr && *existing != '\0') {
        preload += std::string(":") + existing;
    }
    ::setenv("LD_PRELOAD", preload.c_str(), 1);
    const std::string self = self_path();
    if (self.empty()) {
        throw std::runtime_error(std::string("cannot read /proc/self/exe: ") + std::strerror(errno));
    }
    std::vector<std::string> args{self};
    args.insert(args.end(), argv + 1, argv + argc);
    return args;
}

// Starts `args` (a bare program name is looked up in PATH) as a child with `mask` as its signal
// mask. The child ends with this process: killed outright, it would leave nobody to remove the
// private directory, so the child then receives SIGTERM (bio-host stops on it and removes the
// directory itself). Returns the child's pid; raises with the reason when the program cannot be
// executed, which the child reports back through a pipe.
pid_t start_child(std::vector<std::string> args, const sigset_t& mask) {
    std::vector<char*> raw;
    for (std::string& arg : args) {
        raw.push_back(arg.data());
    }
    raw.push_back(nullptr);
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child == -1) {
        const int error = errno;
        ::close(report[0]);
        ::close(report[1]);
        throw std::system_error(error, std::generic_category(), "cannot start " + args.front());
    }
    if (child == 0) {
        ::close(report[0]);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() == parent) {
            ::sigprocmask(SIG_SETMASK, &mask, nullptr);
            ::execvp(raw[0], raw.data());
            const int error = errno;
            static_cast<void>(::write(report[1], &error, sizeof error) == sizeof error);
        }
        ::_exit(127);
    }
    ::close(report[1]);
    // The pipe closes unread when the program runs (close-on-exec); it carries errno otherwise.
    int error = 0;
    ssize_t got = 0;
    do {
        got = ::read(report[0], &error, sizeof error);
    } while (got == -1 && errno == EINTR);
    ::close(report[0]);
    if (got == static_cast<ssize_t>(sizeof error)) {
        ::waitpid(child, nullptr, 0);
        throw std::runtime_error("cannot execute " + args.front() + ": " + std::strerror(error));
    }
    return child;
}

// Waits for `child`, passing on the stop signals of `waited` (blocked by the caller) that this
// process receives; returns the child's wait status.
int wait_passing_signals(pid_t child, const sigset_t& waited) {
    for (;;) {
        const int signal = ::sigwaitinfo(&waited, nullptr);
        if (signal != SIGCHLD && signal > 0) {
            ::kill(child, signal);
            continue;
        }
        int status = 0;
        if (::waitpid(child, &status, WNOHANG) == child) {
            return status;
        }
    }
}

// The exit status that tells what `status` says of a child: its own exit status; for a child
// ended by a signal, this process ends by the same signal (128 + the signal if it survives).
int end_as(int status) {
    if (!WIFSIGNALED(status)) {
        return WEXITSTATUS(status);
    }
    const int signal = WTERMSIG(status);
    std::signal(signal, SIG_DFL);
    sigset_t just;
    sigemptyset(&just);
    sigaddset(&just, signal);
    ::sigprocmask(SIG_UNBLOCK, &just, nullptr);
    std::raise(signal);
    return 128 + signal;
}

}  // namespace

SimScenario parse_sim_scenario(const std::string& text) {
    SimScenario scenario;
    std::istringstream in(text);
    std::string raw;
    int number = 0;
    while (std::getline(in, raw)) {
        ++number;
        std::istringstream words(bio_common::trim(raw, " \t\r"));
        std::string verb;
        words >> verb;
        auto rest = [&]() {
            std::string remainder;
            std::getline(words, remainder);
            return bio_common::trim(remainder, " \t\r");
        };
        const std::string where = "line " + std::to_string(number) + ": ";
        if (verb == "model") {
            scenario.model = rest();
            if (scenario.model.empty()) {
                throw std::invalid_argument(where + "model needs a name");
            }
            scenario.timeline += '\n';
        } else if (verb == "sensor") {
            const std::string assignment = rest();
            const auto equals = assignment.find('=');
            const std::string name =
                equals == std::string::npos ? "" : bio_common::trim(assignment.substr(0, equals), " \t\r");
            if (name.empty() || name.find_first_not_of(env_name_chars) != std::string::npos) {
                throw std::invalid_argument(where + "sensor needs VAR=VALUE with VAR in A-Z, 0-9, _");
            }
            scenario.sensor_env.emplace_back("VSENSOR_" + name,
                                             bio_common::trim(assignment.substr(equals + 1), " \t\r"));
            scenario.timeline += '\n';
        } else {
            scenario.timeline += raw + '\n';
        }
    }
    return scenario;
}

std::string first_existing(const std::vector<std::string>& candidates) {
    for (const std::string& path : candidates) {
        struct stat info {};
        if (!path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
            return path;
        }
    }
    return {};
}

std::string executable_dir() {
    const std::string exe = self_path();
    const auto slash = exe.rfind('/');
    return slash == std::string::npos ? std::string(".") : exe.substr(0, slash);
}

std::string temp_base() {
    const char* tmp = std::getenv("TMPDIR");
    return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

std::string make_sim_dir(const std::string& base) {
    std::string pattern = base + "/bio-host-sim.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), pattern);
    }
    return pattern;
}

void remove_sim_dir(const std::string& dir) {
    if (dir.empty()) {
        return;
    }
    for (const char* name : {sim_model_file, sim_timeline_file, sim_device_file}) {
        ::unlink((dir + "/" + name).c_str());
    }
    ::rmdir(dir.c_str());
}

bool sensor_loaded() {
    return sensor_function<int(char*, std::size_t)>("vsensor_configure_environment") != nullptr;
}

int run_simulated(const Options& options, int argc, char** argv) {
    if (std::getenv(sim_dir_env) != nullptr) {
        // The parent preloaded a library that did not load (the loader said why), or not the sensor.
        const char* preload = std::getenv("LD_PRELOAD");
        throw std::runtime_error("the virtual sensor did not load from LD_PRELOAD=" +
                                 std::string(preload != nullptr ? preload : ""));
    }
    const std::string library = find_vsensor(options.vsensor);
    if (library.empty()) {
        throw bio_common::cli::UsageError(
            !options.vsensor.empty() ? "--vsensor " + options.vsensor + ": no such file"
                                     : "cannot find libvsensor.so (looked next to bio-host, in the build tree and in " +
                                           std::string(BIO_HOST_INSTALL_LIBDIR) + "); give --vsensor PATH");
    }
    const std::string base = temp_base();
    std::string dir;
    try {
        dir = make_sim_dir(base);
    } catch (const std::system_error& e) {
        throw std::runtime_error("cannot create a directory under " + base + ": " + e.code().message());
    }
    // The stop signals wait here for the child, and SIGCHLD tells when it has ended.
    sigset_t waited;
    sigset_t original;
    sigemptyset(&waited);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) {
        sigaddset(&waited, signal);
    }
    std::signal(SIGCHLD, SIG_DFL);
    ::sigprocmask(SIG_BLOCK, &waited, &original);
    int status = 0;
    try {
        ::setenv(sim_dir_env, dir.c_str(), 1);
        status = wait_passing_signals(start_child(self_command(library, argc, argv), original), waited);
    } catch (...) {
        remove_sim_dir(dir);
        throw;
    }
    remove_sim_dir(dir);
    return end_as(status);
}

std::string own_sim_dir() {
    if (const char* dir = std::getenv(sim_dir_env)) {
        return dir;
    }
    std::string dir;
    try {
        dir = make_sim_dir(temp_base());
    } catch (const std::system_error& e) {
        throw std::runtime_error(std::string("cannot create ") + e.what());
    }
    ::setenv(sim_dir_env, dir.c_str(), 1);
    return dir;
}

SimSensor configure_sensor(const Options& options, const std::string& dir,
                           const std::vector<IniEntry>& configuration) {
    const SimScenario scenario = load_scenario(options);
    warn_unknown_model(scenario.model);
    const SimSensor sensor{dir + "/" + sim_device_file, dir + "/" + sim_model_file};
    const std::string timeline = dir + "/" + sim_timeline_file;
    // The model file holds the name exactly, as the sensor's driver publishes it.
    write_text_file(sensor.model_path, scenario.model);
    write_text_file(timeline, scenario.timeline);
    ::setenv("VSENSOR_DEVICE", sensor.device_path.c_str(), 1);
    ::setenv("VSENSOR_SCENARIO", timeline.c_str(), 1);
    // The sensor is that model too: a finger image goes through its correction.
    ::setenv("VSENSOR_MODEL", scenario.model.c_str(), 1);
    if (const std::string truth = truth_destination(configuration); !truth.empty()) {
        ::setenv("VSENSOR_TRUTH_TO", truth.c_str(), 0);  // unless the caller says where
    }
    for (const auto& [name, value] : scenario.sensor_env) {
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    char error[512] = "";
    if (sensor_function<int(char*, std::size_t)>("vsensor_configure_environment")(error, sizeof error) != 0) {
        // The sensor names its copy of the timeline: the user knows the scenario file.
        std::string text = error;
        const std::string copy = "VSENSOR_SCENARIO " + timeline;
        if (text.compare(0, copy.size(), copy) == 0) {
            text.replace(0, copy.size(), options.simulate);
        }
        throw bio_common::cli::UsageError(text);
    }
    return sensor;
}

long long sensor_frames_dequeued() {
    const auto frames = sensor_function<std::uint64_t()>("vsensor_frames_dequeued");
    return frames != nullptr ? static_cast<long long>(frames()) : -1;
}

std::uint64_t sensor_timeline_frames() {
    const auto frames = sensor_function<std::uint64_t()>("vsensor_timeline_frames");
    return frames != nullptr ? frames() : 0;
}

}  // namespace bio_host
