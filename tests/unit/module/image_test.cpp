// A real finger image given to the virtual sensor comes back upright from the module's correction:
// the sensor places it through the inverse of the fitted model's geometry.
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bio_module.h"
#include "bio_test/files.h"
#include "vsensor/vsensor.h"

namespace {

struct RoundTrip {
    const char* model;
    int height;        // of the corrected image (260 wide)
    double min_psnr;   // dB: about 34 measured; a pixel's shift gives some 18, a mirrored image some 8
};

class RealImage : public testing::TestWithParam<RoundTrip> {};

// Rings of an 8.8 px period (every ridge direction at once) round a point off the centre, in a
// 200 x 300 image: centred in the corrected image, with the glass around it.
TEST_P(RealImage, ComesBackUprightThroughTheCorrection) {
    const RoundTrip& c = GetParam();
    constexpr int width = 200;
    constexpr int height = 300;
    std::string pgm = "P5 200 300 255\n";
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            pgm += static_cast<char>(128 + std::lround(100.0 * std::cos(std::hypot(x - 70.0, y - 110.0) / 1.4)));
        }
    }
    bio_test::TempDir dir;
    bio_test::write_file(dir.file("rings.pgm"), pgm);
    vsensor::Config config;
    config.device_path = "/dev/video-vsensor-image";
    config.scenario = std::string("model ") + c.model + "\nimage " + dir.file("rings.pgm") +
                      "\nnoise read=0 shot=0\nvignetting 0\n"
                      "touch approach=0 press=33ms hold=1s lift=33ms pressure=1.4 tremor=0\n";
    vsensor::configure(config);
    const std::vector<unsigned char> frame = vsensor::frame_at(5);
    camera_sensor = c.model;
    build_correction_tables();
    std::vector<unsigned char> out(260 * 350);
    correct_image(frame.data(), out.data());
    const int left = (260 - width) / 2;
    const int top = (c.height - height) / 2;
    double squared = 0.0;
    int count = 0;
    for (int y = 1; y < height - 1; ++y) {
        for (int x = 1; x < width - 1; ++x) {
            const double error = out[(top + y) * 260 + left + x] - static_cast<unsigned char>(pgm[15 + y * width + x]);
            squared += error * error;
            ++count;
        }
    }
    const double psnr = 10.0 * std::log10(255.0 * 255.0 * count / squared);
    EXPECT_GE(psnr, c.min_psnr) << c.model;
}

INSTANTIATE_TEST_SUITE_P(Models, RealImage,
                         testing::Values(RoundTrip{"GC0307", 320, 30.0}, RoundTrip{"GC0328", 320, 30.0},
                                         RoundTrip{"GC032A", 350, 30.0}),
                         [](const testing::TestParamInfo<RoundTrip>& row) { return std::string(row.param.model); });

}  // namespace
