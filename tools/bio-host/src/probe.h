// What bio-host knows of the sensors the module supports, and --probe: the capture device's
// capabilities and formats and the sensor identification the module would make, without the module.
#pragma once

#include <string>

#include "format.h"

namespace bio_host {

// A sensor model the module knows: its var_min default and the size of its corrected image.
struct SensorModel {
    const char* name;
    int var_min_default;
    int image_width;
    int image_height;
};
inline constexpr SensorModel sensor_models[] = {
    {"GC0307", 1000, 260, 320},
    {"GC0328", 1000, 260, 320},
    {"GC032A", 300, 260, 350},
};

// Where the board's sensor driver names the fitted model; the module reads it when
// fp_reader_path names no file.
inline constexpr const char* default_model_path =
    "/sys/devices/platform/soc/1c2b400.i2c/i2c-2/2-0021/2-0021/fingerprint_reader";

// The model named exactly `name` (the module compares byte for byte); nullptr for another.
const SensorModel* find_sensor_model(const std::string& name);

// Tells on standard error that the module does not know `model` (no var_min default, empty
// images); silent for a model it knows.
void warn_unknown_model(const std::string& model);

// Probes the V4L2 device at `device_path` and the model file as the module would read it from
// `fp_reader_path`, and returns the report as a text and as one JSON object. Raises
// std::runtime_error ("cannot open PATH: reason") when the device cannot be opened.
struct ProbeReport {
    std::string text;
    Json json;
};
ProbeReport probe_device(const std::string& device_path, const std::string& fp_reader_path);

}  // namespace bio_host
