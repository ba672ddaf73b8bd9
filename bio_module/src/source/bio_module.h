// Module-wide state and functions shared by the units of bio_module.
//
// The module is a set of free functions and module-wide variables. Exported symbols carry
// BIO_EXPORT; everything else stays hidden inside libbio_module.so.
#pragma once

#include <sys/select.h>
#include <sys/time.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "correction_geometry.h"
#include "finger_kernels.h"
#include "ovra/message.h"
#include "ovra/plugin.h"

#define BIO_EXPORT __attribute__((visibility("default")))

// Every record carries this source path, whichever unit writes it.
#define BIO_SOURCE_PATH "bio_module/src/source/bio_module"
#define BIO_DEBUG(function, text) ::ovra::mevlog::debug((text), BIO_SOURCE_PATH, (function), __LINE__)

// Failures of the camera start and of the capture loop: raise ovra::ovra_exception built from the text
// and the flag true. fail_errno appends the description of `error`; its one-argument form reads errno
// before anything else can change it.
[[noreturn]] void fail(const std::string& text);
[[noreturn]] void fail_errno(const std::string& text, int error);
[[noreturn]] void fail_errno(const char* text);

// ---------------------------------------------------------------- plug-in shell
// Configuration of section "bio_module", filled once by init (keys in the order read).
extern int priority;
extern int watchdog_timeout;  // milliseconds
extern std::string device_path;
extern std::string finger_image_path;
extern int bsize;
extern int step;
extern int img_num;
extern int min_img_num;
extern int var_min;
extern struct timeval select_timeout;
extern int restart_timeout;        // microseconds
extern int finger_detected_delay;  // microseconds
extern std::string net_debug_ip;
extern int net_debug_port;
extern bool net_debug_raw;
extern bool invert;
extern std::string fp_reader_path;
extern std::string last_fp_reader;
extern bool invert_pixels;

extern const char* const bio_section;          // "bio_module"
constexpr int bio_identifier_id = 0x62696F00;  // "bio\0"

extern std::atomic<int> template_count;

extern "C" BIO_EXPORT int init(ovra::Plugin* plugin, std::string* error_message);
void refresh_template_count();
BIO_EXPORT void set_enabled(bool enabled);

void on_identifier_broadcast(ovra::Message* message);
void on_catra_event(ovra::Message* message);
void on_config_param_set(ovra::Message* message);
void on_bio_module_enable(ovra::Message* message);
void on_bio_module_disable(ovra::Message* message);
void on_template_records_changed(ovra::Message* message);
void on_records_deleted(ovra::Message* message);

// ---------------------------------------------------------------- camera capture
constexpr int frame_width = 640;
constexpr int frame_height = 480;
constexpr std::size_t frame_bytes = 614400;  // 640 x 480 x 2 (UYVY)
constexpr unsigned requested_buffers = 3;

struct capture_buffer {
    void* start;
    std::size_t length;
};

extern int camera_fd;
extern BIO_EXPORT capture_buffer* buffers;
extern BIO_EXPORT std::string camera_sensor;

// Default location of the sensor model attribute.
extern const char* const default_fp_reader_path;

// Remap tables (GC0307, GC0328): entry k = row * 260 + column of the 320 x 260 output.
constexpr int remap_rows = 320;
constexpr int grey_width = 260;
constexpr int remap_entries = remap_rows * grey_width;    // 83200
extern std::uint32_t remapOffsetTable[remap_entries][2];  // top, bottom byte offsets
extern std::uint32_t remapWeightTable[remap_entries][4];  // 2^-20 units

// Perspective matrices (GC032A): 350 rows of 260 entries.
constexpr int perspective_rows = 350;
using offset_entry = std::array<std::int32_t, 8>;  // x0,y0, x1,y0, x0,y1, x1,y1
using weight_entry = std::array<std::int32_t, 4>;
extern BIO_EXPORT std::vector<std::vector<offset_entry>> offsetMatrix;
extern BIO_EXPORT std::vector<std::vector<weight_entry>> weightMatrix;


void detect_sensor();
void apply_sensor_defaults();
void build_correction_tables();
void build_remap_table(const remap_constants& constants);
void build_perspective_matrices();

// The correction plan (finger_kernels.h) of the tables: build_correction_plan() derives it for the form
// that camera_sensor selects (matrix form for "GC032A"), as the last step of build_correction_tables();
// correction_plan_for() returns it for the form asked for, derived again only when the last derivation
// was for the other form or another matrix shape. check_perspective_matrices() is false when
// offsetMatrix is empty and raises std::out_of_range when a matrix row is missing or short.
void build_correction_plan();
const correction_plan& correction_plan_for(bool matrix_form);
bool check_perspective_matrices();

void init_module();
void exit_module();

// The read set of the frame wait: camera_fd alone, whatever its number; null while no device is open.
fd_set* camera_read_set();

// Outcome of taking one frame from the device.
enum class frame_outcome { frame, no_buffer };
frame_outcome take_frame(unsigned char* destination);

// ---------------------------------------------------------------- finger pipeline
constexpr std::size_t grey_capacity = 91000;  // 260 x 350, the largest image

extern unsigned char captured_frame[frame_bytes];

struct DetectionState {
    int finger_frames;
    int best_variance;
    unsigned char* best_frame;  // frame_bytes, allocated once
    bool handled;
};
extern DetectionState detection;
extern unsigned char grey_scratch[grey_capacity];
extern std::string last_uuid;

// Width and height of the corrected image for the fitted sensor (0 x 0 when unknown).
int grey_width_for_sensor();
int grey_height_for_sensor();

extern BIO_EXPORT std::atomic<bool> _enabled;
extern BIO_EXPORT std::condition_variable cond_var;
extern BIO_EXPORT std::mutex cv_mutex;

BIO_EXPORT int run();
BIO_EXPORT bool pred();
// The loop's work for the frame in captured_frame (score, debug stream, detector), without the wait
// and the copy; the board's cost meter calls it too.
void handle_captured_frame();
void capture_image();
void restart_module();
// Registers the module's shutdown (stop the loop and the consumer thread, release the device) to run
// at dlclose or exit; once, whoever calls it first.
void register_shutdown();
void start_finger_detected_consumer();

int image_variance(const unsigned char* frame, int bsize, int step);
void correct_image(const unsigned char* frame, unsigned char* out);
void detection_step(int variance);
void reset_touch();

void publish_finger_image(const unsigned char* best_frame, int best_variance);
void send_finger_removed();
void signal_finger_detected();
void finger_detected_consumer_body();

extern BIO_EXPORT std::mutex _finger_detected_mutex;
extern BIO_EXPORT std::condition_variable _finger_detected_cv;
extern BIO_EXPORT std::function<void()> _finger_detected_action;
extern BIO_EXPORT std::unique_ptr<std::thread> _finger_detected_consumer;

// ---------------------------------------------------------------- image output
void write_finger_image(const unsigned char* image, int width, int height);
BIO_EXPORT void send_fingerprint(const std::string& address, int port, int header, unsigned char* payload,
                                 int length);
// Ends the debug stream for good (a frame going out is finished first) and returns the frames it carried:
// those whose header went out. For a host that reports what was sent when it stops.
extern "C" BIO_EXPORT std::uint64_t bio_module_close_debug_stream();
