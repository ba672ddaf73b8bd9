// Camera capture: sensor detection and defaults, correction tables, and the V4L2 device.
#include "bio_module.h"

#include "ovra/ovra_exception.h"

int camera_fd = -1;
capture_buffer* buffers = nullptr;
std::string camera_sensor = "None";
const char* const default_fp_reader_path =
    "/sys/devices/platform/soc/1c2b400.i2c/i2c-2/2-0021/2-0021/fingerprint_reader";

std::uint32_t remapOffsetTable[remap_entries][2];
std::uint32_t remapWeightTable[remap_entries][4];
std::vector<std::vector<offset_entry>> offsetMatrix;
std::vector<std::vector<weight_entry>> weightMatrix;

const remap_constants gc0307_constants = {100, 0.5577586448, 0.0013834226, 117.66468083999999, 1.556425532,
                                          325.0, 960.1621621621622};
const remap_constants gc0328_constants = {150, 0.35, 0.00118, 153.6, 1.28, 320.0, 760.0};

// Starting point: replaced by the real camera start.
void detect_sensor() {}
void apply_sensor_defaults() {}
void build_correction_tables() {}
void build_remap_table(const remap_constants&) {}
void build_perspective_matrices() {}
int xioctl(int, unsigned long, void*) { return -1; }
int xclose(int) { return -1; }
void init_module() { throw ovra::ovra_exception("camera start not built yet", true); }
void exit_module() {}
