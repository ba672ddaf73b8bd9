// What kind of file a mode names, for messages that refuse one ("cannot read a FIFO as a recording").
#pragma once

#include <sys/stat.h>

namespace bio_common {

inline const char* file_kind(mode_t mode) noexcept {
    if (S_ISDIR(mode)) {
        return "a directory";
    }
    if (S_ISFIFO(mode)) {
        return "a FIFO";
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return "a device";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    return "not a regular file";
}

}  // namespace bio_common
