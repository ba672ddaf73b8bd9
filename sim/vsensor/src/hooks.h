// Seam between the libc interposer and the emulated device: the real libc functions, and the
// hooks that decide whether a call belongs to the virtual sensor.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vsensor::detail {

// The next definitions after this library (normally libc's), resolved on first use.
void* real_mmap(void* addr, std::size_t length, int prot, int flags, int fd, std::int64_t offset);
int real_munmap(void* addr, std::size_t length);
int real_close(int fd);

// Each hook returns true when the call was the sensor's and was handled: the result is in
// *result and errno is set on failure. False: the call goes to libc untouched (the hook may
// still have recorded it).
bool hook_open(const char* path, int flags, int* result);
bool hook_ioctl(int fd, unsigned long request, void* arg, int* result);
bool hook_mmap(void* addr, std::size_t length, int prot, int flags, int fd, std::int64_t offset,
               void** result);
bool hook_munmap(void* addr, std::size_t length, int* result);
bool hook_close(int fd, int* result);

// State the interposer reads before it decides to call a hook. It lives in the interposer's
// unit, which is built without sanitizer instrumentation: a sanitizer's runtime calls mmap,
// open and close while it initialises, before instrumented code may run, and with the
// library preloaded those calls arrive here first.

// Lock-free test: is `fd` a descriptor the sensor handed out?
bool is_device_fd(int fd);
// Marks `fd` (0 <= fd < max_device_descriptor) as handed out or closed.
constexpr int max_device_descriptor = 65536;
void set_device_fd(int fd, bool handed_out);
// The number of buffer mappings not yet unmapped (0 lets munmap skip the hook).
void set_live_mapping_count(int count);
// The path open() compares with; the text must stay valid for the life of the process.
void set_device_path_text(const char* path);

// Records a V4L2 request made on a descriptor that is not the sensor's (it went to libc).
void note_foreign_ioctl(int fd, unsigned long request, int result, int error);

}  // namespace vsensor::detail
