// The module's test environment (see bio_test/module.h).
#include "bio_test/module.h"

#include "recording/recording.h"

namespace bio_test {

ModuleEnv::ModuleEnv(ModuleEnvOptions options) {
    ovra::host::open_database(":memory:");
    write_sensor_model(options.sensor_model);
    ParamMap params = {
        {"priority", "0"},
        {"watchdog_timeout", "1000"},
        {"device_path", device_path_},
        {"finger_image_path", ""},
        {"bsize", "16"},
        {"step", "4"},
        {"img_num", "5"},
        {"min_img_num", "2"},
        {"var_min", "300"},
        {"select_timeout", "1000"},
        {"restart_timeout", "10"},
        {"finger_detected_delay", "0"},
        {"net_debug_ip", ""},
        {"net_debug_port", "9000"},
        {"net_debug_raw", "0"},
        {"invert", "0"},
        {"fp_reader_path", sensor_file_},
        {"last_fp_reader", "GC032A"},
        {"invert_pixels", "0"},
    };
    for (const auto& [key, value] : options.overrides) {
        params[key] = value;
    }
    for (const auto& [key, value] : params) {
        seed(key, value);
    }
    options.sensor.device_path = device_path_;
    vsensor::configure(options.sensor);
}

void ModuleEnv::seed(const std::string& key, const std::string& value) {
    ovra::host::seed_param(section, key, value);
    params_[key] = value;
}

std::vector<unsigned char> glass_frame(unsigned char level) {
    return std::vector<unsigned char>(614400, level);
}

std::vector<unsigned char> ridged_frame() {
    std::vector<unsigned char> frame(614400);
    for (std::size_t pixel = 0; pixel < 640 * 480; ++pixel) {
        frame[2 * pixel] = frame[2 * pixel + 1] = (pixel % 640 + pixel / 640) % 2 == 0 ? 40 : 220;
    }
    return frame;
}

std::string replay_scenario(const std::string& path, const std::vector<std::vector<unsigned char>>& frames) {
    recording::Writer writer(path);
    for (const auto& frame : frames) {
        writer.append(0, frame.data());
    }
    writer.close();
    return "replay " + path + "\nrepeat\n";
}

}  // namespace bio_test
