// The ground truth of the frames the sensor produces, sent beside the debug stream: one datagram
// per frame to a configured UDP destination, so that a receiver of the stream can pair each frame
// it receives with what the sensor knew about it.
#include "internal.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "bio_common/text.h"

namespace vsensor::detail {

std::optional<sockaddr_in> parse_destination(const std::string& text) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) {
        return std::nullopt;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    const auto port = bio_common::parse_integer<std::uint16_t>(std::string_view(text).substr(colon + 1));
    if (!port || *port == 0 || ::inet_pton(AF_INET, text.substr(0, colon).c_str(), &address.sin_addr) != 1) {
        return std::nullopt;
    }
    address.sin_port = htons(*port);
    return address;
}

TruthSender::TruthSender(const std::string& destination) {
    const auto address = parse_destination(destination);
    if (!address) {
        throw std::invalid_argument("bad truth destination '" + destination + "' (expected <IPv4>:<port>)");
    }
    destination_ = *address;
    socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socket_ < 0) {
        throw std::invalid_argument("cannot open a socket for the truth to " + destination);
    }
}

TruthSender::~TruthSender() {
    ::close(socket_);
}

// A datagram that cannot go (no receiver yet, a full socket buffer) is lost, as a frame of the
// debug stream would be: the receiver counts what it does not get.
void TruthSender::send(const unsigned char* frame, std::size_t length, const recording::Truth& truth) const {
    unsigned char datagram[recording::truth_datagram_bytes];
    recording::encode_truth_datagram(recording::frame_hash(frame, length), truth, datagram);
    static_cast<void>(::sendto(socket_, datagram, sizeof datagram, MSG_DONTWAIT,
                               reinterpret_cast<const sockaddr*>(&destination_), sizeof destination_));
}

}  // namespace vsensor::detail
