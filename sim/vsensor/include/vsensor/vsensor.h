// In-process control of the virtual V4L2 fingerprint sensor (libvsensor.so).
//
// The library interposes open/ioctl/mmap/munmap/close for one device path and emulates a
// V4L2 capture driver behind it. Tests link it (or preload it) and steer it with these
// functions; out-of-process users configure it with environment variables or a scenario
// file (see docs/vsensor.md). Every function is thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "recording/recording.h"

namespace vsensor {

// The requests and calls the sensor sees.
enum class Call {
    open,
    close,
    mmap,
    munmap,
    querycap,
    s_fmt,
    reqbufs,
    querybuf,
    qbuf,
    dqbuf,
    streamon,
    streamoff,
    other_ioctl
};
const char* call_name(Call call);

struct Config {
    std::string device_path = "/dev/video-vsensor";  // the only path intercepted
    double fps = 30.0;             // frames per second; 0: a new frame as soon as a buffer is queued
    unsigned granted_buffers = 0;  // REQBUFS grants this many; 0: what was requested
    std::uint32_t capabilities = 0x04000001u;  // V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING
    std::uint32_t width = 640;                 // the one format S_FMT adjusts every request to
    std::uint32_t height = 480;
    std::uint32_t pixelformat = 0x59565955u;  // 'UYVY'
    std::uint32_t buffer_length = 614400;     // length reported by QUERYBUF
    std::string scenario;                     // timeline text (see below); empty: empty glass for ever
    std::uint32_t seed = 1;                   // noise and ridge pattern
    std::string truth_to;  // "<IPv4>:<port>": one truth datagram per frame produced goes there; "": none

    // The sensor's model (scenario line `model`, VSENSOR_MODEL), published as its kernel driver
    // publishes it in sysfs: the name (read verbatim) at the board's path. nullopt: none is
    // published, and that path goes to the real file system. The same model's correction is the
    // one a real finger image goes through (correction_model).
    std::optional<std::string> sensor_model;
    std::string model_attribute_path =
        "/sys/devices/platform/soc/1c2b400.i2c/i2c-2/2-0021/2-0021/fingerprint_reader";
};

// Replaces the configuration and forgets faults, trace and counters. The device must be
// closed (no descriptor open); otherwise throws std::logic_error.
void configure(const Config& config);
Config current_config();

// Scenario text: one step per line, '#' starts a comment.
//   glass <N>f | glass <T>ms|s      empty glass for N frames or T of time
//   finger <N>f | finger <T>ms|s    a synthetic finger
//   replay <path>                   the frames of a recording, once
//   repeat                          start the timeline again (otherwise the last step holds)
// The text may also carry configuration and fault lines (fps, seed, device, buffers, caps,
// format, buffer_length, truth_to, fault, stall, bad_index; see docs/vsensor.md): they change the
// current configuration and add faults.
// Throws std::invalid_argument with one line naming the problem.
void set_scenario(const std::string& text);

// A fault applied to calls of one kind: `skip` calls pass first, then `count` calls fail
// with `error` (count -1: every later call). EINTR and EAGAIN faults on DQBUF leave the
// filled buffer queued.
struct Fault {
    Call call;
    int error;
    int skip = 0;
    int count = 1;
};
void add_fault(const Fault& fault);
// No frame is produced for `duration` after `after_frames` frames have been produced.
void add_stall(std::uint64_t after_frames, std::chrono::milliseconds duration);
// The `nth` dequeue (from 1) reports buffer index `index` (out-of-range tests).
void add_bad_index(std::uint64_t nth, std::uint32_t index);
void clear_faults();

struct TraceEntry {
    Call call;
    unsigned long request;  // the ioctl request number (0 for non-ioctl calls)
    int fd;
    std::int64_t arg;  // index for QBUF/DQBUF/QUERYBUF, count for REQBUFS, length for mmap,
                       // the fourcc asked for by S_FMT, the flags of open
    std::int64_t result;
    int error;  // errno when result < 0 (or MAP_FAILED), else 0
    std::chrono::steady_clock::time_point when;
    recording::Truth truth;  // of the frame a successful DQBUF handed out; unknown for other calls
};
std::vector<TraceEntry> trace();
void clear_trace();
// Writes every trace entry as a text line to `path` as they happen ("" stops). Throws
// std::runtime_error naming the path when the file cannot be written.
void set_trace_file(const std::string& path);

struct Counters {
    int open_descriptors;  // device descriptors not yet closed
    int live_mappings;     // buffer mappings not yet unmapped
    std::uint64_t opens;   // successful opens
    std::uint64_t frames_produced;
    std::uint64_t frames_dequeued;
    bool streaming;
    // The truth of the frames dequeued: of the last one, how many showed a finger touching, and
    // how many touches had at least one frame of contact dequeued.
    recording::Truth last_truth;
    std::uint64_t contact_frames_dequeued;
    std::uint64_t touches_dequeued;
};
Counters counters();

// Waits (bounded) until at least `n` frames have been dequeued in total; false on time-out.
bool wait_frames_dequeued(std::uint64_t n, std::chrono::milliseconds timeout);

// The frame that the sources would produce as frame number `n` (from 0) of the current
// scenario, for tests that compare what a consumer received.
std::vector<unsigned char> frame_at(std::uint64_t n);
// The ground truth of frame n: whether a finger touches, the touch's phase and number, the
// contact area and ridge contrast; a replayed recording's frames have the truth it carries.
recording::Truth truth_at(std::uint64_t n);

}  // namespace vsensor

// A plain C entry point for programs that find the sensor at run time (a preloaded
// libvsensor.so looked up with dlsym(RTLD_DEFAULT, "vsensor_frames_dequeued")): the number of
// frames dequeued since the sensor was last configured.
extern "C" __attribute__((visibility("default"))) std::uint64_t vsensor_frames_dequeued();
// Likewise: writes the truth of the last frame dequeued (16 bytes, recording::encode_truth) to
// `out` and returns the number of frames dequeued (0: none yet, `out` holds an unknown truth).
extern "C" __attribute__((visibility("default"))) std::uint64_t vsensor_last_truth(unsigned char* out);

// For a program that preloads the sensor and sets its VSENSOR_* variables only once it runs
// (bio-host --simulate): the frames of the current timeline when it comes to an end, 0 when it
// goes on for ever (repeat without a number of passes, or a last step without a length); and
// the variables read again as at load. Returns 0, or -1 with the problem's line in `error` (cut to `error_size` bytes) and the
// configuration left as it was.
extern "C" __attribute__((visibility("default"))) std::uint64_t vsensor_timeline_frames();
extern "C" __attribute__((visibility("default"))) int vsensor_configure_environment(char* error,
                                                                                    std::size_t error_size);
