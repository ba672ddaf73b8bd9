// The module's test environment (see bio_test/module.h).
#include "bio_test/module.h"

#include "bio_common/text.h"
#include "recording/recording.h"

namespace bio_test {

ModuleEnv::ModuleEnv(ModuleEnvOptions options) {
    ovra::host::open_database(":memory:");
    write_sensor_model(options.sensor_model);
    ParamMap params = {{"device_path", device_path_}, {"fp_reader_path", sensor_file_}};
    for (const std::string& word : bio_common::split_words(
             "priority=0 watchdog_timeout=1000 finger_image_path= bsize=16 step=4 img_num=5 min_img_num=2 "
             "var_min=300 select_timeout=1000 restart_timeout=10 finger_detected_delay=0 net_debug_ip= "
             "net_debug_port=9000 net_debug_raw=0 invert=0 last_fp_reader=GC032A invert_pixels=0")) {
        params[word.substr(0, word.find('='))] = word.substr(word.find('=') + 1);
    }
    for (const auto& [key, value] : options.overrides) {
        params[key] = value;
    }
    for (const auto& [key, value] : params) {
        seed(key, value);
    }
    options.sensor.device_path = device_path_;
    vsensor::configure(options.sensor);
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
