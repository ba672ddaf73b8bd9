// Per-frame kernels (frame score and geometric correction): pure functions of their arguments, in
// variants that give the same result for every input, and the choice between the variants.
//
// Each kernel has one entry, kernel_variant::variance() and kernel_variant::correct(), that checks its
// arguments, walks the image a row at a time (a row of blocks for the score, an output row for the
// correction) and hands each row to the variant's row function. A variant is no more than its two row
// functions: the reference rows read like the definitions of the score and of the correction; a faster
// row may stop before the end of its row, and the entry finishes the row with the reference row. The
// module calls image_variance() and correct_image() (bio_module.h), which bind its configuration,
// sensor and tables to the variant chosen once, on the first call; BIO_KERNELS=<variant name> in the
// environment forces a variant (for example the reference kernels).
//
// The NEON unit includes this header with NEON code generation: whatever is defined here is either
// internal to each unit (`static`) or a type, never an inline function that the linker could take from
// that unit for code that runs on a core without NEON.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Geometry of a captured frame as the kernels read it: the sample of pixel (x, y) is the byte at
// 2 * (x + 640 * y), the first byte of the pixel's 2-byte UYVY group.
constexpr std::size_t kernel_row_bytes = 1280;
constexpr std::size_t kernel_frame_bytes = 614400;

// ------------------------------------------------------------------ frame score

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

// The blocks of one score: bsize x bsize blocks laid from the window's top-left pixel, each sampled in
// every step-th row, `samples` adjacent pixels a sampled row.
struct score_geometry {
    unsigned block_size;
    unsigned row_step;
    unsigned samples;  // samples per sampled row, and sampled rows per block: ceil(bsize / step)
    unsigned blocks_x;
    unsigned blocks_y;
    std::uint64_t n;                // floor(bsize^2 / step^2), at least 1
    unsigned n_shift;               // log2(n) when n is a power of two, otherwise 64
    std::size_t sampled_row_bytes;  // from one sampled row of a block to the next
};

// floor(x / g.n), the one division of the faster rows: a shift for the usual settings (n = 4 or 16),
// otherwise a 32-bit division when x allows, which is far cheaper than a 64-bit one (on 32-bit ARM
// the latter is a library call).
static inline std::uint64_t divide_by_n(std::uint64_t x, const score_geometry& g) {
    if (g.n_shift < 64) {
        return x >> g.n_shift;
    }
    if ((x >> 32) == 0) {
        return static_cast<std::uint32_t>(x) / static_cast<std::uint32_t>(g.n);
    }
    return x / g.n;
}

// Row function of the score: adds to `total`, modulo 2^64, the term sumsq - floor(sum^2 / n) of each of
// the first blocks of one row of blocks and returns how many it did, at most `blocks`. `row` is the
// first sample of the row's first block. It may read the frame up to 32 pixels right of the row's last
// block (the window leaves 100 on every side), never beyond.
using score_row_kernel = unsigned (*)(const unsigned char* row, const score_geometry& g, unsigned blocks,
                                      std::uint64_t& total);

// ------------------------------------------------------------------ correction

// Eight adjacent output pixels of one row whose samples lie in one window of the frame: 32 samples
// (64 bytes from `window`) of one frame row and the 32 below them. The vector rows load each window
// whole and pick the pixels' samples from it by index. The weights are split into the parts that the
// machine's vector multiplies take:
// - halves (x86-64, the SSE4.1 and AVX2 rows): w = high * 2^16 + low with low a signed 16-bit number:
//   its low 16 bits, less 2^16 when bit 15 is set (and high one more); high fits 8 bits;
// - thirds (32-bit ARM, the NEON rows): w = high * 2^12 + middle * 2^6 + low, high at most 255, middle
//   at most 255, low below 64; 8-bit numbers whose products with the samples, added over a pixel's four
//   corners, stay below 2^16 (the builder checks it), so that 16-bit lanes give the sum exactly.
struct correction_halves {
    std::uint8_t high[32];  // w0..w3's high parts of pixel 0, then of pixel 1, ...
    std::int16_t low[32];   // w0, w1 low parts of pixels 0..7 in pairs; then w2, w3 likewise
};
struct correction_group {
    std::uint8_t sample[16];  // pixels 0..7: index in the window of the left sample; then of the right
    union {
        correction_halves halves;
        std::uint8_t thirds[3][32];  // [low, middle, high][8 * i + j]: that part of wi of pixel j
    };
    std::int32_t advance;  // next group's window - (window + 1312): the loads' last pointer step
    std::uint32_t window;  // byte offset of the window's first sample
};
static_assert(sizeof(correction_group) == 120 && offsetof(correction_group, advance) == 112,
              "the NEON rows read the groups at these offsets");

// Sixteen adjacent output pixels of one row whose samples lie in one wider window: 48 samples (96 bytes
// from the window) of one frame row and the 48 below them. Lanes 0-7 take their samples from the
// window's first 32, lanes 8-15 from its last 32; lane j is the group's pixel j, or pixel 15 - j in a
// row laid out descending (the rows then store the lanes reversed). Weights in thirds, as for eight.
struct correction_wide_group {
    std::uint8_t sample[32];        // lanes 0-15: the left sample's index in the lane's 32; then the right's
    std::uint8_t thirds[3][4][16];  // [low, middle, high][corner][lane]
};
static_assert(sizeof(correction_wide_group) == 224, "the NEON rows read the wide groups whole");

// A row laid out in wide groups: `count` of them from `groups` on, at columns 0, 16, 32, ..., their
// windows at `window` and then a fixed step apart; the row's remaining columns (at most 8) are then its
// group of eight `tail` at its last 8 columns, or there are none (null). count 0: the row is not laid
// out in wide groups. The fields are in the order the NEON rows load them.
struct correction_wide_row {
    const correction_wide_group* groups;
    std::uint32_t window;  // byte offset of the first group's window
    std::uint32_t count;
    const correction_group* tail;
    std::int32_t advance;  // the step from one window to the next, less the 1280 + 64 bytes the loads move
    std::uint32_t tail_window;  // byte offset of the tail's window
    std::uint32_t descending;   // 1: lane j is the group's pixel 15 - j; 0: pixel j
    std::uint32_t padding;      // to 32 bytes on 32-bit ARM: a row's record one shift from the first
};
#ifdef __arm__
static_assert(sizeof(correction_wide_row) == 32 && offsetof(correction_wide_row, tail_window) == 20,
              "the NEON rows load a record's first six fields at once");
#endif

#ifdef __x86_64__
// Eight adjacent output pixels of one row for the AVX2 rows, in two lanes of four: lane l holds pixels
// 4l .. 4l + 3, whose samples lie in 16 samples (32 bytes from window[l]) of one frame row and the 16
// below them. Each lane's window is packed into a 128-bit half of a register and its pixels' samples
// picked from it by index. The weights are in halves as in correction_group.
struct correction_lanes {
    std::uint32_t window[2];  // byte offset of each lane's first sample
    std::uint8_t sample[8];   // pixel j: index in its lane's window of the left sample
    correction_halves halves;
};
#endif

// The groups of a plan's rows. Row r's groups are groups[row_groups[r]] up to row_groups[r + 1]: its
// columns 0, 8, 16, ... and, when the width is not a multiple of 8, its last 8 columns, in that order;
// or, for a row laid out in wide groups (wide_rows, on machines whose rows take them), only the group
// of its last 8 columns, if any is left. A row without groups (its pixels too far apart, odd offsets, or
// weights the split cannot hold: 2^24 - 2^15 and more for halves; for thirds, weights of 2^20 + 3 * 2^12
// and more, or a pixel whose parts' products could reach 2^16) is left to the reference row.
struct correction_walk {
    const std::uint32_t* row_groups;
    const correction_group* groups;
    const correction_wide_row* wide_rows;  // one per row, or null (the machine's rows take no wide groups)
    const correction_wide_group* wide_groups;
#ifdef __x86_64__
    // The same rows in lanes for the AVX2 rows (a row fits them, or not, on its own): row r's are
    // lanes[row_lanes[r]] up to row_lanes[r + 1], in the groups' order.
    const std::uint32_t* row_lanes;
    const correction_lanes* lanes;
#endif
};

// Per output pixel k (row-major, `columns` a row), where its four source samples are and how much each
// counts. Stored as separate arrays so that vector code loads several pixels' values of one kind at once.
//
// offset[k] is the byte offset of the top-left sample in the frame; the top-right, bottom-left and
// bottom-right samples are at offset[k] + 2, + 1280 and + 1282. weight[0..3][k] are those four
// samples' weights in units of 2^-20. The output sample is the weighted sum, in unsigned 32-bit
// arithmetic, shifted right by 20 and cut to 8 bits. Every offset must satisfy
// offset[k] + 1283 < frame size (the tables' builders guarantee it: the widest read, a 4-byte load
// at offset[k] + 1280, ends at the frame's last byte at the most). `walk` is the same plan laid out
// for the vector rows (correction_walk_builder), or null.
struct correction_plan {
    const std::uint32_t* offset;
    const std::uint32_t* weight[4];
    std::size_t pixels;
    std::size_t columns;  // at least 1; the last row may be shorter
    const correction_walk* walk;
};

// How the corrected image is laid out and coloured.
struct correction_flags {
    bool invert;         // turned by 180 degrees: pixel k is stored at out[pixels - 1 - k]
    bool invert_pixels;  // every value v is stored as 255 - v
};

// What every row of one corrected image shares.
struct correction_job {
    const unsigned char* frame;
    const correction_plan* plan;
    unsigned char* out;       // where plan pixel 0 goes
    std::ptrdiff_t row_step;  // from where a row's first pixel goes to where the next row's goes
    int direction;            // 1: pixel k goes to out[k]; -1 (image turned): to out[-k]
    unsigned char mask;       // XORed into every value: 0, or 255 for 255 - v
};

// Pixels first .. first + count - 1 of a plan, the whole of output row `index` or a part of it, as a job
// lays them out.
struct correction_row {
    std::size_t index;
    std::size_t first;
    std::size_t count;
    unsigned char* out;  // where pixel `first` goes
    int direction;       // 1: pixel first + i goes to out[i]; -1 (image turned): to out[-i]
    unsigned char mask;  // XORed into every value: 0, or 255 for 255 - v
};

// Whole row `index` of a job.
inline correction_row job_row(const correction_job& job, std::size_t index) noexcept {
    const std::size_t columns = job.plan->columns;
    return {index,         index * columns,
            columns,       job.out + static_cast<std::ptrdiff_t>(index) * job.row_step,
            job.direction, job.mask};
}

// The walk's groups of `row` for the vector rows: `count` of them from the one returned on; none (null,
// count 0) when the plan has no walk.
inline const correction_group* walk_groups(const correction_plan& plan, const correction_row& row,
                                           std::uint32_t& count) noexcept {
    const correction_walk* walk = plan.walk;
    if (walk == nullptr) {
        count = 0;
        return nullptr;
    }
    const std::uint32_t first = walk->row_groups[row.index];
    count = walk->row_groups[row.index + 1] - first;
    return walk->groups + first;
}

// Row function of the correction: writes the first pixels of whole row `index` of the job (its first
// plan.columns) and returns how many.
using correct_row_kernel = std::size_t (*)(const correction_job& job, std::size_t index);

// Output pixel k of a plan: the four-corner weighted sum, unsigned 32-bit, shifted right by 20 and cut
// to 8 bits. The scalar rows' one blend.
static inline std::uint32_t corrected_value(const unsigned char* frame, const correction_plan& plan,
                                            std::size_t k) {
    const unsigned char* top = frame + plan.offset[k];
    const unsigned char* bottom = top + kernel_row_bytes;
    // Unsigned 32-bit, modulo 2^32: the builders' weights add up to about 2^20, so the sum stays below 2^28.
    const std::uint32_t sum = plan.weight[0][k] * top[0] + plan.weight[1][k] * top[2] +
                              plan.weight[2][k] * bottom[0] + plan.weight[3][k] * bottom[2];
    return (sum >> 20) & 0xFFu;
}

// A plan's walk and its storage: built once per camera start from the plan's arrays (and by tests and
// benchmarks from theirs); the storage is kept and reused by the next build.
class correction_walk_builder {
public:
    // The walk of `plan`, valid until the next build; `plan.walk` is not read.
    const correction_walk* build(const correction_plan& plan);

private:
    std::vector<std::uint32_t> row_groups_;
    std::vector<correction_group> groups_;
    std::vector<correction_wide_row> wide_rows_;
    std::vector<correction_wide_group> wide_groups_;
#ifdef __x86_64__
    std::vector<std::uint32_t> row_lanes_;
    std::vector<correction_lanes> lanes_;
#endif
    correction_walk walk_ = {};
};

// ------------------------------------------------------------------ variants

struct kernel_variant {
    const char* name;
    score_row_kernel score_row;
    correct_row_kernel correct_row;

    // The frame's score; see image_variance() in bio_module.h. 0 for a null frame and for arguments
    // outside 1 <= step <= bsize <= 280.
    int variance(const unsigned char* frame, int block_size, int row_step) const;
    // Writes plan.pixels bytes of corrected image into out; reads only the frame bytes the plan names
    // (and, through its walk, the windows around them).
    void correct(const unsigned char* frame, const correction_plan& plan, correction_flags flags,
                 unsigned char* out) const;
};

// Reference rows (finger_kernels.cpp), and the pixels of any row, or part of one, the reference way.
unsigned score_row_reference(const unsigned char* row, const score_geometry& g, unsigned blocks,
                             std::uint64_t& total);
std::size_t correct_row_reference(const correction_job& job, std::size_t index);
void correct_pixels_reference(const unsigned char* frame, const correction_plan& plan,
                              const correction_row& row);

// Portable faster rows (finger_kernels_fast.cpp).
unsigned score_row_fast(const unsigned char* row, const score_geometry& g, unsigned blocks,
                        std::uint64_t& total);
std::size_t correct_row_fast(const correction_job& job, std::size_t index);

// SSE4.1 correction rows (finger_kernels_sse41.cpp), x86-64 only; the score is the portable fast one.
// Its variant, or null when not built for SSE4.1 or when the processor lacks it.
const kernel_variant* sse41_variant();

// AVX2 correction rows (finger_kernels_avx2.cpp), x86-64 only, on the walk's lanes; the score is the
// portable fast one. Its variant, or null when not built for AVX2 or when the processor lacks it.
const kernel_variant* avx2_variant();

// NEON rows of both kernels (finger_kernels_neon.cpp), 32-bit ARM only. Their variant, or null when not
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
