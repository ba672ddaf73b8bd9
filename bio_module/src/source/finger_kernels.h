// Variants of the per-frame kernels (frame score and geometric correction) and the choice between them.
//
// Every kernel exists as a plain reference that reads like the definition of the score and of the
// correction, and as faster twins with the same signature and the same result for every input. The
// module calls image_variance() and correct_image(), which forward to the variant chosen once, on the
// first call; BIO_KERNELS=reference in the environment forces the reference kernels.
#pragma once

#include <cstddef>

// Scores a captured frame; see image_variance() in bio_module.h.
using image_variance_kernel = int (*)(const unsigned char* frame, int block_size, int row_step);
// Writes the corrected grey image of a captured frame; see correct_image() in bio_module.h.
using correct_image_kernel = void (*)(const unsigned char* frame, unsigned char* out);

struct kernel_variant {
    const char* name;
    image_variance_kernel variance;
    correct_image_kernel correct;
};

// Geometry of the scored window: 440 x 280 pixels with the top-left pixel at (100, 100).
constexpr int variance_window_x = 100;
constexpr int variance_window_y = 100;
constexpr int variance_window_width = 440;
constexpr int variance_window_height = 280;
constexpr int variance_max_bsize = 280;

// True when the block size and step give a defined score: 1 <= step <= bsize <= 280. The kernels
// return 0 for anything else rather than divide by zero or loop without advancing.
constexpr bool variance_arguments_valid(int block_size, int row_step) {
    return row_step >= 1 && row_step <= block_size && block_size <= variance_max_bsize;
}

// Reference kernels (finger_kernels.cpp).
int image_variance_reference(const unsigned char* frame, int block_size, int row_step);
void correct_image_reference(const unsigned char* frame, unsigned char* out);

// Portable faster twins (finger_kernels_fast.cpp).
int image_variance_fast(const unsigned char* frame, int block_size, int row_step);
void correct_image_fast(const unsigned char* frame, unsigned char* out);

// SSE4.1 twin of the table-form correction (finger_kernels_sse41.cpp), x86-64 only; the score and
// the matrix form are the portable fast ones. Its variant, or null when not built for SSE4.1 or when
// the processor lacks it.
const kernel_variant* sse41_variant();

// Every variant built into this binary and usable on this processor, the reference first and the
// fastest last. Sets *count to their number.
const kernel_variant* kernel_variants(std::size_t* count);

// The variant that the value of BIO_KERNELS asks for: "reference" gives the reference kernels, a
// variant's name gives that variant, anything else (null included) the fastest variant built.
const kernel_variant& select_kernels(const char* bio_kernels_value);

// The variant behind image_variance() and correct_image(), chosen from BIO_KERNELS on the first call
// and kept for the life of the process.
const kernel_variant& active_kernels();
