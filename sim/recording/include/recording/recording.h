// Recordings of raw frames: what bio-stream records from the debug stream and what the
// virtual sensor replays. Besides the frames, a recording keeps where frames were lost on the
// way and, when the frames came from the virtual sensor, the ground truth of each frame.
//
// File layout, version 2 (all integers little-endian):
//   header, 16 bytes: magic "BIOREC02" (8 bytes), uint32 frame size in bytes (614400),
//                     uint32 flags (bit 0: the frames carry ground truth)
//   then records, each opened by a 4-byte tag:
//     "FRAM" int32 score (the debug stream's header value), uint32 reserved (0),
//            uint64 time in microseconds after the recording began, the 16-byte truth,
//            then frame size bytes
//     "GAP " uint32 frames lost (0: not known), uint32 causes (bit mask of GapCause),
//            uint64 time in microseconds, int32 score of the lost frame, uint32 flags
//            (bit 0: the score is known)
//   truth, 16 bytes: uint8 flags (bit 0 known, bit 1 the finger touches the glass),
//            uint8 phase (Phase), uint16 contact (contact area over the full fingertip, in
//            1/10000), uint16 contrast (ridge contrast over the finger's full contrast, in
//            1/10000), uint16 reserved (0), uint32 touch number (from 1; 0: no touch),
//            uint32 the sensor's frame number (low 32 bits of its timeline count)
// Version 1 ("BIOREC01", still read) has no tags: after the same header (flags 0) each frame is
// an int32 score and frame size bytes, with neither time, truth nor gaps.
//
// A file ending inside a record is truncated: the reader stops before the partial record. An
// empty file (the recorder was killed before it wrote anything) holds no frame.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace recording {

constexpr char magic_v1[8] = {'B', 'I', 'O', 'R', 'E', 'C', '0', '1'};
constexpr char magic[8] = {'B', 'I', 'O', 'R', 'E', 'C', '0', '2'};
constexpr std::uint32_t raw_frame_bytes = 614400;
constexpr std::size_t truth_bytes = 16;

// Where a touch is, as the sensor that made the frame knows it.
enum class Phase : std::uint8_t {
    none = 0,      // no finger near the glass
    approach = 1,  // a finger (or a hand's shadow) above the glass, not touching
    press = 2,     // contact growing as the pressure rises
    hold = 3,      // full contact (tremor and sliding included)
    lift = 4,      // contact shrinking as the finger leaves
};
const char* phase_name(Phase phase);

// The ground truth of one frame. `known` is false for frames whose truth nobody knows (a real
// sensor, or a frame the truth of which was lost).
struct Truth {
    bool known = false;
    bool contact = false;
    Phase phase = Phase::none;
    std::uint16_t contact_permyriad = 0;   // contact area / full fingertip area, x 10000
    std::uint16_t contrast_permyriad = 0;  // ridge contrast / the finger's full contrast, x 10000
    std::uint32_t touch = 0;               // touch number from 1; 0 between touches
    std::uint32_t sensor_frame = 0;        // the sensor's frame number (low 32 bits)

    bool operator==(const Truth& other) const;
    bool operator!=(const Truth& other) const { return !(*this == other); }
};
void encode_truth(const Truth& truth, unsigned char out[truth_bytes]);
// Reads 16 bytes as written by encode_truth (unknown phases read as none).
Truth decode_truth(const unsigned char in[truth_bytes]);

// Why frames are missing at a gap; several may hold at once.
enum GapCause : std::uint32_t {
    gap_socket_drop = 1u << 0,    // the receiver's socket overflowed and the kernel dropped datagrams
    gap_cut_short = 1u << 1,      // a frame arrived incomplete
    gap_payload_lost = 1u << 2,   // a frame's header arrived alone where a picture was expected
    gap_late = 1u << 3,           // frames missing by arrival time (no header seen at all)
};

struct Gap {
    std::uint32_t frames_lost = 0;  // 0: not known
    std::uint32_t causes = 0;       // GapCause bits
    std::uint64_t time_us = 0;
    bool score_known = false;
    std::int32_t score = 0;
};

struct Frame {
    std::int32_t score = 0;
    std::vector<unsigned char> bytes;  // raw_frame_bytes
    std::uint64_t time_us = 0;         // 0 in version 1 recordings
    Truth truth;
};

// One record: a frame, or a gap where frames were lost.
struct Record {
    enum class Kind { frame, gap } kind = Kind::frame;
    Frame frame;  // when kind is frame
    Gap gap;      // when kind is gap
};

// Appends frames and gaps to a new file, readable and writable by its owner only (fingerprint
// content). The header and each whole record are handed to the kernel before the call returns,
// so a recorder killed at any moment leaves every record it appended. A symbolic link at the
// path is refused, never followed. Throws std::runtime_error naming the path on failure.
class Writer {
public:
    // `with_truth`: the frames carry ground truth (the header says so). Otherwise the header comes to
    // say so when the first frame whose truth is known is appended (a receiver of the stream learns
    // only then whether a sensor sends truth); the frames before it read as of unknown truth.
    explicit Writer(const std::string& path, bool with_truth = false);
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void append(std::int32_t score, const unsigned char* frame, std::uint64_t time_us = 0,
                const Truth& truth = Truth{});
    void append_gap(const Gap& gap);
    std::size_t frames() const noexcept { return frames_; }
    std::size_t gaps() const noexcept { return gaps_; }
    void close();

private:
    void write_record(iovec* parts, int count, const std::string& what);

    int fd_ = -1;
    std::string path_;
    bool with_truth_ = false;
    std::size_t frames_ = 0;
    std::size_t gaps_ = 0;
};

// Reads records in order, from either version. Throws std::runtime_error naming the path and
// the problem (unreadable, not a regular file, bad magic, unexpected frame size, unknown record);
// an empty file reads as no frame.
class Reader {
public:
    explicit Reader(const std::string& path);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // The next frame, passing over gaps. False at the end (a truncated last record counts as the
    // end).
    bool next(Frame& frame);
    // The next frame or gap. False at the end.
    bool next(Record& record);
    // Starts again at the first record.
    void rewind();

    int version() const noexcept { return version_; }  // 1 or 2; 2 for an empty file
    bool carries_truth() const noexcept { return with_truth_; }
    // After next() answered false: the file ended inside a record (the recorder was killed while
    // it wrote), `partial_bytes` bytes into it.
    bool ended_inside_record() const noexcept { return partial_bytes_ != 0; }
    std::size_t partial_bytes() const noexcept { return partial_bytes_; }

private:
    bool read_exactly(unsigned char* out, std::size_t length, std::size_t& got);
    bool end_inside(std::size_t bytes_of_record);

    std::FILE* file_ = nullptr;
    std::string path_;
    int version_ = 2;
    bool with_truth_ = false;
    std::size_t partial_bytes_ = 0;
};

// The ground truth of frames the virtual sensor makes travels beside the debug stream as one UDP
// datagram per frame, 32 bytes: magic "BIOTRUTH" (8 bytes), uint64 frame hash (frame_hash of the
// frame's bytes as the sensor filled them; a raw stream carries the same bytes, so a receiver
// finds each frame's truth by hashing it), the 16-byte truth.
constexpr char truth_magic[8] = {'B', 'I', 'O', 'T', 'R', 'U', 'T', 'H'};
constexpr std::size_t truth_datagram_bytes = 32;
void encode_truth_datagram(std::uint64_t frame_hash, const Truth& truth,
                           unsigned char out[truth_datagram_bytes]);
// False when `data` is not a truth datagram.
bool decode_truth_datagram(const unsigned char* data, std::size_t length, std::uint64_t& frame_hash,
                           Truth& truth);
// FNV-1a (64 bits) of the bytes.
std::uint64_t frame_hash(const unsigned char* frame, std::size_t length);

}  // namespace recording
