// Reassembly of the debug stream's datagrams into frames.
#include "reassembler.h"

#include <algorithm>
#include <limits>
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

std::size_t datagrams_of(Kind kind) noexcept {
    constexpr std::size_t slice = slice_bytes;
    switch (kind) {
        case Kind::header:
            return 1;
        case Kind::raw:
            return 1 + (raw_bytes + slice - 1) / slice;
        case Kind::grey_260x350:
            return 1 + (grey_350_bytes + slice - 1) / slice;
        case Kind::grey_260x320:
            return 1 + (grey_320_bytes + slice - 1) / slice;
    }
    return 1;
}

Reassembler::Reassembler(FrameHandler on_frame, CutShortHandler on_cut_short)
    : on_frame_(std::move(on_frame)), on_cut_short_(std::move(on_cut_short)) {
    current_.bytes.reserve(raw_bytes);
}

void Reassembler::feed(const unsigned char* data, std::size_t size, const Arrival& arrival) {
    bytes_ += size;
    datagrams_ += headers_seen_ ? arrival.dropped_before : 0;
    if (arrival.dropped_before != 0) {
        segment_dropped_ += arrival.dropped_before;
        damaged_ = damaged_ || open_;
    }
    if (size == header_datagram_bytes) {
        std::uint32_t loss = 0;
        const std::uint32_t missing = end_segment(arrival.seconds, loss);
        // The sender puts the score in its own byte order, which is little-endian.
        const std::uint32_t value =
            static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8 |
            static_cast<std::uint32_t>(data[2]) << 16 | static_cast<std::uint32_t>(data[3]) << 24;
        open_ = true;
        damaged_ = false;
        started_ += std::uint64_t{missing} + 1;
        current_.number = started_;
        current_.score = static_cast<std::int32_t>(value);
        current_.kind = Kind::header;
        current_.bytes.clear();
        current_.seconds = arrival.seconds;
        current_.missing_before = missing;
        current_.loss = loss;
        received_ = 0;
        headers_seen_ = true;
        ++datagrams_;
        last_header_ = arrival.seconds;
        segment_dropped_ = 0;
        segment_stray_ = 0;
        return;
    }
    datagrams_ += size != 0 && headers_seen_;
    if (!stream_) {
        // The last slice of each kind of picture has a length of its own.
        for (const std::size_t length : {raw_bytes, grey_350_bytes, grey_320_bytes}) {
            if (size == length % slice_bytes) {
                stream_ = kind_of_length(length);
            }
        }
    }
    if (!open_) {
        ++stray_;
        segment_stray_ += headers_seen_;
        return;
    }
    // Nothing longer than a raw frame is kept: such a frame can only end cut short.
    const std::size_t room = raw_bytes - std::min(received_, raw_bytes);
    current_.bytes.insert(current_.bytes.end(), data, data + std::min(size, room));
    received_ += size;
    if (received_ == 0 || damaged_) {
        return;  // an empty datagram adds nothing; a frame that lost datagrams is never whole
    }
    if (const std::optional<Kind> kind = kind_of_length(received_)) {
        current_.kind = *kind;
        open_ = false;
        ++frames_;
        stream_ = *kind;
        on_frame_(current_);
    }
}

std::uint64_t Reassembler::finish(std::uint64_t dropped) {
    segment_dropped_ += dropped;
    datagrams_ += headers_seen_ ? dropped : 0;
    damaged_ = damaged_ || (open_ && dropped != 0);
    std::uint32_t loss = 0;
    const std::uint32_t missing = end_segment(last_header_, loss);
    segment_dropped_ = 0;
    return missing;
}

std::uint32_t Reassembler::end_segment(double now, std::uint32_t& loss) {
    if (!headers_seen_) {
        return 0;  // what came before the first header is not known
    }
    segment_cut_ = open_ && received_ != 0;
    if (open_) {
        open_ = false;
        const bool pictures = stream_ ? *stream_ != Kind::header : segment_dropped_ != 0;
        if (received_ == 0 && !pictures) {
            current_.kind = Kind::header;
            ++frames_;
            stream_ = Kind::header;
            on_frame_(current_);
        } else {
            const State state = received_ == 0 ? State::payload_lost : State::cut_short;
            ++(state == State::cut_short ? cut_short_ : payload_lost_);
            on_cut_short_(CutShort{current_.number, current_.score, received_, state, stream_, current_.seconds,
                                   current_.missing_before, current_.loss});
        }
    }
    std::uint64_t missing = 0;
    const double since = now - last_header_;
    if (segment_dropped_ != 0) {
        // Every datagram sent since the first header arrived or was dropped: whole frames' worth of them,
        // but for a few out of order (the sender's datagrams may pass each other between processors).
        const std::uint64_t per_frame = stream_ ? datagrams_of(*stream_) : 0;
        const std::uint64_t sent = per_frame != 0 ? (datagrams_ + per_frame / 2) / per_frame : 0;
        missing = sent > started_ ? sent - started_ : 0;
        loss = missing != 0 ? std::uint32_t{loss_dropped} : 0;
    } else if (since > 0) {
        // A late header alone is a pause of the sender: frames count as missing by time only where the
        // segment shows a loss on the way (payload outside any frame, or a frame cut short).
        if (interval_ > 0.005 && since > 1.5 * interval_ && (segment_stray_ != 0 || segment_cut_)) {
            missing = static_cast<std::uint64_t>(since / interval_ + 0.5) - 1;
            loss = loss_late;
        }
        // A pause counts at most twice the interval so far: a stream that comes in bursts keeps the rate
        // of its bursts, a stream that slows down is followed within some twenty frames.
        if (missing == 0) {
            interval_ = interval_ == 0 ? since : interval_ + (std::min(since, 2 * interval_) - interval_) / 8;
        }
    }
    missing = std::min<std::uint64_t>(missing, std::numeric_limits<std::uint32_t>::max());
    missing_ += missing;
    return static_cast<std::uint32_t>(missing);
}

}  // namespace bio_stream
