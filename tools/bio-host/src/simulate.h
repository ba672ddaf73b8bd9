// Running bio-host over the virtual sensor: the scenario file's own lines, the private
// directory of a simulated run, the sensor preloaded into a second bio-host and configured there.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "ini.h"
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

// Where private directories are made: $TMPDIR when it is set and not empty, else /tmp.
std::string temp_base();

// Makes a new private directory BASE/bio-host-sim.XXXXXX and returns its path. Raises
// std::system_error with the errno of the failure; its what() begins with the path tried.
std::string make_sim_dir(const std::string& base);

// Removes a private directory with the files that bio-host and the sensor put in it; a
// directory that holds anything else stays. An empty `dir` is ignored.
void remove_sim_dir(const std::string& dir);

// True when the virtual sensor is loaded into this process: preloaded by the first bio-host of
// a simulated run, or by the caller (LD_PRELOAD, or an emulator's equivalent).
bool sensor_loaded();

// --simulate without the sensor loaded: makes the private directory and runs this program again
// (`argv`, `argc` as main got them) as a child with libvsensor.so preloaded. Waits for the child,
// passing SIGINT, SIGTERM and SIGHUP on to it, and removes the directory however the child ended
// (a crash and a kill included). Returns the child's exit status; a child ended by a signal ends
// this process by the same signal. Raises, after removing the directory, when the sensor cannot
// be found, the directory cannot be made or the program cannot be executed, and in a child whose
// preload did not load the sensor.
int run_simulated(const Options& options, int argc, char** argv);

// The private directory of a simulated run: the one named by the re-executing parent or, when
// the caller preloaded the sensor, a new one (then announced in BIO_HOST_SIM_DIR). Raises
// std::runtime_error when it cannot be made.
std::string own_sim_dir();

// What a configured virtual sensor tells the plug-in's configuration.
struct SimSensor {
    std::string device_path;  // the sensor's device node
    std::string model_path;   // the file that names the model, for fp_reader_path
};

// In the process with the sensor loaded: reads --simulate's scenario (and --model), writes the
// model file and the timeline into `dir` and configures the sensor from them and from the
// scenario's sensor lines. The sensor is told the model too (VSENSOR_MODEL) and, when the
// module's `configuration` (checked) turns the debug stream on, sends the truth of its frames to
// the stream's port + 1 (VSENSOR_TRUTH_TO, unless the caller set it). Warns on standard error
// about a model the module does not know. Raises bio_common::cli::UsageError naming the scenario
// file for a line that bio-host or the sensor refuses, std::runtime_error when a file cannot be
// written.
SimSensor configure_sensor(const Options& options, const std::string& dir,
                           const std::vector<IniEntry>& configuration);

// What the loaded sensor counts: frames dequeued since it was configured (-1 without a sensor),
// and the frames of its timeline when it comes to an end (0 when it does not, or without one).
long long sensor_frames_dequeued();
std::uint64_t sensor_timeline_frames();

}  // namespace bio_host
