// The device node and its sysfs files (node.h): which paths are the sensor's and what they hold.
#include "node.h"

#include <unistd.h>

#include <ctime>

namespace vsensor::detail {

namespace {

const char* const card_name = "Virtual fingerprint sensor";

// The name the kernel gives the node (DEVNAME, and its directory under /sys/class/video4linux):
// "video" and its number, whatever path the device is configured at (as udev may link any name
// to a node).
std::string kernel_name() {
    return "video" + std::to_string(node_minor);
}

std::string node_number() {
    return std::to_string(node_major) + ":" + std::to_string(node_minor);
}

// The attribute `name` of the node's sysfs directory, or a missing entry.
NodeEntry attribute(const std::string& name) {
    std::string content;
    if (name == "uevent") {
        content = "MAJOR=" + std::to_string(node_major) + "\nMINOR=" + std::to_string(node_minor) +
                  "\nDEVNAME=" + kernel_name() + "\n";
    } else if (name == "name") {
        content = std::string(card_name) + "\n";
    } else if (name == "index") {
        content = "0\n";
    } else if (name == "dev") {
        content = node_number() + "\n";
    } else {
        return {NodeEntry::Kind::missing, {}};
    }
    return {NodeEntry::Kind::attribute, content};
}

// `path` names `directory` or something below it; `rest` receives what follows "directory/".
bool below(const std::string& path, const std::string& directory, std::string& rest) {
    if (path.compare(0, directory.size(), directory) != 0) {
        return false;
    }
    if (path.size() == directory.size()) {
        rest.clear();
        return true;
    }
    if (path[directory.size()] != '/') {
        return false;
    }
    rest = path.substr(directory.size() + 1);
    return true;
}

std::int64_t load_time() {
    static const std::int64_t seconds = static_cast<std::int64_t>(std::time(nullptr));
    return seconds;
}

}  // namespace

NodeEntry lookup_node(const Config& config, const std::string& path) {
    if (path == config.device_path) {
        return {NodeEntry::Kind::device, {}};
    }
    if (config.sensor_model && path == config.model_attribute_path) {
        return {NodeEntry::Kind::attribute, *config.sensor_model};
    }
    std::string rest;
    if (below(path, "/sys/dev/char/" + node_number(), rest) ||
        below(path, "/sys/class/video4linux/" + kernel_name(), rest)) {
        // The directories themselves are not emulated: a client lists or resolves them only to
        // find a media controller, which this driver does not have.
        return rest.empty() || rest.find('/') != std::string::npos ? NodeEntry{NodeEntry::Kind::missing, {}}
                                                                   : attribute(rest);
    }
    return {};
}

NodeStat stat_of(const std::string& path, const NodeEntry& entry) {
    NodeStat node;
    node.uid = static_cast<std::uint32_t>(getuid());
    node.gid = static_cast<std::uint32_t>(getgid());
    node.seconds = load_time();
    if (entry.kind == NodeEntry::Kind::device) {
        node.mode = S_IFCHR | 0660;
        node.dev_minor = 5;  // devtmpfs
        node.ino = 0x7600 + node_minor;
        node.rdev_major = node_major;
        node.rdev_minor = node_minor;
        return node;
    }
    // sysfs reports every attribute as one page long.
    node.mode = S_IFREG | 0444;
    node.dev_minor = 21;
    node.ino = std::hash<std::string>{}(path)&0xffffff;
    node.size = 4096;
    return node;
}

void fill_statx(const NodeStat& node, struct statx* out) {
    std::memset(out, 0, sizeof *out);
    out->stx_mask = STATX_BASIC_STATS;
    out->stx_blksize = 4096;
    out->stx_nlink = 1;
    out->stx_uid = node.uid;
    out->stx_gid = node.gid;
    out->stx_mode = static_cast<std::uint16_t>(node.mode);
    out->stx_ino = node.ino;
    out->stx_size = static_cast<std::uint64_t>(node.size);
    out->stx_blocks = static_cast<std::uint64_t>((node.size + 511) / 512);
    out->stx_atime.tv_sec = out->stx_btime.tv_sec = out->stx_ctime.tv_sec = out->stx_mtime.tv_sec =
        node.seconds;
    out->stx_rdev_major = node.rdev_major;
    out->stx_rdev_minor = node.rdev_minor;
    out->stx_dev_major = node.dev_major;
    out->stx_dev_minor = node.dev_minor;
}

}  // namespace vsensor::detail
