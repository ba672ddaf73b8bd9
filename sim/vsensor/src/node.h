// The device node and the sysfs files of the emulated driver as the file system shows them: the
// node stats as a V4L2 character device, and the attributes a client reads for it (its uevent,
// name, index and dev under /sys/dev/char/81:<minor>/ and /sys/class/video4linux/<name>/, and
// the sensor's identification attribute when one is configured) open as read-only files with
// what the kernel would publish. Nothing here touches the real /sys.
#pragma once

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "vsensor/vsensor.h"

namespace vsensor::detail {

constexpr unsigned node_major = 81;  // the character major of every V4L2 node
constexpr unsigned node_minor = 200;

// What a stat call reports for a path or a descriptor of the sensor, in no particular layout.
struct NodeStat {
    std::uint32_t mode = 0;  // file type and permissions
    unsigned dev_major = 0, dev_minor = 0;
    std::uint64_t ino = 0;
    unsigned rdev_major = 0, rdev_minor = 0;
    std::int64_t size = 0;
    std::uint32_t uid = 0, gid = 0;
    std::int64_t seconds = 0;  // every time stamp: when the library was loaded
};

// What one path is to the sensor.
struct NodeEntry {
    enum class Kind {
        foreign,    // not the sensor's: the real file system answers
        device,     // the device node
        attribute,  // a read-only attribute file holding `content`
        missing     // under one of the node's sysfs directories, but nothing there (ENOENT)
    };
    Kind kind = Kind::foreign;
    std::string content;
};

NodeEntry lookup_node(const Config& config, const std::string& path);

// The stat of a node entry (not foreign).
NodeStat stat_of(const std::string& path, const NodeEntry& entry);

// Fills a libc stat structure of any layout (struct stat, stat64, the 64-bit-time one).
template <typename Stat>
void fill_stat(const NodeStat& node, Stat* out) {
    std::memset(out, 0, sizeof *out);
    out->st_dev = makedev(node.dev_major, node.dev_minor);
    out->st_ino = static_cast<decltype(out->st_ino)>(node.ino);
    out->st_mode = node.mode;
    out->st_nlink = 1;
    out->st_uid = node.uid;
    out->st_gid = node.gid;
    out->st_rdev = makedev(node.rdev_major, node.rdev_minor);
    out->st_size = static_cast<decltype(out->st_size)>(node.size);
    out->st_blksize = 4096;
    out->st_blocks = static_cast<decltype(out->st_blocks)>((node.size + 511) / 512);
    using seconds_type = decltype(out->st_mtim.tv_sec);
    out->st_atim.tv_sec = out->st_mtim.tv_sec = out->st_ctim.tv_sec = static_cast<seconds_type>(node.seconds);
}

void fill_statx(const NodeStat& node, struct statx* out);

#if __SIZEOF_LONG__ == 4
// The stat structure of a 32-bit client built with 64-bit time_t (filled in its own unit, which
// is built with that layout).
void fill_stat_time64(const NodeStat& node, void* out);
#endif

}  // namespace vsensor::detail
