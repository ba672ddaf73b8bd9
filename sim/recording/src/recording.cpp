// Recordings of raw frames: the writer bio-stream records with and the reader the virtual
// sensor replays from. Integers are put on disk byte by byte, least significant first, so a
// recording made on the board reads the same on a desktop.
#include "recording/recording.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace recording {

namespace {

constexpr std::size_t header_bytes = 16;
constexpr std::size_t score_bytes = 4;

void put_u32(unsigned char* out, std::uint32_t value) {
    out[0] = static_cast<unsigned char>(value);
    out[1] = static_cast<unsigned char>(value >> 8);
    out[2] = static_cast<unsigned char>(value >> 16);
    out[3] = static_cast<unsigned char>(value >> 24);
}

std::uint32_t get_u32(const unsigned char* in) {
    return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
           static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}

[[noreturn]] void fail(const std::string& path, const std::string& what) {
    throw std::runtime_error("recording " + path + ": " + what);
}

[[noreturn]] void fail_errno(const std::string& path, const std::string& what) {
    fail(path, what + ": " + std::strerror(errno));
}

// Writes the `count` slices of `parts` whole, going on after a partial write or an interrupted
// call. False, with errno set, when the kernel refuses.
bool write_all(int fd, iovec* parts, int count) {
    while (count > 0) {
        const ssize_t wrote = ::writev(fd, parts, count);
        if (wrote < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        auto left = static_cast<std::size_t>(wrote);
        for (; count > 0 && left >= parts->iov_len; ++parts, --count) {
            left -= parts->iov_len;
        }
        if (count > 0) {
            parts->iov_base = static_cast<unsigned char*>(parts->iov_base) + left;
            parts->iov_len -= left;
        }
    }
    return true;
}

}  // namespace

Writer::Writer(const std::string& path) : path_(path) {
    // Frames are fingerprints: the file is its owner's only, whatever the umask, and a link
    // planted at the path is refused rather than followed.
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ == -1) {
        fail_errno(path_, "cannot create");
    }
    // An older recording replaced here becomes private too; a device (/dev/null) is left alone.
    struct stat info {};
    if (::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & 0777) != 0600) {
        ::fchmod(fd_, 0600);
    }
    unsigned char header[header_bytes] = {};
    std::memcpy(header, magic, sizeof magic);
    put_u32(header + 8, raw_frame_bytes);
    put_u32(header + 12, 0);
    iovec part{header, sizeof header};
    if (!write_all(fd_, &part, 1)) {
        const int saved = errno;
        ::close(std::exchange(fd_, -1));
        errno = saved;
        fail_errno(path_, "cannot write the header");
    }
}

Writer::~Writer() {
    if (fd_ != -1) {
        ::close(fd_);
    }
}

void Writer::append(std::int32_t score, const unsigned char* frame) {
    if (fd_ == -1) {
        fail(path_, "append after close");
    }
    unsigned char prefix[score_bytes];
    put_u32(prefix, static_cast<std::uint32_t>(score));
    iovec parts[2] = {{prefix, sizeof prefix}, {const_cast<unsigned char*>(frame), raw_frame_bytes}};
    if (!write_all(fd_, parts, 2)) {
        fail_errno(path_, "cannot write frame " + std::to_string(frames_ + 1));
    }
    ++frames_;
}

void Writer::close() {
    if (fd_ == -1) {
        return;
    }
    if (::close(std::exchange(fd_, -1)) != 0) {
        fail_errno(path_, "cannot close");
    }
}

Reader::Reader(const std::string& path) : path_(path) {
    file_ = std::fopen(path.c_str(), "rb");
    if (file_ == nullptr) {
        fail_errno(path_, "cannot open");
    }
    unsigned char header[header_bytes];
    const std::size_t got = std::fread(header, 1, sizeof header, file_);
    std::string problem;
    if (got == 0 && !std::ferror(file_)) {
        // An empty file: the recorder was killed before it wrote the header. No frame.
    } else if (got < sizeof magic || std::memcmp(header, magic, sizeof magic) != 0) {
        problem = "bad magic (not a recording)";
    } else if (got < sizeof header) {
        problem = "truncated header";
    } else if (get_u32(header + 8) != raw_frame_bytes) {
        problem = "unexpected frame size " + std::to_string(get_u32(header + 8)) + " (expected " +
                  std::to_string(raw_frame_bytes) + ")";
    }
    if (!problem.empty()) {
        std::fclose(file_);
        file_ = nullptr;
        fail(path_, problem);
    }
}

Reader::~Reader() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

bool Reader::next(Frame& frame) {
    unsigned char prefix[score_bytes];
    frame.bytes.resize(raw_frame_bytes);
    if (std::fread(prefix, 1, sizeof prefix, file_) != sizeof prefix ||
        std::fread(frame.bytes.data(), 1, raw_frame_bytes, file_) != raw_frame_bytes) {
        if (std::ferror(file_)) {
            fail_errno(path_, "cannot read");
        }
        // A recording cut off inside a frame (the recorder was killed): the partial frame
        // is not a frame. Stay at the end so that later calls keep answering false.
        std::fseek(file_, 0, SEEK_END);
        return false;
    }
    frame.score = static_cast<std::int32_t>(get_u32(prefix));
    return true;
}

void Reader::rewind() {
    std::clearerr(file_);
    if (std::fseek(file_, static_cast<long>(header_bytes), SEEK_SET) != 0) {
        fail_errno(path_, "cannot rewind");
    }
}

}  // namespace recording
