// bio-tune's answers as text lines and JSON objects.
#include "summary.h"

#include <cstdio>

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
    return line + (f.truth ? ", with ground truth" : "");
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
            {"truth", f.truth}};
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

std::vector<std::string> pair_lines(const PairResult& result) {
    const Suggestion& s = result.suggestion;
    std::vector<std::string> lines;
    lines.push_back("bsize " + std::to_string(result.pair.bsize) + ", step " + std::to_string(result.pair.step) +
                    ": " + plural(result.frames, "frame", "frames"));
    if (!s.usable()) {
        lines.push_back("  refused: " + s.refused);
    } else {
        lines.push_back("  empty glass: scores " + std::to_string(s.glass.low) + " to " +
                        std::to_string(s.glass.high) + " (" + std::to_string(s.glass.frames) + " frames)");
        lines.push_back("  finger:      scores " + std::to_string(s.finger.low) + " to " +
                        std::to_string(s.finger.high) + " (" + std::to_string(s.finger.frames) + " frames)");
        lines.push_back("  suggested var_min " + std::to_string(s.var_min) + ": " + std::to_string(s.margin_glass) +
                        " above the highest glass score, " + std::to_string(s.margin_finger) +
                        " below the lowest finger score");
    }
    for (const std::string& note : s.notes) {
        lines.push_back("  note: " + note);
    }
    for (const Replayed& replayed : result.replays) {
        lines.push_back("  img_num " + std::to_string(replayed.rules.img_num) + ", min_img_num " +
                        std::to_string(replayed.rules.min_img_num) + ": " + counts_text(replayed.counts));
    }
    return lines;
}

nlohmann::json pair_json(const PairResult& result) {
    const Suggestion& s = result.suggestion;
    nlohmann::json json = {{"bsize", result.pair.bsize},
                           {"step", result.pair.step},
                           {"frames", result.frames},
                           {"usable", s.usable()},
                           {"refused", s.usable() ? nlohmann::json(nullptr) : nlohmann::json(s.refused)},
                           {"notes", s.notes}};
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
            json["replays"].push_back(line);
        }
    }
    return json;
}

std::string suggestion_keys(const Analysis& analysis) {
    const Verdict& v = analysis.verdict;
    const PairResult& pair = analysis.pairs[v.pair];
    const bio_replay::Rules& rules = pair.replays[v.rules].rules;
    return "bsize=" + std::to_string(pair.pair.bsize) + " step=" + std::to_string(pair.pair.step) +
           " var_min=" + std::to_string(rules.var_min) + " img_num=" + std::to_string(rules.img_num) +
           " min_img_num=" + std::to_string(rules.min_img_num);
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
    nlohmann::json suggestion = bio_replay::rules_json(pair.replays[v.rules].rules);
    suggestion["bsize"] = pair.pair.bsize;
    suggestion["step"] = pair.pair.step;
    return {{"suggestion", suggestion}, {"why", v.why}};
}

}  // namespace bio_tune
