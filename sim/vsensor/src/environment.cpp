// Out-of-process configuration of the virtual sensor, read once when the library is loaded:
// VSENSOR_DEVICE, VSENSOR_FPS, VSENSOR_SCENARIO (a file), VSENSOR_TRACE (a file) and
// VSENSOR_SEED, VSENSOR_TRUTH_TO and VSENSOR_MODEL.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include "bio_common/text.h"
#include "driver.h"

namespace {

// The variables of one process.
struct Environment {
    const char* device_path = std::getenv("VSENSOR_DEVICE");
    const char* fps = std::getenv("VSENSOR_FPS");
    const char* scenario = std::getenv("VSENSOR_SCENARIO");
    const char* trace = std::getenv("VSENSOR_TRACE");
    const char* seed = std::getenv("VSENSOR_SEED");
    const char* truth_to = std::getenv("VSENSOR_TRUTH_TO");
    const char* model = std::getenv("VSENSOR_MODEL");

    bool empty() const {
        return device_path == nullptr && fps == nullptr && scenario == nullptr && trace == nullptr &&
               seed == nullptr && truth_to == nullptr && model == nullptr;
    }
};

// Whole content of the scenario file; throws std::runtime_error naming the path and the error.
std::string read_scenario_file(const std::string& path) {
    try {
        return bio_common::read_file(path);
    } catch (const std::system_error& error) {
        throw std::runtime_error("cannot read scenario file " + path + ": " +
                                 std::strerror(error.code().value()));
    }
}

// VSENSOR_FPS: a decimal number (as strtod reads it) from 0 to 1000; nullopt when unset.
// Throws std::invalid_argument for anything else.
std::optional<double> frame_rate(const char* text) {
    if (text == nullptr) {
        return std::nullopt;
    }
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (*text == '\0' || end == nullptr || *end != '\0' || !(value >= 0.0 && value <= 1000.0)) {
        throw std::invalid_argument(std::string("VSENSOR_FPS: impossible frame rate '") + text +
                                    "' (0 to 1000)");
    }
    return value;
}

// VSENSOR_SEED: an unsigned 32-bit decimal number, which may follow white space and a plus
// sign; nullopt when unset. Throws std::invalid_argument for anything else.
std::optional<std::uint32_t> seed_value(const char* text) {
    if (text == nullptr) {
        return std::nullopt;
    }
    std::string_view digits(text);
    digits.remove_prefix(std::min(digits.find_first_not_of(bio_common::blanks), digits.size()));
    if (!digits.empty() && digits.front() == '+') {
        digits.remove_prefix(1);
    }
    const auto value = bio_common::parse_integer<std::uint32_t>(digits);
    if (!value) {
        throw std::invalid_argument(std::string("VSENSOR_SEED: bad seed '") + text + "'");
    }
    return value;
}

// Installs the configuration the variables give: the scenario file's lines, then the
// variables, which win over them. Throws with the text of the first problem.
void configure_from(const Environment& env) {
    vsensor::Config config;
    if (env.scenario != nullptr && *env.scenario != '\0') {
        config.scenario = read_scenario_file(env.scenario);
    }
    const std::optional<double> fps = frame_rate(env.fps);
    const std::optional<std::uint32_t> seed = seed_value(env.seed);
    if (env.truth_to != nullptr && *env.truth_to != '\0' && !vsensor::detail::parse_destination(env.truth_to)) {
        throw std::invalid_argument(std::string("VSENSOR_TRUTH_TO: bad truth destination '") + env.truth_to +
                                    "' (expected <IPv4>:<port>)");
    }
    try {
        vsensor::detail::install(config, [&](vsensor::Config& applied) {
            if (env.device_path != nullptr) {
                applied.device_path = env.device_path;
            }
            if (fps) {
                applied.fps = *fps;
            }
            if (seed) {
                applied.seed = *seed;
            }
            if (env.model != nullptr) {
                applied.sensor_model = std::string(env.model);
            }
            if (env.truth_to != nullptr) {
                applied.truth_to = env.truth_to;  // "" turns the scenario's destination off
            }
        });
    } catch (const std::invalid_argument& error) {
        if (env.scenario != nullptr) {
            throw std::invalid_argument(std::string("VSENSOR_SCENARIO ") + env.scenario + ": " +
                                        error.what());
        }
        throw;
    }
    if (env.trace != nullptr && *env.trace != '\0') {
        vsensor::set_trace_file(env.trace);
    }
}

// Bad input ends the process here, with one line on stderr, rather than leaving it to run
// half-configured.
__attribute__((constructor)) void configure_from_environment() {
    const Environment env;
    if (env.empty()) {
        return;
    }
    std::string problem;
    try {
        configure_from(env);
        return;
    } catch (const std::exception& error) {
        problem = error.what();
    }
    std::fprintf(stderr, "vsensor: %s\n", problem.c_str());
    std::fflush(stderr);
    std::_Exit(2);
}

}  // namespace

int vsensor_configure_environment(char* error, std::size_t error_size) {
    try {
        configure_from(Environment{});
        return 0;
    } catch (const std::exception& problem) {
        if (error != nullptr && error_size > 0) {
            std::snprintf(error, error_size, "%s", problem.what());
        }
        return -1;
    }
}
