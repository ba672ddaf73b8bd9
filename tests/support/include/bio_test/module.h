// The module's test environment: an in-memory host database seeded with the module's configuration,
// the sensor-model file, the virtual sensor, a recorder of everything the module emits, and frames
// for the sensor to replay.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bio_test/bus.h"
#include "bio_test/files.h"
#include "vsensor/vsensor.h"

namespace bio_test {

// Values of section "bio_module", by key.
using ParamMap = std::map<std::string, std::string>;

struct ModuleEnvOptions {
    std::string sensor_model = "GC032A";  // content of the sensor-model file (exact bytes)
    ParamMap overrides;                   // replace or add keys after the defaults
    vsensor::Config sensor = {};          // device_path is replaced by ModuleEnv
};

// Before init / init_module: opens ":memory:" through ovra::host::open_database; writes the
// sensor-model file and configures the virtual sensor in a temporary directory; seeds the 19 keys
// with values for a GC032A that matches last_fp_reader (bsize 16, step 4, img_num 5, min_img_num 2,
// var_min 300, select_timeout 1000, restart_timeout 10, no delay, stream or image file), the
// overrides on top; records bus messages, log records and keep-alives in `events`.
class ModuleEnv {
public:
    explicit ModuleEnv(ModuleEnvOptions options = {});
    ModuleEnv(const ModuleEnv&) = delete;
    ModuleEnv& operator=(const ModuleEnv&) = delete;

    static constexpr const char* section = "bio_module";

    const TempDir& dir() const noexcept { return dir_; }
    const std::string& device_path() const noexcept { return device_path_; }

    void write_sensor_model(const std::string& model) const { write_file(sensor_file_, model); }
    // Writes one key of section "bio_module" (no bus announcement), or reads it back from the store.
    void seed(const std::string& key, const std::string& value) const {
        ovra::host::seed_param(section, key, value);
    }
    std::optional<std::string> peek(const std::string& key) const {
        return ovra::host::peek_param(section, key);
    }

    BusRecorder events{true};

private:
    TempDir dir_;
    std::string device_path_ = dir_.file("video0");
    std::string sensor_file_ = dir_.file("fingerprint_reader");
};

// Raw frames in the capture format (640 x 480 UYVY, 614400 bytes). Empty glass: every byte `level`
// (scores 0). Ridges: a one-pixel checkerboard of 40 and 220 (scores 8100 with bsize 16 and step 4).
std::vector<unsigned char> glass_frame(unsigned char level = 200);
std::vector<unsigned char> ridged_frame();
// Writes `frames` as a recording at `path`; returns the scenario text that replays it for ever.
std::string replay_scenario(const std::string& path, const std::vector<std::vector<unsigned char>>& frames);

}  // namespace bio_test
