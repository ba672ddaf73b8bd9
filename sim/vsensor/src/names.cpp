// The names of calls and errors that scenarios and traces use.
#include "internal.h"

#include <cerrno>
#include <cstring>

#include "bio_common/text.h"

namespace vsensor {

const char* call_name(Call call) {
    switch (call) {
        case Call::open:
            return "open";
        case Call::close:
            return "close";
        case Call::mmap:
            return "mmap";
        case Call::munmap:
            return "munmap";
        case Call::querycap:
            return "querycap";
        case Call::s_fmt:
            return "s_fmt";
        case Call::reqbufs:
            return "reqbufs";
        case Call::querybuf:
            return "querybuf";
        case Call::qbuf:
            return "qbuf";
        case Call::dqbuf:
            return "dqbuf";
        case Call::streamon:
            return "streamon";
        case Call::streamoff:
            return "streamoff";
        case Call::other_ioctl:
            return "other_ioctl";
    }
    return "unknown";
}

}  // namespace vsensor

namespace vsensor::detail {

namespace {

constexpr Call all_calls[] = {Call::open,     Call::close,     Call::mmap,       Call::munmap, Call::querycap,
                              Call::s_fmt,    Call::reqbufs,   Call::querybuf,   Call::qbuf,   Call::dqbuf,
                              Call::streamon, Call::streamoff, Call::other_ioctl};

// Error numbers are below this.
constexpr int errno_limit = 4096;

}  // namespace

std::optional<int> parse_errno(const std::string& text) {
    if (const auto number = parse_count(text); number && *number > 0 && *number < errno_limit) {
        return static_cast<int>(*number);
    }
    for (int error = 1; error < errno_limit; ++error) {
        const char* name = strerrorname_np(error);
        if (name != nullptr && text == name) {
            return error;
        }
    }
    return std::nullopt;
}

std::string errno_name(int error) {
    if (error == 0) {
        return "0";
    }
    const char* name = strerrorname_np(error);
    return name != nullptr ? name : std::to_string(error);
}

std::optional<Call> parse_call(const std::string& text) {
    for (const Call call : all_calls) {
        if (text == call_name(call)) {
            return call;
        }
    }
    return std::nullopt;
}

std::optional<std::uint64_t> parse_count(const std::string& text) {
    // A word of more than 19 characters is refused like a malformed number, whatever its value.
    if (text.size() > 19) {
        return std::nullopt;
    }
    return bio_common::parse_integer<std::uint64_t>(text);
}

}  // namespace vsensor::detail
