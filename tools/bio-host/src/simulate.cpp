// Scenario reading and file lookups for bio-host's --simulate.
#include "simulate.h"

#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <sstream>
#include <stdexcept>

#include "bio_common/text.h"

namespace bio_host {
namespace {

// What the name of a sensor variable may hold.
constexpr const char* env_name_chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_";

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
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        return ".";
    }
    std::string exe(path, static_cast<std::size_t>(length));
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

}  // namespace bio_host
