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
constexpr std::size_t slice_bytes = 60000;  // the sender's payload datagrams, but for each frame's last

// "header", "raw", "grey-260x350", "grey-260x320".
const char* kind_name(Kind kind) noexcept;

// The kind whose payload is exactly `length` bytes, if any.
std::optional<Kind> kind_of_length(std::size_t length) noexcept;

// Datagrams a frame of this kind is sent as: its header and its 60000-byte slices.
std::size_t datagrams_of(Kind kind) noexcept;

// Why frames are missing just before a frame (bits, as a recording's gaps give them).
enum Loss : std::uint32_t {
    loss_dropped = 1u << 0,  // datagrams were dropped on the receiver's side (the kernel or bio-stream)
    loss_late = 1u << 3,     // by arrival time: no header came where the stream's rate wanted one
};

// What arrived of a frame whose header arrived.
enum class State : std::uint8_t {
    whole = 0,
    cut_short = 1,     // part of its payload
    payload_lost = 2,  // its header alone, where the stream carries pictures
};

// A whole frame.
struct Frame {
    std::uint64_t number = 0;  // 1, 2, ... in the order sent: frames missing before it take numbers too
    std::int32_t score = 0;
    Kind kind = Kind::header;
    std::vector<unsigned char> bytes;  // the payload, as long as the kind says
    double seconds = 0;                // arrival of its header
    std::uint32_t missing_before = 0;  // frames lost just before it whose headers never came
    std::uint32_t loss = 0;            // Loss bits of those
};

// A frame that ended before its bytes added up to a known kind, or whose payload was lost.
struct CutShort {
    std::uint64_t number = 0;
    std::int32_t score = 0;
    std::size_t bytes = 0;  // payload bytes that did arrive
    State state = State::cut_short;
    std::optional<Kind> expected;  // the stream's kind, when known
    double seconds = 0;
    std::uint32_t missing_before = 0;
    std::uint32_t loss = 0;
};

// How a datagram arrived.
struct Arrival {
    std::uint64_t dropped_before = 0;  // datagrams dropped on the receiver's side just before it
    double seconds = 0;                // when it arrived (any origin; only differences count)
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
//
// Losses: a frame that lost datagrams is never whole (however its remaining bytes add up). A
// header-only frame in a stream of pictures (its kind known from an earlier whole frame), or one
// after which datagrams were dropped, lost its payload. Frames whose headers never came are
// missing: where datagrams were dropped on the receiver's side, counted from the datagrams since
// the first header, arrived or dropped (each frame of the stream's kind is sent as
// datagrams_of(kind)), less the frames numbered so far; or, when none were but the frames
// show a loss on the way (payload outside any frame, a frame cut short), from the time since the
// last header, when that is more than 1.5 frame intervals of a stream paced at most 200 frames
// per second (a faster one comes in bursts and has no rate to go by). A late header alone is a
// pause of the sender, not a loss.
class Reassembler {
public:
    using FrameHandler = std::function<void(const Frame&)>;
    using CutShortHandler = std::function<void(const CutShort&)>;

    Reassembler(FrameHandler on_frame, CutShortHandler on_cut_short);

    // Takes one datagram; calls the handlers for the frames it ends.
    void feed(const unsigned char* data, std::size_t size, const Arrival& arrival = {});
    // Ends the open frame, if any, as a header arriving now would, after `dropped` more datagrams
    // were dropped; returns the frames missing at the end (counted in missing()).
    std::uint64_t finish(std::uint64_t dropped = 0);

    std::uint64_t frames() const noexcept { return frames_; }  // whole
    std::uint64_t cut_short() const noexcept { return cut_short_; }
    std::uint64_t payload_lost() const noexcept { return payload_lost_; }
    std::uint64_t missing() const noexcept { return missing_; }
    std::uint64_t started() const noexcept { return started_; }  // the latest frame's number
    std::optional<Kind> stream_kind() const noexcept { return stream_; }  // the latest whole frame's kind
    std::uint64_t stray_datagrams() const noexcept { return stray_; }
    std::uint64_t bytes() const noexcept { return bytes_; }  // every datagram's bytes

private:
    // Ends the open frame and returns the frames missing since its header (Loss bits in `loss`).
    std::uint32_t end_segment(double now, std::uint32_t& loss);

    FrameHandler on_frame_;
    CutShortHandler on_cut_short_;
    bool open_ = false;
    Frame current_;
    std::size_t received_ = 0;  // payload bytes of the open frame (those kept are capped)
    std::uint64_t started_ = 0;
    // Datagrams since the first header, those dropped included; since the last header: datagrams
    // dropped, payload outside any frame, whether the open frame lost any.
    std::uint64_t datagrams_ = 0;
    std::uint64_t segment_dropped_ = 0;
    std::uint64_t segment_stray_ = 0;
    bool segment_cut_ = false;  // the frame that ended it was cut short
    bool damaged_ = false;
    bool headers_seen_ = false;
    double last_header_ = 0;
    double interval_ = 0;           // between headers, averaged; 0 until known
    std::optional<Kind> stream_;    // the kind of the latest whole frame
    std::uint64_t frames_ = 0;
    std::uint64_t cut_short_ = 0;
    std::uint64_t payload_lost_ = 0;
    std::uint64_t missing_ = 0;
    std::uint64_t stray_ = 0;
    std::uint64_t bytes_ = 0;
};

}  // namespace bio_stream
