// The world's lines of a scenario: the finger (identity, class, skin, a real image), each touch
// and its parameters, and the light and sensor. One row per keyword.
#include "world.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vsensor::world {

namespace {

// A decimal number with an optional sign and at most one point; nullopt for anything else.
std::optional<double> real(const std::string& text) {
    const std::size_t digits = text.size() - (text.empty() || (text[0] != '-' && text[0] != '+') ? 0 : 1);
    if (digits == 0 || text.find_first_not_of("0123456789.", text.size() - digits) != std::string::npos ||
        text.find('.') != text.rfind('.') || text.back() == '.' || text[text.size() - digits] == '.') {
        return std::nullopt;
    }
    return std::strtod(text.c_str(), nullptr);
}

// The arguments of a line: positional words and key=value pairs.
struct Arguments {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> keyed;
};

Arguments split(const std::vector<std::string>& words) {
    Arguments arguments;
    for (std::size_t i = 1; i < words.size(); ++i) {
        const auto equals = words[i].find('=');
        if (equals == std::string::npos) {
            arguments.positional.push_back(words[i]);
        } else {
            arguments.keyed.emplace_back(words[i].substr(0, equals), words[i].substr(equals + 1));
        }
    }
    return arguments;
}

// Problems are reported as text; an empty text means the value was taken.
using Problem = std::string;

Problem number_in(const std::string& what, const std::string& text, double low, double high, double& out) {
    const auto value = real(text);
    if (!value || *value < low || *value > high) {
        char range[96];
        std::snprintf(range, sizeof range, " (%g to %g)", low, high);
        return "bad " + what + " '" + text + "'" + range;
    }
    out = *value;
    return {};
}

// "<T>ms", "<T>s" or 0.
Problem duration(const std::string& what, const std::string& text, double& ms) {
    const bool millis = text.size() > 2 && text.compare(text.size() - 2, 2, "ms") == 0;
    const bool seconds = !millis && text.size() > 1 && text.back() == 's';
    const auto value = text == "0" ? std::optional<double>(0.0)
                                   : real(text.substr(0, text.size() - (millis ? 2 : seconds ? 1 : text.size())));
    if (!value || *value < 0.0 || *value * (seconds ? 1000.0 : 1.0) > 3600e3) {
        return "bad " + what + " '" + text + "' (expected <time>ms or <time>s, up to an hour)";
    }
    ms = *value * (seconds ? 1000.0 : 1.0);
    return {};
}

// "<x>,<y>" in px.
Problem pair(const std::string& what, const std::string& text, double& x, double& y) {
    const auto comma = text.find(',');
    const auto first = comma == std::string::npos ? std::nullopt : real(text.substr(0, comma));
    const auto second = comma == std::string::npos ? std::nullopt : real(text.substr(comma + 1));
    if (!first || !second || std::fabs(*first) > 2000.0 || std::fabs(*second) > 2000.0) {
        return "bad " + what + " '" + text + "' (expected <x>,<y> in px)";
    }
    x = *first;
    y = *second;
    return {};
}

std::optional<Skin> skin_named(const std::string& text) {
    if (text == "normal") {
        return Skin::normal;
    }
    if (text == "dry") {
        return Skin::dry;
    }
    if (text == "wet") {
        return Skin::wet;
    }
    return std::nullopt;
}

// A line's key=value pairs, each given to `take`, which returns the problem with it ("" when
// taken; an unknown key is reported by `take` as "?").
template <typename Take>
Problem each_key(const Arguments& arguments, const char* keys, Take take) {
    for (const auto& [key, value] : arguments.keyed) {
        Problem problem = take(key, value);
        if (problem == "?") {
            return "unexpected '" + key + "=' (" + keys + ")";
        }
        if (!problem.empty()) {
            return problem;
        }
    }
    return {};
}

// The positional arguments a line must have (between `least` and `most`).
Problem count(const Arguments& arguments, std::size_t least, std::size_t most, const char* usage) {
    const std::size_t n = arguments.positional.size();
    return n < least || n > most ? std::string("takes ") + usage : std::string();
}

Problem apply_identity(const Arguments& arguments, const std::string&, Scene& scene) {
    if (Problem p = count(arguments, 1, 1, "<number> [class=<class>]"); !p.empty()) {
        return p;
    }
    double identity = 0.0;
    if (Problem p = number_in("identity", arguments.positional[0], 0, 4294967295.0, identity); !p.empty()) {
        return p;
    }
    scene.identity = static_cast<std::uint32_t>(identity);
    return each_key(arguments, "class", [&](const std::string& key, const std::string& value) -> Problem {
        if (key != "class") {
            return "?";
        }
        scene.finger_class = parse_class(value);
        return scene.finger_class ? "" : "unknown class '" + value + "' (arch, tented_arch, left_loop, right_loop, whorl)";
    });
}

Problem apply_skin(const Arguments& arguments, const std::string&, Scene& scene) {
    if (Problem p = count(arguments, 1, 1, "normal, dry or wet"); !p.empty()) {
        return p;
    }
    const auto skin = skin_named(arguments.positional[0]);
    if (!skin || !arguments.keyed.empty()) {
        return "takes normal, dry or wet";
    }
    scene.skin = *skin;
    return {};
}

Problem apply_touch(const Arguments& arguments, const std::string&, Scene& scene) {
    if (Problem p = count(arguments, 0, 0, "key=value arguments only"); !p.empty()) {
        return p;
    }
    TouchPlan touch;
    Problem problem = each_key(arguments, "approach, press, hold, lift, pressure, at, turn, slide, tremor, skin, spread",
                               [&](const std::string& key, const std::string& value) -> Problem {
        if (key == "approach" || key == "hold") {
            return duration(key, value, key == "approach" ? touch.approach_ms : touch.hold_ms);
        }
        if (key == "press" || key == "lift") {
            return duration(key, value, key == "press" ? touch.press_ms : touch.lift_ms);
        }
        if (key == "pressure") {
            return number_in(key, value, 0.05, 2.0, touch.pressure);
        }
        if (key == "at") {
            return pair(key, value, touch.at_x, touch.at_y);
        }
        if (key == "slide") {
            return pair(key, value, touch.slide_x, touch.slide_y);
        }
        if (key == "turn") {
            return number_in(key, value, -90.0, 90.0, touch.turn);
        }
        if (key == "spread") {
            return number_in(key, value, 0.0, 200.0, touch.spread);
        }
        if (key == "tremor") {
            return number_in(key, value, 0.0, 10.0, touch.tremor);
        }
        if (key == "skin") {
            touch.skin = skin_named(value);
            return touch.skin ? "" : "unknown skin '" + value + "' (normal, dry or wet)";
        }
        return "?";
    });
    if (problem.empty()) {
        scene.touches.push_back(touch);
    }
    return problem;
}

// A keyword whose one positional argument sets one number of the environment.
template <double Environment::*field>
Problem one_number(const Arguments& arguments, const char* what, double low, double high, Scene& scene) {
    if (arguments.positional.size() != 1) {
        return std::string("takes one ") + what;
    }
    return number_in(what, arguments.positional[0], low, high, scene.environment.*field);
}

Problem apply_ambient(const Arguments& arguments, const std::string&, Scene& scene) {
    if (Problem p = one_number<&Environment::ambient>(arguments, "level", 0.0, 1000.0, scene); !p.empty()) {
        return p;
    }
    return each_key(arguments, "texture", [&](const std::string& key, const std::string& value) -> Problem {
        return key == "texture" ? number_in(key, value, 0.0, 1.0, scene.environment.texture) : "?";
    });
}

Problem apply_flicker(const Arguments& arguments, const std::string&, Scene& scene) {
    if (Problem p = one_number<&Environment::flicker_hz>(arguments, "frequency", 0.0, 1000.0, scene); !p.empty()) {
        return p;
    }
    scene.environment.flicker_depth = 0.5;
    return each_key(arguments, "depth", [&](const std::string& key, const std::string& value) -> Problem {
        return key == "depth" ? number_in(key, value, 0.0, 1.0, scene.environment.flicker_depth) : "?";
    });
}

Problem apply_exposure(const Arguments& arguments, const std::string&, Scene& scene) {
    double ms = 0.0;
    if (arguments.positional.size() != 1 || !arguments.keyed.empty()) {
        return "takes one time";
    }
    if (Problem p = duration("exposure", arguments.positional[0], ms); !p.empty() || ms < 0.05 || ms > 1000.0) {
        return p.empty() ? "bad exposure '" + arguments.positional[0] + "' (0.05ms to 1s)" : p;
    }
    scene.environment.exposure_ms = ms;
    return {};
}

Problem apply_gain(const Arguments& arguments, const std::string&, Scene& scene) {
    return arguments.keyed.empty() ? one_number<&Environment::gain>(arguments, "gain", 0.1, 16.0, scene) : "takes one gain";
}

Problem apply_noise(const Arguments& arguments, const std::string&, Scene& scene) {
    if (Problem p = count(arguments, 0, 0, "read=<levels> and shot=<variance per level>"); !p.empty()) {
        return p;
    }
    return each_key(arguments, "read, shot", [&](const std::string& key, const std::string& value) -> Problem {
        if (key == "read") {
            return number_in(key, value, 0.0, 50.0, scene.environment.read_noise);
        }
        return key == "shot" ? number_in(key, value, 0.0, 10.0, scene.environment.shot_noise) : "?";
    });
}

Problem apply_fixed_pattern(const Arguments& arguments, const std::string&, Scene& scene) {
    if (Problem p = count(arguments, 0, 0, "offset=<levels> and gain=<fraction>"); !p.empty()) {
        return p;
    }
    return each_key(arguments, "offset, gain", [&](const std::string& key, const std::string& value) -> Problem {
        if (key == "offset") {
            return number_in(key, value, 0.0, 30.0, scene.environment.fixed_offset);
        }
        return key == "gain" ? number_in(key, value, 0.0, 0.5, scene.environment.fixed_gain) : "?";
    });
}

Problem apply_vignetting(const Arguments& arguments, const std::string&, Scene& scene) {
    return arguments.keyed.empty() ? one_number<&Environment::vignetting>(arguments, "fraction", 0.0, 0.9, scene)
                                   : "takes one fraction";
}

Problem apply_latent(const Arguments& arguments, const std::string&, Scene& scene) {
    if (Problem p = one_number<&Environment::latent>(arguments, "strength", 0.0, 1.0, scene); !p.empty()) {
        return p;
    }
    return each_key(arguments, "fade", [&](const std::string& key, const std::string& value) -> Problem {
        double ms = 0.0;
        if (key != "fade") {
            return "?";
        }
        Problem p = duration(key, value, ms);
        scene.environment.latent_fade_s = std::max(ms, 1.0) / 1000.0;
        return p;
    });
}

Problem apply_shadow(const Arguments& arguments, const std::string&, Scene& scene) {
    return arguments.keyed.empty() ? one_number<&Environment::shadow>(arguments, "strength", 0.0, 1.0, scene)
                                   : "takes one strength";
}

Problem apply_background(const Arguments& arguments, const std::string&, Scene& scene) {
    return arguments.keyed.empty() ? one_number<&Environment::background>(arguments, "level", 0.0, 255.0, scene)
                                   : "takes one level";
}

// The path is the rest of the line, so it may hold spaces; the image must decode now.
Problem apply_image(const Arguments&, const std::string& rest, Scene& scene) {
    if (rest.empty()) {
        return "needs the path of a PNG or PGM image";
    }
    try {
        check_image(rest);
    } catch (const std::invalid_argument& error) {
        return error.what();
    }
    scene.image = rest;
    return {};
}

struct Keyword {
    const char* name;
    Problem (*apply)(const Arguments&, const std::string&, Scene&);
};

const Keyword keywords[] = {
    {"identity", apply_identity}, {"skin", apply_skin},       {"touch", apply_touch},
    {"ambient", apply_ambient},   {"flicker", apply_flicker}, {"exposure", apply_exposure},
    {"gain", apply_gain},         {"noise", apply_noise},     {"fixed_pattern", apply_fixed_pattern},
    {"vignetting", apply_vignetting}, {"latent", apply_latent}, {"shadow", apply_shadow},
    {"background", apply_background}, {"image", apply_image},
};

const Keyword* find(const std::string& name) {
    const auto found = std::find_if(std::begin(keywords), std::end(keywords),
                                    [&](const Keyword& row) { return name == row.name; });
    return found == std::end(keywords) ? nullptr : found;
}

}  // namespace

bool is_world_keyword(const std::string& keyword) {
    return find(keyword) != nullptr;
}

std::string apply_world_line(const std::vector<std::string>& words, const std::string& rest, Scene& scene) {
    const Keyword* keyword = find(words.at(0));
    if (keyword == nullptr) {
        return "unknown source or setting '" + words[0] + "'";
    }
    const Problem problem = keyword->apply(split(words), rest, scene);
    return problem.empty() || keyword->apply == apply_image ? problem : "'" + words[0] + "' " + problem;
}

}  // namespace vsensor::world
