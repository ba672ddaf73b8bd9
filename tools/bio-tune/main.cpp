// bio-tune: scores recordings of raw frames with the module's own kernels for bsize/step pairs,
// finds the empty-glass and finger clusters, suggests var_min, replays the detector for a few
// img_num/min_img_num pairs, prints the verdict and writes an HTML report.
#include <cstdint>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "analysis.h"
#include "replay.h"
#include "report.h"
#include "summary.h"
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

void print(const Options& options, const std::vector<std::string>& lines, const nlohmann::json& json) {
    if (options.json) {
        std::cout << json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
        return;
    }
    for (const std::string& line : lines) {
        std::cout << line << '\n';
    }
}

int run(const Options& options) {
    const std::vector<bio_tune::ScorePair> pairs =
        pairs_of<bio_tune::ScorePair>(options.bsizes, options.steps, "--bsize and --step", {{16, 4}});
    std::vector<bio_replay::Rules> rule_sets;
    for (const auto& [img_num, min_img_num] :
         pairs_of<std::pair<int, int>>(options.img_nums, options.min_img_nums, "--img-num and --min-img-num",
                                       {{5, 2}, {3, 1}, {8, 3}})) {
        rule_sets.push_back(bio_replay::Rules{0, img_num, min_img_num});
    }
    bio_tune::check_report_path(options.report_path, options.recordings);
    std::vector<bio_tune::ScoredRecording> recordings;
    for (const std::string& path : options.recordings) {
        recordings.push_back(bio_tune::score_recording(path, pairs));
        print(options, {bio_tune::recording_line(recordings.back())}, bio_tune::recording_json(recordings.back()));
    }
    const bio_tune::Analysis analysis = bio_tune::analyse(recordings, pairs, rule_sets);
    for (const bio_tune::PairResult& result : analysis.pairs) {
        print(options, bio_tune::pair_lines(result, recordings), bio_tune::pair_json(result, recordings));
    }
    if (analysis.verdict.made()) {
        print(options, bio_tune::verdict_lines(analysis), bio_tune::verdict_json(analysis));
    } else if (options.json) {
        print(options, {}, bio_tune::verdict_json(analysis));
    }
    bio_tune::write_report(options.report_path, bio_tune::report_html(recordings, analysis));
    print(options, {"bio-tune: report written to " + options.report_path}, {{"report", options.report_path}});
    std::cout.flush();
    if (!analysis.verdict.made()) {
        std::cerr << "bio-tune: " << bio_tune::verdict_lines(analysis).front() << std::endl;
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app{
        "Scores recordings of raw frames (bio-stream --record) with the module's own kernels, suggests "
        "bsize/step,\n"
        "var_min, img_num and min_img_num, and replays the finger detector on them. Exit status 1 when no "
        "suggestion\n"
        "can be made (the report says why)."};
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
