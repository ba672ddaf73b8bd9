// Per-frame kernels: the one entry of each kernel, the reference rows of the variance score and of the
// geometric correction, the correction plan's walk, and the one place that chooses which variant runs.
// Pure: the module's configuration, sensor and tables are bound to them elsewhere (finger_detector.cpp,
// correction_tables.cpp), so tools can score frames with these very kernels without the host framework.
#include "finger_kernels.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#ifdef __arm__
#include <sys/auxv.h>

#include <asm/hwcap.h>
#endif

namespace {

// Sample of pixel (x, y) counted from `origin`: the first byte of the pixel's 2-byte UYVY group.
inline std::uint32_t sample(const unsigned char* origin, std::uint64_t x, std::uint64_t y) {
    return origin[kernel_row_bytes * y + 2 * x];
}

struct variant_list {
    kernel_variant entries[4];
    std::size_t count;
};

// True when the processor executes NEON instructions: the board's kernel says so in the auxiliary
// vector (ARMv7-A cores without NEON exist, and Debian's armhf baseline does not assume it).
bool processor_has_neon() {
#ifdef __arm__
    return (getauxval(AT_HWCAP) & HWCAP_NEON) != 0;
#else
    return false;
#endif
}

variant_list usable_variants() {
    variant_list list = {{{"reference", score_row_reference, correct_row_reference},
                          {"fast", score_row_fast, correct_row_fast}},
                         2};
    if (const kernel_variant* sse41 = sse41_variant()) {
        list.entries[list.count++] = *sse41;
    }
    if (const kernel_variant* avx2 = avx2_variant()) {
        list.entries[list.count++] = *avx2;
    }
    const kernel_variant* neon = neon_variant();
    if (neon != nullptr && processor_has_neon()) {
        list.entries[list.count++] = *neon;
    }
    return list;
}

// The groups of the walk: a group's window is 32 samples of a frame row and the 32 below them, the
// bottom half's last byte kernel_row_bytes + 63 bytes after its first.
constexpr std::size_t group_pixels = 8;
constexpr std::size_t window_samples = 32;
constexpr std::size_t window_bytes = 2 * window_samples;
// Where the vector rows' loads leave their pointer before the step to the next group's window: after the
// top half and the first 32 bytes of the bottom half.
constexpr std::uint32_t last_load_at = kernel_row_bytes + window_bytes / 2;

// Pixel k's four weights in thirds, parts[part][corner]; false when they do not fit.
bool weight_thirds(const correction_plan& plan, std::size_t k, std::uint8_t (&parts)[3][4]) {
    std::uint32_t middle_sum = 0;
    std::uint32_t low_sum = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        const std::uint32_t w = plan.weight[i][k];
        const std::uint32_t high = std::min<std::uint32_t>(w >> 12, 255);
        const std::uint32_t rest = w - (high << 12);
        if (rest >= (256u << 6)) {
            return false;
        }
        parts[0][i] = static_cast<std::uint8_t>(rest & 63u);
        parts[1][i] = static_cast<std::uint8_t>(rest >> 6);
        parts[2][i] = static_cast<std::uint8_t>(high);
        middle_sum += rest >> 6;
        low_sum += rest & 63u;
    }
    // The rows add floor(low products / 2^6) to the middle products in 16-bit lanes (the low products
    // stay below 4 * 63 * 255 < 2^16 by themselves).
    return 255 * middle_sum + ((255 * low_sum) >> 6) <= 0xFFFFu;
}

// The weights of pixel `k` split for the machine's vector rows (correction_group); false when they do not
// fit the parts.
#ifdef __arm__
constexpr bool rows_take_wide_groups = true;
bool split_weights(const correction_plan& plan, std::size_t k, std::size_t j, correction_group& g) {
    std::uint8_t parts[3][4];
    if (!weight_thirds(plan, k, parts)) {
        return false;
    }
    for (std::size_t p = 0; p < 3; ++p) {
        for (std::size_t i = 0; i < 4; ++i) {
            g.thirds[p][group_pixels * i + j] = parts[p][i];
        }
    }
    return true;
}
#else
bool split_weights(const correction_plan& plan, std::size_t k, std::size_t j, correction_halves& halves) {
    constexpr std::uint32_t weight_limit = (1u << 24) - (1u << 15);  // high parts must fit 8 bits
    for (std::size_t i = 0; i < 4; ++i) {
        const std::uint32_t w = plan.weight[i][k];
        if (w >= weight_limit) {
            return false;
        }
        const std::uint32_t high = (w + 0x8000u) >> 16;
        halves.low[(i / 2) * 2 * group_pixels + 2 * j + i % 2] =
            static_cast<std::int16_t>(static_cast<std::int32_t>(w) - static_cast<std::int32_t>(high << 16));
        halves.high[4 * j + i] = static_cast<std::uint8_t>(high);
    }
    return true;
}
bool split_weights(const correction_plan& plan, std::size_t k, std::size_t j, correction_group& g) {
    return split_weights(plan, k, j, g.halves);
}
constexpr bool rows_take_wide_groups = false;
#endif

// Fills the `per_row` groups of plan row `r` (columns 0, 8, 16, ... and the row's last 8) with `fill`;
// false when one of them does not fit.
template <typename Group, typename Fill>
bool fill_row(const correction_plan& plan, std::size_t r, std::size_t per_row, Group* g, Fill fill) {
    for (std::size_t i = 0; i < per_row; ++i) {
        const std::size_t column = std::min(i * group_pixels, plan.columns - group_pixels);
        if (!fill(plan, r * plan.columns + column, g[i])) {
            return false;
        }
    }
    return true;
}

// Where a window of `bytes` bytes of a frame row (and as many of the row below) starts that holds the
// samples of the `count` pixels whose offsets are at `offset`, and the samples to their right: at the
// lowest, moved left where the window would end past the frame. False when an offset is odd (its
// samples are not the window's) or the samples do not fit.
bool place_window(const std::uint32_t* offset, std::size_t count, std::uint32_t bytes, std::uint32_t& start) {
    std::uint32_t lowest = offset[0];
    std::uint32_t highest = lowest;
    for (std::size_t j = 0; j < count; ++j) {
        if ((offset[j] & 1u) != 0 || offset[j] + kernel_row_bytes + 3 >= kernel_frame_bytes) {
            return false;
        }
        lowest = std::min(lowest, offset[j]);
        highest = std::max(highest, offset[j]);
    }
    start = std::min<std::uint32_t>(lowest, kernel_frame_bytes - kernel_row_bytes - bytes);
    return highest - start <= bytes - 4;
}

// Fills group `g` for plan pixels first .. first + 7; false when they do not fit one window (offsets
// more than 30 samples apart, or an odd one) or a weight does not fit its parts.
bool fill_group(const correction_plan& plan, std::size_t first, correction_group& g) {
    std::uint32_t start = 0;
    if (!place_window(plan.offset + first, group_pixels, window_bytes, start)) {
        return false;
    }
    for (std::size_t j = 0; j < group_pixels; ++j) {
        if (!split_weights(plan, first + j, j, g)) {
            return false;
        }
    }
    g.window = start;
    g.advance = 0;
    for (std::size_t j = 0; j < group_pixels; ++j) {
        g.sample[j] = static_cast<std::uint8_t>((plan.offset[first + j] - start) / 2);
        g.sample[group_pixels + j] = static_cast<std::uint8_t>(g.sample[j] + 1);
    }
    return true;
}

// Wide groups: sixteen pixels, lanes 0-7 looked up in the window's samples 0-31 and lanes 8-15 in its
// samples 16-47. Windows are placed in samples; the vector rows' last window ends 1280 + 96 bytes on.
constexpr std::size_t wide_pixels = 16;
constexpr long wide_second_half = 16;
constexpr long wide_last_start = static_cast<long>(kernel_frame_bytes - kernel_row_bytes - 96) / 2;
// Where the rows' loads leave their pointer before the step to the next window: after the top half and
// the bottom half's first 64 bytes.
constexpr std::int32_t wide_loads_move = static_cast<std::int32_t>(kernel_row_bytes) + 64;

// The window starts, in samples, that hold a wide group's lanes: the pixels from `first` on, lane j pixel
// j (or 15 - j when `descending`). Empty (low > high) when none does or a pixel's offset is odd.
struct start_range {
    long low;
    long high;
};
start_range wide_starts(const correction_plan& plan, std::size_t first, bool descending) {
    start_range range = {0, wide_last_start};
    for (std::size_t j = 0; j < wide_pixels; ++j) {
        const std::uint32_t o = plan.offset[first + (descending ? wide_pixels - 1 - j : j)];
        if ((o & 1u) != 0) {
            return {1, 0};
        }
        // The lane's left sample and the one to its right within its 32: 0 <= x - half - start <= 30.
        const long x = static_cast<long>(o / 2) - (j < group_pixels ? 0 : wide_second_half);
        range.low = std::max(range.low, x - 30);
        range.high = std::min(range.high, x);
    }
    return range;
}

// Fills wide group `g` for the pixels from `first` on with its window at sample `start`; false when a
// pixel's weights do not fit the thirds.
bool fill_wide_group(const correction_plan& plan, std::size_t first, bool descending, long start,
                     correction_wide_group& g) {
    for (std::size_t j = 0; j < wide_pixels; ++j) {
        const std::size_t k = first + (descending ? wide_pixels - 1 - j : j);
        std::uint8_t parts[3][4];
        if (!weight_thirds(plan, k, parts)) {
            return false;
        }
        for (std::size_t p = 0; p < 3; ++p) {
            for (std::size_t i = 0; i < 4; ++i) {
                g.thirds[p][i][j] = parts[p][i];
            }
        }
        const long index =
            static_cast<long>(plan.offset[k] / 2) - start - (j < group_pixels ? 0 : wide_second_half);
        g.sample[j] = static_cast<std::uint8_t>(index);
        g.sample[wide_pixels + j] = static_cast<std::uint8_t>(index + 1);
    }
    return true;
}

// Lays row `r` out in `count` wide groups at `g` whose windows advance by a fixed step, as the row's
// record says; false when no step serves every group (the lanes of ascending and of descending order
// both tried) or a weight does not fit.
bool fill_wide_row(const correction_plan& plan, std::size_t r, std::size_t count, correction_wide_group* g,
                   correction_wide_row& row) {
    const std::size_t first = r * plan.columns;
    for (const bool descending : {plan.offset[first] > plan.offset[first + plan.columns - 1],
                                  plan.offset[first] <= plan.offset[first + plan.columns - 1]}) {
        // Window i at start + i * step for every i: the step from the ends' ranges, then its neighbours.
        const start_range head = wide_starts(plan, first, descending);
        const start_range tail = wide_starts(plan, first + (count - 1) * wide_pixels, descending);
        const long slope =
            count > 1 ? ((tail.low + tail.high) - (head.low + head.high)) / (2 * static_cast<long>(count - 1))
                      : 0;
        for (long tried = 0; tried < 9; ++tried) {
            const long step = slope + (tried % 2 == 0 ? tried / 2 : -(tried + 1) / 2);
            start_range start = {0, wide_last_start};
            for (std::size_t i = 0; i < count && start.low <= start.high; ++i) {
                const start_range own = wide_starts(plan, first + i * wide_pixels, descending);
                start.low = std::max(start.low, own.low - static_cast<long>(i) * step);
                start.high = std::min(start.high, own.high - static_cast<long>(i) * step);
            }
            if (start.low > start.high) {
                continue;  // (each window within the frame: every group's own range is)
            }
            for (std::size_t i = 0; i < count; ++i) {
                if (!fill_wide_group(plan, first + i * wide_pixels, descending,
                                     start.low + static_cast<long>(i) * step, g[i])) {
                    return false;
                }
            }
            row.groups = g;
            row.window = static_cast<std::uint32_t>(2 * start.low);
            row.count = static_cast<std::uint32_t>(count);
            row.advance = static_cast<std::int32_t>(2 * step) - wide_loads_move;
            row.descending = descending ? 1 : 0;
            return true;
        }
    }
    return false;
}

#ifdef __x86_64__
// Fills `g` for plan pixels first .. first + 7; false when a lane's pixels do not fit its window (left
// samples more than 14 apart, or an odd offset) or a weight does not fit its halves.
bool fill_lanes(const correction_plan& plan, std::size_t first, correction_lanes& g) {
    constexpr std::size_t lane_pixels = group_pixels / 2;
    constexpr std::uint32_t lane_bytes = window_bytes / 2;
    for (std::size_t lane = 0; lane < 2; ++lane) {
        const std::uint32_t* offset = plan.offset + first + lane * lane_pixels;
        std::uint32_t start = 0;
        if (!place_window(offset, lane_pixels, lane_bytes, start)) {
            return false;
        }
        for (std::size_t j = 0; j < lane_pixels; ++j) {
            if (!split_weights(plan, first + lane * lane_pixels + j, lane * lane_pixels + j, g.halves)) {
                return false;
            }
        }
        g.window[lane] = start;
        for (std::size_t j = 0; j < lane_pixels; ++j) {
            g.sample[lane * lane_pixels + j] = static_cast<std::uint8_t>((offset[j] - start) / 2);
        }
    }
    return true;
}
#endif

}  // namespace

// ------------------------------------------------------------------ frame score

// Mean variance of the bsize x bsize blocks of the centre window, sampling every step-th row of a
// block and, in each sampled row, ceil(bsize / step) adjacent pixels. Returns 0 when
// 1 <= step <= bsize <= 280 does not hold. Each row of blocks goes to the variant's row, and what that
// leaves of it to the reference row.
int kernel_variant::variance(const unsigned char* frame, int block_size, int row_step) const {
    if (frame == nullptr || !variance_arguments_valid(block_size, row_step)) {
        return 0;
    }
    score_geometry g = {};
    g.block_size = static_cast<unsigned>(block_size);
    g.row_step = static_cast<unsigned>(row_step);
    g.samples = (g.block_size + g.row_step - 1) / g.row_step;
    g.blocks_x = variance_window_width / g.block_size;
    g.blocks_y = variance_window_height / g.block_size;
    g.n = (std::uint64_t{g.block_size} * g.block_size) / (std::uint64_t{g.row_step} * g.row_step);
    g.n_shift = (g.n & (g.n - 1)) == 0 ? static_cast<unsigned>(__builtin_ctzll(g.n)) : 64;
    g.sampled_row_bytes = kernel_row_bytes * g.row_step;
    // Valid arguments give n >= 1 and at least one block; say so where the divisions start.
    if (g.n == 0 || g.blocks_x == 0 || g.blocks_y == 0) {
        return 0;
    }
    std::uint64_t acc = 0;
    const unsigned char* row = frame + kernel_row_bytes * variance_window_y + 2 * variance_window_x;
    for (unsigned block_y = 0; block_y < g.blocks_y; ++block_y, row += kernel_row_bytes * g.block_size) {
        const unsigned done = score_row(row, g, g.blocks_x, acc);
        if (done < g.blocks_x) {
            score_row_reference(row + 2 * std::size_t{g.block_size} * done, g, g.blocks_x - done, acc);
        }
    }
    const std::uint64_t score = divide_by_n(acc, g) / (std::uint64_t{g.blocks_x} * g.blocks_y);
    return static_cast<int>(static_cast<std::uint32_t>(score));
}

// The blocks one at a time, each as the definition has it.
//
// Bounds: a block holds at most 280 x 280 samples of at most 255, so sum < 2^25 and sumsq < 2^33;
// both, and sum^2 < 2^50, fit the 64-bit accumulators. The subtraction and total are modulo 2^64 by
// definition (when step does not divide bsize, n undercounts the samples and a block can contribute a
// "negative" term).
unsigned score_row_reference(const unsigned char* row, const score_geometry& g, unsigned blocks,
                             std::uint64_t& total) {
    std::uint64_t acc = 0;
    for (unsigned block = 0; block < blocks; ++block) {
        const unsigned char* block_origin = row + 2 * std::size_t{g.block_size} * block;
        std::uint64_t sum = 0;
        std::uint64_t sumsq = 0;
        for (std::uint64_t j = 0; j * g.row_step < g.block_size; ++j) {
            for (std::uint64_t i = 0; i < g.samples; ++i) {
                const std::uint64_t p = sample(block_origin, i, j * g.row_step);
                sum += p;
                sumsq += p * p;
            }
        }
        const std::uint64_t n = g.n;
        acc += sumsq - (sum * sum) / n;
    }
    total += acc;
    return blocks;
}

// ------------------------------------------------------------------ correction

// Corrected image row by row: each whole output row goes to the variant's row, and what that leaves of
// it, and a shorter last row, to the reference. Nothing is written for a null frame or image or a plan
// without columns.
void kernel_variant::correct(const unsigned char* frame, const correction_plan& plan, correction_flags flags,
                             unsigned char* out) const {
    if (frame == nullptr || out == nullptr || plan.columns == 0) {
        return;
    }
    const int direction = flags.invert ? -1 : 1;
    const correction_job job = {frame,
                                &plan,
                                flags.invert ? out + (plan.pixels - 1) : out,
                                direction * static_cast<std::ptrdiff_t>(plan.columns),
                                direction,
                                static_cast<unsigned char>(flags.invert_pixels ? 0xFF : 0x00)};
    // In locals: the row functions could change the plan, as far as the compiler knows, and this loop runs
    // for every row.
    const correct_row_kernel row_function = correct_row;
    const std::size_t columns = plan.columns;
    const std::size_t whole_rows = plan.pixels / columns;
    for (std::size_t index = 0; index < whole_rows; ++index) {
        const std::size_t done = row_function(job, index);
        if (done < columns) {
            correction_row rest = job_row(job, index);
            rest.first += done;
            rest.count -= done;
            rest.out += direction * static_cast<std::ptrdiff_t>(done);
            correct_pixels_reference(frame, plan, rest);
        }
    }
    if (whole_rows * columns < plan.pixels) {
        correction_row last = job_row(job, whole_rows);
        last.count = plan.pixels - last.first;
        correct_pixels_reference(frame, plan, last);
    }
}

// The row's pixels one at a time: the weighted sum, optionally inverted, stored in reading or turned
// order.
void correct_pixels_reference(const unsigned char* frame, const correction_plan& shared_plan,
                              const correction_row& shared_row) {
    // Copies: stores through the image (which may alias anything) then do not make the compiler read
    // the plan and the row again for every pixel.
    const correction_plan plan = shared_plan;
    const correction_row row = shared_row;
    for (std::size_t i = 0; i < row.count; ++i) {
        std::uint32_t v = corrected_value(frame, plan, row.first + i);
        if (row.mask != 0) {
            v = 255u - v;
        }
        row.out[row.direction * static_cast<std::ptrdiff_t>(i)] = static_cast<unsigned char>(v);
    }
}

std::size_t correct_row_reference(const correction_job& job, std::size_t index) {
    const correction_row row = job_row(job, index);
    correct_pixels_reference(job.frame, *job.plan, row);
    return row.count;
}

// Groups for every whole row whose pixels all fit them: on machines whose rows take wide groups, wide
// groups where the row allows (at least 16 columns, at most 8 left over, and a fixed window step that
// serves them all), else groups of eight. The storage grows to the largest plan built and is then only
// rewritten.
const correction_walk* correction_walk_builder::build(const correction_plan& plan) {
    const std::size_t rows = plan.columns == 0 ? 0 : (plan.pixels + plan.columns - 1) / plan.columns;
    const std::size_t whole_rows = plan.columns == 0 ? 0 : plan.pixels / plan.columns;
    const std::size_t per_row =
        plan.columns >= group_pixels ? (plan.columns + group_pixels - 1) / group_pixels : 0;
    const std::size_t wide_per_row =
        rows_take_wide_groups && plan.columns % wide_pixels <= group_pixels ? plan.columns / wide_pixels : 0;
    row_groups_.assign(rows + 1, 0);
    wide_rows_.assign(rows, correction_wide_row{});
    if (groups_.size() < whole_rows * per_row) {
        groups_.resize(whole_rows * per_row);
    }
    if (wide_groups_.size() < whole_rows * wide_per_row) {
        wide_groups_.resize(whole_rows * wide_per_row);
    }
    std::uint32_t count = 0;
    std::uint32_t wide_count = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        row_groups_[r] = count;
        if (r >= whole_rows || per_row == 0) {
            continue;
        }
        correction_group* g = groups_.data() + count;
        correction_wide_row& wide = wide_rows_[r];
        const bool left_over = plan.columns % wide_pixels != 0;
        if (wide_per_row > 0 &&
            fill_wide_row(plan, r, wide_per_row, wide_groups_.data() + wide_count, wide) &&
            (!left_over || fill_group(plan, r * plan.columns + plan.columns - group_pixels, *g))) {
            wide_count += wide.count;
            if (left_over) {
                wide.tail = g;
                wide.tail_window = g->window;
                ++count;
            }
            continue;
        }
        wide = correction_wide_row{};
        if (!fill_row(plan, r, per_row, g, fill_group)) {
            continue;
        }
        for (std::size_t i = 0; i + 1 < per_row; ++i) {
            g[i].advance = static_cast<std::int32_t>(g[i + 1].window - (g[i].window + last_load_at));
        }
        count += static_cast<std::uint32_t>(per_row);
    }
    row_groups_[rows] = count;
    walk_.row_groups = row_groups_.data();
    walk_.groups = groups_.data();
    walk_.wide_rows = rows_take_wide_groups ? wide_rows_.data() : nullptr;
    walk_.wide_groups = wide_groups_.data();
#ifdef __x86_64__
    row_lanes_.assign(rows + 1, 0);
    if (lanes_.size() < whole_rows * per_row) {
        lanes_.resize(whole_rows * per_row);
    }
    count = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        row_lanes_[r] = count;
        if (r < whole_rows && per_row > 0 && fill_row(plan, r, per_row, lanes_.data() + count, fill_lanes)) {
            count += static_cast<std::uint32_t>(per_row);
        }
    }
    row_lanes_[rows] = count;
    walk_.row_lanes = row_lanes_.data();
    walk_.lanes = lanes_.data();
#endif
    return &walk_;
}

// ------------------------------------------------------------------ variants

const kernel_variant* kernel_variants(std::size_t* count) {
    static const variant_list variants = usable_variants();
    *count = variants.count;
    return variants.entries;
}

const kernel_variant& select_kernels(const char* bio_kernels_value) {
    std::size_t count = 0;
    const kernel_variant* variants = kernel_variants(&count);
    if (bio_kernels_value != nullptr) {
        for (std::size_t i = 0; i < count; ++i) {
            if (std::strcmp(bio_kernels_value, variants[i].name) == 0) {
                return variants[i];
            }
        }
    }
    // The last variant listed is the fastest one built for this machine.
    return variants[count - 1];
}

const kernel_variant& active_kernels() {
    // Chosen once: the capture loop calls the kernels for every frame and the environment does not
    // change under a running host.
    static const kernel_variant& chosen = select_kernels(std::getenv("BIO_KERNELS"));
    return chosen;
}
