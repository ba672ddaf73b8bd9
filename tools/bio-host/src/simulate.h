// Running bio-host over the virtual sensor: the scenario file's own lines, the private
// directory of a simulated run, and the re-execution of bio-host with the sensor preloaded.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "options.h"

namespace bio_host {

// Environment variable that hands the private directory of a simulated run to the
// re-executed bio-host (set by the parent, the directory removed by the child at exit).
inline constexpr const char* sim_dir_env = "BIO_HOST_SIM_DIR";
// The file in the private directory that names the sensor model, as the driver's sysfs
// attribute does.
inline constexpr const char* sim_model_file = "fingerprint_reader";

// A scenario file as bio-host reads it. Besides the virtual sensor's own lines (glass,
// finger, replay, repeat, fps, fault, stall and the rest: docs/vsensor.md), it may hold lines
// that bio-host handles itself and removes before the sensor reads the file:
//   model NAME            the sensor model the reader reports (default GC032A); the sensor is told it
//                         too (VSENSOR_MODEL), so that a finger image goes through that model's correction
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

// Where private directories are made: $TMPDIR when it is set and not empty, else /tmp.
std::string temp_base();

// Makes a new private directory BASE/bio-host-sim.XXXXXX and returns its path. Raises
// std::system_error with the errno of the failure; its what() begins with the path tried.
std::string make_sim_dir(const std::string& base);

// Removes a private directory with the files that bio-host and the sensor put in it; a
// directory that holds anything else stays. An empty `dir` is ignored.
void remove_sim_dir(const std::string& dir);

// --simulate, parent side: prepares the private directory (model file, timeline) and runs this
// program again (`argv`, `argc` as main got them) as a child, with the virtual sensor preloaded
// and configured. Waits for the child, passing SIGINT, SIGTERM and SIGHUP on to it, and removes
// the directory however the child ended (a scenario or variable the sensor refused, a crash, a
// kill). Returns the child's exit status; a child ended by a signal ends this process by the same
// signal. Raises, after removing the directory, on an unreadable or malformed scenario, an
// unwritable directory or a program that cannot be executed (the emulator's included).
int run_simulated(const Options& options, int argc, char** argv);

// --simulate, in the process that runs the plug-in: the private directory named by the
// re-executing parent or, with --no-reexec, a new one holding the model file (then announced
// in BIO_HOST_SIM_DIR). Raises std::runtime_error when it cannot be made or written.
std::string own_sim_dir(const Options& options);

}  // namespace bio_host
