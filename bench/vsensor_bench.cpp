// What the virtual sensor's world costs: growing a finger (once per identity) and composing one
// frame of each kind the producer thread fills at 30 frames per second (33 ms each), next to the
// fixed finger's frame and a bare frame copy measured in the same run.
#include <cstring>
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "internal.h"

namespace {

using vsensor::detail::frame_bytes;

void BM_frame_copy(benchmark::State& state) {
    const std::vector<unsigned char> source(frame_bytes, 200);
    std::vector<unsigned char> destination(frame_bytes);
    for (auto _ : state) {
        std::memcpy(destination.data(), source.data(), frame_bytes);
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_frame_copy);

void BM_grow_finger(benchmark::State& state) {
    std::uint32_t identity = 1;
    for (auto _ : state) {
        benchmark::DoNotOptimize(vsensor::world::grow_finger(identity++, std::nullopt));
    }
}
BENCHMARK(BM_grow_finger)->Unit(benchmark::kMillisecond);

// Frame n of a scenario, after a first frame that prepares what the scenario needs.
void BM_frame(benchmark::State& state, const char* scenario, std::uint64_t n) {
    const vsensor::detail::ScenarioSettings settings = vsensor::detail::parse_scenario(scenario);
    const vsensor::detail::FrameSource source(settings.timeline, 1, 30.0);
    std::vector<unsigned char> frame(frame_bytes);
    vsensor::detail::ReplayCursor cursor;
    source.render(n, frame.data(), cursor);
    for (auto _ : state) {
        benchmark::DoNotOptimize(source.render(n, frame.data(), cursor));
        benchmark::ClobberMemory();
    }
}
constexpr const char* touch = "glass 1f\ntouch approach=100ms press=100ms hold=1s lift=100ms slide=60,0\n";
BENCHMARK_CAPTURE(BM_frame, fixed_finger, "finger", 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_frame, world_glass, "identity 3\nglass\n", 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_frame, world_hold, touch, 20)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_frame, world_everything,
                  "ambient 120 texture=0.5\nflicker 100\nshadow 0.8\nlatent 0.4\nfixed_pattern offset=1 gain=0.02\n"
                  "touch approach=100ms press=100ms hold=1s lift=100ms\ntouch approach=300ms press=100ms hold=1s\n",
                  42)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
