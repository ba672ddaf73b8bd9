// The libc entry points a V4L2 client calls, interposed: calls on the sensor's device path and
// descriptors go to the emulated device, every other call goes to the next definition
// (libc, or a sanitizer's interceptor chain) untouched.
//
// This unit is compiled without large-file and 64-bit time flags, so that open/open64,
// mmap/mmap64 and ioctl/__ioctl_time64 are each their own symbol here, and without sanitizer
// instrumentation: a sanitizer runtime's own start-up calls mmap and open, which reach these
// functions first when the library is preloaded. Until a call is known to be the sensor's,
// nothing here touches instrumented code.
#include "hooks.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <type_traits>
#include <unistd.h>

#if defined(_FILE_OFFSET_BITS) || defined(_TIME_BITS)
#error "the interposer must be built without _FILE_OFFSET_BITS and _TIME_BITS"
#endif

namespace {

std::atomic<bool> device_descriptors[vsensor::detail::max_device_descriptor];
std::atomic<int> live_mapping_count{0};
std::atomic<const char*> device_path_text{"/dev/video-vsensor"};

// Byte-wise equality, here rather than strcmp so that no interceptor runs for other paths.
bool same_text(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

bool is_device_path(const char* path) {
    return path != nullptr && same_text(path, device_path_text.load(std::memory_order_acquire));
}

using open_fn = int (*)(const char*, int, ...);
using open2_fn = int (*)(const char*, int);
using openat_fn = int (*)(int, const char*, int, ...);
using openat2_fn = int (*)(int, const char*, int);
using ioctl_fn = int (*)(int, unsigned long, ...);
using mmap_fn = void* (*)(void*, size_t, int, int, int, off_t);
using mmap64_fn = void* (*)(void*, size_t, int, int, int, off64_t);
using munmap_fn = int (*)(void*, size_t);
using close_fn = int (*)(int);

// One slot per libc symbol. dlsym may allocate, which is harmless here: none of the
// interposed functions is an allocator. Two threads racing to fill a slot store the same value.
struct Slot {
    const char* name;
    std::atomic<void*> address{nullptr};
};

Slot slot_open{"open"}, slot_open64{"open64"}, slot_open_2{"__open_2"}, slot_open64_2{"__open64_2"};
Slot slot_openat{"openat"}, slot_openat64{"openat64"}, slot_openat_2{"__openat_2"},
    slot_openat64_2{"__openat64_2"};
Slot slot_ioctl{"ioctl"};
#if __SIZEOF_LONG__ == 4
Slot slot_ioctl_time64{"__ioctl_time64"};
#endif
Slot slot_mmap{"mmap"}, slot_mmap64{"mmap64"}, slot_munmap{"munmap"}, slot_close{"close"};

// The next definition of the slot's symbol, or null (errno ENOSYS) when there is none.
template <typename Fn>
Fn next(Slot& slot) {
    void* address = slot.address.load(std::memory_order_acquire);
    if (address == nullptr) {
        address = dlsym(RTLD_NEXT, slot.name);
        slot.address.store(address, std::memory_order_release);
    }
    if (address == nullptr) {
        errno = ENOSYS;
    }
    return reinterpret_cast<Fn>(address);
}

// open(2) reads a mode argument only with these flags.
bool takes_mode(int flags) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

// A path relative to a directory descriptor other than the working directory is never the
// device's (the device path is matched as written).
bool may_be_device(int dirfd, const char* path) {
    return path != nullptr && (dirfd == AT_FDCWD || path[0] == '/');
}

// The mode argument of a variadic open variant: read only when the flags say one was passed.
unsigned mode_argument(int flags, va_list args) {
    // The analyzer misses the va_start in the callers for these libc names.
    return takes_mode(flags) ? va_arg(args, unsigned) : 0;  // NOLINT(clang-analyzer-valist.Uninitialized)
}

// The one body of the eight open variants: the device's path goes to the hook, any other to
// the next definition of the variant's own symbol, with the arguments that variant takes.
template <typename Fn>
int open_variant(Slot& slot, int dirfd, const char* path, int flags, unsigned mode) {
    int result = -1;
    if (may_be_device(dirfd, path) && is_device_path(path) &&
        vsensor::detail::hook_open(path, flags, &result)) {
        return result;
    }
    const Fn fn = next<Fn>(slot);
    if (fn == nullptr) {
        return -1;
    }
    if constexpr (std::is_same_v<Fn, open_fn>) {
        return fn(path, flags, mode);
    } else if constexpr (std::is_same_v<Fn, open2_fn>) {
        return fn(path, flags);
    } else if constexpr (std::is_same_v<Fn, openat_fn>) {
        return fn(dirfd, path, flags, mode);
    } else {
        static_assert(std::is_same_v<Fn, openat2_fn>, "an open variant");
        return fn(dirfd, path, flags);
    }
}

// The body of mmap and mmap64: a device descriptor's mapping goes to the hook, any other to
// the next definition of the variant's own symbol.
template <typename Fn, typename Offset>
void* mmap_variant(Slot& slot, void* addr, size_t length, int prot, int flags, int fd, Offset offset) {
    void* result = MAP_FAILED;
    if (vsensor::detail::is_device_fd(fd) &&
        vsensor::detail::hook_mmap(addr, length, prot, flags, fd, offset, &result)) {
        return result;
    }
    const Fn fn = next<Fn>(slot);
    return fn != nullptr ? fn(addr, length, prot, flags, fd, offset) : MAP_FAILED;
}

int dispatch_ioctl(Slot& slot, int fd, unsigned long request, void* arg) {
    int result = -1;
    if (vsensor::detail::is_device_fd(fd) && vsensor::detail::hook_ioctl(fd, request, arg, &result)) {
        return result;
    }
    const bool v4l2_request = _IOC_TYPE(request) == 'V';
    if (v4l2_request && fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
        // A V4L2 request on a descriptor that is not open: the kernel's EBADF. Said here
        // because an emulator (qemu-user) answers requests it cannot translate with ENOSYS
        // before it looks at the descriptor.
        vsensor::detail::note_foreign_ioctl(fd, request, -1, EBADF);
        errno = EBADF;
        return -1;
    }
    auto fn = next<ioctl_fn>(slot);
    if (fn == nullptr) {
        return -1;
    }
    result = fn(fd, request, arg);
    if (!v4l2_request) {
        return result;
    }
    const int error = result < 0 ? errno : 0;
    vsensor::detail::note_foreign_ioctl(fd, request, result, error);
    errno = error != 0 ? error : errno;
    return result;
}

}  // namespace

namespace vsensor::detail {

bool is_device_fd(int fd) {
    return fd >= 0 && fd < max_device_descriptor && device_descriptors[fd].load(std::memory_order_acquire);
}

void set_device_fd(int fd, bool handed_out) {
    device_descriptors[fd].store(handed_out, std::memory_order_release);
}

void set_live_mapping_count(int count) {
    live_mapping_count.store(count, std::memory_order_release);
}

void set_device_path_text(const char* path) {
    device_path_text.store(path, std::memory_order_release);
}

void* real_mmap(void* addr, std::size_t length, int prot, int flags, int fd, std::int64_t offset) {
    if (sizeof(off_t) < sizeof(std::int64_t)) {
        auto fn = next<mmap64_fn>(slot_mmap64);
        return fn != nullptr ? fn(addr, length, prot, flags, fd, offset) : MAP_FAILED;
    }
    auto fn = next<mmap_fn>(slot_mmap);
    return fn != nullptr ? fn(addr, length, prot, flags, fd, static_cast<off_t>(offset)) : MAP_FAILED;
}

int real_munmap(void* addr, std::size_t length) {
    auto fn = next<munmap_fn>(slot_munmap);
    return fn != nullptr ? fn(addr, length) : -1;
}

int real_close(int fd) {
    auto fn = next<close_fn>(slot_close);
    return fn != nullptr ? fn(fd) : -1;
}

}  // namespace vsensor::detail

extern "C" {

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const unsigned mode = mode_argument(flags, args);
    va_end(args);
    return open_variant<open_fn>(slot_open, AT_FDCWD, path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const unsigned mode = mode_argument(flags, args);
    va_end(args);
    return open_variant<open_fn>(slot_open64, AT_FDCWD, path, flags, mode);
}

// The fortified variants, called by code built with _FORTIFY_SOURCE when the mode is absent.
// glibc declares them only for fortified builds, and this unit is built without fortification.
int __open_2(const char* path, int flags);
int __open64_2(const char* path, int flags);
int __openat_2(int dirfd, const char* path, int flags);
int __openat64_2(int dirfd, const char* path, int flags);

int __open_2(const char* path, int flags) {
    return open_variant<open2_fn>(slot_open_2, AT_FDCWD, path, flags, 0);
}

int __open64_2(const char* path, int flags) {
    return open_variant<open2_fn>(slot_open64_2, AT_FDCWD, path, flags, 0);
}

int openat(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const unsigned mode = mode_argument(flags, args);
    va_end(args);
    return open_variant<openat_fn>(slot_openat, dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const unsigned mode = mode_argument(flags, args);
    va_end(args);
    return open_variant<openat_fn>(slot_openat64, dirfd, path, flags, mode);
}

int __openat_2(int dirfd, const char* path, int flags) {
    return open_variant<openat2_fn>(slot_openat_2, dirfd, path, flags, 0);
}

int __openat64_2(int dirfd, const char* path, int flags) {
    return open_variant<openat2_fn>(slot_openat64_2, dirfd, path, flags, 0);
}

int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    return dispatch_ioctl(slot_ioctl, fd, request, arg);
}

#if __SIZEOF_LONG__ == 4
// 32-bit targets built with 64-bit time_t bind ioctl to this symbol. glibc declares it only
// for such builds, and this unit is built with 32-bit time_t.
int __ioctl_time64(int fd, unsigned long request, ...) noexcept;

int __ioctl_time64(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    return dispatch_ioctl(slot_ioctl_time64, fd, request, arg);
}
#endif

void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) noexcept {
    return mmap_variant<mmap_fn>(slot_mmap, addr, length, prot, flags, fd, offset);
}

void* mmap64(void* addr, size_t length, int prot, int flags, int fd, off64_t offset) noexcept {
    return mmap_variant<mmap64_fn>(slot_mmap64, addr, length, prot, flags, fd, offset);
}

int munmap(void* addr, size_t length) noexcept {
    int result = -1;
    if (live_mapping_count.load(std::memory_order_acquire) > 0 &&
        vsensor::detail::hook_munmap(addr, length, &result)) {
        return result;
    }
    return vsensor::detail::real_munmap(addr, length);
}

int close(int fd) {
    int result = -1;
    if (vsensor::detail::is_device_fd(fd) && vsensor::detail::hook_close(fd, &result)) {
        return result;
    }
    return vsensor::detail::real_close(fd);
}

}  // extern "C"
