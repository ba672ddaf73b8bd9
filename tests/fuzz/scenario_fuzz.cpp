// Fuzz target: the virtual sensor's scenario text, parsed, applied and checked as the sensor
// does when it is given a scenario, and its timeline built into a frame source.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "internal.h"
#include "vsensor/vsensor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vsensor::detail;
    try {
        const ScenarioSettings settings =
            parse_scenario(std::string(reinterpret_cast<const char*>(data), size));
        vsensor::Config config;
        apply_settings(settings, config);
        validate(config);
        const FrameSource source(settings.timeline, config.seed, config.fps);
    } catch (const std::invalid_argument&) {
        // A refused scenario: the sensor names the line and stops.
    }
    return 0;
}
