// The virtual sensor's world: the frames of the existing sources keep their bytes, and a finger
// keeps its ridges.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "recording/recording.h"
#include "vsensor/vsensor.h"

namespace {

using Frame = std::vector<unsigned char>;

std::uint64_t digest(std::uint64_t n) {
    const Frame frame = vsensor::frame_at(n);
    return recording::frame_hash(frame.data(), frame.size());
}

void configure(const std::string& scenario, std::uint32_t seed = 1) {
    vsensor::Config config;
    config.device_path = "/dev/video-vsensor-world";
    config.scenario = scenario;
    config.seed = seed;
    vsensor::configure(config);
}

int at(const Frame& frame, int x, int y) {
    return frame[2 * (x + 640 * y)];
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

// One identity is one finger: pressed harder and 37 px right, 21 px lower, the same ridges (a
// ridge pixel of one frame is a ridge pixel of the other); another identity's ridges agree by chance.
TEST(VsensorWorld, AnIdentityKeepsItsRidgesWhereverAndHoweverItTouches) {
    const auto held = [](int identity, const std::string& how) {
        configure("identity " + std::to_string(identity) + "\ntouch approach=0 press=33ms hold=1s tremor=0" + how);
        return vsensor::frame_at(5);
    };
    const Frame first = held(5, "");
    const auto agreement = [&](const Frame& second) {
        int same = 0;
        for (int y = 140; y < 340; ++y) {
            for (int x = 220; x < 420; ++x) {
                same += (at(first, x, y) < 110) == (at(second, x + 37, y + 21) < 110) ? 1 : 0;
            }
        }
        return same / 40000.0;
    };
    EXPECT_GT(agreement(held(5, " at=37,21 pressure=1.3")), 0.85);
    EXPECT_LT(agreement(held(6, " at=37,21 pressure=1.3")), 0.65);
}

}  // namespace
