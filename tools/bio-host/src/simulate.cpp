// Scenario reading, the private directory and the re-execution of bio-host for --simulate.
#include "simulate.h"

#include <fcntl.h>
#include <link.h>
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

#include "bio_common/text.h"
#include "bio_host_paths.h"
#include "files.h"
#include "runner.h"

namespace bio_host {
namespace {

// The other files of the private directory: the sensor's device node and its timeline.
constexpr const char* sim_device_file = "video0";
constexpr const char* sim_timeline_file = "scenario";

// What the name of a sensor variable may hold.
constexpr const char* env_name_chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_";

// The scenario of --simulate with --model applied; raises as read_text_file and
// parse_sim_scenario do.
SimScenario load_scenario(const Options& options) {
    SimScenario scenario = parse_sim_scenario(read_text_file(options.simulate));
    if (!options.model.empty()) {
        scenario.model = options.model;
    }
    return scenario;
}

// Path of the running executable; empty on failure, with errno set by readlink.
std::string self_path() {
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

// libvsensor.so as given, from BIO_VSENSOR_LIB, next to bio-host, in the build tree or where
// the package installs it, resolved to an absolute path; empty when there is none.
std::string find_vsensor(const std::string& given) {
    const std::string here = executable_dir();
    std::vector<std::string> candidates;
    if (!given.empty()) {
        candidates.push_back(given);
    }
    if (const char* from_env = std::getenv("BIO_VSENSOR_LIB")) {
        candidates.emplace_back(from_env);
    }
    candidates.push_back(here + "/libvsensor.so");
    candidates.push_back(here + "/../../sim/vsensor/libvsensor.so");  // build tree
    candidates.push_back(here + "/../lib/bio_module/libvsensor.so");  // installed package
    candidates.push_back(here + "/../lib/libvsensor.so");
    candidates.push_back(std::string(BIO_HOST_INSTALL_LIBDIR) + "/libvsensor.so");
    std::string library = first_existing(candidates);
    if (char* real = library.empty() ? nullptr : ::realpath(library.c_str(), nullptr)) {
        library = real;
        std::free(real);
    }
    return library;
}

// Where the sensor sends the truth of its frames: beside the module's debug stream, to the
// receiver's port + 1, when the configuration turns the stream on; "" otherwise.
std::string truth_destination(const Options& options) {
    std::string ip;
    unsigned port = 9000;
    for (const IniEntry& entry : configuration_entries(options)) {
        if (entry.section == "bio_module" && entry.key == "net_debug_ip") {
            ip = entry.value;
        } else if (entry.section == "bio_module" && entry.key == "net_debug_port") {
            port = bio_common::parse_integer<unsigned>(entry.value).value_or(port) & 0xFFFFu;
        }
    }
    return ip.empty() || port == 0xFFFFu ? std::string() : ip + ":" + std::to_string(port + 1);
}

// Sets the sensor's environment: where its device and timeline are, where the truth goes (unless
// the caller or the scenario says), and the scenario's own sensor variables.
void export_sensor_env(const std::string& dir, const SimScenario& scenario, const Options& options) {
    std::vector<std::pair<std::string, std::string>> env{
        {sim_dir_env, dir},
        {"VSENSOR_DEVICE", dir + "/" + sim_device_file},
        {"VSENSOR_SCENARIO", dir + "/" + sim_timeline_file},
        {"VSENSOR_MODEL", scenario.model},
    };
    if (const std::string truth = truth_destination(options);
        !truth.empty() && std::getenv("VSENSOR_TRUTH_TO") == nullptr) {
        env.emplace_back("VSENSOR_TRUTH_TO", truth);
    }
    env.insert(env.end(), scenario.sensor_env.begin(), scenario.sensor_env.end());
    for (const auto& [name, value] : env) {
        ::setenv(name.c_str(), value.c_str(), 1);
    }
}

// The command that runs this program again with its arguments and `library` preloaded. Under
// qemu-user (BIO_EMULATOR) the preload belongs to the emulated program, not to qemu itself, and
// /proc/self/exe names the emulated program; otherwise LD_PRELOAD is set here for the child to
// inherit. Raises when /proc/self/exe cannot be read.
std::vector<std::string> self_command(const std::string& library, int argc, char** argv) {
    // AddressSanitizer insists on being first in the preload list.
    std::string preload = library;
    const std::string asan = loaded_asan_runtime();
    if (!asan.empty()) {
        preload = asan + ":" + preload;
    }
    std::vector<std::string> args;
    const char* emulator = std::getenv("BIO_EMULATOR");
    if (emulator != nullptr && *emulator != '\0') {
        args = bio_common::split_words(emulator);
        args.push_back("-E");
        args.push_back("LD_PRELOAD=" + preload);
    } else {
        const char* existing = std::getenv("LD_PRELOAD");
        if (existing != nullptr && *existing != '\0') {
            preload += std::string(":") + existing;
        }
        ::setenv("LD_PRELOAD", preload.c_str(), 1);
    }
    const std::string self = self_path();
    if (self.empty()) {
        throw std::runtime_error(std::string("cannot read /proc/self/exe: ") + std::strerror(errno));
    }
    args.push_back(self);
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

std::string loaded_asan_runtime() {
    std::string found;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            const std::string name = info->dlpi_name != nullptr ? info->dlpi_name : "";
            if (name.find("libasan.so") != std::string::npos) {
                *static_cast<std::string*>(data) = name;
                return 1;
            }
            return 0;
        },
        &found);
    return found;
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

int run_simulated(const Options& options, int argc, char** argv) {
    const SimScenario scenario = load_scenario(options);
    const std::string library = find_vsensor(options.vsensor);
    if (library.empty()) {
        throw std::runtime_error(
            "cannot find libvsensor.so (looked next to bio-host, in the build tree and in " +
            std::string(BIO_HOST_INSTALL_LIBDIR) + "; give --vsensor PATH)");
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
        // The model file holds the name exactly, as the sensor's driver publishes it.
        write_text_file(dir + "/" + sim_model_file, scenario.model);
        write_text_file(dir + "/" + sim_timeline_file, scenario.timeline);
        export_sensor_env(dir, scenario, options);
        status = wait_passing_signals(start_child(self_command(library, argc, argv), original), waited);
    } catch (...) {
        remove_sim_dir(dir);
        throw;
    }
    remove_sim_dir(dir);
    return end_as(status);
}

std::string own_sim_dir(const Options& options) {
    if (const char* dir = std::getenv(sim_dir_env)) {
        return dir;
    }
    // --no-reexec: the caller preloaded and configured the sensor; bio-host still provides
    // the sensor-model file.
    const SimScenario scenario = load_scenario(options);
    std::string dir;
    try {
        dir = make_sim_dir(temp_base());
    } catch (const std::system_error& e) {
        throw std::runtime_error(std::string("cannot create ") + e.what());
    }
    try {
        write_text_file(dir + "/" + sim_model_file, scenario.model);
    } catch (...) {
        remove_sim_dir(dir);
        throw;
    }
    ::setenv(sim_dir_env, dir.c_str(), 1);
    return dir;
}

}  // namespace bio_host
