// Internal pieces of the virtual sensor: the scenario timeline, the frame sources and the trace.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "recording/recording.h"
#include "vsensor/vsensor.h"
#include "world/world.h"

namespace vsensor::detail {

constexpr std::uint32_t frame_width = 640;
constexpr std::uint32_t frame_height = 480;
constexpr std::size_t frame_bytes = std::size_t{frame_width} * frame_height * 2;

// Luma levels of the synthetic sources.
constexpr int glass_level = 200;
constexpr int chroma_level = 128;

// One step of a scenario's timeline.
struct Step {
    enum class Kind { glass, finger, replay, touch };
    Kind kind = Kind::glass;
    // Length: a frame count, or a duration turned into frames at the frame rate, or no end.
    std::optional<std::uint64_t> frames;
    std::optional<std::chrono::milliseconds> duration;
    std::string path;                    // replay: the recording
    std::uint64_t recording_frames = 0;  // replay: whole frames in the recording
    std::size_t touch = 0;               // touch: its line in the world's touches
};

struct Timeline {
    std::vector<Step> steps;
    bool repeat = false;
    std::uint64_t passes = 0;  // with repeat: the passes over the timeline in all (0: for ever)
    // The physical finger, light and sensor of a scenario that has a world line: touch steps, and
    // the empty glass between them, come from it. Null: the fixed sources only.
    std::shared_ptr<world::Scene> world;
};

// Everything a scenario text can say: the timeline, configuration lines and faults.
struct ScenarioSettings {
    Timeline timeline;
    std::optional<double> fps;
    std::optional<std::uint32_t> seed;
    std::optional<std::string> device_path;
    std::optional<unsigned> granted_buffers;
    std::optional<std::uint32_t> capabilities;
    std::optional<std::uint32_t> width;
    std::optional<std::uint32_t> height;
    std::optional<std::uint32_t> pixelformat;
    std::optional<std::uint32_t> buffer_length;
    std::optional<std::string> truth_to;
    std::vector<Fault> faults;
    struct Stall {
        std::uint64_t after_frames;
        std::chrono::milliseconds duration;
    };
    std::vector<Stall> stalls;
    struct BadIndex {
        std::uint64_t nth;
        std::uint32_t index;
    };
    std::vector<BadIndex> bad_indexes;

    // The sensor's model (its identification attribute in sysfs, and the correction a finger
    // image goes through).
    std::optional<std::string> sensor_model;
    std::optional<std::string> model_attribute_path;
};

// Parses scenario text. Throws std::invalid_argument with one line naming the line and the
// problem (unknown step or fault name, bad number, unreadable recording).
ScenarioSettings parse_scenario(const std::string& text);

// Copies the configuration lines of `settings` into `config`.
void apply_settings(const ScenarioSettings& settings, Config& config);

// The model whose correction a real finger image goes through: the sensor's own, GC032A when it
// publishes none.
std::string correction_model(const Config& config);

// Throws std::invalid_argument naming the first impossible value of `config`.
void validate(const Config& config);

// Parses an errno name ("EINTR") or number; nullopt when unknown.
std::optional<int> parse_errno(const std::string& text);
// "EINTR" for EINTR; the number as text when the name is unknown.
std::string errno_name(int error);
// The Call named `text` (as call_name spells it); nullopt when unknown.
std::optional<Call> parse_call(const std::string& text);
// A whole unsigned decimal number of at most 19 digits; nullopt for anything else.
std::optional<std::uint64_t> parse_count(const std::string& text);

class ReplayCursor;

// Produces frame n of a timeline: deterministic for a seed, cheap per frame (the finger is
// rendered once per source, each frame adds precomputed noise). Immutable once built, so the
// producer and frame_at may share it.
class FrameSource {
public:
    // `model`: the sensor model whose correction a real finger image goes through.
    FrameSource(Timeline timeline, std::uint32_t seed, double fps, const std::string& model = "GC032A");
    ~FrameSource();
    FrameSource(const FrameSource&) = delete;
    FrameSource& operator=(const FrameSource&) = delete;

    // Writes the whole frame n (frame_bytes) to `out` and returns its ground truth. `cursor`
    // carries an open recording between calls; pass a fresh one for a one-off frame. A recording
    // that has become unreadable gives empty glass for its frames; a recording's frames have the
    // truth it carries (unknown when it carries none).
    recording::Truth render(std::uint64_t n, unsigned char* out, ReplayCursor& cursor) const;
    // The truth render gives, without the frame where the source can tell it apart.
    recording::Truth truth(std::uint64_t n, ReplayCursor& cursor) const;

    // Frames of the whole timeline when it comes to an end (no repeat or a number of passes, every
    // step of a set length); 0 when it goes on for ever. After its end the last step holds.
    std::uint64_t length() const;

private:
    struct Position {
        const Step* step;          // null: empty glass (no timeline)
        std::uint64_t step_frame;  // frame number within the step
        std::uint64_t cycle = 0;   // how many times a repeated timeline has run before
    };
    Position locate(std::uint64_t n) const;
    // The touch number of a finger or touch step at `where` (from 1, counting every repeat).
    std::uint32_t touch_number(const Position& where) const;
    // What the world needs to know of frame n at `where`.
    world::Moment moment(std::uint64_t n, const Position& where) const;
    std::uint64_t step_frames(const Step& step) const;  // 0: no end
    const std::vector<unsigned char>& finger_luma() const;
    const std::vector<signed char>& noise() const;

    Timeline timeline_;
    std::uint32_t seed_;
    double fps_;
    std::unique_ptr<const world::World> world_;
    std::vector<std::uint64_t> step_starts_;  // frame at which each step begins within a cycle
    mutable std::once_flag finger_once_;
    mutable std::vector<unsigned char> finger_luma_;
    mutable std::once_flag noise_once_;
    mutable std::vector<signed char> noise_;
};

// The open recording of a replay step, kept between frames.
class ReplayCursor {
public:
    ReplayCursor();
    ~ReplayCursor();
    ReplayCursor(const ReplayCursor&) = delete;
    ReplayCursor& operator=(const ReplayCursor&) = delete;

    // Copies frame `index` of the recording at `path` into `out` (frame_bytes) and its truth into
    // `truth`; false when it cannot be read.
    bool read(const std::string& path, std::uint64_t index, unsigned char* out, recording::Truth& truth);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Counts the whole frames of a recording; throws std::invalid_argument naming the path and
// the problem.
std::uint64_t count_recording_frames(const std::string& path);

// "<IPv4>:<port>" as a socket address; nullopt for anything else (port 0 included).
std::optional<sockaddr_in> parse_destination(const std::string& text);

// Sends the truth of each produced frame to one UDP destination (see recording.h for the datagram).
class TruthSender {
public:
    // Throws std::invalid_argument for a destination parse_destination refuses.
    explicit TruthSender(const std::string& destination);
    ~TruthSender();
    TruthSender(const TruthSender&) = delete;
    TruthSender& operator=(const TruthSender&) = delete;

    // The datagram of a frame whose buffer was filled with `length` bytes of `frame`.
    void send(const unsigned char* frame, std::size_t length, const recording::Truth& truth) const;

private:
    int socket_ = -1;
    sockaddr_in destination_{};
};

// The trace: kept in memory (the newest trace_capacity entries) and, when a file is set,
// written there line by line as calls happen.
constexpr std::size_t trace_capacity = 100000;
void trace_record(const TraceEntry& entry);
void trace_reset();
// Takes (true) or releases (false) the trace's lock, held across a fork.
void trace_hold(bool hold);

}  // namespace vsensor::detail
