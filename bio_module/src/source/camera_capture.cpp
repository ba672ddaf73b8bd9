// Camera capture: sensor detection and defaults, and the V4L2 device from start to teardown, with every
// request made of it (the per-frame dequeue and requeue included).
#include "bio_module.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <linux/videodev2.h>

#include "ovra/config.h"
#include "ovra/log.h"
#include "ovra/ovra_exception.h"
#include "ovra/util.h"

int camera_fd = -1;
capture_buffer* buffers = nullptr;
std::string camera_sensor = "None";
const char* const default_fp_reader_path =
    "/sys/devices/platform/soc/1c2b400.i2c/i2c-2/2-0021/2-0021/fingerprint_reader";

namespace {

// Texts this unit emits: log records and exception messages.
constexpr const char* text_no_device = "No expected i2c fingerprint device is present";
constexpr const char* text_open_i2c = "Unable to open camera i2c bus (";
constexpr const char* text_sysfs_info = "Sysfs info: ";
constexpr const char* text_init_module = "Initializing module";
constexpr const char* text_init_camera = "Initializing Camera";
constexpr const char* text_init_mmap = "Initializing mmap";
constexpr const char* text_init_capture = "Initializing Capture";
constexpr const char* text_open_camera = "Unable to open camera device (";
constexpr const char* text_querycap = "Unable to query camera cap: ";
constexpr const char* text_no_capture = "Camera device does not support video capture";
constexpr const char* text_no_streaming = "Camera device does not support video streaming";
constexpr const char* text_s_fmt = "Unable to negotiate format data: ";
constexpr const char* text_reqbufs = "Unable to obtain buffers: ";
constexpr const char* text_alloc = "Unable to allocate buffer memory";
constexpr const char* text_querybuf = "Unable to query buffers: ";
constexpr const char* text_mmap = "Unable to map buffers: ";
constexpr const char* text_qbuf = "Unable to queue buffer: ";
constexpr const char* text_streamon = "Unable to start capture: ";
constexpr const char* text_stopping = "Stopping Capture...";
constexpr const char* text_streamoff_failed = "VIDIOC_STREAMOFF failed: ";
constexpr const char* text_stopped = "Capture stopped";
constexpr const char* text_exiting_mmap = "Exiting mmap";
constexpr const char* text_reqbufs_failed = "VIDIOC_REQBUFS failed: ";
constexpr const char* text_mmap_exited = "mmap Exited";
constexpr const char* text_freeing = "Freeing buffers...";
constexpr const char* text_closing = "Closing camera...";
constexpr const char* text_close_failed = "Could not close fd: ";
constexpr const char* text_exit_failed = "Failed to exit module: ";
constexpr const char* text_dqbuf_failed = "VIDIOC_DQBUF failed: ";
constexpr const char* text_qbuf_failed = "VIDIOC_QBUF failed: ";
constexpr const char* text_bad_index = "Buffer index greater than buffer quantity";

// The sysfs attribute holds the model name; longer contents are cut to this many bytes.
constexpr std::size_t sensor_name_max = 19;

// The driver hands out three buffers; a dequeued index above this is a driver fault.
constexpr unsigned highest_buffer_index = requested_buffers - 1;

// The frame wait's read set as the kernel reads it, a bitmap of unsigned longs: sized by init_camera for
// camera_fd, which may lie beyond the FD_SETSIZE descriptors that an fd_set holds (a host with many
// descriptors open), and never smaller than an fd_set.
constexpr std::size_t read_set_word_bits = 8 * sizeof(unsigned long);
std::vector<unsigned long> read_set_words;

// Entries of the buffer table, as granted by the driver. The capture path uses indexes 0..2
// only; entries above them are mapped but never queued, and are unmapped at teardown here.
unsigned granted_buffers = 0;

// Repeats `call` while it fails with EINTR: the one wrapper of every V4L2 request and of the device's
// close. The result and errno of the last call.
template <typename Call>
int retry_on_eintr(Call call) {
    int result;
    do {
        result = call();
    } while (result == -1 && errno == EINTR);
    return result;
}

int xioctl(int fd, unsigned long request, void* arg) {
    return retry_on_eintr([&] { return ::ioctl(fd, request, arg); });
}

int xclose(int fd) {
    return retry_on_eintr([&] { return ::close(fd); });
}

// A zero-filled request of the capture type on mapped memory (a v4l2_buffer or a v4l2_requestbuffers).
template <typename Request>
Request capture_request() {
    Request request;
    std::memset(&request, 0, sizeof request);
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    return request;
}

// A request about buffer `index`.
v4l2_buffer buffer_request(unsigned index) {
    auto buf = capture_request<v4l2_buffer>();
    buf.index = index;
    return buf;
}

// A request for `count` buffers (0 releases them).
v4l2_requestbuffers buffers_request(unsigned count) {
    auto req = capture_request<v4l2_requestbuffers>();
    req.count = count;
    return req;
}

std::string fourcc_text(std::uint32_t fourcc) {
    std::string text;
    for (int shift = 0; shift < 32; shift += 8) {
        const char c = static_cast<char>((fourcc >> shift) & 0xffu);
        text += (c >= 0x20 && c < 0x7f) ? c : '?';
    }
    return text;
}

// Opens and formats the device: camera_fd is open (non-blocking) and set to 640 x 480 UYVY,
// or an ovra_exception names the failing step (camera_fd may then stay open).
void init_camera() {
    BIO_DEBUG("init_camera", text_init_camera);

    // Close-on-exec, as every descriptor of the module: a child the host starts must not hold the device.
    camera_fd = ::open(device_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (camera_fd == -1) {
        const int error = errno;
        fail_errno(text_open_camera + device_path + "): ", error);
    }
    // The frame wait's read set, with room for this descriptor's bit whatever its number.
    read_set_words.assign(std::max<std::size_t>(static_cast<std::size_t>(camera_fd) / read_set_word_bits + 1,
                                                sizeof(fd_set) / sizeof(unsigned long)),
                          0);

    v4l2_capability cap;
    std::memset(&cap, 0, sizeof cap);
    if (xioctl(camera_fd, VIDIOC_QUERYCAP, &cap) == -1) {
        fail_errno(text_querycap);
    }
    if ((cap.capabilities & V4L2_CAP_VIDEO_CAPTURE) == 0) {
        fail(text_no_capture);
    }
    if ((cap.capabilities & V4L2_CAP_STREAMING) == 0) {
        fail(text_no_streaming);
    }

    v4l2_format fmt;
    std::memset(&fmt, 0, sizeof fmt);
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.width = frame_width;
    fmt.fmt.pix.height = frame_height;
    fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_UYVY;
    fmt.fmt.pix.field = V4L2_FIELD_ANY;
    if (xioctl(camera_fd, VIDIOC_S_FMT, &fmt) == -1) {
        fail_errno(text_s_fmt);
    }
    // A driver may adjust the requested format instead of refusing it; the capture loop
    // copies whole 640 x 480 UYVY frames, so anything else is refused before streaming.
    if (fmt.fmt.pix.width != static_cast<std::uint32_t>(frame_width) ||
        fmt.fmt.pix.height != static_cast<std::uint32_t>(frame_height) ||
        fmt.fmt.pix.pixelformat != V4L2_PIX_FMT_UYVY) {
        fail("Camera format not supported: " + std::to_string(fmt.fmt.pix.width) + "x" +
             std::to_string(fmt.fmt.pix.height) + " fourcc " + fourcc_text(fmt.fmt.pix.pixelformat) +
             " (need 640x480 UYVY)");
    }
}

// Requests three buffers and maps every buffer granted into `buffers`; raises ovra_exception
// on a refusal, on fewer than three buffers or on a buffer too short for one frame.
void init_mmap() {
    BIO_DEBUG("init_mmap", text_init_mmap);

    v4l2_requestbuffers req = buffers_request(requested_buffers);
    if (xioctl(camera_fd, VIDIOC_REQBUFS, &req) == -1) {
        fail_errno(text_reqbufs);
    }
    if (req.count < requested_buffers) {
        fail("Not enough buffers (requested: " + std::to_string(requested_buffers) +
             ", received: " + std::to_string(req.count) + ")");
    }

    buffers = static_cast<capture_buffer*>(std::calloc(req.count, sizeof(capture_buffer)));
    if (buffers == nullptr) {
        fail(text_alloc);
    }
    granted_buffers = req.count;

    for (unsigned index = 0; index < req.count; ++index) {
        v4l2_buffer buf = buffer_request(index);
        if (xioctl(camera_fd, VIDIOC_QUERYBUF, &buf) == -1) {
            fail_errno(text_querybuf);
        }
        buffers[index].length = buf.length;
        // The capture loop copies a whole frame out of each of the three buffers it uses; a
        // driver handing out shorter buffers is refused before anything is mapped from it.
        if (index < requested_buffers && buf.length < frame_bytes) {
            fail("Camera buffer too small: buffer " + std::to_string(index) + " has " +
                 std::to_string(buf.length) + " bytes (need " + std::to_string(frame_bytes) + ")");
        }
        buffers[index].start =
            ::mmap(nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, camera_fd, buf.m.offset);
        if (buffers[index].start == MAP_FAILED) {
            fail_errno(text_mmap);
        }
    }
}

// Queues buffers 0, 1 and 2 and starts streaming; raises ovra_exception on a refusal.
void start_capturing() {
    BIO_DEBUG("start_capturing", text_init_capture);

    for (unsigned index = 0; index < requested_buffers; ++index) {
        v4l2_buffer buf = buffer_request(index);
        if (xioctl(camera_fd, VIDIOC_QBUF, &buf) == -1) {
            fail_errno(text_qbuf);
        }
    }
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(camera_fd, VIDIOC_STREAMON, &type) == -1) {
        fail_errno(text_streamon);
    }
}

// Stops streaming; a refusal (also on a closed device) is logged, never raised.
void stop_capturing() {
    BIO_DEBUG("stop_capturing", text_stopping);
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(camera_fd, VIDIOC_STREAMOFF, &type) == -1) {
        BIO_DEBUG("stop_capturing", text_streamoff_failed + std::string(std::strerror(errno)));
    }
    BIO_DEBUG("stop_capturing", text_stopped);
}

// Unmaps the buffers and releases the driver's buffers; refusals are logged, never raised.
// The table itself stays allocated.
void exit_mmap() {
    BIO_DEBUG("exit_mmap", text_exiting_mmap);
    if (buffers != nullptr) {
        // Entries that were never mapped hold null or MAP_FAILED, and are left alone: munmap of a null
        // start would unmap whatever lies at the bottom of the address space, up to the entry's length.
        for (unsigned index = 0; index < granted_buffers; ++index) {
            void* const start = buffers[index].start;
            if (start != nullptr && start != MAP_FAILED) {
                ::munmap(start, buffers[index].length);
            }
            buffers[index].start = nullptr;
        }
    }
    v4l2_requestbuffers req = buffers_request(0);
    if (xioctl(camera_fd, VIDIOC_REQBUFS, &req) == -1) {
        BIO_DEBUG("exit_mmap", text_reqbufs_failed + std::string(std::strerror(errno)));
    }
    BIO_DEBUG("exit_mmap", text_mmap_exited);
}

}  // namespace

// Reads the fitted model from the sensor's sysfs attribute (at most 19 bytes, kept verbatim)
// into camera_sensor; a model other than the one recorded at the last start clears var_min
// and records the new model in the store. Raises ovra_exception when no attribute file exists
// or it cannot be opened; an empty or unreadable attribute changes nothing.
void detect_sensor() {
    if (!ovra::util::file_exists(fp_reader_path)) {
        if (!ovra::util::file_exists(default_fp_reader_path)) {
            fail(text_no_device);
        }
        fp_reader_path = default_fp_reader_path;
    }

    const int fd = ::open(fp_reader_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        fail_errno(text_open_i2c + fp_reader_path + "): ", error);
    }
    char name[sensor_name_max];
    const ssize_t length = ::read(fd, name, sizeof name);
    ::close(fd);

    // An empty or unreadable attribute leaves the model found before (initially "None").
    if (length <= 0) {
        return;
    }
    camera_sensor.assign(name, static_cast<std::size_t>(length));
    BIO_DEBUG("init_module", text_sysfs_info + camera_sensor);
    if (camera_sensor != last_fp_reader) {
        var_min = 0;
        ovra::config::set_param(bio_section, "last_fp_reader", camera_sensor, true);
    }
}

// When var_min is unset (0), gives it the fitted model's default and stores it (also 0).
void apply_sensor_defaults() {
    if (var_min != 0) {
        return;
    }
    if (camera_sensor == "GC0307" || camera_sensor == "GC0328") {
        var_min = 1000;
    } else if (camera_sensor == "GC032A") {
        var_min = 300;
    }
    ovra::config_util::set_int(var_min, bio_section, "var_min", false);
}

// Starts the camera: sensor and defaults, tables, device open and formatted, buffers mapped
// and queued, streaming. Raises ovra_exception on any failure, possibly leaving the device
// half set up for exit_module to release.
void init_module() {
    BIO_DEBUG("init_module", text_init_module);
    detect_sensor();
    apply_sensor_defaults();
    build_correction_tables();
    init_camera();
    init_mmap();
    start_capturing();
}

// Stops streaming and releases the mappings, the buffer table and the descriptor from any
// state; refusals and ovra_exceptions are logged, never raised.
void exit_module() {
    try {
        stop_capturing();
        exit_mmap();
        if (buffers != nullptr) {
            BIO_DEBUG("exit_module", text_freeing);
            std::free(buffers);
            buffers = nullptr;
            granted_buffers = 0;
        }
        BIO_DEBUG("exit_module", text_closing);
        if (camera_fd != -1) {
            if (xclose(camera_fd) == -1) {
                BIO_DEBUG("exit_module", text_close_failed + std::string(std::strerror(errno)));
            }
        }
        camera_fd = -1;
    } catch (const ovra::ovra_exception& e) {
        BIO_DEBUG("exit_module", text_exit_failed + std::string(e.what()));
    }
}

// The read set holding camera_fd alone, for the frame wait's select (storage sized at the camera start:
// nothing is allocated here); null while no device is open. The bit is set by hand: the FD_SET macro
// refuses a descriptor beyond FD_SETSIZE.
fd_set* camera_read_set() {
    const std::size_t word = static_cast<std::size_t>(camera_fd) / read_set_word_bits;
    if (camera_fd < 0 || word >= read_set_words.size()) {
        return nullptr;
    }
    std::fill(read_set_words.begin(), read_set_words.end(), 0UL);
    read_set_words[word] = 1UL << (static_cast<std::size_t>(camera_fd) % read_set_word_bits);
    return reinterpret_cast<fd_set*>(read_set_words.data());
}

// Takes the next filled frame: dequeues a buffer, copies its 614400-byte frame into `destination` and
// gives the buffer back at once, before any processing, so that the driver always has buffers to fill.
// Returns frame_outcome::no_buffer when the driver had no filled buffer after all (EAGAIN); raises
// ovra_exception when the dequeue or the requeue fails otherwise, or on an index above 2.
frame_outcome take_frame(unsigned char* destination) {
    v4l2_buffer buf = buffer_request(0);
    if (xioctl(camera_fd, VIDIOC_DQBUF, &buf) == -1) {
        if (errno == EAGAIN) {
            return frame_outcome::no_buffer;
        }
        fail_errno(text_dqbuf_failed);
    }
    if (buf.index > highest_buffer_index) {
        fail(text_bad_index);
    }
    std::memcpy(destination, buffers[buf.index].start, frame_bytes);
    if (xioctl(camera_fd, VIDIOC_QBUF, &buf) == -1) {
        fail_errno(text_qbuf_failed);
    }
    return frame_outcome::frame;
}
