// bio-tune's answers as text lines and JSON objects: printed by bio-tune (text, or --json) and
// shown in its report, so that both say the same.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "analysis.h"
#include "tuning.h"

#include <nlohmann/json.hpp>

namespace bio_tune {

// "recording PATH: N frames over D s at R frames/s, G gaps (L frames lost)".
std::string recording_line(const ScoredRecording& recording);
// {"recording": PATH, "frames", "duration_s", "frame_rate", "gaps", "frames_lost", "gaps_uncounted", "truth"}
nlohmann::json recording_json(const ScoredRecording& recording);

// A pair's clusters, suggestion (or refusal) and replays, one line each, and with truth each
// recording at the suggestion and on its own.
std::vector<std::string> pair_lines(const PairResult& result, const std::vector<ScoredRecording>& recordings);
// {"bsize", "step", "frames", "usable", "refused", "notes", "glass", "finger", "var_min", "margin_glass",
//  "margin_finger", "replays": [{rules and counts}]}; with truth "operating_point", "roc" and
//  "recordings": [{"recording", "touches", "detected", "missed", "false", "alone"}]
nlohmann::json pair_json(const PairResult& result, const std::vector<ScoredRecording>& recordings);

// "PATH: 10 of 10 detected, ...; alone: ..." of one recording.
std::string condition_text(const Condition& condition, const std::vector<ScoredRecording>& recordings);

// The configuration keys of section bio_module suggested, named as in the module's key table:
// bsize, step, var_min, img_num and min_img_num with their values.
std::vector<std::pair<const char*, int>> suggested_keys(const Analysis& analysis);
// The same, "bsize=16 step=4 var_min=N img_num=5 min_img_num=2", ready for bio-host's --set.
std::string suggestion_keys(const Analysis& analysis);
// "suggestion: KEYS" and why, or "no suggestion: REASONS".
std::vector<std::string> verdict_lines(const Analysis& analysis);
// {"suggestion": {"bsize", "step", "var_min", "img_num", "min_img_num"}, "why"}, or
// {"suggestion": null, "refused": REASONS}
nlohmann::json verdict_json(const Analysis& analysis);

// "1 published, 2 early, ..." of a replay.
std::string counts_text(const bio_replay::Counts& counts);

// "6 of 6 detected (5 in time, 1 early), 0 missed, 0 false (...), ..." of a replay against truth.
std::string judgement_text(const Judgement& judged);
// {"touches", "detected", "in_time", "early", "missed", "false", "false_per_hour", "repeated",
//  "latency_ms": {"median", "max"}, "best_frame"}
nlohmann::json judgement_json(const Judgement& judged);

// "1 frame", "2 frames".
std::string plural(std::size_t n, const char* one, const char* many);

// `value` with `digits` digits after the point.
std::string fixed(double value, int digits);

}  // namespace bio_tune
