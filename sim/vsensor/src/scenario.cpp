// Scenario text of the virtual sensor: the timeline of frame sources, configuration lines and
// faults, parsed into settings by a table of keywords.
#include "internal.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>
#include <stdexcept>

#include "bio_common/text.h"

namespace vsensor::detail {

namespace {

constexpr std::uint32_t cap_video_capture = 0x00000001u;
constexpr std::uint32_t cap_streaming = 0x04000000u;
constexpr std::uint32_t max_buffer_length = std::uint32_t{1} << 26;

// One line of a scenario, its comment removed.
struct Line {
    int number;
    std::string text;
    std::vector<std::string> words;  // words[0] is the keyword
};

[[noreturn]] void fail(const Line& line, const std::string& what) {
    throw std::invalid_argument("scenario line " + std::to_string(line.number) + ": " + what);
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
void parse_length(const Line& line, const std::string& text, Step& step) {
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
        const auto value = parse_count(text.substr(0, text.size() - 1));
        if (value && *value > 0) {
            step.frames = *value;
            return;
        }
    }
    fail(line, "bad length '" + text + "' (expected <frames>f, <time>ms or <time>s)");
}

// The value of the key=value argument `key` among `words` from index `from`; `fallback` when
// it is absent (a failure when there is none).
std::uint64_t keyed(const Line& line, const std::vector<std::string>& words, std::size_t from,
                    const std::string& key, std::optional<std::uint64_t> fallback) {
    for (std::size_t i = from; i < words.size(); ++i) {
        if (words[i].compare(0, key.size() + 1, key + "=") == 0) {
            const auto value = parse_count(words[i].substr(key.size() + 1));
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

// Fails on the first word from index `from` that is none of the key=value arguments `keys`.
void check_keys(const Line& line, const std::vector<std::string>& words, std::size_t from,
                std::initializer_list<const char*> keys) {
    for (std::size_t i = from; i < words.size(); ++i) {
        const bool known = std::any_of(keys.begin(), keys.end(), [&](const char* key) {
            return words[i].compare(0, std::strlen(key), key) == 0 && words[i][std::strlen(key)] == '=';
        });
        if (!known) {
            fail(line, "unexpected '" + words[i] + "'");
        }
    }
}

std::uint32_t narrow(const Line& line, std::uint64_t value, const std::string& what) {
    if (value > std::numeric_limits<std::uint32_t>::max()) {
        fail(line, what + " too large");
    }
    return static_cast<std::uint32_t>(value);
}

// ---- One function per keyword: applies a line whose argument count is already checked.

void apply_glass(const Line& line, ScenarioSettings& settings) {
    Step step;
    step.kind = line.words[0] == "glass" ? Step::Kind::glass : Step::Kind::finger;
    if (line.words.size() == 2) {
        parse_length(line, line.words[1], step);
    }
    settings.timeline.steps.push_back(step);
}

// The path is the rest of the line, so it may hold spaces.
void apply_replay(const Line& line, ScenarioSettings& settings) {
    const auto at = line.text.find(line.words[0]) + line.words[0].size();
    const auto first = line.text.find_first_not_of(" \t", at);
    const auto last = line.text.find_last_not_of(" \t\r");
    Step step;
    step.kind = Step::Kind::replay;
    step.path = line.text.substr(first, last - first + 1);
    try {
        step.recording_frames = count_recording_frames(step.path);
    } catch (const std::invalid_argument& error) {
        fail(line, error.what());
    }
    settings.timeline.steps.push_back(step);
}

// "repeat" for ever, or "repeat <passes>" in all.
void apply_repeat(const Line& line, ScenarioSettings& settings) {
    settings.timeline.repeat = true;
    if (line.words.size() == 2) {
        const auto passes = parse_count(line.words[1]);
        if (!passes || *passes == 0 || *passes > 1000000) {
            fail(line, "bad number of passes '" + line.words[1] + "' (1 to 1000000)");
        }
        settings.timeline.passes = *passes;
    }
}

void apply_fps(const Line& line, ScenarioSettings& settings) {
    const auto value = parse_number(line.words[1]);
    if (!value || *value > 1000.0) {
        fail(line, "impossible frame rate '" + line.words[1] + "' (0 to 1000)");
    }
    settings.fps = *value;
}

void apply_seed(const Line& line, ScenarioSettings& settings) {
    const auto value = parse_count(line.words[1]);
    if (!value) {
        fail(line, "bad seed '" + line.words[1] + "'");
    }
    settings.seed = narrow(line, *value, "seed");
}

void apply_device(const Line& line, ScenarioSettings& settings) {
    settings.device_path = line.words[1];
}

void apply_buffers(const Line& line, ScenarioSettings& settings) {
    const auto value = parse_count(line.words[1]);
    if (!value || *value > 32) {
        fail(line, "bad buffer count '" + line.words[1] + "' (0 to 32)");
    }
    settings.granted_buffers = static_cast<unsigned>(*value);
}

// capture, streaming, none or 0x<hex>, comma or space separated.
void apply_caps(const Line& line, ScenarioSettings& settings) {
    std::uint32_t caps = 0;
    for (std::size_t i = 1; i < line.words.size(); ++i) {
        std::stringstream list(line.words[i]);
        for (std::string item; std::getline(list, item, ',');) {
            const bool hex = item.compare(0, 2, "0x") == 0 && item.size() > 2 && item.size() <= 10;
            if (item == "capture") {
                caps |= cap_video_capture;
            } else if (item == "streaming") {
                caps |= cap_streaming;
            } else if (const auto bits = hex ? bio_common::parse_integer<std::uint32_t>(item.substr(2), 16)
                                             : std::nullopt) {
                caps |= *bits;
            } else if (!item.empty() && item != "none") {
                fail(line, "unknown capability '" + item + "' (capture, streaming, none or 0x<hex>)");
            }
        }
    }
    settings.capabilities = caps;
}

void apply_format(const Line& line, ScenarioSettings& settings) {
    const std::string& size = line.words[1];
    const auto x = size.find('x');
    const auto width = x == std::string::npos ? std::nullopt : parse_count(size.substr(0, x));
    const auto height = x == std::string::npos ? std::nullopt : parse_count(size.substr(x + 1));
    if (!width || !height || *width == 0 || *height == 0 || *width > 8192 || *height > 8192) {
        fail(line, "bad size '" + size + "' (expected <width>x<height>)");
    }
    settings.width = static_cast<std::uint32_t>(*width);
    settings.height = static_cast<std::uint32_t>(*height);
    if (line.words.size() == 3) {
        const std::string& fourcc = line.words[2];
        if (fourcc.size() != 4) {
            fail(line, "bad fourcc '" + fourcc + "' (four characters)");
        }
        const auto* c = reinterpret_cast<const unsigned char*>(fourcc.data());
        settings.pixelformat = c[0] | c[1] << 8 | c[2] << 16 | static_cast<std::uint32_t>(c[3]) << 24;
    }
}

void apply_buffer_length(const Line& line, ScenarioSettings& settings) {
    const auto value = parse_count(line.words[1]);
    if (!value || *value == 0 || *value > max_buffer_length) {
        fail(line, "bad buffer length '" + line.words[1] + "'");
    }
    settings.buffer_length = static_cast<std::uint32_t>(*value);
}

// "<IPv4>:<port>", or "off".
void apply_truth_to(const Line& line, ScenarioSettings& settings) {
    const std::string& destination = line.words[1];
    if (destination != "off" && !parse_destination(destination)) {
        fail(line, "bad truth destination '" + destination + "' (expected <IPv4>:<port> or off)");
    }
    settings.truth_to = destination == "off" ? "" : destination;
}

void apply_fault(const Line& line, ScenarioSettings& settings) {
    const auto call = parse_call(line.words[1]);
    if (!call) {
        fail(line, "unknown call '" + line.words[1] + "' in fault");
    }
    const auto error = parse_errno(line.words[2]);
    if (!error) {
        fail(line, "unknown error '" + line.words[2] + "' in fault");
    }
    Fault fault{*call, *error};
    std::vector<std::string> rest = line.words;
    for (auto& word : rest) {
        if (word == "count=all") {
            word = "count=-1";
            fault.count = -1;
        }
    }
    check_keys(line, rest, 3, {"skip", "count"});
    fault.skip = static_cast<int>(std::min<std::uint64_t>(keyed(line, rest, 3, "skip", 0), 1u << 30));
    if (fault.count != -1) {
        fault.count = static_cast<int>(std::min<std::uint64_t>(keyed(line, rest, 3, "count", 1), 1u << 30));
    }
    settings.faults.push_back(fault);
}

void apply_stall(const Line& line, ScenarioSettings& settings) {
    check_keys(line, line.words, 1, {"after", "ms"});
    const std::uint64_t after = keyed(line, line.words, 1, "after", std::nullopt);
    const std::uint64_t ms = keyed(line, line.words, 1, "ms", std::nullopt);
    constexpr std::uint64_t longest_ms = 24ull * 3600 * 1000;
    settings.stalls.push_back(
        {after, std::chrono::milliseconds(static_cast<std::int64_t>(std::min(ms, longest_ms)))});
}

void apply_bad_index(const Line& line, ScenarioSettings& settings) {
    check_keys(line, line.words, 1, {"nth", "index"});
    const std::uint64_t nth = keyed(line, line.words, 1, "nth", std::nullopt);
    const std::uint64_t index = keyed(line, line.words, 1, "index", std::nullopt);
    if (nth == 0) {
        fail(line, "bad_index counts dequeues from nth=1");
    }
    settings.bad_indexes.push_back({nth, narrow(line, index, "index")});
}

// The rest of the line after the keyword (a model name or a path may hold spaces).
std::string rest_of_line(const Line& line) {
    const auto at = line.text.find(line.words[0]) + line.words[0].size();
    const auto first = line.text.find_first_not_of(" \t", at);
    const auto last = line.text.find_last_not_of(" \t\r");
    return line.text.substr(first, last - first + 1);
}

void apply_model(const Line& line, ScenarioSettings& settings) {
    settings.sensor_model = rest_of_line(line);
}

void apply_model_path(const Line& line, ScenarioSettings& settings) {
    settings.model_attribute_path = rest_of_line(line);
}

constexpr std::size_t any_count = std::numeric_limits<std::size_t>::max();

// A keyword of the scenario language: its name, the number of arguments it takes (and the
// problem reported for another number), and the function that applies a line.
struct Keyword {
    const char* name;
    std::size_t min_arguments;
    std::size_t max_arguments;
    const char* wrong_count;  // follows the quoted keyword in the message
    void (*apply)(const Line&, ScenarioSettings&);
};

const Keyword keywords[] = {
    {"glass", 0, 1, "takes one length", apply_glass},
    {"finger", 0, 1, "takes one length", apply_glass},
    {"replay", 1, any_count, "needs the path of a recording", apply_replay},
    {"repeat", 0, 1, "takes at most the number of passes", apply_repeat},
    {"fps", 1, 1, "takes 1 argument", apply_fps},
    {"seed", 1, 1, "takes 1 argument", apply_seed},
    {"device", 1, 1, "takes 1 argument", apply_device},
    {"buffers", 1, 1, "takes 1 argument", apply_buffers},
    {"caps", 1, any_count, "needs capture, streaming, none or 0x<hex>", apply_caps},
    {"format", 1, 2, "takes <width>x<height> and an optional fourcc", apply_format},
    {"buffer_length", 1, 1, "takes 1 argument", apply_buffer_length},
    {"truth_to", 1, 1, "takes <IPv4>:<port> or off", apply_truth_to},
    {"fault", 2, any_count, "needs a call and an error, e.g. 'fault dqbuf ENODEV skip=100 count=1'",
     apply_fault},
    {"stall", 0, any_count, "", apply_stall},
    {"bad_index", 0, any_count, "", apply_bad_index},
    {"model", 1, any_count, "needs the model name the sensor publishes", apply_model},
    {"model_path", 1, any_count, "needs the path of the identification attribute", apply_model_path},
};

// A line of the physical world: the finger, a touch (a step of the timeline), the light and the
// sensor.
void apply_world(const Line& line, ScenarioSettings& settings) {
    auto& world = settings.timeline.world;
    if (!world) {
        world = std::make_shared<world::Scene>();
    }
    const auto at = line.text.find(line.words[0]) + line.words[0].size();
    const std::string rest = bio_common::trim(line.text.substr(at));
    if (const std::string problem = world::apply_world_line(line.words, rest, *world); !problem.empty()) {
        fail(line, problem);
    }
    if (line.words[0] == "touch") {
        Step step;
        step.kind = Step::Kind::touch;
        step.touch = world->touches.size() - 1;
        settings.timeline.steps.push_back(step);
    }
}

void apply_line(const Line& line, ScenarioSettings& settings) {
    const std::string& what = line.words[0];
    const auto keyword = std::find_if(std::begin(keywords), std::end(keywords),
                                      [&](const Keyword& row) { return what == row.name; });
    if (keyword == std::end(keywords) && world::is_world_keyword(what)) {
        apply_world(line, settings);
        return;
    }
    if (keyword == std::end(keywords)) {
        fail(line, "unknown source or setting '" + what + "'");
    }
    const std::size_t arguments = line.words.size() - 1;
    if (arguments < keyword->min_arguments || arguments > keyword->max_arguments) {
        fail(line, "'" + what + "' " + keyword->wrong_count);
    }
    keyword->apply(line, settings);
}

}  // namespace

ScenarioSettings parse_scenario(const std::string& text) {
    ScenarioSettings settings;
    std::istringstream lines(text);
    Line line{0, {}, {}};
    while (std::getline(lines, line.text)) {
        ++line.number;
        if (const auto hash = line.text.find('#'); hash != std::string::npos) {
            line.text.erase(hash);
        }
        line.words = bio_common::split_words(line.text);
        if (!line.words.empty()) {
            apply_line(line, settings);
        }
    }
    return settings;
}

void apply_settings(const ScenarioSettings& settings, Config& config) {
    config.fps = settings.fps.value_or(config.fps);
    config.seed = settings.seed.value_or(config.seed);
    config.device_path = settings.device_path.value_or(config.device_path);
    config.granted_buffers = settings.granted_buffers.value_or(config.granted_buffers);
    config.capabilities = settings.capabilities.value_or(config.capabilities);
    config.width = settings.width.value_or(config.width);
    config.height = settings.height.value_or(config.height);
    config.pixelformat = settings.pixelformat.value_or(config.pixelformat);
    config.buffer_length = settings.buffer_length.value_or(config.buffer_length);
    config.truth_to = settings.truth_to.value_or(config.truth_to);
    if (settings.sensor_model) {
        config.sensor_model = settings.sensor_model;
    }
    config.model_attribute_path = settings.model_attribute_path.value_or(config.model_attribute_path);
}

std::string correction_model(const Config& config) {
    return config.sensor_model.value_or("GC032A");
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
    if (config.buffer_length == 0 || config.buffer_length > max_buffer_length) {
        throw std::invalid_argument("impossible buffer length " + std::to_string(config.buffer_length));
    }
    if (!config.truth_to.empty() && !parse_destination(config.truth_to)) {
        throw std::invalid_argument("bad truth destination '" + config.truth_to + "' (expected <IPv4>:<port>)");
    }
    if (config.width == 0 || config.height == 0) {
        throw std::invalid_argument("impossible frame size " + std::to_string(config.width) + "x" +
                                    std::to_string(config.height));
    }
}

}  // namespace vsensor::detail
