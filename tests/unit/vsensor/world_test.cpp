// The virtual sensor's world: the frames of the existing sources keep their bytes.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "recording/recording.h"
#include "vsensor/vsensor.h"

namespace {

std::uint64_t digest(std::uint64_t n) {
    const std::vector<unsigned char> frame = vsensor::frame_at(n);
    return recording::frame_hash(frame.data(), frame.size());
}

void configure(const std::string& scenario, std::uint32_t seed = 1) {
    vsensor::Config config;
    config.device_path = "/dev/video-vsensor-world";
    config.scenario = scenario;
    config.seed = seed;
    vsensor::configure(config);
}

struct Pin {
    std::uint64_t frame;
    std::uint64_t digest;
};

// Digests taken before the physical model came, the same on x86-64 and armhf: empty glass, the
// fixed finger at two seeds, and the demo's timeline (glass, its three touches and the glass
// between them).
TEST(VsensorWorld, ExistingSourcesKeepTheirBytes) {
    configure("");
    EXPECT_EQ(digest(0), 0x58b6266baacf614aull);
    EXPECT_EQ(digest(7), 0x0acd12c6507a987eull);
    configure("glass 1f\nfinger\n");
    EXPECT_EQ(digest(1), 0x7072baf12135cb28ull);
    EXPECT_EQ(digest(2), 0xcd7e25a172f2334cull);
    configure("glass 1f\nfinger\n", 90210);
    EXPECT_EQ(digest(5), 0xe3664592e68a21c9ull);
    configure("fps 30\nglass 15f\nfinger 30f\nglass 15f\nfinger 3f\nglass 15f\nfinger 1f\nglass\n");
    const Pin demo[] = {{0, 0x58b6266baacf614aull},  {14, 0x41f90613ca9888d6ull}, {15, 0xa3aabb8d4db6520aull},
                        {44, 0x74fb516a7502dd3dull}, {45, 0xf24c82c61138e0bbull}, {61, 0x27e95077edad5e3eull},
                        {79, 0xd18fdba0e9e84f6dull}, {80, 0x614b04fe25bb0b6aull}};
    for (const Pin& pin : demo) {
        EXPECT_EQ(digest(pin.frame), pin.digest) << "demo frame " << pin.frame;
    }
}

}  // namespace
