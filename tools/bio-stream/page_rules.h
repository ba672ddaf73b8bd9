// What a request to bio-stream's page must carry to be served: the server's own name in Host, its own
// origin in Origin, and on a page reachable from other machines the access token; and the pieces of
// a request target the page reads. Pure functions of their arguments, so that each rule reads alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace bio_stream {

// Where the page listens: "[ADDR:]PORT" of --http.
struct ListenAddress {
    std::string host = "127.0.0.1";  // an IPv4 address in dotted form
    std::uint16_t port = 0;
    bool loopback = true;  // host is in 127.0.0.0/8: only this machine can reach the page
};

// Throws std::runtime_error naming `where` when it is not "[ADDR:]PORT" with an IPv4 address and a
// port up to 65535.
ListenAddress parse_listen_address(const std::string& where);

// True when `host` (a Host header) names the server that `address:port` (the address the client's
// connection reached) is: "ADDR:PORT", or "localhost:PORT" for a loopback address; without ":PORT"
// when the port is 80. Case is ignored.
bool host_names_server(std::string_view host, std::uint32_t address, std::uint16_t port);

// True when `origin` (an Origin header) is the page's own origin, "http://" and the Host header.
bool same_origin(std::string_view origin, std::string_view host);

// The request target "/path?query" split at the first '?'.
struct Target {
    std::string_view path;
    std::string_view query;
};
Target split_target(std::string_view target);

// The value of the first `name=value` of a query ("a=1&b=2"), as written (no decoding).
std::optional<std::string_view> query_value(std::string_view query, std::string_view name);

// The value of cookie `name` in a Cookie header ("a=1; b=2").
std::optional<std::string_view> cookie_value(std::string_view cookies, std::string_view name);

// 128 random bits from the kernel, as 32 hexadecimal digits. Throws std::system_error when the kernel
// gives none.
std::string random_token();

// Compares a token given by a client with the real one in a time that does not depend on where they
// first differ.
bool token_matches(std::string_view given, std::string_view token) noexcept;

}  // namespace bio_stream
