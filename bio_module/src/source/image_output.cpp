// Image output: the PNG finger image file and the UDP debug stream.
#include "bio_module.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ios>
#include <iostream>
#include <memory>
#include <mutex>

#include "bio_common/unique_fd.h"

#include <boost/gil.hpp>
#include <boost/gil/extension/io/png.hpp>

namespace {

// Texts of the side outputs, kept together.
constexpr const char* text_png_open_failed = "file_stream_device: failed to open file";
constexpr const char* text_png_empty_view = "png format cannot handle empty views.";
constexpr const char* text_socket_failed = "socket error!";
constexpr const char* text_bad_address = "inet_aton() failed";
constexpr const char* text_send_failed = "Erro enviando";

// Row size of every grey image the module produces: 260 one-byte pixels, no gap.
constexpr std::ptrdiff_t grey_row_bytes = grey_width;

// The largest slice of a frame that goes out in one datagram; it stays below the largest
// UDP payload of one IPv4 datagram and is sent as IP fragments.
constexpr int udp_slice_bytes = 60000;

// The debug stream's frames so far (those whose header went out), and whether the host closed it. A frame
// goes out whole under the lock, so that the count the host takes when it closes the stream is final.
std::mutex stream_mutex;
std::uint64_t frames_streamed = 0;
bool stream_closed = false;

// Closes a stdio stream that nobody else has taken over.
struct file_closer {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

}  // namespace

// Writes the grey image (row size 260 bytes) as an RGB PNG at finger_image_path, each pixel
// carrying its grey value in all three samples. The file is created or truncated and is
// closed before returning, also on failure. Raises std::ios_base::failure with
// "file_stream_device: failed to open file" when the file cannot be opened, with libpng's
// set-up failures as the PNG writer names them, and with "png format cannot handle empty
// views." for an image without pixels.
void write_finger_image(const unsigned char* image, int width, int height) {
    // The file is opened here rather than by the PNG writer so that an open failure carries
    // our own text.
    // Closed on exec ("e"), as every descriptor of the module.
    std::unique_ptr<std::FILE, file_closer> file(std::fopen(finger_image_path.c_str(), "wbe"));
    if (!file) {
        throw std::ios_base::failure(text_png_open_failed);
    }

    // libpng cannot encode an image without pixels. The PNG writer refuses only 0 x 0 and
    // lets 0 x N or N x 0 through to libpng, whose error handler then jumps into a frame
    // that has already returned. Any image with a zero (or negative) side is therefore
    // refused here, like 0 x 0, after the file was opened: a zero-length file stays.
    if (width <= 0 || height <= 0) {
        throw std::ios_base::failure(text_png_empty_view);
    }

    // Three planes over the same grey bytes: R = G = B = grey. The writer only reads them.
    auto* const grey = const_cast<unsigned char*>(image);
    const auto view = boost::gil::planar_rgb_view(
        static_cast<std::size_t>(width), static_cast<std::size_t>(height), grey, grey, grey, grey_row_bytes);
    // The writer's file device takes the stream over as it is built and closes it when the
    // write ends, also when it fails.
    std::FILE* stream = file.release();
    boost::gil::write_view(stream, view, boost::gil::png_tag());
}

// Sends one frame to address:port over UDP from a new, unbound socket: a 4-byte datagram
// with `header` in the processor's byte order, then the payload in slices of 60000 bytes
// (none when length <= 0). Failures are printed on standard output and end the frame;
// nothing is retried and the socket is closed on every path.
void send_fingerprint(const std::string& address, int port, int header, unsigned char* payload, int length) {
    const std::lock_guard<std::mutex> lock(stream_mutex);
    if (stream_closed) {
        return;
    }
    bio_common::unique_fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
    if (!sock) {
        std::cout << text_socket_failed << std::endl;
        return;
    }

    sockaddr_in destination;
    std::memset(&destination, 0, sizeof destination);
    destination.sin_family = AF_INET;
    destination.sin_port = htons(static_cast<std::uint16_t>(port & 0xFFFF));
    if (::inet_aton(address.c_str(), &destination.sin_addr) == 0) {
        std::cout << text_bad_address << std::endl;
        return;
    }
    const auto* const to = reinterpret_cast<const sockaddr*>(&destination);

    // The header goes out in the processor's own order (little-endian on the board), not
    // in network order: receivers read it as such.
    unsigned char header_bytes[sizeof header];
    std::memcpy(header_bytes, &header, sizeof header);
    if (::sendto(sock.get(), header_bytes, sizeof header_bytes, 0, to, sizeof destination) == -1) {
        std::cout << text_send_failed << std::endl;
        return;
    }
    ++frames_streamed;

    for (int offset = 0; offset < length; offset += udp_slice_bytes) {
        const int slice = std::min(length - offset, udp_slice_bytes);
        if (::sendto(sock.get(), payload + offset, static_cast<std::size_t>(slice), 0, to,
                     sizeof destination) == -1) {
            std::cout << text_send_failed << std::endl;
            return;
        }
    }
}

std::uint64_t bio_module_close_debug_stream() {
    const std::lock_guard<std::mutex> lock(stream_mutex);
    stream_closed = true;
    return frames_streamed;
}
