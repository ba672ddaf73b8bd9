// The V4L2 requests that describe the emulated capture device and its settings rather than move
// frames: format enumeration, frame sizes and intervals, streaming parameters, the one input,
// access priorities, and the control and event requests of a driver that has neither controls
// nor events of its own. Each handler runs with the device's lock held and returns 0 or the errno
// of its failure, as the kernel's V4L2 core answers for such a driver.
#include "driver.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numeric>

#include <linux/videodev2.h>

namespace vsensor::detail {

namespace {

bool is_capture(std::uint32_t type) {
    return type == V4L2_BUF_TYPE_VIDEO_CAPTURE;
}

// The kernel's description of the formats this sensor may be configured with; the fourcc's own
// characters for any other.
void describe_format(std::uint32_t fourcc, char (&out)[32]) {
    if (fourcc == V4L2_PIX_FMT_UYVY) {
        std::snprintf(out, sizeof out, "UYVY 4:2:2");
    } else if (fourcc == V4L2_PIX_FMT_YUYV) {
        std::snprintf(out, sizeof out, "YUYV 4:2:2");
    } else {
        std::snprintf(out, sizeof out, "%c%c%c%c", fourcc & 0xff, fourcc >> 8 & 0xff, fourcc >> 16 & 0xff,
                      fourcc >> 24 & 0xff);
    }
}

int enum_fmt(const Device& d, v4l2_fmtdesc* desc) {
    if (!is_capture(desc->type) || desc->index != 0) {
        return EINVAL;
    }
    const std::uint32_t index = desc->index;
    const std::uint32_t type = desc->type;
    std::memset(desc, 0, sizeof *desc);
    desc->index = index;
    desc->type = type;
    desc->pixelformat = d.config.pixelformat;
    describe_format(d.config.pixelformat, reinterpret_cast<char(&)[32]>(desc->description));
    return 0;
}

// The one size of the one format.
int enum_framesizes(const Device& d, v4l2_frmsizeenum* size) {
    if (size->index != 0 || size->pixel_format != d.config.pixelformat) {
        return EINVAL;
    }
    size->type = V4L2_FRMSIZE_TYPE_DISCRETE;
    size->discrete = {d.config.width, d.config.height};
    std::memset(size->reserved, 0, sizeof size->reserved);
    return 0;
}

// The time between frames at the configured rate, as a reduced fraction of thousandths of a
// second's rate (30 fps: 1/30; 12.5 fps: 2/25).
v4l2_fract frame_interval(double fps) {
    const auto rate = static_cast<std::uint32_t>(std::lround(fps * 1000.0));
    const std::uint32_t common = std::gcd(1000u, rate);
    return {1000u / common, rate / common};
}

// The one frame interval of the one size; a free-running sensor (fps 0) has none to offer.
int enum_frameintervals(const Device& d, v4l2_frmivalenum* interval) {
    if (d.config.fps <= 0.0) {
        return ENOTTY;
    }
    if (interval->index != 0 || interval->pixel_format != d.config.pixelformat ||
        interval->width != d.config.width || interval->height != d.config.height) {
        return EINVAL;
    }
    interval->type = V4L2_FRMIVAL_TYPE_DISCRETE;
    interval->discrete = frame_interval(d.config.fps);
    std::memset(interval->reserved, 0, sizeof interval->reserved);
    return 0;
}

// G_PARM, and S_PARM, which can only confirm the rate the scenario sets: the sensor has one frame
// interval, and a driver answers a request for another with the nearest it has.
int parm(const Device& d, v4l2_streamparm* parm) {
    if (!is_capture(parm->type)) {
        return EINVAL;
    }
    v4l2_captureparm& capture = parm->parm.capture;
    std::memset(&capture, 0, sizeof capture);
    if (d.config.fps > 0.0) {
        capture.capability = V4L2_CAP_TIMEPERFRAME;
        capture.timeperframe = frame_interval(d.config.fps);
    }
    return 0;
}

int enuminput(v4l2_input* input) {
    if (input->index != 0) {
        return EINVAL;
    }
    std::memset(input, 0, sizeof *input);
    std::snprintf(reinterpret_cast<char*>(input->name), sizeof input->name, "Camera");
    input->type = V4L2_INPUT_TYPE_CAMERA;
    return 0;
}

// The highest priority any open holds; an open starts at the default.
std::uint32_t highest_priority(const Device& d) {
    std::uint32_t highest = V4L2_PRIORITY_UNSET;
    for (const auto& [fd, file] : d.descriptors) {
        highest = std::max(highest, file->priority);
    }
    return highest;
}

int s_priority(Device& d, int fd, std::uint32_t wanted) {
    if (wanted < V4L2_PRIORITY_BACKGROUND || wanted > V4L2_PRIORITY_RECORD) {
        return EINVAL;
    }
    d.descriptors.at(fd)->priority = wanted;
    return 0;
}

// G/S/TRY_EXT_CTRLS: an empty list of the default class is accepted; any control is unknown.
// The unknown control is named by its index for TRY; G and S say "count" (nothing was touched).
int ext_ctrls(v4l2_ext_controls* controls, unsigned long request) {
    if (controls->count == 0) {
        return controls->which == 0 || controls->which == V4L2_CTRL_WHICH_DEF_VAL ? 0 : EINVAL;
    }
    controls->error_idx = request == VIDIOC_TRY_EXT_CTRLS ? 0 : controls->count;
    return EINVAL;
}

constexpr unsigned long queries[] = {VIDIOC_ENUM_FMT,
                                     VIDIOC_ENUM_FRAMESIZES,
                                     VIDIOC_ENUM_FRAMEINTERVALS,
                                     VIDIOC_G_PARM,
                                     VIDIOC_S_PARM,
                                     VIDIOC_ENUMINPUT,
                                     VIDIOC_G_INPUT,
                                     VIDIOC_S_INPUT,
                                     VIDIOC_G_PRIORITY,
                                     VIDIOC_S_PRIORITY,
                                     VIDIOC_QUERYCTRL,
                                     VIDIOC_QUERY_EXT_CTRL,
                                     VIDIOC_QUERYMENU,
                                     VIDIOC_G_CTRL,
                                     VIDIOC_S_CTRL,
                                     VIDIOC_SUBSCRIBE_EVENT,
                                     VIDIOC_G_EXT_CTRLS,
                                     VIDIOC_TRY_EXT_CTRLS,
                                     VIDIOC_S_EXT_CTRLS,
                                     VIDIOC_UNSUBSCRIBE_EVENT,
                                     VIDIOC_DQEVENT,
                                     VIDIOC_LOG_STATUS};

// What VIDIOC_LOG_STATUS writes where a driver writes to the kernel's log.
void log_status(const Device& d) {
    std::fprintf(
        stderr,
        "vsensor: %s %ux%u, %zu buffers, %s, %llu frames produced, %llu dequeued, %zu descriptors open\n",
        d.config.device_path.c_str(), d.config.width, d.config.height, d.buffers.size(),
        d.streaming ? "streaming" : "not streaming", static_cast<unsigned long long>(d.frames_produced),
        static_cast<unsigned long long>(d.frames_dequeued), d.descriptors.size());
}

}  // namespace

bool is_query(unsigned long request) {
    return std::find(std::begin(queries), std::end(queries), request) != std::end(queries);
}

bool may_change(const Device& d, int fd) {
    return d.descriptors.at(fd)->priority >= highest_priority(d);
}

int dispatch_query(Device& d, int fd, unsigned long request, void* arg) {
    switch (request) {
        case VIDIOC_ENUM_FMT:
            return enum_fmt(d, static_cast<v4l2_fmtdesc*>(arg));
        case VIDIOC_ENUM_FRAMESIZES:
            return enum_framesizes(d, static_cast<v4l2_frmsizeenum*>(arg));
        case VIDIOC_ENUM_FRAMEINTERVALS:
            return enum_frameintervals(d, static_cast<v4l2_frmivalenum*>(arg));
        case VIDIOC_G_PARM:
        case VIDIOC_S_PARM:
            return parm(d, static_cast<v4l2_streamparm*>(arg));
        case VIDIOC_ENUMINPUT:
            return enuminput(static_cast<v4l2_input*>(arg));
        case VIDIOC_G_INPUT:
            *static_cast<int*>(arg) = 0;
            return 0;
        case VIDIOC_S_INPUT:
            return *static_cast<const int*>(arg) == 0 ? 0 : EINVAL;
        case VIDIOC_G_PRIORITY:
            *static_cast<std::uint32_t*>(arg) = highest_priority(d);
            return 0;
        case VIDIOC_S_PRIORITY:
            return s_priority(d, fd, *static_cast<const std::uint32_t*>(arg));
        case VIDIOC_QUERYCTRL:
        case VIDIOC_QUERY_EXT_CTRL:
        case VIDIOC_QUERYMENU:
        case VIDIOC_G_CTRL:
        case VIDIOC_S_CTRL:
        case VIDIOC_SUBSCRIBE_EVENT:
            return EINVAL;  // no such control, no such event
        case VIDIOC_G_EXT_CTRLS:
        case VIDIOC_TRY_EXT_CTRLS:
        case VIDIOC_S_EXT_CTRLS:
            return ext_ctrls(static_cast<v4l2_ext_controls*>(arg), request);
        case VIDIOC_UNSUBSCRIBE_EVENT:
            return 0;
        case VIDIOC_DQEVENT:
            return ENOENT;  // nothing pending
        case VIDIOC_LOG_STATUS:
            log_status(d);
            return 0;
        default:
            return ENOTTY;
    }
}

}  // namespace vsensor::detail
