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
#include <cstdint>
#include <cstdio>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
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
std::atomic<const char*> model_path_text{nullptr};

// Byte-wise equality, here rather than strcmp so that no interceptor runs for other paths.
bool same_text(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

bool starts_with(const char* text, const char* prefix) {
    while (*prefix != '\0' && *text == *prefix) {
        ++text;
        ++prefix;
    }
    return *prefix == '\0';
}

// Whether `path` may be the sensor's: its device node, a file under /sys, or the sensor's
// identification attribute. The hooks decide the rest under the device's lock.
bool is_node_path(const char* path) {
    if (path == nullptr) {
        return false;
    }
    const char* model = model_path_text.load(std::memory_order_acquire);
    return same_text(path, device_path_text.load(std::memory_order_acquire)) || starts_with(path, "/sys/") ||
           (model != nullptr && same_text(path, model));
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
using read_fn = ssize_t (*)(int, void*, size_t);
using read_chk_fn = ssize_t (*)(int, void*, size_t, size_t);
using write_fn = ssize_t (*)(int, const void*, size_t);
using fcntl_fn = int (*)(int, int, ...);
using dup_fn = int (*)(int);
using dup2_fn = int (*)(int, int);
using dup3_fn = int (*)(int, int, int);
using fopen_fn = FILE* (*)(const char*, const char*);

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
Slot slot_read{"read"}, slot_read_chk{"__read_chk"}, slot_write{"write"};
Slot slot_fcntl{"fcntl"}, slot_fcntl64{"fcntl64"};
#if __SIZEOF_LONG__ == 4
Slot slot_fcntl_time64{"__fcntl_time64"};
#endif
Slot slot_dup{"dup"}, slot_dup2{"dup2"}, slot_dup3{"dup3"};
Slot slot_fopen{"fopen"}, slot_fopen64{"fopen64"};
Slot slot_stat{"stat"}, slot_stat64{"stat64"}, slot_lstat{"lstat"}, slot_lstat64{"lstat64"};
Slot slot_fstat{"fstat"}, slot_fstat64{"fstat64"}, slot_fstatat{"fstatat"}, slot_fstatat64{"fstatat64"};
Slot slot_xstat{"__xstat"}, slot_xstat64{"__xstat64"}, slot_lxstat{"__lxstat"}, slot_lxstat64{"__lxstat64"};
Slot slot_fxstat{"__fxstat"}, slot_fxstat64{"__fxstat64"}, slot_fxstatat{"__fxstatat"},
    slot_fxstatat64{"__fxstatat64"};
Slot slot_statx{"statx"};
#if __SIZEOF_LONG__ == 4
Slot slot_stat_time64{"__stat64_time64"}, slot_lstat_time64{"__lstat64_time64"},
    slot_fstat_time64{"__fstat64_time64"}, slot_fstatat_time64{"__fstatat64_time64"};
#endif

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
    if (may_be_device(dirfd, path) && is_node_path(path) &&
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

using vsensor::detail::NodeStat;

// The stat of a sensor's path, or of a device descriptor named by AT_EMPTY_PATH and an empty
// path: true when the call was the sensor's, with its result in *result (errno set on failure)
// and the caller's structure written by `fill`.
template <typename Fill>
bool sensor_stat(int dirfd, const char* path, int flags, Fill fill, int* result) {
    NodeStat node;
    bool handled = false;
    if (path != nullptr && path[0] == '\0' && (flags & AT_EMPTY_PATH) != 0) {
        handled = vsensor::detail::is_device_fd(dirfd) && vsensor::detail::hook_fstat(dirfd, &node, result);
    } else if (may_be_device(dirfd, path) && is_node_path(path)) {
        handled = vsensor::detail::hook_stat(path, &node, result);
    }
    if (handled && *result == 0) {
        fill(node);
    }
    return handled;
}

// The body of every stat variant: the sensor's paths and descriptors answered here, any other
// call made by `call` with the next definition of the variant's own symbol.
template <typename Fn, typename Fill, typename Call>
int stat_variant(Slot& slot, int dirfd, const char* path, int flags, Fill fill, Call call) {
    int result = -1;
    if (sensor_stat(dirfd, path, flags, fill, &result)) {
        return result;
    }
    const Fn fn = next<Fn>(slot);
    return fn != nullptr ? call(fn) : -1;
}

// Writes a stat structure of the caller's layout.
template <typename Stat>
auto filler(Stat* out) {
    return [out](const NodeStat& node) {
        if (out != nullptr) {
            vsensor::detail::fill_stat(node, out);
        }
    };
}

// fcntl's body: the flags and copies of a device descriptor go to the hooks, any other request
// to the next definition of the variant's own symbol.
int fcntl_variant(Slot& slot, int fd, int command, void* arg) {
    const auto forward = [&] {
        const auto fn = next<fcntl_fn>(slot);
        return fn != nullptr ? fn(fd, command, arg) : -1;
    };
    int result = -1;
    if (vsensor::detail::is_device_fd(fd)) {
        const int value = static_cast<int>(reinterpret_cast<std::intptr_t>(arg));
        if ((command == F_GETFL || command == F_SETFL) &&
            vsensor::detail::hook_file_flags(fd, command, value, &result)) {
            return result;
        }
        if ((command == F_DUPFD || command == F_DUPFD_CLOEXEC) &&
            vsensor::detail::hook_dup(fd, -1, forward, &result)) {
            return result;
        }
    }
    return forward();
}

// The open flags fopen uses for `mode`.
int fopen_flags(const char* mode) {
    int flags = mode[0] == 'r' ? O_RDONLY : O_WRONLY | O_CREAT | (mode[0] == 'a' ? O_APPEND : O_TRUNC);
    for (const char* c = mode + 1; *c != '\0'; ++c) {
        if (*c == '+') {
            flags = (flags & ~O_ACCMODE) | O_RDWR;
        } else if (*c == 'e') {
            flags |= O_CLOEXEC;
        } else if (*c == 'x') {
            flags |= O_EXCL;
        }
    }
    return flags;
}

// fopen's body: a sensor's path opened by the hook and wrapped in a stream; any other to the next
// definition of the variant's own symbol.
FILE* fopen_variant(Slot& slot, const char* path, const char* mode) {
    int fd = -1;
    if (mode != nullptr && is_node_path(path) && vsensor::detail::hook_open(path, fopen_flags(mode), &fd)) {
        if (fd < 0) {
            return nullptr;
        }
        FILE* stream = fdopen(fd, mode);
        if (stream == nullptr) {
            const int error = errno;
            vsensor::detail::real_close(fd);
            errno = error;
        }
        return stream;
    }
    const auto fn = next<fopen_fn>(slot);
    return fn != nullptr ? fn(path, mode) : nullptr;
}

// A device descriptor has no read() or write(): the driver offers streaming I/O only.
bool refuse_io(int fd) {
    if (!vsensor::detail::is_device_fd(fd)) {
        return false;
    }
    errno = EINVAL;
    return true;
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

void set_model_path_text(const char* path) {
    model_path_text.store(path, std::memory_order_release);
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

ssize_t real_read(int fd, void* buffer, std::size_t length) {
    auto fn = next<read_fn>(slot_read);
    return fn != nullptr ? fn(fd, buffer, length) : -1;
}

ssize_t real_write(int fd, const void* buffer, std::size_t length) {
    auto fn = next<write_fn>(slot_write);
    return fn != nullptr ? fn(fd, buffer, length) : -1;
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

// ---- stat: the device node stats as a V4L2 character device, its sysfs attributes as files.
// Every variant a client may be bound to: the plain and large-file ones, the 64-bit-time ones
// of 32-bit targets, the versioned __xstat family older programs call, and statx.

int __xstat(int version, const char* path, struct stat* buf);
int __xstat64(int version, const char* path, struct stat64* buf);
int __lxstat(int version, const char* path, struct stat* buf);
int __lxstat64(int version, const char* path, struct stat64* buf);
int __fxstat(int version, int fd, struct stat* buf);
int __fxstat64(int version, int fd, struct stat64* buf);
int __fxstatat(int version, int dirfd, const char* path, struct stat* buf, int flags);
int __fxstatat64(int version, int dirfd, const char* path, struct stat64* buf, int flags);

int stat(const char* path, struct stat* buf) noexcept {
    return stat_variant<decltype(&stat)>(slot_stat, AT_FDCWD, path, 0, filler(buf),
                                         [&](auto fn) { return fn(path, buf); });
}

int stat64(const char* path, struct stat64* buf) noexcept {
    return stat_variant<decltype(&stat64)>(slot_stat64, AT_FDCWD, path, 0, filler(buf),
                                           [&](auto fn) { return fn(path, buf); });
}

int lstat(const char* path, struct stat* buf) noexcept {
    return stat_variant<decltype(&lstat)>(slot_lstat, AT_FDCWD, path, 0, filler(buf),
                                          [&](auto fn) { return fn(path, buf); });
}

int lstat64(const char* path, struct stat64* buf) noexcept {
    return stat_variant<decltype(&lstat64)>(slot_lstat64, AT_FDCWD, path, 0, filler(buf),
                                            [&](auto fn) { return fn(path, buf); });
}

int fstat(int fd, struct stat* buf) noexcept {
    return stat_variant<decltype(&fstat)>(slot_fstat, fd, "", AT_EMPTY_PATH, filler(buf),
                                          [&](auto fn) { return fn(fd, buf); });
}

int fstat64(int fd, struct stat64* buf) noexcept {
    return stat_variant<decltype(&fstat64)>(slot_fstat64, fd, "", AT_EMPTY_PATH, filler(buf),
                                            [&](auto fn) { return fn(fd, buf); });
}

int fstatat(int dirfd, const char* path, struct stat* buf, int flags) noexcept {
    return stat_variant<decltype(&fstatat)>(slot_fstatat, dirfd, path, flags, filler(buf),
                                            [&](auto fn) { return fn(dirfd, path, buf, flags); });
}

int fstatat64(int dirfd, const char* path, struct stat64* buf, int flags) noexcept {
    return stat_variant<decltype(&fstatat64)>(slot_fstatat64, dirfd, path, flags, filler(buf),
                                              [&](auto fn) { return fn(dirfd, path, buf, flags); });
}

int __xstat(int version, const char* path, struct stat* buf) {
    return stat_variant<decltype(&__xstat)>(slot_xstat, AT_FDCWD, path, 0, filler(buf),
                                            [&](auto fn) { return fn(version, path, buf); });
}

int __xstat64(int version, const char* path, struct stat64* buf) {
    return stat_variant<decltype(&__xstat64)>(slot_xstat64, AT_FDCWD, path, 0, filler(buf),
                                              [&](auto fn) { return fn(version, path, buf); });
}

int __lxstat(int version, const char* path, struct stat* buf) {
    return stat_variant<decltype(&__lxstat)>(slot_lxstat, AT_FDCWD, path, 0, filler(buf),
                                             [&](auto fn) { return fn(version, path, buf); });
}

int __lxstat64(int version, const char* path, struct stat64* buf) {
    return stat_variant<decltype(&__lxstat64)>(slot_lxstat64, AT_FDCWD, path, 0, filler(buf),
                                               [&](auto fn) { return fn(version, path, buf); });
}

int __fxstat(int version, int fd, struct stat* buf) {
    return stat_variant<decltype(&__fxstat)>(slot_fxstat, fd, "", AT_EMPTY_PATH, filler(buf),
                                             [&](auto fn) { return fn(version, fd, buf); });
}

int __fxstat64(int version, int fd, struct stat64* buf) {
    return stat_variant<decltype(&__fxstat64)>(slot_fxstat64, fd, "", AT_EMPTY_PATH, filler(buf),
                                               [&](auto fn) { return fn(version, fd, buf); });
}

int __fxstatat(int version, int dirfd, const char* path, struct stat* buf, int flags) {
    return stat_variant<decltype(&__fxstatat)>(slot_fxstatat, dirfd, path, flags, filler(buf),
                                               [&](auto fn) { return fn(version, dirfd, path, buf, flags); });
}

int __fxstatat64(int version, int dirfd, const char* path, struct stat64* buf, int flags) {
    return stat_variant<decltype(&__fxstatat64)>(
        slot_fxstatat64, dirfd, path, flags, filler(buf),
        [&](auto fn) { return fn(version, dirfd, path, buf, flags); });
}

int statx(int dirfd, const char* path, int flags, unsigned int mask, struct statx* buf) noexcept {
    const auto fill = [buf](const NodeStat& node) {
        if (buf != nullptr) {
            vsensor::detail::fill_statx(node, buf);
        }
    };
    return stat_variant<decltype(&statx)>(slot_statx, dirfd, path, flags, fill,
                                          [&](auto fn) { return fn(dirfd, path, flags, mask, buf); });
}

#if __SIZEOF_LONG__ == 4
// The 64-bit-time variants of 32-bit targets; glibc declares them only for such builds.
int __stat64_time64(const char* path, void* buf);
int __lstat64_time64(const char* path, void* buf);
int __fstat64_time64(int fd, void* buf);
int __fstatat64_time64(int dirfd, const char* path, void* buf, int flags);

namespace {
auto filler_time64(void* out) {
    return [out](const NodeStat& node) {
        if (out != nullptr) {
            vsensor::detail::fill_stat_time64(node, out);
        }
    };
}
}  // namespace

int __stat64_time64(const char* path, void* buf) {
    return stat_variant<decltype(&__stat64_time64)>(slot_stat_time64, AT_FDCWD, path, 0, filler_time64(buf),
                                                    [&](auto fn) { return fn(path, buf); });
}

int __lstat64_time64(const char* path, void* buf) {
    return stat_variant<decltype(&__lstat64_time64)>(slot_lstat_time64, AT_FDCWD, path, 0, filler_time64(buf),
                                                     [&](auto fn) { return fn(path, buf); });
}

int __fstat64_time64(int fd, void* buf) {
    return stat_variant<decltype(&__fstat64_time64)>(
        slot_fstat_time64, fd, "", AT_EMPTY_PATH, filler_time64(buf), [&](auto fn) { return fn(fd, buf); });
}

int __fstatat64_time64(int dirfd, const char* path, void* buf, int flags) {
    return stat_variant<decltype(&__fstatat64_time64)>(slot_fstatat_time64, dirfd, path, flags,
                                                       filler_time64(buf),
                                                       [&](auto fn) { return fn(dirfd, path, buf, flags); });
}
#endif

// ---- The sysfs attributes read through stdio.

FILE* fopen(const char* path, const char* mode) {
    return fopen_variant(slot_fopen, path, mode);
}

FILE* fopen64(const char* path, const char* mode) {
    return fopen_variant(slot_fopen64, path, mode);
}

// ---- Copies, flags, read and write of a device descriptor.

int fcntl(int fd, int command, ...) {
    va_list args;
    va_start(args, command);
    void* arg = va_arg(args, void*);  // as libc reads it, whatever the command
    va_end(args);
    return fcntl_variant(slot_fcntl, fd, command, arg);
}

int fcntl64(int fd, int command, ...) {
    va_list args;
    va_start(args, command);
    void* arg = va_arg(args, void*);
    va_end(args);
    return fcntl_variant(slot_fcntl64, fd, command, arg);
}

#if __SIZEOF_LONG__ == 4
int __fcntl_time64(int fd, int command, ...);

int __fcntl_time64(int fd, int command, ...) {
    va_list args;
    va_start(args, command);
    void* arg = va_arg(args, void*);
    va_end(args);
    return fcntl_variant(slot_fcntl_time64, fd, command, arg);
}
#endif

int dup(int fd) noexcept {
    const auto copy = [&] {
        const auto fn = next<dup_fn>(slot_dup);
        return fn != nullptr ? fn(fd) : -1;
    };
    int result = -1;
    if (vsensor::detail::is_device_fd(fd) && vsensor::detail::hook_dup(fd, -1, copy, &result)) {
        return result;
    }
    return copy();
}

int dup2(int fd, int target) noexcept {
    const auto copy = [&] {
        const auto fn = next<dup2_fn>(slot_dup2);
        return fn != nullptr ? fn(fd, target) : -1;
    };
    int result = -1;
    if ((vsensor::detail::is_device_fd(fd) || vsensor::detail::is_device_fd(target)) &&
        vsensor::detail::hook_dup(fd, target, copy, &result)) {
        return result;
    }
    return copy();
}

int dup3(int fd, int target, int flags) noexcept {
    const auto copy = [&] {
        const auto fn = next<dup3_fn>(slot_dup3);
        return fn != nullptr ? fn(fd, target, flags) : -1;
    };
    int result = -1;
    if ((vsensor::detail::is_device_fd(fd) || vsensor::detail::is_device_fd(target)) &&
        vsensor::detail::hook_dup(fd, target, copy, &result)) {
        return result;
    }
    return copy();
}

ssize_t read(int fd, void* buffer, size_t length) {
    return refuse_io(fd) ? -1 : vsensor::detail::real_read(fd, buffer, length);
}

// The fortified read; glibc declares it only for fortified builds.
ssize_t __read_chk(int fd, void* buffer, size_t length, size_t buffer_length);

ssize_t __read_chk(int fd, void* buffer, size_t length, size_t buffer_length) {
    if (refuse_io(fd)) {
        return -1;
    }
    const auto fn = next<read_chk_fn>(slot_read_chk);
    return fn != nullptr ? fn(fd, buffer, length, buffer_length) : -1;
}

ssize_t write(int fd, const void* buffer, size_t length) {
    return refuse_io(fd) ? -1 : vsensor::detail::real_write(fd, buffer, length);
}

}  // extern "C"
