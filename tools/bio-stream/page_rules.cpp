// What a request to bio-stream's page must carry to be served.
#include "page_rules.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/random.h>

#include <cctype>
#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "bio_common/text.h"

namespace bio_stream {

namespace {

bool same_text_ignoring_case(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// The value of the first `name=value` among `text`'s items separated by `separator`, each item
// stripped of the blanks around it.
std::optional<std::string_view> item_value(std::string_view text, char separator, std::string_view name) {
    while (!text.empty()) {
        const std::size_t end = text.find(separator);
        std::string_view item = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        while (!item.empty() && item.front() == ' ') {
            item.remove_prefix(1);
        }
        const std::size_t equals = item.find('=');
        if (equals != std::string_view::npos && item.substr(0, equals) == name) {
            return item.substr(equals + 1);
        }
    }
    return std::nullopt;
}

}  // namespace

ListenAddress parse_listen_address(const std::string& where) {
    ListenAddress address;
    std::string port_text = where;
    const std::size_t colon = where.rfind(':');
    if (colon != std::string::npos) {
        address.host = where.substr(0, colon);
        port_text = where.substr(colon + 1);
    }
    in_addr parsed{};
    const std::optional<int> port = bio_common::parse_integer<int>(port_text);
    if (!port || *port < 0 || *port > 65535 || ::inet_pton(AF_INET, address.host.c_str(), &parsed) != 1) {
        throw std::runtime_error(
            "--http wants [ADDR:]PORT with an IPv4 address and a port up to 65535, not '" + where + "'");
    }
    address.port = static_cast<std::uint16_t>(*port);
    address.loopback = ntohl(parsed.s_addr) >> 24 == 127;
    return address;
}

bool host_names_server(std::string_view host, std::uint32_t address, std::uint16_t port) {
    const in_addr reached{htonl(address)};
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &reached, text, sizeof text);
    const std::string suffix = port == 80 ? "" : ":" + std::to_string(port);
    return same_text_ignoring_case(host, text + suffix) ||
           (address >> 24 == 127 && same_text_ignoring_case(host, "localhost" + suffix));
}

bool same_origin(std::string_view origin, std::string_view host) {
    constexpr std::string_view scheme = "http://";
    return origin.size() == scheme.size() + host.size() &&
           same_text_ignoring_case(origin.substr(0, scheme.size()), scheme) &&
           same_text_ignoring_case(origin.substr(scheme.size()), host);
}

Target split_target(std::string_view target) {
    const std::size_t question = target.find('?');
    if (question == std::string_view::npos) {
        return {target, {}};
    }
    return {target.substr(0, question), target.substr(question + 1)};
}

std::optional<std::string_view> query_value(std::string_view query, std::string_view name) {
    return item_value(query, '&', name);
}

std::optional<std::string_view> cookie_value(std::string_view cookies, std::string_view name) {
    return item_value(cookies, ';', name);
}

std::string random_token() {
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        got += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    constexpr char digits[] = "0123456789abcdef";
    std::string token;
    for (const unsigned char byte : bytes) {
        token += digits[byte >> 4];
        token += digits[byte & 15];
    }
    return token;
}

bool token_matches(std::string_view given, std::string_view token) noexcept {
    if (given.size() != token.size()) {
        return false;
    }
    unsigned char differ = 0;
    for (std::size_t i = 0; i < token.size(); ++i) {
        differ |= static_cast<unsigned char>(given[i] ^ token[i]);
    }
    return differ == 0;
}

}  // namespace bio_stream
