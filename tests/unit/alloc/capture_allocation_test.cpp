// The capture loop allocates nothing per frame: over 1000 frames of run(), stream off, the detector
// seeing finger and glass frames, the capture thread calls operator new not once. Touches are too short
// to publish (publication hands the bus a new message and image copy by design); what the virtual sensor
// allocates inside ioctl (its call trace) stands for a kernel driver and is not counted.
#include <dlfcn.h>

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <new>
#include <thread>

#include <gtest/gtest.h>

#include "bio_module.h"
#include "module_support.h"
#include "vsensor/vsensor.h"

// clang-format off
namespace {
std::atomic<bool> counting{false};
std::atomic<std::thread::id> counted_thread{};
std::atomic<long> allocations{0};
thread_local bool in_sensor = false;

void* allocate(std::size_t size) noexcept {
    if (counting.load() && !in_sensor && std::this_thread::get_id() == counted_thread.load()) allocations.fetch_add(1);
    return std::malloc(size == 0 ? 1 : size);
}
}  // namespace

void* operator new(std::size_t n) { if (void* p = allocate(n)) return p; throw std::bad_alloc(); }
void* operator new[](std::size_t n) { if (void* p = allocate(n)) return p; throw std::bad_alloc(); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
// The module's device requests, by symbol name (a 32-bit build with 64-bit time_t makes the second).
#define COUNTED_IOCTL(function, symbol) \
    extern "C" int function(int fd, unsigned long request, ...) __asm__(symbol); \
    extern "C" int function(int fd, unsigned long request, ...) { \
        static const auto next = reinterpret_cast<int (*)(int, unsigned long, ...)>(dlsym(RTLD_NEXT, symbol)); \
        va_list a; va_start(a, request); void* arg = va_arg(a, void*); va_end(a); \
        in_sensor = true; const int result = next(fd, request, arg); in_sensor = false; return result; }
COUNTED_IOCTL(counted_ioctl, "ioctl")
COUNTED_IOCTL(counted_ioctl_time64, "__ioctl_time64")
// clang-format on

namespace {

TEST(CaptureAllocations, NoneOverAThousandFramesOfTheLoop) {
    const auto finger = bio_test::ridged_frame(), glass = bio_test::glass_frame();
    bio_test::TempDir frames;
    bio_test::ModuleEnvOptions options;
    options.sensor.fps = 1000;
    // Two finger frames, two glass frames, for ever: each touch ends before min_img_num frames. The
    // watchdog is fed once per watchdog_timeout, not per frame: not within the counted frames.
    options.sensor.scenario = bio_test::replay_scenario(frames.file("t.rec"), {finger, finger, glass, glass});
    options.overrides = {{"min_img_num", "3"}, {"watchdog_timeout", "600000"}};
    module_test::Host host(options);
    ASSERT_EQ(host.start(), 1) << host.error;
    ASSERT_GE(image_variance(finger.data(), bsize, step), var_min);
    ASSERT_LT(image_variance(glass.data(), bsize, step), var_min);
    module_test::RunThread loop;
    counted_thread.store(loop.id());
    counting.store(vsensor::wait_frames_dequeued(10, std::chrono::seconds(60)));
    const bool counted = counting.load() && vsensor::wait_frames_dequeued(1010, std::chrono::seconds(100));
    counting.store(false);
    ASSERT_TRUE(counted) << "the loop did not take frames 10 to 1010";
    EXPECT_EQ(allocations.load(), 0) << "operator new calls on the capture thread";
    EXPECT_EQ(host.env.events.count("identifier_new_biometric_image"), 0) << "a touch was published";
}

}  // namespace
