// PNG pictures of the debug stream's frames, for looking at what the reader saw.
#pragma once

#include <string>

#include "reassembler.h"

namespace bio_stream {

// Writes `frame` as an 8-bit grey PNG at `path`, a new file readable by its owner only (what
// was at the path, a planted link included, is removed, never written through): a raw frame as the
// 640 x 480 picture of its sampled bytes (pixel (x, y) = byte 2 * (x + 640 * y), the byte
// the module scores and corrects), a grey frame as its 260-column image. Returns false for
// a header-only frame, which has no picture, without touching the file. Throws
// std::ios_base::failure when the file cannot be written.
bool write_frame_png(const std::string& path, const Frame& frame);

}  // namespace bio_stream
