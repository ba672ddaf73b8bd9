// Recordings of raw frames: the writer bio-stream records with and the reader the virtual
// sensor and bio-tune read from. Integers are put on disk byte by byte, least significant first,
// so a recording made on the board reads the same on a desktop.
#include "recording/recording.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "bio_common/file_kind.h"

namespace recording {

namespace {

constexpr std::size_t header_bytes = 16;
constexpr std::size_t tag_bytes = 4;
constexpr std::size_t v1_score_bytes = 4;
// After the tag: score, reserved, time, truth.
constexpr std::size_t frame_prefix_bytes = 4 + 4 + 8 + truth_bytes;
// After the tag: frames lost, causes, time, score, flags.
constexpr std::size_t gap_bytes = 4 + 4 + 8 + 4 + 4;
constexpr char frame_tag[tag_bytes] = {'F', 'R', 'A', 'M'};
constexpr char gap_tag[tag_bytes] = {'G', 'A', 'P', ' '};
constexpr std::uint32_t flag_truth = 1u << 0;
constexpr std::uint8_t truth_known = 1u << 0;
constexpr std::uint8_t truth_contact = 1u << 1;

void put_u16(unsigned char* out, std::uint16_t value) {
    out[0] = static_cast<unsigned char>(value);
    out[1] = static_cast<unsigned char>(value >> 8);
}

void put_u32(unsigned char* out, std::uint32_t value) {
    put_u16(out, static_cast<std::uint16_t>(value));
    put_u16(out + 2, static_cast<std::uint16_t>(value >> 16));
}

void put_u64(unsigned char* out, std::uint64_t value) {
    put_u32(out, static_cast<std::uint32_t>(value));
    put_u32(out + 4, static_cast<std::uint32_t>(value >> 32));
}

std::uint16_t get_u16(const unsigned char* in) {
    return static_cast<std::uint16_t>(in[0] | in[1] << 8);
}

std::uint32_t get_u32(const unsigned char* in) {
    return static_cast<std::uint32_t>(get_u16(in)) | static_cast<std::uint32_t>(get_u16(in + 2)) << 16;
}

std::uint64_t get_u64(const unsigned char* in) {
    return static_cast<std::uint64_t>(get_u32(in)) | static_cast<std::uint64_t>(get_u32(in + 4)) << 32;
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

const char* phase_name(Phase phase) {
    switch (phase) {
        case Phase::none:
            return "none";
        case Phase::approach:
            return "approach";
        case Phase::press:
            return "press";
        case Phase::hold:
            return "hold";
        case Phase::lift:
            return "lift";
    }
    return "none";
}

bool Truth::operator==(const Truth& other) const {
    return known == other.known && contact == other.contact && phase == other.phase &&
           contact_permyriad == other.contact_permyriad && contrast_permyriad == other.contrast_permyriad &&
           touch == other.touch && sensor_frame == other.sensor_frame;
}

void encode_truth(const Truth& truth, unsigned char out[truth_bytes]) {
    out[0] = static_cast<unsigned char>((truth.known ? truth_known : 0) | (truth.contact ? truth_contact : 0));
    out[1] = static_cast<unsigned char>(truth.phase);
    put_u16(out + 2, truth.contact_permyriad);
    put_u16(out + 4, truth.contrast_permyriad);
    put_u16(out + 6, 0);
    put_u32(out + 8, truth.touch);
    put_u32(out + 12, truth.sensor_frame);
}

Truth decode_truth(const unsigned char in[truth_bytes]) {
    Truth truth;
    truth.known = (in[0] & truth_known) != 0;
    truth.contact = (in[0] & truth_contact) != 0;
    truth.phase = in[1] <= static_cast<unsigned char>(Phase::lift) ? static_cast<Phase>(in[1]) : Phase::none;
    truth.contact_permyriad = get_u16(in + 2);
    truth.contrast_permyriad = get_u16(in + 4);
    truth.touch = get_u32(in + 8);
    truth.sensor_frame = get_u32(in + 12);
    return truth;
}

void encode_truth_datagram(std::uint64_t hash, const Truth& truth, unsigned char out[truth_datagram_bytes]) {
    std::memcpy(out, truth_magic, sizeof truth_magic);
    put_u64(out + 8, hash);
    encode_truth(truth, out + 16);
}

bool decode_truth_datagram(const unsigned char* data, std::size_t length, std::uint64_t& hash, Truth& truth) {
    if (length != truth_datagram_bytes || std::memcmp(data, truth_magic, sizeof truth_magic) != 0) {
        return false;
    }
    hash = get_u64(data + 8);
    truth = decode_truth(data + 16);
    return true;
}

std::uint64_t frame_hash(const unsigned char* frame, std::size_t length) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (std::size_t i = 0; i < length; ++i) {
        hash = (hash ^ frame[i]) * 0x100000001b3ull;
    }
    return hash;
}

Writer::Writer(const std::string& path, bool with_truth) : path_(path), with_truth_(with_truth) {
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
    put_u32(header + 12, with_truth ? flag_truth : 0);
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

void Writer::write_record(iovec* parts, int count, const std::string& what) {
    if (fd_ == -1) {
        fail(path_, "append after close");
    }
    if (!write_all(fd_, parts, count)) {
        fail_errno(path_, "cannot write " + what);
    }
}

void Writer::append(std::int32_t score, const unsigned char* frame, std::uint64_t time_us, const Truth& truth) {
    unsigned char prefix[tag_bytes + frame_prefix_bytes] = {};
    std::memcpy(prefix, frame_tag, tag_bytes);
    put_u32(prefix + 4, static_cast<std::uint32_t>(score));
    put_u64(prefix + 12, time_us);
    encode_truth(truth, prefix + 20);
    iovec parts[2] = {{prefix, sizeof prefix}, {const_cast<unsigned char*>(frame), raw_frame_bytes}};
    write_record(parts, 2, "frame " + std::to_string(frames_ + 1));
    ++frames_;
    if (truth.known && !with_truth_) {
        // The header's flags, rewritten in place; a pipe (no place to write at) goes without.
        unsigned char flags[4];
        put_u32(flags, flag_truth);
        if (::pwrite(fd_, flags, sizeof flags, 12) != static_cast<ssize_t>(sizeof flags) && errno != ESPIPE) {
            fail_errno(path_, "cannot write the header");
        }
        with_truth_ = true;
    }
}

void Writer::append_gap(const Gap& gap) {
    unsigned char record[tag_bytes + gap_bytes] = {};
    std::memcpy(record, gap_tag, tag_bytes);
    put_u32(record + 4, gap.frames_lost);
    put_u32(record + 8, gap.causes);
    put_u64(record + 12, gap.time_us);
    put_u32(record + 20, static_cast<std::uint32_t>(gap.score));
    put_u32(record + 24, gap.score_known ? 1u : 0u);
    iovec part{record, sizeof record};
    write_record(&part, 1, "gap " + std::to_string(gaps_ + 1));
    ++gaps_;
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
    // Opened without waiting (a FIFO would block here), then refused unless a regular file.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) {
        fail_errno(path_, "cannot open");
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const std::string kind = bio_common::file_kind(info.st_mode);
        ::close(fd);
        fail(path_, "cannot read " + kind + " as a recording");
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    file_ = ::fdopen(fd, "rb");
    if (file_ == nullptr) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        fail_errno(path_, "cannot open");
    }
    unsigned char header[header_bytes];
    const std::size_t got = std::fread(header, 1, sizeof header, file_);
    std::string problem;
    if (got == 0 && !std::ferror(file_)) {
        // An empty file: the recorder was killed before it wrote the header. No frame.
    } else if (got >= sizeof magic && std::memcmp(header, magic_v1, sizeof magic_v1) == 0) {
        version_ = 1;
    } else if (got < sizeof magic || std::memcmp(header, magic, sizeof magic) != 0) {
        problem = "bad magic (not a recording)";
    }
    if (problem.empty() && got != 0) {
        if (got < sizeof header) {
            problem = "truncated header";
        } else if (get_u32(header + 8) != raw_frame_bytes) {
            problem = "unexpected frame size " + std::to_string(get_u32(header + 8)) + " (expected " +
                      std::to_string(raw_frame_bytes) + ")";
        } else {
            with_truth_ = version_ == 2 && (get_u32(header + 12) & flag_truth) != 0;
        }
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

// Reads `length` bytes; false at the end of the file (`got` says how many came), throws on a
// read error.
bool Reader::read_exactly(unsigned char* out, std::size_t length, std::size_t& got) {
    const std::size_t now = std::fread(out, 1, length, file_);
    got += now;
    if (now == length) {
        return true;
    }
    if (std::ferror(file_)) {
        fail_errno(path_, "cannot read");
    }
    return false;
}

// A record cut off after `bytes_of_record` bytes (the recorder was killed inside it) is not a
// record. Stays at the end so that later calls keep answering false.
bool Reader::end_inside(std::size_t bytes_of_record) {
    partial_bytes_ = bytes_of_record;
    std::fseek(file_, 0, SEEK_END);
    return false;
}

bool Reader::next(Frame& frame) {
    Record record;
    while (next(record)) {
        if (record.kind == Record::Kind::frame) {
            frame = std::move(record.frame);
            return true;
        }
    }
    return false;
}

bool Reader::next(Record& record) {
    std::size_t got = 0;
    Frame& frame = record.frame;
    if (version_ == 1) {
        unsigned char score[v1_score_bytes];
        frame.bytes.resize(raw_frame_bytes);
        if (!read_exactly(score, sizeof score, got) || !read_exactly(frame.bytes.data(), raw_frame_bytes, got)) {
            return got == 0 ? false : end_inside(got);
        }
        record.kind = Record::Kind::frame;
        frame.score = static_cast<std::int32_t>(get_u32(score));
        frame.time_us = 0;
        frame.truth = Truth{};
        return true;
    }
    unsigned char tag[tag_bytes];
    if (!read_exactly(tag, sizeof tag, got)) {
        return got == 0 ? false : end_inside(got);
    }
    if (std::memcmp(tag, gap_tag, tag_bytes) == 0) {
        unsigned char body[gap_bytes];
        if (!read_exactly(body, sizeof body, got)) {
            return end_inside(got);
        }
        record.kind = Record::Kind::gap;
        record.gap.frames_lost = get_u32(body);
        record.gap.causes = get_u32(body + 4);
        record.gap.time_us = get_u64(body + 8);
        record.gap.score = static_cast<std::int32_t>(get_u32(body + 16));
        record.gap.score_known = (get_u32(body + 20) & 1u) != 0;
        return true;
    }
    if (std::memcmp(tag, frame_tag, tag_bytes) != 0) {
        fail(path_, "unknown record at byte " + std::to_string(std::ftell(file_) - static_cast<long>(tag_bytes)));
    }
    unsigned char prefix[frame_prefix_bytes];
    frame.bytes.resize(raw_frame_bytes);
    if (!read_exactly(prefix, sizeof prefix, got) || !read_exactly(frame.bytes.data(), raw_frame_bytes, got)) {
        return end_inside(got);
    }
    record.kind = Record::Kind::frame;
    frame.score = static_cast<std::int32_t>(get_u32(prefix));
    frame.time_us = get_u64(prefix + 8);
    frame.truth = decode_truth(prefix + 16);
    return true;
}

void Reader::rewind() {
    std::clearerr(file_);
    partial_bytes_ = 0;
    if (std::fseek(file_, static_cast<long>(header_bytes), SEEK_SET) != 0) {
        fail_errno(path_, "cannot rewind");
    }
}

}  // namespace recording
