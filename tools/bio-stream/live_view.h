// bio-stream's page (--http): a small web server that shows the stream live in a browser: the
// latest frame, the score of every frame, the touches the detector would find at a var_min the
// user tries, the score histogram and the receiver's counters. It serves live fingerprints, so it
// answers only requests addressed to itself and bounds what any client can take.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

#include "reassembler.h"
#include "score_log.h"

namespace bio_stream {

// The receiver's counters the page shows.
struct Counts {
    std::uint64_t frames = 0;
    std::uint64_t cut_short = 0;
    std::uint64_t stray = 0;    // payload datagrams outside any frame
    std::uint64_t foreign = 0;  // datagrams from an address other than --from's, dropped
    std::uint64_t payload_lost = 0;    // frames whose header came alone in a stream of pictures
    std::uint64_t missing = 0;         // frames lost whole: no header came
    std::uint64_t kernel_dropped = 0;  // datagrams the kernel dropped on the socket
};

// How the stream's scores were measured, when bio-stream was told (--bsize, --step): the page labels
// its replays and its var_min suggestion with them. 0: not given.
struct ScoreSettings {
    int bsize = 0;
    int step = 0;
};

class PageServer;

class LiveView {
public:
    // Serves the page at `where`, "[ADDR:]PORT" (ADDR an IPv4 address, 127.0.0.1 when left out;
    // PORT 0 picks a free port) on a thread of its own, keeping the latest `scores_kept` scores, and
    // prints to `out` the line "bio-stream: page on http://ADDR:PORT/". Bound to an address outside
    // 127.0.0.0/8 it asks every request for a random token, printed in that line as "?token=..."
    // (one line per address of the machine when ADDR is 0.0.0.0). Throws std::runtime_error when
    // `where` is malformed or the address cannot be bound.
    LiveView(const std::string& where, std::ostream& out, std::size_t scores_kept = default_scores_kept,
             ScoreSettings settings = {});
    // Stops serving at once, whatever the clients do: open connections are closed.
    ~LiveView();
    LiveView(const LiveView&) = delete;
    LiveView& operator=(const LiveView&) = delete;

    // Called by the receive loop. None of these waits for a browser: the page gets a frame's picture
    // when it asks, from the latest frames' and the best frame of each of the latest touches; older
    // pictures are dropped. `truth`: the sensor's truth of the frame, as ScoreLog::Entry::truth.
    void frame(const Frame& frame, std::uint8_t truth = 0);
    void cut_short(const CutShort& frame);
    void counters(const Counts& counts) noexcept;

private:
    std::unique_ptr<PageServer> server_;
};

}  // namespace bio_stream
