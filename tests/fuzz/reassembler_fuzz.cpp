// Fuzz target: bio-stream's reassembly of datagrams into frames. The input is a list of
// datagrams, each a 2-byte little-endian length and then its first bytes (zeros stand for those
// the input lacks), so that short inputs reach whole frames of 83200 to 614400 bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "reassembler.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace bio_stream;
    std::uint64_t whole = 0;
    std::uint64_t cut_short = 0;
    Reassembler reassembler(
        [&](const Frame& frame) {
            // A whole frame is exactly as long as its kind.
            if (kind_of_length(frame.bytes.size()) != frame.kind) {
                std::abort();
            }
            ++whole;
        },
        [&](const CutShort&) { ++cut_short; });
    // Zeros, but for the bytes an input gives, which are put back to zero after each datagram.
    static std::vector<unsigned char> datagram(65536);
    for (std::size_t at = 0; at + 2 <= size;) {
        const std::size_t length = data[at] | static_cast<std::size_t>(data[at + 1]) << 8;
        at += 2;
        const std::size_t given = std::min(length, size - at);
        std::copy(data + at, data + at + given, datagram.begin());
        at += given;
        reassembler.feed(datagram.data(), length);
        std::fill(datagram.begin(), datagram.begin() + static_cast<std::ptrdiff_t>(given), 0);
    }
    reassembler.finish();
    if (reassembler.frames() != whole || reassembler.cut_short() + reassembler.payload_lost() != cut_short) {
        std::abort();
    }
    return 0;
}
