// bio-tune's HTML report: one self-contained file (charting library, scripts, styles and data
// inlined) that any browser opens without a network, and the writing of it beside the recordings
// it was made from.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "analysis.h"
#include "tuning.h"

#include <nlohmann/json.hpp>

namespace bio_tune {

// `text` made safe as the text of an element or the value of a quoted attribute.
std::string html_text(std::string_view text);

// `data` as JSON that can stand inside a script element whatever its strings hold: every "<",
// ">" and "&" is written as a \u escape, so no "</script" or "<!--" can appear in it.
std::string script_json(const nlohmann::json& data);

// The report's page: the verdict first, then the pairs compared, the touches at the suggestion, the
// frames that decide the threshold, the recordings, and per pair the charts of the scores.
std::string report_html(const std::vector<ScoredRecording>& recordings, const Analysis& analysis);

// Refuses, before any work is done, a report path that would be written through a symbolic link,
// over a file that is not a regular one, or over one of the recordings read (the same file under
// any name: same device and inode). Throws std::runtime_error with one line naming the path.
void check_report_path(const std::string& path, const std::vector<std::string>& recordings);

// Writes `page` to `path` through a new file beside it (created exclusively, readable by its owner
// only: the report shows fingerprints) that is then renamed over the path, so that a reader sees
// the old report or the new one and a link planted meanwhile is replaced, never written through.
// Throws std::runtime_error naming the path when the file cannot be written.
void write_report(const std::string& path, std::string_view page);

}  // namespace bio_tune
