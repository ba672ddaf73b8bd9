// bio-stream's page (--http): a small web server that shows the stream live in a browser: the
// latest frame, the score of every frame, the touches the detector would find at a var_min the
// user tries, the score histogram and the receiver's counters.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

#include "reassembler.h"

namespace bio_stream {

class LiveView {
public:
    // Serves the page at `where`, "[ADDR:]PORT" (ADDR an IPv4 address, 127.0.0.1 when left out;
    // PORT 0 picks a free port) on threads of its own, and prints to `out` the line
    // "bio-stream: page on http://ADDR:PORT/". Throws std::runtime_error when `where` is malformed
    // or the address cannot be bound.
    LiveView(const std::string& where, std::ostream& out);
    // Stops serving: open pages lose their connection.
    ~LiveView();
    LiveView(const LiveView&) = delete;
    LiveView& operator=(const LiveView&) = delete;

    // Called by the receive loop. None of these waits for a browser: the page gets the latest frame
    // when it asks, and frames in between are never shown.
    void frame(const Frame& frame);
    void cut_short(const CutShort& frame);
    void counters(std::uint64_t frames, std::uint64_t cut_short, std::uint64_t stray) noexcept;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace bio_stream
