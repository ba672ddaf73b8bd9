// bio-tune: scores recordings of raw frames with the module's own kernels for bsize/step pairs,
// finds the empty-glass and finger clusters, suggests var_min, replays the detector for a few
// img_num/min_img_num pairs, prints the suggestion and writes an HTML report.
#include <cstdint>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "replay.h"
#include "replay_json.h"
#include "report.h"
#include "tuning.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

namespace {

struct Options {
    std::vector<std::string> recordings;
    std::vector<int> bsizes;
    std::vector<int> steps;
    std::vector<int> img_nums;
    std::vector<int> min_img_nums;
    std::string report_path = "bio-tune-report.html";
    bool json = false;
};

// The pairs asked for, or the configuration's defaults; throws CLI::ValidationError when they do
// not pair up or give no usable score.
template <typename Pair>
std::vector<Pair> pairs_of(const std::vector<int>& first, const std::vector<int>& second, const char* names,
                           std::vector<Pair> defaults) {
    if (first.size() != second.size()) {
        throw CLI::ValidationError(std::string(names) + " must be given as many times each");
    }
    if (first.empty()) {
        return defaults;
    }
    std::vector<Pair> pairs;
    for (std::size_t i = 0; i < first.size(); ++i) {
        pairs.push_back(Pair{first[i], second[i]});
    }
    return pairs;
}

std::string counts_text(const bio_replay::Counts& counts) {
    std::ostringstream text;
    text << counts.published + counts.early + counts.dropped + counts.open << " touches: " << counts.published
         << " published, " << counts.early << " early, " << counts.dropped << " dropped";
    if (counts.open != 0) {
        text << ", " << counts.open << " unfinished";
    }
    return text.str();
}

// The text lines of one pair's suggestion, as printed and as shown in the report.
std::vector<std::string> suggestion_text(const bio_tune::ScorePair& pair, std::size_t frames,
                                         const bio_tune::Suggestion& s) {
    std::vector<std::string> lines;
    lines.push_back("bsize " + std::to_string(pair.bsize) + ", step " + std::to_string(pair.step) + ": " +
                    std::to_string(frames) + " frames");
    if (s.usable) {
        lines.push_back("  empty glass: scores " + std::to_string(s.glass.low) + " to " +
                        std::to_string(s.glass.high) + " (" + std::to_string(s.glass.frames) + " frames)");
        lines.push_back("  finger:      scores " + std::to_string(s.finger.low) + " to " +
                        std::to_string(s.finger.high) + " (" + std::to_string(s.finger.frames) + " frames)");
        lines.push_back("  suggested var_min " + std::to_string(s.var_min) + ": " +
                        std::to_string(s.margin_glass) + " above the highest glass score, " +
                        std::to_string(s.margin_finger) + " below the lowest finger score");
    }
    for (const std::string& note : s.notes) {
        lines.push_back("  note: " + note);
    }
    return lines;
}

// Scores, clusters, suggestion and replays of one pair: its report data; prints it.
nlohmann::json tune_pair(const std::vector<bio_tune::ScoredRecording>& recordings, std::size_t p,
                         const bio_tune::ScorePair& pair, const std::vector<bio_replay::Rules>& rule_pairs,
                         const Options& options) {
    std::vector<std::int32_t> scores;
    for (const bio_tune::ScoredRecording& recording : recordings) {
        scores.insert(scores.end(), recording.scores[p].begin(), recording.scores[p].end());
    }
    const bio_tune::Suggestion s = bio_tune::suggest(scores);
    std::vector<std::string> text = suggestion_text(pair, scores.size(), s);
    nlohmann::json replays = nlohmann::json::array();
    nlohmann::json replay_counts = nlohmann::json::array();
    for (bio_replay::Rules rules : rule_pairs) {
        if (!s.usable) {
            break;
        }
        rules.var_min = s.var_min;
        const std::vector<bio_replay::Touch> touches = bio_tune::replay_recordings(recordings, p, rules);
        const bio_replay::Counts counts = bio_replay::count_outcomes(touches);
        text.push_back("  img_num " + std::to_string(rules.img_num) + ", min_img_num " +
                       std::to_string(rules.min_img_num) + ": " + counts_text(counts));
        replays.push_back({{"rules", bio_replay::rules_json(rules)},
                           {"counts", bio_replay::counts_json(counts)},
                           {"touches", bio_replay::touches_json(touches)}});
        nlohmann::json line = bio_replay::rules_json(rules);
        line.update(bio_replay::counts_json(counts));
        replay_counts.push_back(line);
    }
    nlohmann::json summary = {{"bsize", pair.bsize},
                              {"step", pair.step},
                              {"frames", scores.size()},
                              {"usable", s.usable},
                              {"notes", s.notes}};
    if (s.usable) {
        summary["glass"] = {{"low", s.glass.low}, {"high", s.glass.high}, {"frames", s.glass.frames}};
        summary["finger"] = {{"low", s.finger.low}, {"high", s.finger.high}, {"frames", s.finger.frames}};
        summary["var_min"] = s.var_min;
        summary["margin_glass"] = s.margin_glass;
        summary["margin_finger"] = s.margin_finger;
        summary["replays"] = replay_counts;
    }
    if (options.json) {
        std::cout << summary.dump() << '\n';
    } else {
        for (const std::string& line : text) {
            std::cout << line << '\n';
        }
    }
    return {{"bsize", pair.bsize},
            {"step", pair.step},
            {"var_min", s.usable ? nlohmann::json(s.var_min) : nullptr},
            {"text", text},
            {"scores", scores},
            {"replays", replays}};
}

int run(const Options& options) {
    const std::vector<bio_tune::ScorePair> pairs =
        pairs_of<bio_tune::ScorePair>(options.bsizes, options.steps, "--bsize and --step", {{16, 4}});
    std::vector<bio_replay::Rules> rule_pairs;
    for (const auto& [img_num, min_img_num] :
         pairs_of<std::pair<int, int>>(options.img_nums, options.min_img_nums, "--img-num and --min-img-num",
                                       {{5, 2}, {3, 1}, {8, 3}})) {
        rule_pairs.push_back(bio_replay::Rules{0, img_num, min_img_num});
    }
    bio_tune::check_report_path(options.report_path, options.recordings);
    std::vector<bio_tune::ScoredRecording> recordings;
    nlohmann::json data = {{"recordings", nlohmann::json::array()}, {"pairs", nlohmann::json::array()}};
    for (const std::string& path : options.recordings) {
        recordings.push_back(bio_tune::score_recording(path, pairs));
        data["recordings"].push_back({{"path", path}, {"frames", recordings.back().frames}});
    }
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        data["pairs"].push_back(tune_pair(recordings, p, pairs[p], rule_pairs, options));
    }
    bio_tune::write_report(options.report_path, bio_tune::report_html(data));
    if (options.json) {
        std::cout << nlohmann::json{{"report", options.report_path}}.dump() << '\n';
    } else {
        std::cout << "bio-tune: report written to " << options.report_path << '\n';
    }
    std::cout.flush();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app{
        "Scores recordings of raw frames (bio-stream --record) with the module's own kernels, suggests "
        "var_min\n"
        "between the empty-glass and finger scores, and replays the finger detector on them."};
    app.add_option("recordings", options.recordings, "Recordings to score")->required();
    app.add_option("--bsize", options.bsizes, "Block size of a pair to try (with --step; default 16)")
        ->check(CLI::Range(1, 280));
    app.add_option("--step", options.steps, "Row step of a pair to try (with --bsize; default 4)")
        ->check(CLI::Range(1, 280));
    app.add_option("--img-num", options.img_nums,
                   "img_num of a replay (with --min-img-num; default 5, 3, 8)");
    app.add_option("--min-img-num", options.min_img_nums, "min_img_num of a replay (default 2, 1, 3)");
    app.add_option("-r,--report", options.report_path, "HTML report to write")->capture_default_str();
    app.add_flag("--json", options.json, "Print JSON lines instead of text");
    CLI11_PARSE(app, argc, argv);

    try {
        return run(options);
    } catch (const CLI::Error& error) {
        return app.exit(error);
    } catch (const std::exception& error) {
        std::cout.flush();
        std::cerr << "bio-tune: " << error.what() << std::endl;
        return 1;
    }
}
