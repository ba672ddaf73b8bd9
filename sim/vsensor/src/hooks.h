// Seam between the libc interposer and the emulated device: the real libc functions, and the
// hooks that decide whether a call belongs to the virtual sensor.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>

#include "node.h"

namespace vsensor::detail {

// The next definitions after this library (normally libc's), resolved on first use.
void* real_mmap(void* addr, std::size_t length, int prot, int flags, int fd, std::int64_t offset);
int real_munmap(void* addr, std::size_t length);
int real_close(int fd);
ssize_t real_read(int fd, void* buffer, std::size_t length);
ssize_t real_write(int fd, const void* buffer, std::size_t length);

// Each hook returns true when the call was the sensor's and was handled: the result is in
// *result and errno is set on failure. False: the call goes to libc untouched (the hook may
// still have recorded it).
// open of the device node (a new open, traced) or of one of its attribute files (a read-only
// descriptor holding the attribute's text, not traced).
bool hook_open(const char* path, int flags, int* result);
bool hook_ioctl(int fd, unsigned long request, void* arg, int* result);
bool hook_mmap(void* addr, std::size_t length, int prot, int flags, int fd, std::int64_t offset,
               void** result);
bool hook_munmap(void* addr, std::size_t length, int* result);
bool hook_close(int fd, int* result);
// stat of a path of the sensor's node (node.h), and fstat of a device descriptor.
bool hook_stat(const char* path, NodeStat* node, int* result);
bool hook_fstat(int fd, NodeStat* node, int* result);
// A copy of a descriptor, or onto one (dup, dup2, dup3, fcntl F_DUPFD): `duplicate` makes it with
// libc; a copy of a device descriptor shares its open, and a device descriptor it replaces is
// closed as close() would close it.
bool hook_dup(int fd, int target, const std::function<int()>& duplicate, int* result);
// fcntl F_GETFL and F_SETFL of a device descriptor: the flags of its open. The eventfd behind it
// stays non-blocking whatever the client sets.
bool hook_file_flags(int fd, int command, int flags, int* result);

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
// The path of the sensor's identification attribute, or null when none is published.
void set_model_path_text(const char* path);

// Records a V4L2 request made on a descriptor that is not the sensor's (it went to libc).
void note_foreign_ioctl(int fd, unsigned long request, int result, int error);

}  // namespace vsensor::detail
