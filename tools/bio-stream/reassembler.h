// Reassembly of the debug stream's datagrams into frames: a 4-byte datagram carries a frame's
// score and starts the frame; the payload datagrams that follow add up to the frame's kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace bio_stream {

// What a frame carries, told by its payload length.
enum class Kind {
    header,        // 0 bytes: only the score (grey stream of an unknown sensor)
    raw,           // 614400 bytes: 640 x 480 UYVY as captured
    grey_260x350,  // 91000 bytes: corrected image of a GC032A
    grey_260x320,  // 83200 bytes: corrected image of a GC0307 or GC0328
};

constexpr std::size_t raw_bytes = 614400;
constexpr std::size_t grey_350_bytes = 91000;
constexpr std::size_t grey_320_bytes = 83200;
constexpr std::size_t header_datagram_bytes = 4;

// "header", "raw", "grey-260x350", "grey-260x320".
const char* kind_name(Kind kind) noexcept;

// The kind whose payload is exactly `length` bytes, if any.
std::optional<Kind> kind_of_length(std::size_t length) noexcept;

// A whole frame.
struct Frame {
    std::uint64_t number = 0;  // 1, 2, ... in the order the frames' headers arrived
    std::int32_t score = 0;
    Kind kind = Kind::header;
    std::vector<unsigned char> bytes;  // the payload, as long as the kind says
};

// A frame that ended before its bytes added up to a known kind.
struct CutShort {
    std::uint64_t number = 0;
    std::int32_t score = 0;
    std::size_t bytes = 0;  // payload bytes that did arrive
};

// Turns datagrams, in arrival order, into frames. The rules:
// - A 4-byte datagram is a header: it starts a new frame with its value as the score
//   (least significant byte first).
// - Other datagrams are payload of the open frame. The frame is whole when its payload
//   reaches 614400, 91000 or 83200 bytes exactly (no partial sum of one kind, as the module
//   slices it, equals the length of another).
// - A header that arrives while a frame is open ends that frame: if no payload came after
//   its header, it was a header-only frame (kind "header", 0 bytes) and is whole; otherwise
//   it is cut short and never reported as whole.
// - A payload datagram without an open frame (the receiver started in the middle of a
//   frame, or a frame ran on past its kind) is counted as stray and dropped.
// - finish() ends the open frame by the same rule as a header would.
// A payload slice of exactly 4 bytes would read as a header; the module never sends one.
class Reassembler {
public:
    using FrameHandler = std::function<void(const Frame&)>;
    using CutShortHandler = std::function<void(const CutShort&)>;

    Reassembler(FrameHandler on_frame, CutShortHandler on_cut_short);

    // Takes one datagram; calls the handlers for the frames it ends.
    void feed(const unsigned char* data, std::size_t size);
    // Ends the open frame, if any, as a header arriving now would.
    void finish();

    std::uint64_t frames() const noexcept { return frames_; }
    std::uint64_t cut_short() const noexcept { return cut_short_; }
    std::uint64_t stray_datagrams() const noexcept { return stray_; }
    std::uint64_t bytes() const noexcept { return bytes_; }  // every datagram's bytes

private:
    void end_open_frame();

    FrameHandler on_frame_;
    CutShortHandler on_cut_short_;
    bool open_ = false;
    Frame current_;
    std::size_t received_ = 0;  // payload bytes of the open frame (those kept are capped)
    std::uint64_t started_ = 0;
    std::uint64_t frames_ = 0;
    std::uint64_t cut_short_ = 0;
    std::uint64_t stray_ = 0;
    std::uint64_t bytes_ = 0;
};

}  // namespace bio_stream
