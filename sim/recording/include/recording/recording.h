// Recordings of raw frames: what bio-stream records from the debug stream and what the
// virtual sensor replays.
//
// File layout (all integers little-endian):
//   header, 16 bytes: magic "BIOREC01" (8 bytes), uint32 frame size in bytes (614400),
//                     uint32 reserved (0)
//   then per frame:   int32 score (the debug stream's header value), frame size bytes
// A file ending inside a frame is truncated: the reader stops before the partial frame. An
// empty file (the recorder was killed before it wrote anything) holds no frame.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace recording {

constexpr char magic[8] = {'B', 'I', 'O', 'R', 'E', 'C', '0', '1'};
constexpr std::uint32_t raw_frame_bytes = 614400;

struct Frame {
    std::int32_t score = 0;
    std::vector<unsigned char> bytes;  // raw_frame_bytes
};

// Appends frames to a new file, readable and writable by its owner only (fingerprint
// content). The header and each whole frame are handed to the kernel before the call returns,
// so a recorder killed at any moment leaves every frame it appended. A symbolic link at the
// path is refused, never followed. Throws std::runtime_error naming the path on failure.
class Writer {
public:
    explicit Writer(const std::string& path);
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void append(std::int32_t score, const unsigned char* frame);
    std::size_t frames() const noexcept { return frames_; }
    void close();

private:
    int fd_ = -1;
    std::string path_;
    std::size_t frames_ = 0;
};

// Reads frames in order. Throws std::runtime_error naming the path and the problem
// (unreadable, bad magic, unexpected frame size); an empty file reads as no frame.
class Reader {
public:
    explicit Reader(const std::string& path);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // False at the end (a truncated last frame counts as the end).
    bool next(Frame& frame);
    // Starts again at the first frame.
    void rewind();

private:
    std::FILE* file_ = nullptr;
    std::string path_;
};

}  // namespace recording
