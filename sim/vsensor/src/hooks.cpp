// What the interposed entry points call: each hook decides whether a call is the sensor's,
// runs it against the emulated driver and traces it.
#include "hooks.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <linux/videodev2.h>

#include "driver.h"

namespace vsensor::detail {

namespace {

// Hands the call's result to the interposer and sets errno when the call failed.
template <typename Result>
bool answer(Result* result, Result value, int error) {
    *result = value;
    if (error != 0) {
        errno = error;
    }
    return true;
}

// A new device descriptor (an eventfd whose counter counts the filled buffers): the descriptor,
// or -1 with the errno in `error`.
int new_descriptor(int flags, int& error) {
    const int fd = eventfd(0, EFD_SEMAPHORE | EFD_NONBLOCK | ((flags & O_CLOEXEC) != 0 ? EFD_CLOEXEC : 0));
    if (fd < 0) {
        error = errno;
        return -1;
    }
    if (fd >= max_device_descriptor) {
        real_close(fd);
        error = EMFILE;
        return -1;
    }
    return fd;
}

// What the trace shows as the argument of a request that a fault failed before it ran: the
// buffer or count it was for.
std::int64_t faulted_argument(Call call, const void* arg) {
    if (arg == nullptr) {
        return 0;
    }
    if (call == Call::qbuf || call == Call::querybuf) {
        return static_cast<const v4l2_buffer*>(arg)->index;
    }
    if (call == Call::dqbuf) {
        return -1;
    }
    if (call == Call::reqbufs) {
        return static_cast<const v4l2_requestbuffers*>(arg)->count;
    }
    return 0;
}

// The mmap of a buffer's offset on the descriptor holding the buffers: the address, or
// MAP_FAILED with the errno in `error`.
void* map_buffer(const Device& d, void* addr, std::size_t length, int prot, int flags, int fd,
                 std::int64_t offset, int& error) {
    const std::uint64_t index = d.stride != 0 ? static_cast<std::uint64_t>(offset) / d.stride : 0;
    if (!holds_buffers(d, fd) || d.buffers.empty() || d.stride == 0 || offset < 0 || offset % d.stride != 0 ||
        index >= d.buffers.size() || length == 0 || length > d.stride || (flags & MAP_SHARED) == 0) {
        error = EINVAL;
        return MAP_FAILED;
    }
    void* address = real_mmap(addr, length, prot, flags, d.memfd, offset);
    if (address == MAP_FAILED) {
        error = errno;
    }
    return address;
}

// A descriptor reading an attribute file: a memfd holding `content`, or -1 with the errno in
// `error` (the attributes are read-only, as sysfs makes them).
int open_attribute(const std::string& content, int flags, int& error) {
    if ((flags & O_ACCMODE) != O_RDONLY) {
        error = EACCES;
        return -1;
    }
    if ((flags & O_DIRECTORY) != 0) {
        error = ENOTDIR;
        return -1;
    }
    const int fd = memfd_create("vsensor-attribute", (flags & O_CLOEXEC) != 0 ? MFD_CLOEXEC : 0);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    if (real_write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()) ||
        lseek(fd, 0, SEEK_SET) != 0) {
        error = errno;
        real_close(fd);
        return -1;
    }
    return fd;
}

// Forgets descriptor `fd` (about to be closed, or closed by libc). When it was the last descriptor
// of its open, the open ends: if it held the buffers, its stream stops and they are freed.
void forget_descriptor(Device& d, std::unique_lock<std::mutex>& lock, int fd) {
    const std::shared_ptr<OpenFile> file = d.descriptors.at(fd);
    d.descriptors.erase(fd);
    set_device_fd(fd, false);
    if (file->signal_fd == fd) {
        file->signal_fd = -1;
        for (const auto& [other, open] : d.descriptors) {
            if (open == file) {
                file->signal_fd = other;
                break;
            }
        }
    }
    if (file->signal_fd < 0 && d.owner == file) {
        d.streaming = false;
        stop_producer(d, lock);
        release_buffers(d);
    }
}

}  // namespace

bool hook_open(const char* path, int flags, int* result) {
    Device& d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    const NodeEntry entry = lookup_node(d.config, path);
    if (entry.kind == NodeEntry::Kind::foreign) {
        return false;
    }
    if (entry.kind != NodeEntry::Kind::device) {
        int error = entry.kind == NodeEntry::Kind::missing ? ENOENT : 0;
        const int fd = error == 0 ? open_attribute(entry.content, flags, error) : -1;
        return answer(result, fd, error);
    }
    int error = inject(d, Call::open);
    const int fd = error == 0 ? new_descriptor(flags, error) : -1;
    if (error == 0) {
        auto file = std::make_shared<OpenFile>();
        file->flags = flags;
        file->signal_fd = fd;
        d.descriptors[fd] = std::move(file);
        set_device_fd(fd, true);
        ++d.opens;
    }
    record(Call::open, 0, fd, flags, error == 0 ? fd : -1, error);
    return answer(result, error == 0 ? fd : -1, error);
}

bool hook_ioctl(int fd, unsigned long request, void* arg, int* result) {
    if (!is_device_fd(fd)) {
        return false;
    }
    Device& d = device();
    std::unique_lock<std::mutex> lock(d.mutex);
    if (d.descriptors.count(fd) == 0) {
        return false;
    }
    const Call call = classify(request);
    std::int64_t shown = 0;
    int error = inject(d, call);
    if (error == 0) {
        error = dispatch(d, lock, fd, request, arg, shown);
    } else {
        shown = faulted_argument(call, arg);
    }
    record(call, request, fd, shown, error == 0 ? 0 : -1, error);
    return answer(result, error == 0 ? 0 : -1, error);
}

bool hook_mmap(void* addr, std::size_t length, int prot, int flags, int fd, std::int64_t offset,
               void** result) {
    Device& d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.descriptors.count(fd) == 0) {
        return false;
    }
    int error = inject(d, Call::mmap);
    void* address = error == 0 ? map_buffer(d, addr, length, prot, flags, fd, offset, error) : MAP_FAILED;
    if (error == 0) {
        Mappings& maps = mappings();
        std::lock_guard<std::mutex> maps_lock(maps.mutex);
        maps.live[reinterpret_cast<std::uintptr_t>(address)] = length;
        set_live_mapping_count(static_cast<int>(maps.live.size()));
    }
    record(Call::mmap, 0, fd, static_cast<std::int64_t>(length),
           error == 0 ? static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(address)) : -1, error);
    return answer(result, address, error);
}

bool hook_munmap(void* addr, std::size_t length, int* result) {
    Mappings& maps = mappings();
    std::lock_guard<std::mutex> lock(maps.mutex);
    const auto found = maps.live.find(reinterpret_cast<std::uintptr_t>(addr));
    if (found == maps.live.end()) {
        return false;
    }
    const int outcome = real_munmap(addr, length);
    const int error = outcome == 0 ? 0 : errno;
    if (outcome == 0) {
        maps.live.erase(found);
        set_live_mapping_count(static_cast<int>(maps.live.size()));
    }
    record(Call::munmap, 0, -1, static_cast<std::int64_t>(length), outcome, error);
    return answer(result, outcome, error);
}

bool hook_close(int fd, int* result) {
    Device& d = device();
    std::unique_lock<std::mutex> lock(d.mutex);
    if (d.descriptors.count(fd) == 0) {
        return false;
    }
    const int error = inject(d, Call::close);
    if (error != 0) {
        record(Call::close, 0, fd, 0, -1, error);
        return answer(result, -1, error);
    }
    forget_descriptor(d, lock, fd);
    const int outcome = real_close(fd);
    const int close_error = outcome == 0 ? 0 : errno;
    record(Call::close, 0, fd, 0, outcome, close_error);
    return answer(result, outcome, close_error);
}

bool hook_stat(const char* path, NodeStat* node, int* result) {
    Device& d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    const NodeEntry entry = lookup_node(d.config, path);
    if (entry.kind == NodeEntry::Kind::foreign) {
        return false;
    }
    if (entry.kind == NodeEntry::Kind::missing) {
        return answer(result, -1, ENOENT);
    }
    *node = stat_of(path, entry);
    return answer(result, 0, 0);
}

bool hook_fstat(int fd, NodeStat* node, int* result) {
    Device& d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.descriptors.count(fd) == 0) {
        return false;
    }
    *node = stat_of(d.config.device_path, {NodeEntry::Kind::device, {}});
    return answer(result, 0, 0);
}

bool hook_dup(int fd, int target, const std::function<int()>& duplicate, int* result) {
    Device& d = device();
    std::unique_lock<std::mutex> lock(d.mutex);
    const auto source = d.descriptors.find(fd);
    const bool replaces = target != fd && d.descriptors.count(target) != 0;
    if (source == d.descriptors.end() && !replaces) {
        return false;
    }
    const std::shared_ptr<OpenFile> file = source != d.descriptors.end() ? source->second : nullptr;
    int copy = duplicate();
    int error = copy < 0 ? errno : 0;
    if (copy >= 0 && replaces) {
        forget_descriptor(d, lock, target);  // libc closed it
    }
    if (copy >= max_device_descriptor && file) {
        real_close(copy);
        copy = -1;
        error = EMFILE;
    } else if (copy >= 0 && file) {
        d.descriptors[copy] = file;
        set_device_fd(copy, true);
    }
    return answer(result, copy, error);
}

bool hook_file_flags(int fd, int command, int flags, int* result) {
    Device& d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    const auto found = d.descriptors.find(fd);
    if (found == d.descriptors.end()) {
        return false;
    }
    OpenFile& file = *found->second;
    if (command == F_GETFL) {
        return answer(result, file.flags & ~(O_CREAT | O_EXCL | O_NOCTTY | O_TRUNC | O_CLOEXEC), 0);
    }
    // The flags F_SETFL may change; the others stay.
    constexpr int changeable = O_APPEND | O_ASYNC | O_DIRECT | O_NOATIME | O_NONBLOCK;
    file.flags = (file.flags & ~changeable) | (flags & changeable);
    return answer(result, 0, 0);
}

void note_foreign_ioctl(int fd, unsigned long request, int result, int error) {
    if (_IOC_TYPE(request) != 'V') {
        return;
    }
    record(classify(request), request, fd, 0, result, error);
}

}  // namespace vsensor::detail
