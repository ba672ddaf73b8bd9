// Reassembly of the debug stream's datagrams into frames.
#include "reassembler.h"

#include <algorithm>
#include <utility>

namespace bio_stream {

const char* kind_name(Kind kind) noexcept {
    switch (kind) {
        case Kind::header:
            return "header";
        case Kind::raw:
            return "raw";
        case Kind::grey_260x350:
            return "grey-260x350";
        case Kind::grey_260x320:
            return "grey-260x320";
    }
    return "?";
}

std::optional<Kind> kind_of_length(std::size_t length) noexcept {
    switch (length) {
        case 0:
            return Kind::header;
        case raw_bytes:
            return Kind::raw;
        case grey_350_bytes:
            return Kind::grey_260x350;
        case grey_320_bytes:
            return Kind::grey_260x320;
        default:
            return std::nullopt;
    }
}

Reassembler::Reassembler(FrameHandler on_frame, CutShortHandler on_cut_short)
    : on_frame_(std::move(on_frame)), on_cut_short_(std::move(on_cut_short)) {
    current_.bytes.reserve(raw_bytes);
}

void Reassembler::feed(const unsigned char* data, std::size_t size) {
    bytes_ += size;
    if (size == header_datagram_bytes) {
        end_open_frame();
        // The sender puts the score in its own byte order, which is little-endian.
        const std::uint32_t value =
            static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8 |
            static_cast<std::uint32_t>(data[2]) << 16 | static_cast<std::uint32_t>(data[3]) << 24;
        open_ = true;
        current_.number = ++started_;
        current_.score = static_cast<std::int32_t>(value);
        current_.kind = Kind::header;
        current_.bytes.clear();
        received_ = 0;
        return;
    }
    if (!open_) {
        ++stray_;
        return;
    }
    // Nothing longer than a raw frame is kept: such a frame can only end cut short.
    const std::size_t room = raw_bytes - std::min(received_, raw_bytes);
    current_.bytes.insert(current_.bytes.end(), data, data + std::min(size, room));
    received_ += size;
    if (received_ == 0) {
        return;  // an empty datagram adds nothing
    }
    if (const std::optional<Kind> kind = kind_of_length(received_)) {
        current_.kind = *kind;
        open_ = false;
        ++frames_;
        on_frame_(current_);
    }
}

void Reassembler::finish() {
    end_open_frame();
}

void Reassembler::end_open_frame() {
    if (!open_) {
        return;
    }
    open_ = false;
    if (received_ == 0) {
        current_.kind = Kind::header;
        ++frames_;
        on_frame_(current_);
        return;
    }
    ++cut_short_;
    on_cut_short_(CutShort{current_.number, current_.score, received_});
}

}  // namespace bio_stream
