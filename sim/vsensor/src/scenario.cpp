// Scenario text of the virtual sensor: the timeline of frame sources, configuration lines and
// faults, parsed into settings; also the names of calls and errors used in scenarios and traces.
#include "internal.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>
#include <stdexcept>

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

constexpr std::uint32_t cap_video_capture = 0x00000001u;
constexpr std::uint32_t cap_streaming = 0x04000000u;

[[noreturn]] void fail(int line, const std::string& what) {
    throw std::invalid_argument("scenario line " + std::to_string(line) + ": " + what);
}

// Whole unsigned decimal number; nullopt unless the entire text is one.
std::optional<std::uint64_t> parse_unsigned(const std::string& text) {
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return std::stoull(text);
}

std::optional<double> parse_number(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos ||
        text.find('.') != text.rfind('.')) {
        return std::nullopt;
    }
    try {
        return std::stod(text);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// "<N>f", "<T>ms" or "<T>s" (T may have a decimal point).
void parse_length(int line, const std::string& text, Step& step) {
    const auto ends_with = [&](const char* suffix) {
        const std::size_t n = std::strlen(suffix);
        return text.size() > n && text.compare(text.size() - n, n, suffix) == 0;
    };
    if (ends_with("ms")) {
        const auto value = parse_number(text.substr(0, text.size() - 2));
        if (value && *value >= 1.0 && *value < 1e12) {
            step.duration = std::chrono::milliseconds(std::llround(*value));
            return;
        }
    } else if (ends_with("s")) {
        const auto value = parse_number(text.substr(0, text.size() - 1));
        if (value && *value >= 0.001 && *value < 1e9) {
            step.duration = std::chrono::milliseconds(std::llround(*value * 1000.0));
            return;
        }
    } else if (ends_with("f")) {
        const auto value = parse_unsigned(text.substr(0, text.size() - 1));
        if (value && *value > 0) {
            step.frames = *value;
            return;
        }
    }
    fail(line, "bad length '" + text + "' (expected <frames>f, <time>ms or <time>s)");
}

// key=value arguments of a fault line, by key.
std::uint64_t keyed(int line, const std::vector<std::string>& words, std::size_t from, const std::string& key,
                    std::optional<std::uint64_t> fallback) {
    for (std::size_t i = from; i < words.size(); ++i) {
        if (words[i].compare(0, key.size() + 1, key + "=") == 0) {
            const auto value = parse_unsigned(words[i].substr(key.size() + 1));
            if (!value) {
                fail(line, "bad value in '" + words[i] + "'");
            }
            return *value;
        }
    }
    if (!fallback) {
        fail(line, "missing " + key + "=");
    }
    return *fallback;
}

void check_keys(int line, const std::vector<std::string>& words, std::size_t from,
                std::initializer_list<const char*> keys) {
    for (std::size_t i = from; i < words.size(); ++i) {
        bool known = false;
        for (const char* key : keys) {
            const std::string prefix = std::string(key) + "=";
            known = known || words[i].compare(0, prefix.size(), prefix) == 0;
        }
        if (!known) {
            fail(line, "unexpected '" + words[i] + "'");
        }
    }
}

std::uint32_t parse_caps(int line, const std::vector<std::string>& words) {
    std::uint32_t caps = 0;
    for (std::size_t i = 1; i < words.size(); ++i) {
        std::stringstream list(words[i]);
        std::string item;
        while (std::getline(list, item, ',')) {
            if (item == "capture") {
                caps |= cap_video_capture;
            } else if (item == "streaming") {
                caps |= cap_streaming;
            } else if (item == "none") {
            } else if (item.compare(0, 2, "0x") == 0 && item.size() > 2 && item.size() <= 10 &&
                       item.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string::npos) {
                caps |= static_cast<std::uint32_t>(std::stoul(item.substr(2), nullptr, 16));
            } else if (!item.empty()) {
                fail(line, "unknown capability '" + item + "' (capture, streaming, none or 0x<hex>)");
            }
        }
    }
    return caps;
}

void expect_words(int line, const std::vector<std::string>& words, std::size_t count) {
    if (words.size() != count) {
        fail(line,
             "'" + words[0] + "' takes " + std::to_string(count - 1) + " argument" + (count == 2 ? "" : "s"));
    }
}

std::uint32_t narrow(int line, std::uint64_t value, const std::string& what) {
    if (value > std::numeric_limits<std::uint32_t>::max()) {
        fail(line, what + " too large");
    }
    return static_cast<std::uint32_t>(value);
}

}  // namespace

std::optional<int> parse_errno(const std::string& text) {
    if (const auto number = parse_unsigned(text); number && *number > 0 && *number < 4096) {
        return static_cast<int>(*number);
    }
    for (int error = 1; error < 4096; ++error) {
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

ScenarioSettings parse_scenario(const std::string& text) {
    ScenarioSettings settings;
    std::istringstream lines(text);
    std::string raw;
    int line = 0;
    while (std::getline(lines, raw)) {
        ++line;
        if (const auto hash = raw.find('#'); hash != std::string::npos) {
            raw.erase(hash);
        }
        std::istringstream split(raw);
        std::vector<std::string> words;
        for (std::string word; split >> word;) {
            words.push_back(word);
        }
        if (words.empty()) {
            continue;
        }
        const std::string& what = words[0];
        if (what == "glass" || what == "finger") {
            Step step;
            step.kind = what == "glass" ? Step::Kind::glass : Step::Kind::finger;
            if (words.size() > 2) {
                fail(line, "'" + what + "' takes one length");
            }
            if (words.size() == 2) {
                parse_length(line, words[1], step);
            }
            settings.timeline.steps.push_back(step);
        } else if (what == "replay") {
            // The path is the rest of the line, so it may hold spaces.
            const auto at = raw.find("replay") + 6;
            const auto first = raw.find_first_not_of(" \t", at);
            const auto last = raw.find_last_not_of(" \t\r");
            if (first == std::string::npos || last < first) {
                fail(line, "'replay' needs the path of a recording");
            }
            Step step;
            step.kind = Step::Kind::replay;
            step.path = raw.substr(first, last - first + 1);
            try {
                step.recording_frames = count_recording_frames(step.path);
            } catch (const std::invalid_argument& error) {
                fail(line, error.what());
            }
            settings.timeline.steps.push_back(step);
        } else if (what == "repeat") {
            expect_words(line, words, 1);
            settings.timeline.repeat = true;
        } else if (what == "fps") {
            expect_words(line, words, 2);
            const auto value = parse_number(words[1]);
            if (!value || *value > 1000.0) {
                fail(line, "impossible frame rate '" + words[1] + "' (0 to 1000)");
            }
            settings.fps = *value;
        } else if (what == "seed") {
            expect_words(line, words, 2);
            const auto value = parse_unsigned(words[1]);
            if (!value) {
                fail(line, "bad seed '" + words[1] + "'");
            }
            settings.seed = narrow(line, *value, "seed");
        } else if (what == "device") {
            expect_words(line, words, 2);
            settings.device_path = words[1];
        } else if (what == "buffers") {
            expect_words(line, words, 2);
            const auto value = parse_unsigned(words[1]);
            if (!value || *value > 32) {
                fail(line, "bad buffer count '" + words[1] + "' (0 to 32)");
            }
            settings.granted_buffers = static_cast<unsigned>(*value);
        } else if (what == "caps") {
            if (words.size() < 2) {
                fail(line, "'caps' needs capture, streaming, none or 0x<hex>");
            }
            settings.capabilities = parse_caps(line, words);
        } else if (what == "format") {
            if (words.size() != 2 && words.size() != 3) {
                fail(line, "'format' takes <width>x<height> and an optional fourcc");
            }
            const auto x = words[1].find('x');
            const auto width = x == std::string::npos ? std::nullopt : parse_unsigned(words[1].substr(0, x));
            const auto height =
                x == std::string::npos ? std::nullopt : parse_unsigned(words[1].substr(x + 1));
            if (!width || !height || *width == 0 || *height == 0 || *width > 8192 || *height > 8192) {
                fail(line, "bad size '" + words[1] + "' (expected <width>x<height>)");
            }
            settings.width = static_cast<std::uint32_t>(*width);
            settings.height = static_cast<std::uint32_t>(*height);
            if (words.size() == 3) {
                if (words[2].size() != 4) {
                    fail(line, "bad fourcc '" + words[2] + "' (four characters)");
                }
                const auto* c = reinterpret_cast<const unsigned char*>(words[2].data());
                settings.pixelformat = c[0] | c[1] << 8 | c[2] << 16 | static_cast<std::uint32_t>(c[3]) << 24;
            }
        } else if (what == "buffer_length") {
            expect_words(line, words, 2);
            const auto value = parse_unsigned(words[1]);
            if (!value || *value == 0 || *value > (std::uint64_t{1} << 26)) {
                fail(line, "bad buffer length '" + words[1] + "'");
            }
            settings.buffer_length = static_cast<std::uint32_t>(*value);
        } else if (what == "fault") {
            if (words.size() < 3) {
                fail(line, "'fault' needs a call and an error, e.g. 'fault dqbuf ENODEV skip=100 count=1'");
            }
            const auto call = parse_call(words[1]);
            if (!call) {
                fail(line, "unknown call '" + words[1] + "' in fault");
            }
            const auto error = parse_errno(words[2]);
            if (!error) {
                fail(line, "unknown error '" + words[2] + "' in fault");
            }
            Fault fault{*call, *error};
            std::vector<std::string> rest(words.begin(), words.end());
            for (auto& word : rest) {
                if (word == "count=all") {
                    word = "count=-1";
                    fault.count = -1;
                }
            }
            check_keys(line, rest, 3, {"skip", "count"});
            fault.skip = static_cast<int>(std::min<std::uint64_t>(keyed(line, rest, 3, "skip", 0), 1u << 30));
            if (fault.count != -1) {
                fault.count =
                    static_cast<int>(std::min<std::uint64_t>(keyed(line, rest, 3, "count", 1), 1u << 30));
            }
            settings.faults.push_back(fault);
        } else if (what == "stall") {
            check_keys(line, words, 1, {"after", "ms"});
            const std::uint64_t after = keyed(line, words, 1, "after", std::nullopt);
            const std::uint64_t ms = keyed(line, words, 1, "ms", std::nullopt);
            settings.stalls.push_back({after, std::chrono::milliseconds(static_cast<std::int64_t>(
                                                  std::min<std::uint64_t>(ms, 24ull * 3600 * 1000)))});
        } else if (what == "bad_index") {
            check_keys(line, words, 1, {"nth", "index"});
            const std::uint64_t nth = keyed(line, words, 1, "nth", std::nullopt);
            const std::uint64_t index = keyed(line, words, 1, "index", std::nullopt);
            if (nth == 0) {
                fail(line, "bad_index counts dequeues from nth=1");
            }
            settings.bad_indexes.push_back({nth, narrow(line, index, "index")});
        } else {
            fail(line, "unknown source or setting '" + what + "'");
        }
    }
    return settings;
}

void apply_settings(const ScenarioSettings& settings, Config& config) {
    if (settings.fps)
        config.fps = *settings.fps;
    if (settings.seed)
        config.seed = *settings.seed;
    if (settings.device_path)
        config.device_path = *settings.device_path;
    if (settings.granted_buffers)
        config.granted_buffers = *settings.granted_buffers;
    if (settings.capabilities)
        config.capabilities = *settings.capabilities;
    if (settings.width)
        config.width = *settings.width;
    if (settings.height)
        config.height = *settings.height;
    if (settings.pixelformat)
        config.pixelformat = *settings.pixelformat;
    if (settings.buffer_length)
        config.buffer_length = *settings.buffer_length;
}

void validate(const Config& config) {
    if (config.device_path.empty()) {
        throw std::invalid_argument("empty device path");
    }
    if (!std::isfinite(config.fps) || config.fps < 0.0 || config.fps > 1000.0) {
        throw std::invalid_argument("impossible frame rate " + std::to_string(config.fps) + " (0 to 1000)");
    }
    if (config.granted_buffers > 32) {
        throw std::invalid_argument("impossible buffer count " + std::to_string(config.granted_buffers) +
                                    " (0 to 32)");
    }
    if (config.buffer_length == 0 || config.buffer_length > (1u << 26)) {
        throw std::invalid_argument("impossible buffer length " + std::to_string(config.buffer_length));
    }
    if (config.width == 0 || config.height == 0) {
        throw std::invalid_argument("impossible frame size " + std::to_string(config.width) + "x" +
                                    std::to_string(config.height));
    }
}

}  // namespace vsensor::detail
