// How usable a fingerprint picture is for a matcher, as one figure from 0 to 100 and the three
// measures it is made of, so that "the best frame of a touch" can be judged by more than its score.
//
// The picture is cut into blocks of 16 x 16 samples (whole blocks only). A block is foreground
// when its samples' standard deviation is at least 10 grey levels: flat glass, or a finger out of
// contact, has none. In every foreground block:
//   - orientation certainty: with gx, gy the Sobel gradients of its samples, a = sum gx^2,
//     b = sum gy^2, c = sum gx gy, the certainty is sqrt((a - b)^2 + 4 c^2) / (a + b): 1 where
//     every gradient points one way (parallel ridges), near 0 where they point every way (noise,
//     blotches, a crossing of ridges);
//   - ridge-valley clarity: the samples are laid along the normal to the ridges (the dominant
//     gradient direction, 0.5 atan2(2c, a - b)) in bins one sample wide; a bin is ridge when its
//     mean is below the block's mean, valley otherwise. With alpha the share of valley samples
//     below the block's mean and beta the share of ridge samples at or above it, the clarity is
//     1 - (alpha + beta), at least 0: 1 for clean ridges, near 0 where ridges and valleys merge.
// The figure is 100 x (foreground blocks / all blocks) x the mean over foreground blocks of
// certainty x clarity, rounded: a clean finger over the whole picture gives 100; half covered,
// 50; glass, noise or smudge, near 0.
#pragma once

#include <cstddef>

namespace bio_quality {

// A grey picture in memory: sample (x, y) is pixels[y * row_bytes + x * sample_bytes].
struct GreyView {
    const unsigned char* pixels = nullptr;
    int width = 0;
    int height = 0;
    std::ptrdiff_t row_bytes = 0;
    int sample_bytes = 1;
};

struct Quality {
    int figure = 0;          // 0 to 100
    double foreground = 0;   // foreground blocks / all blocks
    double orientation = 0;  // mean orientation certainty of the foreground blocks (0 without any)
    double clarity = 0;      // mean ridge-valley clarity of the foreground blocks (0 without any)
};

constexpr int block_size = 16;
constexpr double foreground_deviation = 10.0;

// The quality of `image`; a picture smaller than one block has figure 0.
Quality measure(const GreyView& image);

// The window of a 640 x 480 frame that the module scores (440 x 280 samples from (100, 100)), in a
// frame whose samples are `sample_step` bytes apart: 2 in a raw frame (the first byte of each pixel),
// for measuring recorded frames; 1 in its samples alone, as bio-stream's page keeps them.
GreyView scored_window(const unsigned char* frame, int sample_step);

}  // namespace bio_quality
