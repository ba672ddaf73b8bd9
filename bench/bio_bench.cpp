// Per-frame costs of the capture loop's kernels, side by side with the frame copy that every frame
// pays anyway and, when built with it, OpenCV's fixed-point remap producing the same image.
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_inputs.h"
#include "bio_module.h"
#include "finger_kernels.h"

#ifdef BIO_BENCH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

constexpr std::uint32_t weight_unit = 1u << 20;  // weight 1.0

// A frame of noise: the kernels' cost does not depend on the pixel values.
const std::vector<unsigned char>& test_frame() {
    static const std::vector<unsigned char> frame = [] {
        std::vector<unsigned char> bytes(frame_bytes);
        bench::fill_noise(bytes.data());
        return bytes;
    }();
    return frame;
}

// ------------------------------------------------------------------ baseline: the mandatory copy
void BM_frame_copy(benchmark::State& state) {
    const std::vector<unsigned char>& source = test_frame();
    std::vector<unsigned char> destination(frame_bytes);
    for (auto _ : state) {
        std::memcpy(destination.data(), source.data(), frame_bytes);
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(frame_bytes));
}
BENCHMARK(BM_frame_copy);

// ------------------------------------------------------------------ frame score
void BM_image_variance(benchmark::State& state, const kernel_variant* kernels, int block_size, int row_step) {
    const std::vector<unsigned char>& frame = test_frame();
    for (auto _ : state) {
        benchmark::DoNotOptimize(kernels->variance(frame.data(), block_size, row_step));
    }
}

// ------------------------------------------------------------------ detector, empty glass
void BM_detection_step(benchmark::State& state) {
    // A threshold above every score: each step is the empty-glass path and nothing is published.
    var_min = INT_MAX;
    min_img_num = 1;
    img_num = 3;
    detection.finger_frames = 0;
    detection.best_variance = 0;
    detection.handled = false;
    const int score = select_kernels("fast").variance(test_frame().data(), 8, 2);
    for (auto _ : state) {
        detection_step(score);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_detection_step);

// ------------------------------------------------------------------ correction
void BM_correct_image(benchmark::State& state, const kernel_variant* kernels, const correction_plan* plan) {
    const std::vector<unsigned char>& frame = test_frame();
    std::vector<unsigned char> out(grey_capacity);
    for (auto _ : state) {
        kernels->correct(frame.data(), *plan, {false, false}, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
}
#ifdef BIO_BENCH_OPENCV
// The peer a user would reach for: cv::remap, bilinear, with fixed-point maps (CV_16SC2 plus the
// interpolation table index), built from the same perspective matrices, into the same 260 x 350
// image. Its weights have 5 fractional bits per axis where the module's have 20, so its pixels may
// differ by a level or two; only the time is compared.
struct opencv_maps {
    cv::Mat map_xy;
    cv::Mat map_fraction;
};

const opencv_maps& remap_maps() {
    static const opencv_maps maps = [] {
        cv::Mat map_x(perspective_rows, grey_width, CV_32FC1);
        cv::Mat map_y(perspective_rows, grey_width, CV_32FC1);
        for (int i = 0; i < perspective_rows; ++i) {
            for (int j = 0; j < grey_width; ++j) {
                const offset_entry& o = offsetMatrix[i][j];
                const weight_entry& w = weightMatrix[i][j];
                // Source position back from the corner weights: fx = w10 + w11, fy = w01 + w11.
                map_x.at<float>(i, j) =
                    static_cast<float>(o[0] + static_cast<double>(w[1] + w[3]) / weight_unit);
                map_y.at<float>(i, j) =
                    static_cast<float>(o[1] + static_cast<double>(w[2] + w[3]) / weight_unit);
            }
        }
        opencv_maps result;
        cv::convertMaps(map_x, map_y, result.map_xy, result.map_fraction, CV_16SC2);
        return result;
    }();
    return maps;
}

// The frame's sample plane (first byte of every pixel) extracted once, then remapped.
void BM_opencv_remap(benchmark::State& state) {
    const std::vector<unsigned char>& frame = test_frame();
    const cv::Mat uyvy(frame_height, frame_width, CV_8UC2, const_cast<unsigned char*>(frame.data()));
    cv::Mat plane;
    cv::extractChannel(uyvy, plane, 0);
    const opencv_maps& maps = remap_maps();
    cv::Mat out(perspective_rows, grey_width, CV_8UC1);
    for (auto _ : state) {
        cv::remap(plane, out, maps.map_xy, maps.map_fraction, cv::INTER_LINEAR);
        benchmark::DoNotOptimize(out.data);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_opencv_remap);

// The same from the captured frame, extraction of the sample plane included.
void BM_opencv_extract_and_remap(benchmark::State& state) {
    const std::vector<unsigned char>& frame = test_frame();
    const cv::Mat uyvy(frame_height, frame_width, CV_8UC2, const_cast<unsigned char*>(frame.data()));
    cv::Mat plane(frame_height, frame_width, CV_8UC1);
    const opencv_maps& maps = remap_maps();
    cv::Mat out(perspective_rows, grey_width, CV_8UC1);
    for (auto _ : state) {
        cv::extractChannel(uyvy, plane, 0);
        cv::remap(plane, out, maps.map_xy, maps.map_fraction, cv::INTER_LINEAR);
        benchmark::DoNotOptimize(out.data);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_opencv_extract_and_remap);
#endif

}  // namespace

int main(int argc, char** argv) {
    // The GC032A start comes last: the OpenCV peer reads the perspective matrices it leaves.
    static bench::sensor_plan table_plan;
    static bench::sensor_plan matrix_plan;
    bench::copy_plan("GC0307", table_plan);
    bench::copy_plan("GC032A", matrix_plan);
    benchmark::AddCustomContext("correction_tables",
                                "built by build_correction_tables() for GC0307 and GC032A");
    benchmark::AddCustomContext("kernel_chosen_by_module", active_kernels().name);
#ifdef BIO_BENCH_OPENCV
    benchmark::AddCustomContext("opencv", CV_VERSION);
#endif
    // Every variant usable on this machine, side by side.
    std::size_t count = 0;
    const kernel_variant* variants = kernel_variants(&count);
    for (std::size_t i = 0; i < count; ++i) {
        const kernel_variant& v = variants[i];
        const std::string name = v.name;
        for (const auto& [block_size, row_step] :
             {std::pair<int, int>{8, 2}, std::pair<int, int>{4, 2}, std::pair<int, int>{16, 4}}) {
            benchmark::RegisterBenchmark(("BM_image_variance/" + name + "/bsize:" +
                                          std::to_string(block_size) + "/step:" + std::to_string(row_step))
                                             .c_str(),
                                         BM_image_variance, &v, block_size, row_step);
        }
        benchmark::RegisterBenchmark(("BM_correct_image/table/" + name).c_str(), BM_correct_image, &v,
                                     &table_plan.plan);
        benchmark::RegisterBenchmark(("BM_correct_image/matrix/" + name).c_str(), BM_correct_image, &v,
                                     &matrix_plan.plan);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
