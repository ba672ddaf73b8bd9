// bio-tune: scores recordings of raw frames with the module's own kernels for bsize/step pairs,
// finds the empty-glass and finger clusters, suggests var_min, replays the detector for a few
// img_num/min_img_num pairs, prints the verdict and writes an HTML report.
#include <cerrno>
#include <cstdint>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "analysis.h"
#include "bio_common/cli.h"
#include "bio_common/config_keys.h"
#include "replay.h"
#include "report.h"
#include "summary.h"
#include "tuning.h"

#include <nlohmann/json.hpp>

namespace {

namespace cli = bio_common::cli;

// The options named after the configuration keys they try: a key renamed in the table does not
// compile here.
constexpr const char* bsize_key = bio_common::module_key("bsize");
constexpr const char* step_key = bio_common::module_key("step");
constexpr const char* img_num_key = bio_common::module_key("img_num");
constexpr const char* min_img_num_key = bio_common::module_key("min_img_num");

struct Options {
    std::vector<std::string> recordings;
    std::vector<int> bsizes;
    std::vector<int> steps;
    std::vector<int> img_nums;
    std::vector<int> min_img_nums;
    std::string report_path = "bio-tune-report.html";
    bool json = false;
};

// The pairs of options `first` and `second` asked for, or the configuration's defaults; a usage
// error when they do not pair up.
template <typename Pair>
std::vector<Pair> pairs_of(const std::vector<int>& first, const std::vector<int>& second,
                           const char* first_key, const char* second_key, std::vector<Pair> defaults) {
    if (first.size() != second.size()) {
        throw cli::UsageError(std::string("--") + first_key + " and --" + second_key +
                              " must be given as many times each (" + std::to_string(first.size()) + " and " +
                              std::to_string(second.size()) + ")");
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
        pairs_of<bio_tune::ScorePair>(options.bsizes, options.steps, bsize_key, step_key, {{16, 4}});
    std::vector<bio_replay::Rules> rule_sets;
    for (const auto& [img_num, min_img_num] :
         pairs_of<std::pair<int, int>>(options.img_nums, options.min_img_nums, img_num_key, min_img_num_key,
                                       {{5, 2}, {3, 1}, {8, 3}})) {
        rule_sets.push_back(bio_replay::Rules{0, img_num, min_img_num});
    }
    bio_tune::check_report_path(options.report_path, options.recordings);
    std::vector<bio_tune::ScoredRecording> recordings;
    for (const std::string& path : options.recordings) {
        recordings.push_back(bio_tune::score_recording(path, pairs));
        print(options, {bio_tune::recording_line(recordings.back())},
              bio_tune::recording_json(recordings.back()));
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
    if (!std::cout.flush()) {  // a full disk or a closed pipe: the answer did not reach its reader
        throw std::system_error(errno, std::generic_category(), "cannot write the answer to standard output");
    }
    if (!analysis.verdict.made()) {
        std::cerr << "bio-tune: " << bio_tune::verdict_lines(analysis).front() << std::endl;
        return cli::exit_failure;
    }
    return cli::exit_ok;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app{
        "Scores recordings of raw frames (bio-stream --record) with the module's own kernels, suggests "
        "bsize/step,\n"
        "var_min, img_num and min_img_num, and replays the finger detector on them. Exit status 0 with a\n"
        "suggestion, 1 when none can be made (the report says why) or on a failure, 2 on a usage error."};
    cli::set_program(app, "bio-tune");
    app.add_option("recordings", options.recordings, "Recordings to score")
        ->required()
        ->option_text("PATH...");
    app.add_option(std::string("--") + bsize_key, options.bsizes,
                   "Block size of a pair to try (with --step; repeatable; default 16)")
        ->check(CLI::Range(1, 280))
        ->option_text("N");
    app.add_option(std::string("--") + step_key, options.steps,
                   "Row step of a pair to try (with --bsize; repeatable; default 4)")
        ->check(CLI::Range(1, 280))
        ->option_text("N");
    app.add_option(std::string("--") + img_num_key, options.img_nums,
                   "img_num of a replay (with --min_img_num; repeatable; default 5, 3, 8)")
        ->option_text("N");
    app.add_option(std::string("--") + min_img_num_key, options.min_img_nums,
                   "min_img_num of a replay (with --img_num; repeatable; default 2, 1, 3)")
        ->option_text("N");
    cli::add_output(app, options.report_path, "HTML report to write (default bio-tune-report.html)");
    cli::add_json(app, options.json);
    return cli::run(app, argc, argv, [&] { return run(options); });
}
