// In-process control of the virtual sensor (vsensor.h): configuration, scenarios, faults,
// counters and the frames a scenario gives.
#include "vsensor/vsensor.h"

#include "driver.h"

namespace vsensor {

using detail::device;

void configure(const Config& config) {
    detail::install(config, nullptr);
}

Config current_config() {
    auto& d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    return d.config;
}

void set_scenario(const std::string& text) {
    const detail::ScenarioSettings settings = detail::parse_scenario(text);
    auto& d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    Config config = d.config;
    config.scenario = text;
    detail::apply_settings(settings, config);
    detail::validate(config);
    d.config = config;
    detail::publish_paths(config);
    d.source = std::make_shared<const detail::FrameSource>(settings.timeline, config.seed, config.fps,
                                                           detail::correction_model(config));
    if (settings.truth_to) {
        d.truth_sender =
            config.truth_to.empty() ? nullptr : std::make_shared<const detail::TruthSender>(config.truth_to);
    }
    detail::add_scenario_faults(d, settings);
    d.changed.notify_all();
}

void add_fault(const Fault& fault) {
    auto& d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.faults.push_back({fault, 0});
}

void add_stall(std::uint64_t after_frames, std::chrono::milliseconds duration) {
    auto& d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.stalls.push_back({after_frames, duration});
    d.changed.notify_all();
}

void add_bad_index(std::uint64_t nth, std::uint32_t index) {
    auto& d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.bad_indexes.push_back({nth, index});
}

void clear_faults() {
    auto& d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.faults.clear();
    d.stalls.clear();
    d.bad_indexes.clear();
    d.stall_until = {};
    d.changed.notify_all();
}

Counters counters() {
    auto& d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    Counters result{};
    result.open_descriptors = static_cast<int>(d.descriptors.size());
    result.opens = d.opens;
    result.frames_produced = d.frames_produced;
    result.frames_dequeued = d.frames_dequeued;
    result.streaming = d.streaming;
    result.last_truth = d.last_truth;
    result.contact_frames_dequeued = d.contact_frames_dequeued;
    result.touches_dequeued = d.touches_dequeued;
    auto& maps = detail::mappings();
    std::lock_guard<std::mutex> maps_lock(maps.mutex);
    result.live_mappings = static_cast<int>(maps.live.size());
    return result;
}

bool wait_frames_dequeued(std::uint64_t n, std::chrono::milliseconds timeout) {
    auto& d = device();
    std::unique_lock<std::mutex> lock(d.mutex);
    return d.changed.wait_for(lock, timeout, [&] { return d.frames_dequeued >= n; });
}

namespace {

std::shared_ptr<const detail::FrameSource> current_source() {
    auto& d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    return d.source;
}

}  // namespace

std::vector<unsigned char> frame_at(std::uint64_t n) {
    std::vector<unsigned char> frame(detail::frame_bytes);
    detail::ReplayCursor cursor;
    current_source()->render(n, frame.data(), cursor);
    return frame;
}

recording::Truth truth_at(std::uint64_t n) {
    detail::ReplayCursor cursor;
    return current_source()->truth(n, cursor);
}

}  // namespace vsensor

std::uint64_t vsensor_frames_dequeued() {
    return vsensor::counters().frames_dequeued;
}

std::uint64_t vsensor_last_truth(unsigned char* out) {
    const vsensor::Counters now = vsensor::counters();
    recording::encode_truth(now.last_truth, out);
    return now.frames_dequeued;
}

std::uint64_t vsensor_timeline_frames() {
    std::shared_ptr<const vsensor::detail::FrameSource> source;
    {
        auto& d = vsensor::detail::device();
        std::lock_guard<std::mutex> lock(d.mutex);
        source = d.source;
    }
    return source ? source->length() : 0;
}
