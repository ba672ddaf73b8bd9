// Finger pipeline: the capture loop with its enable gate, the finger events with the consumer thread of
// delayed events, and the module's one shutdown path.
#include "bio_module.h"

#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

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
constexpr const char* text_restarting = "Restarting module..";
constexpr const char* text_error_prefix = "Error: ";
constexpr const char* text_too_many_retries = "Too many retries for select";
constexpr const char* text_no_full_buffer = "No full buffer available";
constexpr const char* text_unloading = "bio_module unloading";
constexpr const char* text_type_finger_detected = "bio_module_finger_detected";
constexpr const char* text_type_finger_removed = "bio_module_finger_removed";
constexpr const char* text_watchdog_name = "bio_module";
constexpr const char* text_consumer_thread_name = "bio_module_run";

// Consecutive failed frame waits allowed for one frame, and camera start attempts per restart.
constexpr int frame_wait_retries = 4;
constexpr int restart_attempts = 3;

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

}  // namespace

unsigned char captured_frame[frame_bytes];
unsigned char grey_scratch[grey_capacity];

std::atomic<bool> _enabled{true};
std::condition_variable cond_var;
std::mutex cv_mutex;

std::mutex _finger_detected_mutex;
std::condition_variable _finger_detected_cv;
std::function<void()> _finger_detected_action;
std::unique_ptr<std::thread> _finger_detected_consumer;

// The C++ runtime's registration of exit handlers for one loaded object, and this library's handle.
extern "C" int __cxa_atexit(void (*handler)(void*), void* argument, void* dso_handle);
extern "C" void* __dso_handle __attribute__((visibility("hidden")));

namespace {

// ---------------------------------------------------------------- shutdown
// Set once, by shutdown_module(): the gate stops waiting and the loop leaves at its next step.
std::atomic<bool> stopping{false};
// Guarded by _finger_detected_mutex: asks the consumer thread to leave its loop.
bool consumer_stop_requested = false;
std::atomic<bool> shutdown_registered{false};

// Where run is, for the shutdown: inside the module's code or not, and the kernel id of the thread that
// entered it last. Guarded by run_presence_mutex.
std::mutex run_presence_mutex;
std::condition_variable run_left_cv;
bool run_inside = false;
pid_t run_tid = 0;

// What one camera start and one frame's work (stream, publication, PNG file) may take, generously (a
// loaded board, a slow card), for the time run takes to leave; and how long the shutdown then waits for
// run's thread to be gone.
constexpr auto camera_start_allowance = std::chrono::seconds(1);
constexpr auto frame_work_allowance = std::chrono::seconds(1);
constexpr auto run_thread_grace = std::chrono::milliseconds(500);

// Posted by the C library at process exit, before shutdown_module() runs, and never at dlclose: nothing
// is unmapped at exit. A page of its own at every load, never unmapped, since the C library's exit
// handlers keep it after a dlclose (and no leak check counts a mapping kept on purpose).
sem_t* process_exiting = nullptr;

// Marks run as inside the module's code for as long as its frame lives, also while an exception
// leaves it.
struct run_presence {
    run_presence() {
        std::lock_guard<std::mutex> lock(run_presence_mutex);
        run_inside = true;
        run_tid = ::gettid();
    }
    ~run_presence() {
        std::lock_guard<std::mutex> lock(run_presence_mutex);
        run_inside = false;
        run_left_cv.notify_all();
    }
    run_presence(const run_presence&) = delete;
    run_presence& operator=(const run_presence&) = delete;
};

// Leaves run by the only way it has, an exception, once the module is going away.
void leave_if_stopping() {
    if (stopping.load()) {
        fail(text_unloading);
    }
}

// Wakes a loop parked in the disabled gate. Taking cv_mutex first makes sure that a loop which tested
// the predicate before `stopping` was set is inside its wait by now.
void wake_gate() {
    { std::lock_guard<std::mutex> lock(cv_mutex); }
    cond_var.notify_all();
}

// Stops the consumer thread and joins it (after the delayed event it may be running; a pending one is
// dropped), or detaches it when called on the consumer thread itself.
void stop_consumer() {
    std::thread* consumer = nullptr;
    {
        std::lock_guard<std::mutex> lock(_finger_detected_mutex);
        consumer_stop_requested = true;
        consumer = _finger_detected_consumer.get();
    }
    _finger_detected_cv.notify_all();
    if (consumer != nullptr && consumer->joinable()) {
        if (consumer->get_id() == std::this_thread::get_id()) {
            consumer->detach();
        } else {
            consumer->join();
        }
    }
}

// How long run takes at most to see that the module is going away and leave: the frame wait it may be
// in, a camera restart under way (three starts, each after a pause of restart_timeout) and the frame's
// work.
std::chrono::milliseconds run_leave_bound() {
    using std::chrono::microseconds;
    const auto frame_wait = std::chrono::seconds(std::max<long long>(select_timeout.tv_sec, 0)) +
                            microseconds(std::max<long long>(select_timeout.tv_usec, 0));
    const auto restart = microseconds(std::max(restart_timeout, 0)) + camera_start_allowance;
    return std::chrono::duration_cast<std::chrono::milliseconds>(frame_wait + restart_attempts * restart +
                                                                 frame_work_allowance);
}

bool process_is_exiting() {
    int posts = 0;
    return process_exiting != nullptr && sem_getvalue(process_exiting, &posts) == 0 && posts > 0;
}

// Waits until run has left the module's code: until its frame is gone, and then until the kernel no
// longer knows its thread, since unwinding past run still reads this library's unwind tables (a host
// that keeps the thread alive costs the short grace only). At dlclose there is no bound: the library is
// unmapped when this returns, under a run still inside it, so a run held up past its bound (inside a
// host call that does not return) is logged and waited for. At process exit nothing is unmapped, and
// the wait gives up at the bound. True when run is not inside.
bool wait_for_run_to_leave() {
    pid_t tid = 0;
    {
        std::unique_lock<std::mutex> lock(run_presence_mutex);
        if (run_tid == 0 || run_tid == ::gettid()) {
            return true;
        }
        const auto bound = run_leave_bound();
        if (!run_left_cv.wait_for(lock, bound, [] { return !run_inside; })) {
            const bool exiting = process_is_exiting();
            lock.unlock();
            ovra::error::log(std::string(text_unloading) + ": run has not left after " +
                             std::to_string(bound.count()) + " ms" +
                             (exiting ? "; the process exits without it" : "; waiting for it"));
            if (exiting) {
                return false;
            }
            lock.lock();
            run_left_cv.wait(lock, [] { return !run_inside; });
        }
        tid = run_tid;
    }
    const auto give_up = std::chrono::steady_clock::now() + run_thread_grace;
    while (::tgkill(::getpid(), tid, 0) == 0 && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The module's one way down, at dlclose or at exit: wakes the gate, stops the consumer thread, makes run
// leave its loop and waits for it, then releases the device so that no descriptor or mapping outlives
// the module. At dlclose this returns only once run has left (the library is unmapped right after); at
// exit, when run does not leave in time, the device stays as it is, since run may still use it.
void shutdown_module(void* /*unused*/) {
    stopping.store(true);
    wake_gate();
    stop_consumer();
    if (wait_for_run_to_leave() && (camera_fd != -1 || buffers != nullptr)) {
        exit_module();
    }
}

// ---------------------------------------------------------------- the loop's steps
// Builds a message of `type` without fields and hands it to the bus, which takes ownership.
void post_event(const char* type) {
    ovra::PostOffice::send_message(new ovra::Message(type, 0, nullptr));
}

// Enabled gate: parks the loop while the module is disabled, feeding the watchdog once per
// watchdog_timeout. True when the loop goes on to wait for a frame, false when the module is still
// disabled and the next iteration begins; raises when the module is going away.
bool pass_enabled_gate(const timespec& now, timespec& last_keep_alive) {
    if (pred()) {
        return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(watchdog_timeout);
    {
        std::unique_lock<std::mutex> lock(cv_mutex);
        cond_var.wait_until(lock, deadline, [] { return pred() || stopping.load(); });
    }
    leave_if_stopping();
    if (pred()) {
        return true;
    }
    last_keep_alive = now;
    ovra::watchdog::keep_alive(text_watchdog_name);
    return false;
}

// Feeds the watchdog when more than watchdog_timeout milliseconds have passed since the last time.
void keep_alive_when_due(const timespec& now, timespec& last_keep_alive) {
    timespec since_keep_alive;
    ovra::util::timespec_subtract(&since_keep_alive, now, last_keep_alive);
    if (ovra::util::timespec_to_ms(since_keep_alive) > watchdog_timeout) {
        last_keep_alive = now;
        ovra::watchdog::keep_alive(text_watchdog_name);
    }
}

// Copies the next frame into captured_frame; false (logged) when the driver had no filled buffer.
bool take_captured_frame() {
    if (take_frame(captured_frame) == frame_outcome::no_buffer) {
        ovra::error::log(text_no_full_buffer);
        return false;
    }
    return true;
}

// Mirrors the frame and its score to the debug station when the stream is on: the raw frame, or
// its corrected image with the length that the fitted sensor gives it.
void stream_frame(int variance) {
    if (net_debug_ip.empty()) {
        return;
    }
    if (net_debug_raw) {
        send_fingerprint(net_debug_ip, net_debug_port, variance, captured_frame,
                         static_cast<int>(frame_bytes));
        return;
    }
    correct_image(captured_frame, grey_scratch);
    send_fingerprint(net_debug_ip, net_debug_port, variance, grey_scratch,
                     grey_width_for_sensor() * grey_height_for_sensor());
}

// Posts "bio_module_finger_detected" now (delay below 1 µs) on the caller's thread, or hands the
// consumer thread a task that sleeps `delay_us` and then posts it. The hand-over replaces a task the
// consumer has not taken yet, and blocks while the consumer runs a task (it holds the mutex then).
void send_finger_detected(int delay_us) {
    if (delay_us < 1) {
        post_event(text_type_finger_detected);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(_finger_detected_mutex);
        _finger_detected_action = [delay_us] {
            usleep(static_cast<useconds_t>(delay_us));
            post_event(text_type_finger_detected);
        };
    }
    _finger_detected_cv.notify_one();
}

}  // namespace

// Registers shutdown_module() with the C library's exit handlers under this library's own handle, once:
// the C library then runs it at dlclose as well as at exit, and, registered after every static object of
// the module was constructed, before any of their destructors, whatever the order in which the units
// were linked. (std::atexit does the same from a shared library, unless a sanitizer runtime interposes
// it and registers without the handle, which would leave dlclose without the shutdown.)
void register_shutdown() {
    if (!shutdown_registered.exchange(true)) {
        __cxa_atexit(shutdown_module, nullptr, &__dso_handle);
        // The post runs at exit only, under a handle that nothing finalizes before (the page's own
        // address: a null handle would do for the C library, but a thread sanitizer's runtime then calls
        // the handler without its argument); registered later, it runs before the shutdown.
        void* const page =
            mmap(nullptr, sizeof(sem_t), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (page != MAP_FAILED) {
            process_exiting = static_cast<sem_t*>(page);
            sem_init(process_exiting, 0, 0);
            __cxa_atexit(reinterpret_cast<void (*)(void*)>(reinterpret_cast<void (*)()>(&sem_post)),
                         process_exiting, page);
        }
    }
}

// Starts the consumer thread, unless one runs already (a second run in the same process keeps the
// first one's: replacing a joinable std::thread would terminate the host) or the module is going away.
void start_finger_detected_consumer() {
    register_shutdown();
    std::lock_guard<std::mutex> lock(_finger_detected_mutex);
    if (consumer_stop_requested || (_finger_detected_consumer && _finger_detected_consumer->joinable())) {
        return;
    }
    _finger_detected_consumer = std::make_unique<std::thread>(finger_detected_consumer_body);
}

// The loop's enabled predicate: the module is enabled.
bool pred() {
    return _enabled.load();
}

// Restarts the camera (teardown, pause of restart_timeout, start), in at most three attempts; the third
// failure's ovra_exception goes on, other exceptions at once.
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

// Waits until the device has a filled buffer, restarting the camera after every failed wait; raises
// "Too many retries for select" after the fourth restart for one frame.
void capture_image() {
    int retries_left = frame_wait_retries;
    for (;;) {
        // select changes both the set and the time-out, and a restart replaces the descriptor:
        // rebuild them for every wait.
        int ready = -1;
        if (fd_set* const read_set = camera_read_set()) {
            struct timeval timeout = select_timeout;
            ready = select(camera_fd + 1, read_set, nullptr, nullptr, &timeout);
        }
        if (ready > 0) {
            return;
        }
        // No camera restart when the module is going away.
        leave_if_stopping();
        // Timed out or failed (an interrupted wait included): the sensor stopped delivering.
        BIO_DEBUG("capture_image", text_restarting);
        restart_module();
        if (--retries_left == 0) {
            fail(text_too_many_retries);
        }
    }
}

// The capture loop, on the host's thread: never returns, leaves only by an exception (also when the
// module is unloaded while it runs).
int run() {
    const run_presence presence;
    leave_if_stopping();
    ovra::util::set_thread_priority(priority);
    timespec last_keep_alive = ovra::util::get_time();
    start_finger_detected_consumer();
    reset_touch();

    for (;;) {
        leave_if_stopping();
        const timespec now = ovra::util::get_time();
        if (!pass_enabled_gate(now, last_keep_alive)) {
            continue;
        }
        keep_alive_when_due(now, last_keep_alive);
        capture_image();
        if (!take_captured_frame()) {
            continue;
        }
        handle_captured_frame();
    }
}

// One frame's work once it is in captured_frame: its score, the debug stream, the detector's step.
void handle_captured_frame() {
    const int variance = image_variance(captured_frame, bsize, step);
    stream_frame(variance);
    detection_step(variance);
}

// Posts "bio_module_finger_removed".
void send_finger_removed() {
    post_event(text_type_finger_removed);
}

// Signals "bio_module_finger_detected" with the delay that finger_detected_delay, or else the number of
// stored templates, gives it.
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

// The consumer thread: runs each delayed task handed over, with _finger_detected_mutex held, until the
// shutdown asks it to stop.
void finger_detected_consumer_body() {
    ovra::util::set_thread_name(text_consumer_thread_name, pthread_self());
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
