// Finger pipeline: the capture loop, the finger detector and the publication of finger images and events.
#include "bio_module.h"

#include <pthread.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include <linux/videodev2.h>

#include "ovra/buffer.h"
#include "ovra/log.h"
#include "ovra/message.h"
#include "ovra/ovra_exception.h"
#include "ovra/post_office.h"
#include "ovra/util.h"
#include "ovra/watchdog.h"
#include "ovra_dal/dal.h"

namespace {

// Texts this unit emits: log records, exception messages and bus message types.
const char* const text_restarting = "Restarting module..";
const char* const text_error_prefix = "Error: ";
const char* const text_too_many_retries = "Too many retries for select";
const char* const text_no_full_buffer = "No full buffer available";
const char* const text_dqbuf_failed = "VIDIOC_DQBUF failed: ";
const char* const text_qbuf_failed = "VIDIOC_QBUF failed: ";
const char* const text_bad_index = "Buffer index greater than buffer quantity";
const char* const text_early_touch = "################ Dedo Precoce!!!!!!";
const char* const text_identification_disabled = "Biometry identification disabled!";
const char* const text_uuid_prefix = "UUID:";

const char* const type_new_image = "identifier_new_biometric_image";
const char* const type_finger_detected = "bio_module_finger_detected";
const char* const type_finger_removed = "bio_module_finger_removed";

const char* const watchdog_name = "bio_module";
const char* const consumer_thread_name = "bio_module_run";

// Consecutive failed frame waits allowed for one frame, and camera start attempts per restart.
constexpr int frame_wait_retries = 4;
constexpr int restart_attempts = 3;
// The driver hands out three buffers; a dequeued index above this is a driver fault.
constexpr unsigned highest_buffer_index = 2;

// Delay of the finger-detected event by the number of stored templates: the identification
// service needs longer to load a large template base before it can match the new image.
struct finger_detected_delay_row {
    int templates_above;
    int delay_us;
};
constexpr finger_detected_delay_row finger_detected_delays[] = {
    {4000, 50000},
    {6000, 150000},
    {8000, 250000},
};

// The best frame of the current touch lives for the life of the module; it starts zero-filled,
// so a touch published before any frame was copied (var_min or min_img_num of 0 or less)
// publishes a black frame.
unsigned char best_frame_storage[frame_bytes];

}  // namespace

unsigned char captured_frame[frame_bytes];
DetectionState detection = {0, 0, best_frame_storage, false};
unsigned char grey_scratch[grey_capacity];
std::string last_uuid;

std::mutex _finger_detected_mutex;
std::condition_variable _finger_detected_cv;
std::function<void()> _finger_detected_action;
std::unique_ptr<std::thread> _finger_detected_consumer;

namespace {

// Guarded by _finger_detected_mutex: asks the consumer thread to leave its loop.
bool consumer_stop_requested = false;
// Set when the module is unloaded or the process exits: the disabled gate stops waiting on cond_var.
std::atomic<bool> module_unloading{false};

// Host-unload concern. The consumer thread never ends on its own, and a thread still blocked on a
// condition variable when that variable is destroyed makes its destruction (pthread_cond_destroy)
// wait for ever; a still joinable std::thread destroyed at exit terminates the process. This object is
// defined after the _finger_detected_* objects, so it is destroyed before them at dlclose or process
// exit: it stops and joins the consumer thread (a delayed event not yet started is dropped), and it
// wakes a capture loop parked in the disabled gate, so that cond_var need not wait out the gate's
// deadline when it is destroyed. cond_var belongs to the plug-in shell's unit, which is linked first
// and so is constructed before this object and destroyed after it. When run was never entered there
// is no thread to stop and only the two locks are taken and released.
struct consumer_shutdown_at_unload {
    ~consumer_shutdown_at_unload() {
        module_unloading.store(true);
        { std::lock_guard<std::mutex> lock(cv_mutex); }
        cond_var.notify_all();

        {
            std::lock_guard<std::mutex> lock(_finger_detected_mutex);
            consumer_stop_requested = true;
        }
        _finger_detected_cv.notify_all();
        if (_finger_detected_consumer && _finger_detected_consumer->joinable()) {
            if (_finger_detected_consumer->get_id() == std::this_thread::get_id()) {
                _finger_detected_consumer->detach();
            } else {
                _finger_detected_consumer->join();
            }
        }
    }
};
consumer_shutdown_at_unload consumer_shutdown;

// Builds a message of `type` without fields and hands it to the bus, which takes ownership.
void post_event(const char* type) {
    ovra::PostOffice::send_message(new ovra::Message(type, 0, nullptr));
}

// Posts "bio_module_finger_detected" now (delay below 1 µs) on the caller's thread, or hands the
// consumer thread a task that sleeps `delay_us` and then posts it. The hand-over replaces a task the
// consumer has not taken yet, and blocks while the consumer runs a task (it holds the mutex then).
void send_finger_detected(int delay_us) {
    if (delay_us < 1) {
        post_event(type_finger_detected);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(_finger_detected_mutex);
        _finger_detected_action = [delay_us] {
            usleep(static_cast<useconds_t>(delay_us));
            post_event(type_finger_detected);
        };
    }
    _finger_detected_cv.notify_one();
}

// The descriptor cannot go into an fd_set (closed, or beyond FD_SETSIZE): select would fail.
bool descriptor_selectable(int fd) {
    return fd >= 0 && fd < FD_SETSIZE;
}

}  // namespace

int grey_width_for_sensor() {
    if (camera_sensor == "GC032A" || camera_sensor == "GC0307" || camera_sensor == "GC0328") {
        return grey_width;
    }
    return 0;
}

int grey_height_for_sensor() {
    if (camera_sensor == "GC032A") {
        return perspective_rows;
    }
    if (camera_sensor == "GC0307" || camera_sensor == "GC0328") {
        return remap_rows;
    }
    return 0;
}

bool pred() {
    return _enabled.load();
}

void restart_module() {
    int attempts_left = restart_attempts;
    for (;;) {
        try {
            exit_module();
            usleep(static_cast<useconds_t>(restart_timeout));
            init_module();
            return;
        } catch (const ovra::ovra_exception& e) {
            BIO_DEBUG("restart_module", std::string(text_error_prefix) + e.what());
            if (--attempts_left == 0) {
                throw;
            }
        }
    }
}

void capture_image() {
    int retries_left = frame_wait_retries;
    for (;;) {
        // select changes both the set and the time-out, and a restart replaces the descriptor:
        // rebuild them for every wait.
        int ready = -1;
        if (descriptor_selectable(camera_fd)) {
            fd_set read_set;
            FD_ZERO(&read_set);
            FD_SET(camera_fd, &read_set);
            struct timeval timeout = select_timeout;
            ready = select(camera_fd + 1, &read_set, nullptr, nullptr, &timeout);
        }
        if (ready > 0) {
            return;
        }
        // Timed out or failed (an interrupted wait included): the sensor stopped delivering.
        BIO_DEBUG("capture_image", text_restarting);
        restart_module();
        if (--retries_left == 0) {
            throw ovra::ovra_exception(text_too_many_retries, true);
        }
    }
}

int run() {
    ovra::util::set_thread_priority(priority);
    timespec last_keep_alive = ovra::util::get_time();
    // A second run in the same process keeps the consumer it started first: replacing a joinable
    // std::thread would terminate the host.
    if (!_finger_detected_consumer || !_finger_detected_consumer->joinable()) {
        _finger_detected_consumer = std::make_unique<std::thread>(finger_detected_consumer_body);
    }
    detection.finger_frames = 0;
    detection.best_variance = 0;
    detection.handled = false;

    for (;;) {
        const timespec now = ovra::util::get_time();
        const auto steady_now = std::chrono::steady_clock::now();

        // Enabled gate: park while disabled, but feed the watchdog once per watchdog_timeout.
        if (!pred()) {
            const auto deadline = steady_now + std::chrono::milliseconds(watchdog_timeout);
            if (!module_unloading.load()) {
                std::unique_lock<std::mutex> lock(cv_mutex);
                cond_var.wait_until(lock, deadline, [] { return pred() || module_unloading.load(); });
            } else {
                // The module is going away: cond_var may be destroyed under us, so never wait on it again.
                std::this_thread::sleep_until(deadline);
            }
            if (!pred()) {
                last_keep_alive = now;
                ovra::watchdog::keep_alive(watchdog_name);
                continue;
            }
        }

        timespec since_keep_alive;
        ovra::util::timespec_subtract(&since_keep_alive, now, last_keep_alive);
        if (ovra::util::timespec_to_ms(since_keep_alive) > watchdog_timeout) {
            last_keep_alive = now;
            ovra::watchdog::keep_alive(watchdog_name);
        }

        capture_image();

        struct v4l2_buffer buf;
        std::memset(&buf, 0, sizeof buf);
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        if (xioctl(camera_fd, VIDIOC_DQBUF, &buf) == -1) {
            if (errno == EAGAIN) {
                // The descriptor was ready but the driver had no filled buffer after all.
                ovra::error::log(text_no_full_buffer);
                continue;
            }
            throw ovra::ovra_exception(std::string(text_dqbuf_failed) + std::strerror(errno), true);
        }
        if (buf.index > highest_buffer_index) {
            throw ovra::ovra_exception(text_bad_index, true);
        }
        std::memcpy(captured_frame, buffers[buf.index].start, frame_bytes);
        // Give the buffer back before any processing, so the driver always has buffers to fill.
        if (xioctl(camera_fd, VIDIOC_QBUF, &buf) == -1) {
            throw ovra::ovra_exception(std::string(text_qbuf_failed) + std::strerror(errno), true);
        }

        const int variance = image_variance(captured_frame, bsize, step);

        if (!net_debug_ip.empty()) {
            if (net_debug_raw) {
                send_fingerprint(net_debug_ip, net_debug_port, variance, captured_frame,
                                 static_cast<int>(frame_bytes));
            } else {
                correct_image(captured_frame, grey_scratch);
                send_fingerprint(net_debug_ip, net_debug_port, variance, grey_scratch,
                                 grey_width_for_sensor() * grey_height_for_sensor());
            }
        }

        detection_step(variance);
    }
}

void detection_step(int variance) {
    if (variance >= var_min) {
        // A finger lies on the glass.
        if (detection.handled) {
            return;
        }
        if (variance > detection.best_variance) {
            std::memcpy(detection.best_frame, captured_frame, frame_bytes);
            detection.best_variance = variance;
        }
        // Saturate: with img_num of 0 or less a finger left on the glass is counted for ever.
        if (detection.finger_frames < INT_MAX) {
            ++detection.finger_frames;
        }
        if (detection.finger_frames == img_num) {
            if (ovra::util::identifier::identification_enabled(bio_identifier_id)) {
                publish_finger_image(detection.best_frame, detection.best_variance);
            } else {
                BIO_DEBUG("run", text_identification_disabled);
            }
            detection.handled = true;
        }
        return;
    }

    // The glass is empty.
    if (detection.handled) {
        send_finger_removed();
        detection.finger_frames = 0;
        detection.best_variance = 0;
        detection.handled = false;
        return;
    }
    if (detection.finger_frames >= min_img_num) {
        // Lifted before img_num frames, but long enough to publish.
        BIO_DEBUG("run", text_early_touch);
        if (ovra::util::identifier::identification_enabled(bio_identifier_id)) {
            publish_finger_image(detection.best_frame, detection.best_variance);
            send_finger_removed();
            detection.finger_frames = 0;
            detection.best_variance = 0;
            detection.handled = false;
        } else {
            BIO_DEBUG("run", text_identification_disabled);
            detection.handled = true;
        }
        return;
    }
    // Too short a touch: forget it silently.
    detection.finger_frames = 0;
    detection.best_variance = 0;
}

void publish_finger_image(const unsigned char* best_frame, int best_variance) {
    correct_image(best_frame, grey_scratch);
    const int width = grey_width_for_sensor();
    const int height = grey_height_for_sensor();
    const std::size_t length = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);

    // The bus owns the image copy, its buffer and the message once they are handed over.
    std::unique_ptr<unsigned char[]> image(new unsigned char[length]);
    std::memcpy(image.get(), grey_scratch, length);
    std::unique_ptr<ovra::Message> message(new ovra::Message(type_new_image, 0, nullptr));
    message->add_int("identifier_id", bio_identifier_id);
    message->add_int64("device_id", ovra_dal::device::this_id());
    message->add_int("width", width);
    message->add_int("height", height);
    std::unique_ptr<ovra::Buffer> buffer(new ovra::Buffer(image.get(), length, false));
    image.release();
    message->add_buffer("image", buffer.release());
    last_uuid = ovra::util::identifier::generate_new_uuid();
    message->add_string("uuid", last_uuid);
    message->add_int("variance", best_variance);
    ovra::PostOffice::send_message(message.release());

    BIO_DEBUG("run", text_uuid_prefix + last_uuid);
    signal_finger_detected();
    if (!finger_image_path.empty()) {
        write_finger_image(grey_scratch, width, height);
    }
}

void send_finger_removed() {
    post_event(type_finger_removed);
}

void signal_finger_detected() {
    int delay_us = 0;
    if (finger_detected_delay > 0) {
        delay_us = finger_detected_delay;
    } else {
        const int templates = template_count.load();
        for (const auto& row : finger_detected_delays) {
            if (row.templates_above < templates) {
                delay_us = row.delay_us;
            }
        }
    }
    send_finger_detected(delay_us);
}

void finger_detected_consumer_body() {
    ovra::util::set_thread_name(consumer_thread_name, pthread_self());
    std::unique_lock<std::mutex> lock(_finger_detected_mutex);
    for (;;) {
        _finger_detected_cv.wait(
            lock, [] { return consumer_stop_requested || static_cast<bool>(_finger_detected_action); });
        if (consumer_stop_requested) {
            return;
        }
        // The task runs with the mutex held: a new hand-over waits until this event is posted.
        _finger_detected_action();
        _finger_detected_action = nullptr;
    }
}
