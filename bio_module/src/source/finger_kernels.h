// Per-frame kernels (frame score and geometric correction): pure functions of their arguments, in
// variants that give the same result for every input, and the choice between the variants.
//
// Every kernel exists as a plain reference that reads like the definition of the score and of the
// correction, and as faster twins with the same signature. The module calls image_variance() and
// correct_image() (bio_module.h), which bind its configuration, sensor and tables to the variant chosen
// once, on the first call; BIO_KERNELS=<variant name> in the environment forces a variant (for example
// the reference kernels).
#pragma once

#include <cstddef>
#include <cstdint>

// Geometry of a captured frame as the kernels read it: the sample of pixel (x, y) is the byte at
// 2 * (x + 640 * y), the first byte of the pixel's 2-byte UYVY group.
constexpr std::size_t kernel_row_bytes = 1280;

// Per output pixel k (row-major), where its four source samples are and how much each counts.
// Stored as separate arrays so that vector code loads four pixels' values of one kind at once.
//
// offset[k] is the byte offset of the top-left sample in the frame; the top-right, bottom-left and
// bottom-right samples are at offset[k] + 2, + 1280 and + 1282. weight[0..3][k] are those four
// samples' weights in units of 2^-20. The output sample is the weighted sum, in unsigned 32-bit
// arithmetic, shifted right by 20 and cut to 8 bits. Every offset must satisfy
// offset[k] + 1283 < frame size (the tables' builders guarantee it: the widest read, a 4-byte load
// at offset[k] + 1280, ends at the frame's last byte at the most).
struct correction_plan {
    const std::uint32_t* offset;
    const std::uint32_t* weight[4];
    std::size_t pixels;
};

// How the corrected image is laid out and coloured.
struct correction_flags {
    bool invert;         // turned by 180 degrees: pixel k is stored at out[pixels - 1 - k]
    bool invert_pixels;  // every value v is stored as 255 - v
};

// Scores a captured frame; see image_variance() in bio_module.h.
using image_variance_kernel = int (*)(const unsigned char* frame, int block_size, int row_step);
// Writes plan.pixels bytes of corrected image into out; reads only the frame bytes the plan names.
using correct_image_kernel = void (*)(const unsigned char* frame, const correction_plan& plan,
                                      correction_flags flags, unsigned char* out);

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
void correct_image_reference(const unsigned char* frame, const correction_plan& plan, correction_flags flags,
                             unsigned char* out);

// Portable faster twins (finger_kernels_fast.cpp).
int image_variance_fast(const unsigned char* frame, int block_size, int row_step);
void correct_image_fast(const unsigned char* frame, const correction_plan& plan, correction_flags flags,
                        unsigned char* out);

// SSE4.1 twin of the correction (finger_kernels_sse41.cpp), x86-64 only; the score is the portable
// fast one. Its variant, or null when not built for SSE4.1 or when the processor lacks it.
const kernel_variant* sse41_variant();

// NEON twins of both kernels (finger_kernels_neon.cpp), 32-bit ARM only. Their variant, or null when not
// built for NEON; whether the processor has NEON is asked by kernel_variants() before it is listed.
const kernel_variant* neon_variant();

// Every variant built into this binary and usable on this processor, the reference first and the
// fastest last. Sets *count to their number.
const kernel_variant* kernel_variants(std::size_t* count);

// The variant that the value of BIO_KERNELS asks for: "reference" gives the reference kernels, a
// variant's name gives that variant, anything else (null included) the fastest variant built.
const kernel_variant& select_kernels(const char* bio_kernels_value);

// The variant behind image_variance() and correct_image(), chosen from BIO_KERNELS on the first call
// and kept for the life of the process.
const kernel_variant& active_kernels();
