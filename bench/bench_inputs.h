// What the benchmark and the board's cost meter feed the kernels: one frame of noise and the two
// sensors' correction plans, the same in both so that their figures compare.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "bio_module.h"
#include "finger_kernels.h"

namespace bench {

// A frame of noise: the kernels' cost does not depend on the pixel values.
inline void fill_noise(unsigned char* frame) {
    std::mt19937 generator(20261205);
    std::uniform_int_distribution<int> byte(0, 255);
    for (std::size_t i = 0; i < frame_bytes; ++i) {
        frame[i] = static_cast<unsigned char>(byte(generator));
    }
}

// One sensor's correction plan as a camera start builds it, copied out (walk included) so that both
// forms exist at once.
struct sensor_plan {
    sensor_plan() = default;
    sensor_plan(const sensor_plan&) = delete;  // the plan points into the object itself
    sensor_plan& operator=(const sensor_plan&) = delete;

    std::vector<std::uint32_t> offset;
    std::vector<std::uint32_t> weight[4];
    correction_walk_builder walk;
    correction_plan plan;
};

inline void copy_plan(const char* sensor, sensor_plan& copy) {
    camera_sensor = sensor;
    build_correction_tables();
    const correction_plan& built = correction_plan_for(camera_sensor == "GC032A");
    copy.offset.assign(built.offset, built.offset + built.pixels);
    for (std::size_t i = 0; i < 4; ++i) {
        copy.weight[i].assign(built.weight[i], built.weight[i] + built.pixels);
    }
    copy.plan = {copy.offset.data(),
                 {copy.weight[0].data(), copy.weight[1].data(), copy.weight[2].data(), copy.weight[3].data()},
                 built.pixels,
                 built.columns,
                 nullptr};
    copy.plan.walk = copy.walk.build(copy.plan);
}

}  // namespace bench
