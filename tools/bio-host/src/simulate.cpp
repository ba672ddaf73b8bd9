// Scenario reading, the private directory and the re-execution of bio-host for --simulate.
#include "simulate.h"

#include <link.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "bio_common/text.h"
#include "bio_host_paths.h"
#include "files.h"

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

// Sets the sensor's environment: where its device and timeline are, and the scenario's own
// sensor variables.
void export_sensor_env(const std::string& dir, const SimScenario& scenario) {
    std::vector<std::pair<std::string, std::string>> env{
        {sim_dir_env, dir},
        {"VSENSOR_DEVICE", dir + "/" + sim_device_file},
        {"VSENSOR_SCENARIO", dir + "/" + sim_timeline_file},
    };
    env.insert(env.end(), scenario.sensor_env.begin(), scenario.sensor_env.end());
    for (const auto& [name, value] : env) {
        ::setenv(name.c_str(), value.c_str(), 1);
    }
}

// Executes this program again with its arguments and `library` preloaded. Under qemu-user
// (BIO_EMULATOR) the preload belongs to the emulated program, not to qemu itself, and
// /proc/self/exe names the emulated program. Returns only on failure, with the reason.
std::string exec_self_with(const std::string& library, int argc, char** argv) {
    // AddressSanitizer insists on being first in the preload list.
    std::string preload = library;
    const std::string asan = loaded_asan_runtime();
    if (!asan.empty()) {
        preload = asan + ":" + preload;
    }
    std::vector<std::string> args;
    const char* emulator = std::getenv("BIO_EMULATOR");
    const bool emulated = emulator != nullptr && *emulator != '\0';
    if (emulated) {
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
        return std::string("cannot read /proc/self/exe: ") + std::strerror(errno);
    }
    args.push_back(self);
    args.insert(args.end(), argv + 1, argv + argc);
    std::vector<char*> raw;
    raw.reserve(args.size() + 1);
    for (std::string& arg : args) {
        raw.push_back(arg.data());
    }
    raw.push_back(nullptr);
    if (emulated) {
        ::execvp(raw[0], raw.data());
    } else {
        ::execv(self.c_str(), raw.data());
    }
    return "cannot execute " + args.front() + ": " + std::strerror(errno);
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

std::string reexec_simulated(const Options& options, int argc, char** argv) {
    const SimScenario scenario = load_scenario(options);
    const std::string library = find_vsensor(options.vsensor);
    if (library.empty()) {
        return "cannot find libvsensor.so (looked next to bio-host, in the build tree and in " +
               std::string(BIO_HOST_INSTALL_LIBDIR) + "; give --vsensor PATH)";
    }
    const std::string base = temp_base();
    std::string dir;
    try {
        dir = make_sim_dir(base);
    } catch (const std::system_error& e) {
        return "cannot create a directory under " + base + ": " + e.code().message();
    }
    // The model file holds the name exactly, as the sensor's driver publishes it.
    write_text_file(dir + "/" + sim_model_file, scenario.model);
    write_text_file(dir + "/" + sim_timeline_file, scenario.timeline);
    export_sensor_env(dir, scenario);
    return exec_self_with(library, argc, argv);
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
    write_text_file(dir + "/" + sim_model_file, scenario.model);
    ::setenv(sim_dir_env, dir.c_str(), 1);
    return dir;
}

}  // namespace bio_host
