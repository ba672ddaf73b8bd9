// Helpers of the finger pipeline tests (see pipeline_support.h).
#include "pipeline_support.h"

#include <cerrno>
#include <exception>
#include <string>

#include "bio_module.h"
#include "ovra/post_office.h"
#include "recording/recording.h"
#include "vsensor/vsensor.h"

namespace pipeline_test {

bio_test::ParamMap module_params(const bio_test::ModuleEnv& env, const bio_test::ParamMap& overrides) {
    bio_test::ParamMap params = bio_test::default_params();
    params["device_path"] = env.device_path();
    params["fp_reader_path"] = env.sensor_file();
    for (const auto& [key, value] : overrides) {
        params[key] = value;
    }
    return params;
}

void apply_params(const bio_test::ParamMap& params) {
    auto integer = [&params](const char* key) { return std::stoi(params.at(key)); };
    priority = integer("priority");
    watchdog_timeout = integer("watchdog_timeout");
    device_path = params.at("device_path");
    finger_image_path = params.at("finger_image_path");
    bsize = integer("bsize");
    step = integer("step");
    img_num = integer("img_num");
    min_img_num = integer("min_img_num");
    var_min = integer("var_min");
    const int select_ms = integer("select_timeout");
    select_timeout.tv_sec = select_ms / 1000;
    select_timeout.tv_usec = (select_ms % 1000) * 1000;
    restart_timeout = integer("restart_timeout") * 1000;
    finger_detected_delay = integer("finger_detected_delay") * 1000;
    net_debug_ip = params.at("net_debug_ip");
    net_debug_port = integer("net_debug_port");
    net_debug_raw = integer("net_debug_raw") != 0;
    invert = integer("invert") != 0;
    fp_reader_path = params.at("fp_reader_path");
    last_fp_reader = params.at("last_fp_reader");
    invert_pixels = integer("invert_pixels") != 0;
}

std::optional<std::int64_t> Event::number(const std::string& name) const {
    for (const auto& f : fields) {
        if (f.name == name &&
            (f.kind == ovra::MessageField::Kind::integer || f.kind == ovra::MessageField::Kind::integer64)) {
            return f.number;
        }
    }
    return std::nullopt;
}

std::optional<std::string> Event::string_field(const std::string& name) const {
    for (const auto& f : fields) {
        if (f.name == name && f.kind == ovra::MessageField::Kind::string) {
            return f.text;
        }
    }
    return std::nullopt;
}

Transcript::Transcript(bool snapshot_best_frame) : snapshot_(snapshot_best_frame) {
    tap_id_ = ovra::PostOffice::add_tap([this](const ovra::TapEvent& tap) {
        Event event;
        event.is_message = true;
        event.type = tap.message->type();
        event.fields = tap.message->fields();
        event.thread = std::this_thread::get_id();
        event.at = tap.sent_at;
        if (snapshot_ && event.type == type_image) {
            event.best_first = detection.best_frame[0];
            event.best_last = detection.best_frame[frame_bytes - 1];
        }
        add(std::move(event));
    });
    sink_id_ = ovra::host::add_log_sink([this](const ovra::host::LogRecord& record) {
        Event event;
        event.level = record.level;
        event.text = record.text;
        event.function = record.function;
        event.thread = std::this_thread::get_id();
        event.at = Clock::now();
        add(std::move(event));
    });
}

Transcript::~Transcript() {
    ovra::host::remove_log_sink(sink_id_);
    ovra::PostOffice::remove_tap(tap_id_);
}

void Transcript::add(Event event) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(std::move(event));
    }
    changed_.notify_all();
}

std::vector<Event> Transcript::events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

std::vector<Event> Transcript::messages(const std::string& type) const {
    std::vector<Event> found;
    for (auto& e : events()) {
        if (e.is_message && e.type == type) {
            found.push_back(e);
        }
    }
    return found;
}

int Transcript::count(const std::string& type) const {
    return static_cast<int>(messages(type).size());
}

bool Transcript::wait_for(const std::function<bool(const std::vector<Event>&)>& predicate,
                          std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return predicate(events_); });
}

bool Transcript::wait_for_count(const std::string& type, int n, std::chrono::milliseconds timeout) const {
    return wait_for(
        [&](const std::vector<Event>& events) {
            int found = 0;
            for (const auto& e : events) {
                found += (e.is_message && e.type == type) ? 1 : 0;
            }
            return found >= n;
        },
        timeout);
}

void Transcript::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
}

std::vector<std::string> Transcript::summary() const {
    std::vector<std::string> lines;
    std::string last_uuid_seen;
    for (const auto& e : events()) {
        if (e.is_message) {
            if (e.type == type_image) {
                std::string line = "image v=" + std::to_string(e.number("variance").value_or(-1));
                if (e.best_first >= 0) {
                    line += " f=" + std::to_string(e.best_first);
                    if (e.best_last != e.best_first) {
                        line += " (last byte " + std::to_string(e.best_last) + ")";
                    }
                }
                last_uuid_seen = e.string_field("uuid").value_or("");
                lines.push_back(line);
            } else if (e.type == type_detected) {
                lines.emplace_back("detected");
            } else if (e.type == type_removed) {
                lines.emplace_back("removed");
            }
        } else if (e.level == ovra::host::LogLevel::error) {
            lines.push_back("error:" + e.text);
        } else if (e.function == "run") {
            if (e.text.rfind("UUID:", 0) == 0) {
                lines.emplace_back(e.text == "UUID:" + last_uuid_seen ? "UUID" : "UUID mismatch: " + e.text);
            } else {
                lines.push_back(e.text);
            }
        }
    }
    return lines;
}

Clock::time_point to_steady(const timespec& monotonic) {
    // libstdc++'s steady clock reads CLOCK_MONOTONIC, the watchdog's clock.
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(
        std::chrono::seconds(monotonic.tv_sec) + std::chrono::nanoseconds(monotonic.tv_nsec)));
}

KeepAlives::KeepAlives() {
    id_ = ovra::host::add_watchdog_observer([this](const ovra::host::KeepAlive& keep_alive) {
        if (keep_alive.name != "bio_module") {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            times_.push_back(to_steady(keep_alive.time));
        }
        changed_.notify_all();
    });
}

KeepAlives::~KeepAlives() {
    ovra::host::remove_watchdog_observer(id_);
}

std::vector<Clock::time_point> KeepAlives::times() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return times_;
}

bool KeepAlives::wait_for_count(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return times_.size() >= n; });
}

RunThread::RunThread() : thread_([this] { body(); }) {}

void RunThread::body() {
    std::string text;
    try {
        run();
        text = "run returned";
    } catch (const std::exception& e) {
        text = e.what();
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        exit_text_ = text;
    }
    ended_.notify_all();
}

std::optional<std::string> RunThread::wait_exit(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    ended_.wait_for(lock, timeout, [this] { return exit_text_.has_value(); });
    return exit_text_;
}

RunThread::~RunThread() {
    if (!wait_exit(0ms)) {
        // Make every way forward fail: the next dequeue, and every camera start of a restart.
        vsensor::add_fault({vsensor::Call::dqbuf, ENODEV, 0, -1});
        vsensor::add_fault({vsensor::Call::open, ENODEV, 0, -1});
        set_enabled(true);
    }
    if (wait_exit(20s)) {
        thread_.join();
    } else {
        thread_.detach();
    }
}

std::vector<unsigned char> glass_frame(unsigned char level) {
    return std::vector<unsigned char>(frame_bytes, level);
}

std::vector<unsigned char> ridged_frame() {
    std::vector<unsigned char> frame(frame_bytes);
    for (int y = 0; y < frame_height; ++y) {
        for (int x = 0; x < frame_width; ++x) {
            const unsigned char value = ((x + y) % 2 == 0) ? 40 : 220;
            const std::size_t offset =
                2 * (static_cast<std::size_t>(x) + frame_width * static_cast<std::size_t>(y));
            frame[offset] = value;
            frame[offset + 1] = value;
        }
    }
    return frame;
}

std::string replay_scenario(const std::string& path, const std::vector<std::vector<unsigned char>>& frames) {
    recording::Writer writer(path);
    for (const auto& frame : frames) {
        writer.append(0, frame.data());
    }
    writer.close();
    return "replay " + path + "\nrepeat\n";
}

double ms_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

}  // namespace pipeline_test
