// bio-tune's answers as text lines and JSON objects.
#include "summary.h"

#include <cstdio>

#include "bio_common/config_keys.h"
#include "replay_json.h"

namespace bio_tune {

namespace {

nlohmann::json cluster_json(const Cluster& cluster) {
    return {{"low", cluster.low}, {"high", cluster.high}, {"frames", cluster.frames}};
}

}  // namespace

std::string plural(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string fixed(double value, int digits) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

std::string recording_line(const ScoredRecording& recording) {
    const RecordingFacts& f = recording.facts;
    std::string line = "recording " + recording.path + ": " + plural(f.frames, "frame", "frames");
    line += f.timed ? " over " + fixed(f.duration_s, 1) + " s at " + fixed(f.frame_rate, 1) + " frames/s"
                    : ", no arrival times";
    if (f.gaps == 0) {
        line += ", no gap";
    } else {
        line += ", " + plural(f.gaps, "gap", "gaps") + " (" + plural(f.frames_lost, "frame", "frames") + " lost";
        if (f.gaps_uncounted != 0) {
            line += ", more at " + plural(f.gaps_uncounted, "gap", "gaps") + " of unknown length";
        }
        line += ")";
    }
    return line + (f.truth ? ", with ground truth of " + plural(f.truth_touches, "touch", "touches") : "");
}

nlohmann::json recording_json(const ScoredRecording& recording) {
    const RecordingFacts& f = recording.facts;
    return {{"recording", recording.path},
            {"frames", f.frames},
            {"duration_s", f.timed ? nlohmann::json(f.duration_s) : nlohmann::json(nullptr)},
            {"frame_rate", f.timed ? nlohmann::json(f.frame_rate) : nlohmann::json(nullptr)},
            {"gaps", f.gaps},
            {"frames_lost", f.frames_lost},
            {"gaps_uncounted", f.gaps_uncounted},
            {"truth", f.truth},
            {"truth_touches", f.truth_touches}};
}

std::string counts_text(const bio_replay::Counts& counts) {
    std::string text = plural(counts.published + counts.early + counts.dropped + counts.open, "touch", "touches") +
                       ": " + std::to_string(counts.published) + " published, " + std::to_string(counts.early) +
                       " early, " + std::to_string(counts.dropped) + " dropped";
    if (counts.open != 0) {
        text += ", " + std::to_string(counts.open) + " unfinished";
    }
    if (counts.interrupted != 0) {
        text += "; " + std::to_string(counts.interrupted) + " interrupted by " +
                (counts.interrupted == 1 ? "a gap" : "gaps");
    }
    return text;
}

std::string judgement_text(const Judgement& j) {
    std::string text = std::to_string(j.detected) + " of " + std::to_string(j.touches) + " detected (" +
                       std::to_string(j.in_time) + " in time, " + std::to_string(j.early) + " early), " +
                       std::to_string(j.missed) + " missed, " + std::to_string(j.false_touches) + " false";
    if (j.false_per_hour >= 0) {
        text += " (" + fixed(j.false_per_hour, 1) + " per hour of empty glass)";
    }
    text += ", " + std::to_string(j.repeated) + " repeated";
    if (j.latency_median_ms >= 0) {
        text += ", latency " + fixed(j.latency_median_ms, 0) + " ms median (" + fixed(j.latency_max_ms, 0) + " max)";
    }
    return text + ", best frame in " + std::to_string(j.best_frame) + " of " + std::to_string(j.detected);
}

nlohmann::json judgement_json(const Judgement& j) {
    const auto known = [](double v) { return v >= 0 ? nlohmann::json(v) : nlohmann::json(nullptr); };
    return {{"touches", j.touches},
            {"detected", j.detected},
            {"in_time", j.in_time},
            {"early", j.early},
            {"missed", j.missed},
            {"false", j.false_touches},
            {"false_per_hour", known(j.false_per_hour)},
            {"repeated", j.repeated},
            {"latency_ms", {{"median", known(j.latency_median_ms)}, {"max", known(j.latency_max_ms)}}},
            {"best_frame", j.best_frame}};
}

std::string condition_text(const Condition& c, const std::vector<ScoredRecording>& recordings) {
    std::string text = recordings[c.recording].path + ": ";
    if (c.at_suggestion) {
        text += std::to_string(c.judged.detected) + " of " + std::to_string(c.judged.touches) + " detected, " +
                std::to_string(c.judged.missed) + " missed, " + std::to_string(c.judged.false_touches) + " false; ";
    }
    if (!c.refused.empty()) {
        return text + "alone: " + c.refused;
    }
    return text + "alone: var_min " + std::to_string(c.alone.low) + " to " + std::to_string(c.alone.high) +
           " (img_num " + std::to_string(c.alone_rules.img_num) + ", min_img_num " +
           std::to_string(c.alone_rules.min_img_num) + ") detects " + std::to_string(c.alone_judged.detected) + " of " +
           std::to_string(c.alone_judged.touches) + " with no false touch";
}

std::vector<std::string> pair_lines(const PairResult& result, const std::vector<ScoredRecording>& recordings) {
    const Suggestion& s = result.suggestion;
    std::vector<std::string> lines;
    lines.push_back("bsize " + std::to_string(result.pair.bsize) + ", step " + std::to_string(result.pair.step) +
                    ": " + plural(result.frames, "frame", "frames"));
    const bool truth = result.judged;
    const auto cluster = [&lines](const char* name, const Cluster& c) {
        if (c.frames != 0) {
            lines.push_back(std::string("  ") + name + "scores " + std::to_string(c.low) + " to " +
                            std::to_string(c.high) + " (" + std::to_string(c.frames) + " frames)");
        }
    };
    cluster(truth ? "empty glass by truth: " : "empty glass: ", s.glass);
    cluster(truth ? "finger by truth:      " : "finger:      ", s.finger);
    if (!s.usable()) {
        lines.push_back("  refused: " + s.refused);
    } else if (truth) {
        const bio_replay::Rules& rules = result.replays[result.point.rules].rules;
        const Judgement& j = result.replays[result.point.rules].judged;
        lines.push_back("  suggested var_min " + std::to_string(s.var_min) + " (img_num " +
                        std::to_string(rules.img_num) + ", min_img_num " + std::to_string(rules.min_img_num) +
                        "): no false touch, " + std::to_string(j.detected) + " of " + std::to_string(j.touches) +
                        " touches detected; every var_min tried from " + std::to_string(result.point.low) + " to " +
                        std::to_string(result.point.high) + " gives the same");
    } else {
        lines.push_back("  suggested var_min " + std::to_string(s.var_min) + ": " + std::to_string(s.margin_glass) +
                        " above the highest glass score, " + std::to_string(s.margin_finger) +
                        " below the lowest finger score");
    }
    for (const std::string& note : s.notes) {
        lines.push_back("  note: " + note);
    }
    if (!result.conditions.empty()) {
        lines.push_back(s.usable() ? "  by recording, at var_min " + std::to_string(s.var_min) + ", img_num " +
                                         std::to_string(result.replays[result.point.rules].rules.img_num) +
                                         ", min_img_num " +
                                         std::to_string(result.replays[result.point.rules].rules.min_img_num) + ":"
                                   : "  by recording:");
        for (const Condition& condition : result.conditions) {
            lines.push_back("    " + condition_text(condition, recordings));
        }
    }
    for (const Replayed& replayed : result.replays) {
        lines.push_back("  img_num " + std::to_string(replayed.rules.img_num) + ", min_img_num " +
                        std::to_string(replayed.rules.min_img_num) + ": " + counts_text(replayed.counts) +
                        (truth ? "; truth: " + judgement_text(replayed.judged) : ""));
    }
    return lines;
}

nlohmann::json pair_json(const PairResult& result, const std::vector<ScoredRecording>& recordings) {
    const Suggestion& s = result.suggestion;
    nlohmann::json json = {{"bsize", result.pair.bsize},
                           {"step", result.pair.step},
                           {"frames", result.frames},
                           {"usable", s.usable()},
                           {"refused", s.usable() ? nlohmann::json(nullptr) : nlohmann::json(s.refused)},
                           {"notes", s.notes}};
    if (result.judged && s.usable()) {
        json["operating_point"] = {{"objective", objective},
                                   {"var_min_low", result.point.low},
                                   {"var_min_high", result.point.high},
                                   {"img_num", result.replays[result.point.rules].rules.img_num},
                                   {"min_img_num", result.replays[result.point.rules].rules.min_img_num}};
        json["roc"] = nlohmann::json::array();
        for (const RocPoint& point : result.roc) {
            json["roc"].push_back({{"var_min", point.var_min}, {"detected", point.detected}, {"false", point.false_touches}});
        }
    }
    if (!result.conditions.empty()) {
        json["recordings"] = nlohmann::json::array();
        for (const Condition& c : result.conditions) {
            nlohmann::json line = {{"recording", recordings[c.recording].path}};
            if (c.at_suggestion) {
                line.update(judgement_json(c.judged));
            }
            line["alone"] = c.refused.empty() ? nlohmann::json{{"var_min_low", c.alone.low},
                                                                {"var_min_high", c.alone.high},
                                                                {"var_min", c.alone_rules.var_min},
                                                                {"img_num", c.alone_rules.img_num},
                                                                {"min_img_num", c.alone_rules.min_img_num},
                                                                {"truth", judgement_json(c.alone_judged)}}
                                              : nlohmann::json{{"refused", c.refused}};
            json["recordings"].push_back(line);
        }
    }
    if (s.usable()) {
        json["glass"] = cluster_json(s.glass);
        json["finger"] = cluster_json(s.finger);
        json["var_min"] = s.var_min;
        json["margin_glass"] = s.margin_glass;
        json["margin_finger"] = s.margin_finger;
        json["replays"] = nlohmann::json::array();
        for (const Replayed& replayed : result.replays) {
            nlohmann::json line = bio_replay::rules_json(replayed.rules);
            line.update(bio_replay::counts_json(replayed.counts));
            if (result.judged) {
                line["truth"] = judgement_json(replayed.judged);
            }
            json["replays"].push_back(line);
        }
    }
    return json;
}

std::vector<std::pair<const char*, int>> suggested_keys(const Analysis& analysis) {
    using bio_common::module_key;
    const PairResult& pair = analysis.pairs[analysis.verdict.pair];
    const bio_replay::Rules& rules = pair.replays[analysis.verdict.rules].rules;
    constexpr const char* names[] = {module_key("bsize"), module_key("step"), module_key("var_min"),
                                     module_key("img_num"), module_key("min_img_num")};
    return {{names[0], pair.pair.bsize},
            {names[1], pair.pair.step},
            {names[2], rules.var_min},
            {names[3], rules.img_num},
            {names[4], rules.min_img_num}};
}

std::string suggestion_keys(const Analysis& analysis) {
    std::string text;
    for (const auto& [key, value] : suggested_keys(analysis)) {
        text += (text.empty() ? "" : " ") + std::string(key) + "=" + std::to_string(value);
    }
    return text;
}

std::vector<std::string> verdict_lines(const Analysis& analysis) {
    if (!analysis.verdict.made()) {
        return {"no suggestion: " + analysis.verdict.refused};
    }
    return {"suggestion: " + suggestion_keys(analysis), "  why: " + analysis.verdict.why};
}

nlohmann::json verdict_json(const Analysis& analysis) {
    const Verdict& v = analysis.verdict;
    if (!v.made()) {
        return {{"suggestion", nullptr}, {"refused", v.refused}};
    }
    const PairResult& pair = analysis.pairs[v.pair];
    nlohmann::json suggestion = nlohmann::json::object();
    for (const auto& [key, value] : suggested_keys(analysis)) {
        suggestion[key] = value;
    }
    nlohmann::json json = {{"suggestion", suggestion}, {"why", v.why}};
    if (analysis.truth) {
        json["objective"] = objective;
        json["truth"] = judgement_json(pair.replays[v.rules].judged);
    }
    return json;
}

}  // namespace bio_tune
