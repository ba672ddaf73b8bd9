// --probe: the capture device as V4L2 describes it, and the sensor identification as the module
// makes it (the first 19 bytes of the model file, compared exactly with the models it knows).
#include "probe.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <linux/videodev2.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "bio_common/unique_fd.h"

namespace bio_host {
namespace {

// The ioctl, repeated while a signal interrupts it; errno tells a failure.
int request(int fd, unsigned long number, void* argument) {
    int result = 0;
    do {
        result = ::ioctl(fd, number, argument);
    } while (result == -1 && errno == EINTR);
    return result;
}

std::string fourcc_text(std::uint32_t code) {
    std::string text;
    for (int shift = 0; shift < 32; shift += 8) {
        const char c = static_cast<char>((code >> shift) & 0xff);
        text += c >= 0x20 && c < 0x7f ? c : '?';
    }
    return text;
}

std::string capability_names(std::uint32_t caps) {
    const std::pair<std::uint32_t, const char*> names[] = {
        {V4L2_CAP_VIDEO_CAPTURE, "video-capture"}, {V4L2_CAP_VIDEO_CAPTURE_MPLANE, "video-capture-mplane"},
        {V4L2_CAP_READWRITE, "read-write"},       {V4L2_CAP_STREAMING, "streaming"},
        {V4L2_CAP_DEVICE_CAPS, "device-caps"}};
    std::string text;
    for (const auto& [bit, name] : names) {
        if ((caps & bit) != 0) {
            text += (text.empty() ? "" : ", ") + std::string(name);
        }
    }
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08x", caps);
    return (text.empty() ? "none" : text) + " (" + hex + ")";
}

std::string c_text(const unsigned char* bytes, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(bytes), strnlen(reinterpret_cast<const char*>(bytes), size));
}

// The device's identity and capabilities.
void query_capabilities(int fd, ProbeReport& report) {
    v4l2_capability cap{};
    if (request(fd, VIDIOC_QUERYCAP, &cap) != 0) {
        const std::string why = std::strerror(errno);
        report.text += "  not a V4L2 device (VIDIOC_QUERYCAP: " + why + ")\n";
        report.json["device"]["error"] = "VIDIOC_QUERYCAP: " + why;
        return;
    }
    const std::uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) != 0 ? cap.device_caps : cap.capabilities;
    char version[32];
    std::snprintf(version, sizeof version, "%u.%u.%u", cap.version >> 16, (cap.version >> 8) & 0xff, cap.version & 0xff);
    report.text += "  driver " + c_text(cap.driver, sizeof cap.driver) + " " + version + ", card \"" +
                   c_text(cap.card, sizeof cap.card) + "\", bus " + c_text(cap.bus_info, sizeof cap.bus_info) +
                   "\n  capabilities: " + capability_names(caps) + "\n";
    report.json["device"].update(Json{{"driver", c_text(cap.driver, sizeof cap.driver)},
                                      {"card", c_text(cap.card, sizeof cap.card)},
                                      {"bus_info", c_text(cap.bus_info, sizeof cap.bus_info)},
                                      {"version", version},
                                      {"capabilities", caps}});
}

// The capture formats the driver lists, with their discrete frame sizes, and the current one.
void query_formats(int fd, ProbeReport& report) {
    Json formats = Json::array();
    v4l2_fmtdesc description{};
    description.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (; request(fd, VIDIOC_ENUM_FMT, &description) == 0; ++description.index) {
        Json sizes = Json::array();
        std::string sizes_text;
        v4l2_frmsizeenum size{};
        size.pixel_format = description.pixelformat;
        for (; request(fd, VIDIOC_ENUM_FRAMESIZES, &size) == 0 && size.type == V4L2_FRMSIZE_TYPE_DISCRETE;
             ++size.index) {
            sizes.push_back(std::to_string(size.discrete.width) + "x" + std::to_string(size.discrete.height));
            sizes_text += " " + sizes.back().get<std::string>();
        }
        const std::string name = fourcc_text(description.pixelformat);
        report.text += "  format " + name + " (" + c_text(description.description, sizeof description.description) +
                       ")" + sizes_text + "\n";
        formats.push_back(Json{{"fourcc", name},
                               {"description", c_text(description.description, sizeof description.description)},
                               {"sizes", sizes}});
    }
    if (description.index == 0) {
        const std::string why = std::strerror(errno);
        report.text += "  formats: not listed by the driver (VIDIOC_ENUM_FMT: " + why + ")\n";
        report.json["device"]["formats_error"] = "VIDIOC_ENUM_FMT: " + why;
    }
    report.json["device"]["formats"] = formats;
    v4l2_format current{};
    current.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (request(fd, VIDIOC_G_FMT, &current) == 0) {
        const v4l2_pix_format& pix = current.fmt.pix;
        report.text += "  current format: " + std::to_string(pix.width) + "x" + std::to_string(pix.height) + " " +
                       fourcc_text(pix.pixelformat) + ", " + std::to_string(pix.bytesperline) + " bytes per line, " +
                       std::to_string(pix.sizeimage) + " bytes per frame\n";
        report.json["device"]["current"] = Json{{"width", pix.width},
                                                {"height", pix.height},
                                                {"fourcc", fourcc_text(pix.pixelformat)},
                                                {"bytesperline", pix.bytesperline},
                                                {"sizeimage", pix.sizeimage}};
    } else {
        report.text += "  current format: unknown (VIDIOC_G_FMT: " + std::string(std::strerror(errno)) + ")\n";
    }
}

bool file_exists(const std::string& path) {
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0;
}

// The identification as the module makes it: fp_reader_path, or the board's fixed path when it
// names no file; at most 19 bytes read once, taken exactly.
void identify_sensor(const std::string& fp_reader_path, ProbeReport& report) {
    const std::string path = file_exists(fp_reader_path) ? fp_reader_path
                             : file_exists(default_model_path) ? default_model_path
                                                               : std::string();
    Json& sensor = report.json["sensor"] = Json{{"path", path}};
    if (path.empty()) {
        report.text += "sensor: none found (fp_reader_path '" + fp_reader_path + "' and " + default_model_path +
                       " do not exist): the module would fail with \"No expected i2c fingerprint device is present\"\n";
        sensor["error"] = "No expected i2c fingerprint device is present";
        return;
    }
    const bio_common::unique_fd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    char bytes[19];
    const ssize_t got = file ? ::read(file.get(), bytes, sizeof bytes) : -1;
    if (got <= 0) {
        const std::string why = got == 0 ? "it is empty" : std::strerror(errno);
        report.text += "sensor: cannot read the model from " + path + ": " + why + "\n";
        sensor["error"] = why;
        return;
    }
    const std::string model(bytes, static_cast<std::size_t>(got));
    sensor["model"] = model;
    const SensorModel* known = find_sensor_model(model);
    sensor["known"] = known != nullptr;
    const std::string quoted = Json(model).dump();
    if (known == nullptr) {
        report.text += "sensor: " + quoted + " from " + path +
                       ", a model the module does not know: no var_min default, empty images\n";
        return;
    }
    sensor["var_min_default"] = known->var_min_default;
    sensor["image"] = {{"width", known->image_width}, {"height", known->image_height}};
    report.text += "sensor: " + quoted + " from " + path + " (var_min default " +
                   std::to_string(known->var_min_default) + ", corrected image " + std::to_string(known->image_width) +
                   "x" + std::to_string(known->image_height) + ")\n";
}

}  // namespace

const SensorModel* find_sensor_model(const std::string& name) {
    for (const SensorModel& model : sensor_models) {
        if (name == model.name) {
            return &model;
        }
    }
    return nullptr;
}

void warn_unknown_model(const std::string& model) {
    if (find_sensor_model(model) == nullptr) {
        std::fprintf(stderr,
                     "bio-host: warning: the module knows no sensor model %s (only GC0307, GC0328 and GC032A): "
                     "it applies no var_min default and publishes empty (0x0) images\n",
                     Json(model).dump().c_str());
    }
}

ProbeReport probe_device(const std::string& device_path, const std::string& fp_reader_path) {
    const bio_common::unique_fd fd(::open(device_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        throw std::runtime_error("cannot open " + device_path + ": " + std::strerror(errno));
    }
    ProbeReport report{"device: " + device_path + "\n", Json{{"kind", "probe"}, {"device", {{"path", device_path}}}}};
    query_capabilities(fd.get(), report);
    query_formats(fd.get(), report);
    identify_sensor(fp_reader_path, report);
    report.text.pop_back();  // the printer ends the lines
    return report;
}

}  // namespace bio_host
