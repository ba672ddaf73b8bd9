// vsensor-record: the frames of a scenario, as the virtual sensor makes them, with the ground
// truth of each, written to a recording (version 2, with truth) that bio-tune judges and the
// sensor replays. The frames are made one after another, not at the frame rate: each is stamped
// with its place in the frame rate's schedule, as the sensor stamps a frame.
//   vsensor-record SCENARIO OUT.biorec [FRAMES]
// FRAMES: how many frames (default: the whole timeline; needed for one that goes on for ever).
#include <cstdio>
#include <exception>
#include <string>

#include "bio_common/text.h"
#include "recording/recording.h"
#include "vsensor/vsensor.h"

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: vsensor-record SCENARIO OUT.biorec [FRAMES]\n");
        return 2;
    }
    try {
        vsensor::Config config;
        config.scenario = bio_common::read_file(argv[1]);
        vsensor::configure(config);
        const std::uint64_t frames = argc == 4 ? bio_common::parse_integer<std::uint64_t>(argv[3]).value_or(0)
                                               : vsensor_timeline_frames();
        if (frames == 0) {
            std::fprintf(stderr,
                         "vsensor-record: %s goes on for ever (or FRAMES is not a number); give FRAMES\n",
                         argv[1]);
            return 2;
        }
        const double fps = vsensor::current_config().fps > 0.0 ? vsensor::current_config().fps : 30.0;
        recording::Writer writer(argv[2], true);
        for (std::uint64_t n = 0; n < frames; ++n) {
            const std::vector<unsigned char> frame = vsensor::frame_at(n);
            const auto time_us = static_cast<std::uint64_t>(static_cast<double>(n) * 1e6 / fps + 0.5);
            writer.append(0, frame.data(), time_us, vsensor::truth_at(n));
        }
        writer.close();
        std::printf("%s: %llu frames at %.1f frames/s\n", argv[2], static_cast<unsigned long long>(frames),
                    fps);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vsensor-record: %s\n", e.what());
        return 1;
    }
    return 0;
}
