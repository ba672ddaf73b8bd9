// Running bio-host over the virtual sensor: the scenario file's own lines, where the sensor
// library is, and the re-execution of bio-host with the library preloaded.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace bio_host {

// A scenario file as bio-host reads it. Besides the virtual sensor's own lines (glass,
// finger, replay, repeat, fps, fault, stall and the rest: docs/vsensor.md), it may hold lines
// that bio-host handles itself and removes before the sensor reads the file:
//   model NAME            the sensor model the reader reports (default GC032A)
//   sensor VAR=VALUE      sets VSENSOR_VAR=VALUE for the sensor (for example TRACE=/tmp/t)
struct SimScenario {
    std::string model = "GC032A";
    std::vector<std::pair<std::string, std::string>> sensor_env;  // ("VSENSOR_VAR", "VALUE")
    std::string timeline;  // the remaining lines; bio-host's own lines become blank lines
};

// Parses scenario text; raises std::invalid_argument ("line N: reason") for a malformed
// model or sensor line.
SimScenario parse_sim_scenario(const std::string& text);

// The first of `candidates` that names an existing regular file; empty when none does.
std::string first_existing(const std::vector<std::string>& candidates);

// Directory of the running executable (from /proc/self/exe), without a trailing '/'.
std::string executable_dir();

// Path of the AddressSanitizer runtime loaded into this process; empty when there is none.
std::string loaded_asan_runtime();

}  // namespace bio_host
