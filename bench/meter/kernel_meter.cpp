// The board's cost meter, guest side: calls one kernel of one variant N times on one frame of noise,
// so that the instructions qemu-arm counts for N calls minus those for 0 calls, over N, are the
// kernel's cost per call (scripts/bench --armhf runs it under the instruction-count plug-in).
//
//   kernel_meter KERNEL VARIANT CALLS
//   KERNEL: copy (memcpy of one frame, the baseline; VARIANT is ignored), score-8-2, score-4-2,
//           score-16-4 (bsize-step), correct-table (GC0307's tables), correct-matrix (GC032A's),
//           loop-glass, loop-finger (the capture loop's work for one frame once it is copied, through
//           the module's own code: score 8/2, stream off, detector; an empty glass, or a finger that
//           stays and is never published)
//   VARIANT: a name kernel_variants() lists (reference, fast, neon...)
// Prints nothing; exit status 2 for a kernel or variant it does not know, or for a bad count.
//   kernel_meter --variants
// Prints the names of the variants usable on this processor, one a line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "../bench_inputs.h"
#include "bio_module.h"
#include "finger_kernels.h"

namespace {

using bench::copy_plan;
using bench::fill_noise;
using bench::sensor_plan;

const kernel_variant* variant_named(const char* name) {
    std::size_t count = 0;
    const kernel_variant* variants = kernel_variants(&count);
    for (std::size_t i = 0; i < count; ++i) {
        if (std::strcmp(variants[i].name, name) == 0) {
            return &variants[i];
        }
    }
    return nullptr;
}

// What one call of a measured kernel does.
enum class call_kind { copy, score, correct_table, correct_matrix, loop_glass, loop_finger };
struct meter_kernel {
    const char* name;
    call_kind kind;
    int block_size;
    int row_step;
};
constexpr meter_kernel meter_kernels[] = {{"copy", call_kind::copy, 0, 0},
                                          {"score-8-2", call_kind::score, 8, 2},
                                          {"score-4-2", call_kind::score, 4, 2},
                                          {"score-16-4", call_kind::score, 16, 4},
                                          {"correct-table", call_kind::correct_table, 0, 0},
                                          {"correct-matrix", call_kind::correct_matrix, 0, 0},
                                          {"loop-glass", call_kind::loop_glass, 8, 2},
                                          {"loop-finger", call_kind::loop_finger, 8, 2}};

const meter_kernel* kernel_named(const char* name) {
    for (const meter_kernel& kernel : meter_kernels) {
        if (std::strcmp(kernel.name, name) == 0) {
            return &kernel;
        }
    }
    return nullptr;
}

// Keeps the compiler from dropping or merging calls whose results are not otherwise used.
void keep(const void* p) {
    __asm__ volatile("" : : "r"(p) : "memory");
}

alignas(64) unsigned char source_frame[frame_bytes];
alignas(64) unsigned char copied_frame[frame_bytes];
alignas(64) unsigned char corrected[grey_capacity];
sensor_plan table_plan;
sensor_plan matrix_plan;

// The module's configuration for the loop's frames: the score's usual setting, every frame with a score
// of 1 or more a finger, the stream off, and a count of frames that never publishes (img_num 0). The
// loop scores captured_frame with the variant the module chooses: the one named.
void configure_loop(const meter_kernel& kernel, const kernel_variant* variant) {
    setenv("BIO_KERNELS", variant->name, 1);
    bsize = kernel.block_size;
    step = kernel.row_step;
    var_min = 1;
    img_num = 0;
    min_img_num = 1;
    net_debug_ip.clear();
    reset_touch();
    if (kernel.kind == call_kind::loop_glass) {
        std::memset(captured_frame, 128, frame_bytes);  // scores 0
    } else {
        std::memcpy(captured_frame, source_frame, frame_bytes);
    }
}

// calls + 1 calls of the kernel: everything but the last `calls` is the same whatever their number,
// one warm-up call included (it pays the lazy binding of the kernel's library calls, and a finger's
// first frame its copy as the touch's best), so that the difference of two counts is that many calls
// exactly.
void run(const meter_kernel& kernel, const kernel_variant* variant, long calls) {
    fill_noise(source_frame);
    copy_plan("GC0307", table_plan);
    copy_plan("GC032A", matrix_plan);
    if (kernel.kind == call_kind::loop_glass || kernel.kind == call_kind::loop_finger) {
        configure_loop(kernel, variant);
    }
    for (long i = 0; i <= calls; ++i) {
        unsigned char* destination = copied_frame;
        keep(destination);
        switch (kernel.kind) {
            case call_kind::copy:
                std::memcpy(destination, source_frame, frame_bytes);
                break;
            case call_kind::score: {
                volatile int score = variant->variance(source_frame, kernel.block_size, kernel.row_step);
                (void)score;
                break;
            }
            case call_kind::correct_table:
                variant->correct(source_frame, table_plan.plan, {false, false}, corrected);
                break;
            case call_kind::correct_matrix:
                variant->correct(source_frame, matrix_plan.plan, {false, false}, corrected);
                break;
            case call_kind::loop_glass:
            case call_kind::loop_finger:
                handle_captured_frame();
                break;
        }
        keep(destination);
        keep(corrected);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--variants") == 0) {
        std::size_t count = 0;
        const kernel_variant* variants = kernel_variants(&count);
        for (std::size_t i = 0; i < count; ++i) {
            std::printf("%s\n", variants[i].name);
        }
        return 0;
    }
    const meter_kernel* kernel = argc == 4 ? kernel_named(argv[1]) : nullptr;
    const kernel_variant* variant = argc == 4 ? variant_named(argv[2]) : nullptr;
    char* end = nullptr;
    const long calls = argc == 4 ? std::strtol(argv[3], &end, 10) : -1;
    if (kernel == nullptr || (variant == nullptr && kernel->kind != call_kind::copy) || calls < 0 ||
        *end != '\0') {
        std::fprintf(stderr, "usage: kernel_meter KERNEL VARIANT CALLS | --variants (see the file's head)\n");
        return 2;
    }
    run(*kernel, variant, calls);
    return 0;
}
