// bio-tune's HTML report, and the writing of it.
#include "report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>

#include "bio_common/config_keys.h"
#include "bio_common/file_kind.h"
#include "bio_common/unique_fd.h"
#include "replay_json.h"
#include "summary.h"
#include "web_assets.h"

namespace bio_tune {

namespace {

[[noreturn]] void fail(const std::string& path, const std::string& what) {
    throw std::runtime_error("report " + path + ": " + what);
}

// The template with every "@@NAME@@" replaced by fills[NAME], in one pass: text put in is never
// searched for markers again, so a recording's name cannot smuggle one in.
std::string fill(std::string_view page, const std::map<std::string, std::string_view>& fills) {
    std::string out;
    for (std::size_t at = 0;;) {
        const std::size_t open = page.find("@@", at);
        const std::size_t close = open == std::string_view::npos ? open : page.find("@@", open + 2);
        if (close == std::string_view::npos) {
            out.append(page.substr(at));
            return out;
        }
        const auto found = fills.find(std::string(page.substr(open + 2, close - open - 2)));
        if (found == fills.end()) {
            throw std::logic_error("report template has an unknown marker at " + std::to_string(open));
        }
        out.append(page.substr(at, open - at)).append(found->second);
        at = close + 2;
    }
}

// A script or style inlined into the page must not close its element early.
std::string_view inlinable(std::string_view name) {
    const std::string_view text = bio_web::asset_text(name);
    if (text.find("</script") != std::string_view::npos || text.find("<!--") != std::string_view::npos) {
        throw std::logic_error(std::string(name) + " cannot be inlined: it holds </script or <!--");
    }
    return text;
}

std::string element(const char* tag, std::string_view text) {
    return std::string("<") + tag + ">" + html_text(text) + "</" + tag + ">";
}

// A table row of cells given as text.
std::string row(const std::vector<std::string>& cells, const char* tag = "td") {
    std::string html = "<tr>";
    for (const std::string& cell : cells) {
        html += element(tag, cell);
    }
    return html + "</tr>";
}

std::string table(const char* id, const std::vector<std::string>& head, const std::vector<std::string>& rows) {
    std::string html = std::string("<table id=\"") + id + "\"><thead>" + row(head, "th") + "</thead><tbody>";
    for (const std::string& r : rows) {
        html += r;
    }
    return html + "</tbody></table>";
}

std::string base64(const std::vector<unsigned char>& bytes) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t left = bytes.size() - i;
        const unsigned v = bytes[i] << 16 | (left > 1 ? bytes[i + 1] << 8 : 0) | (left > 2 ? bytes[i + 2] : 0);
        out += digits[v >> 18 & 63];
        out += digits[v >> 12 & 63];
        out += left > 1 ? digits[v >> 6 & 63] : '=';
        out += left > 2 ? digits[v & 63] : '=';
    }
    return out;
}

nlohmann::json quality_json(const bio_quality::Quality& q) {
    return {{"figure", q.figure}, {"foreground", q.foreground}, {"orientation", q.orientation}, {"clarity", q.clarity}};
}

std::string verdict_html(const Analysis& analysis) {
    std::string html = "<section id=\"verdict\"><h2>Verdict</h2>";
    if (!analysis.verdict.made()) {
        return html + "<p class=\"refused\">" + html_text("No suggestion: " + analysis.verdict.refused) +
               "</p></section>";
    }
    const PairResult& pair = analysis.pairs[analysis.verdict.pair];
    std::string snippet = std::string("[") + bio_common::module_section + "]\n";
    for (const auto& [key, value] : suggested_keys(analysis)) {
        snippet += std::string(key) + " = " + std::to_string(value) + "\n";
    }
    html += "<p class=\"answer\">" + html_text(suggestion_keys(analysis)) + "</p>" + element("p", analysis.verdict.why);
    if (analysis.truth) {
        html += element("p", "Against truth: " + judgement_text(pair.replays[analysis.verdict.rules].judged) + ".");
    }
    return html + "<pre id=\"snippet\">" + html_text(snippet) + "</pre></section>";
}

std::string pairs_html(const Analysis& analysis) {
    std::vector<std::string> rows;
    for (std::size_t p = 0; p < analysis.pairs.size(); ++p) {
        const PairResult& r = analysis.pairs[p];
        const Suggestion& s = r.suggestion;
        const std::string name = std::to_string(r.pair.bsize) + "/" + std::to_string(r.pair.step);
        if (!s.usable()) {
            rows.push_back(row({name, std::to_string(r.frames), "", "", "", "", "refused: " + s.refused}));
            continue;
        }
        const auto range = [](const Cluster& c) { return std::to_string(c.low) + " to " + std::to_string(c.high); };
        const bool chosen = analysis.verdict.made() && analysis.verdict.pair == p;
        const Replayed& replayed = r.replays[r.point.rules];
        const std::string touches = r.judged ? "img_num " + std::to_string(replayed.rules.img_num) + ", min_img_num " +
                                                   std::to_string(replayed.rules.min_img_num) + ": " +
                                                   judgement_text(replayed.judged)
                                             : counts_text(replayed.counts);
        rows.push_back(row({name, std::to_string(r.frames), range(s.glass), range(s.finger), std::to_string(s.var_min),
                            std::to_string(s.margin_glass) + " / " + std::to_string(s.margin_finger),
                            (chosen ? "suggested; " : "") + touches}));
    }
    return "<section id=\"pairs\"><h2>Pairs tried</h2>" +
           table("pairs-table",
                 {"bsize/step", "frames", "empty glass", "finger", "var_min", "margin glass / finger",
                  analysis.truth ? "touches against truth" : "touches (first replay)"},
                 rows) +
           "</section>";
}

std::uint64_t time_at(const std::vector<ScoredRecording>& recordings, std::size_t position) {
    const Place at = place_of(recordings, position);
    return recordings[at.recording].time_us[at.position];
}

std::string quality_text(const Analysis& analysis, std::size_t position) {
    const auto found = analysis.quality.find(position);
    return found == analysis.quality.end() ? "" : std::to_string(found->second.figure);
}

// The touches the verdict's replay finds, with what truth says of each, and the touches by truth
// it missed, in the order they start.
std::string touches_html(const std::vector<ScoredRecording>& recordings, const Analysis& analysis) {
    if (!analysis.verdict.made()) {
        return "";
    }
    const PairResult& pair = analysis.pairs[analysis.verdict.pair];
    const Replayed& replayed = pair.replays[analysis.verdict.rules];
    const Judgement& judged = replayed.judged;
    // Start and length of the positions [first, end) (end may be the recording's end).
    const auto span = [&](std::size_t first, std::size_t end_global, std::vector<std::string>& cells) {
        const Place at = place_of(recordings, first);
        const ScoredRecording& recording = recordings[at.recording];
        const std::size_t end = std::min(at.position + (end_global - first), recording.time_us.size());
        cells.push_back(recording.path);
        cells.push_back(recording.facts.timed ? fixed(static_cast<double>(recording.time_us[at.position] -
                                                                           recording.time_us.front()) / 1e6, 2) + " s"
                                              : "record " + std::to_string(at.position + 1));
        cells.push_back(recording.facts.timed && end < recording.time_us.size()
                            ? fixed(static_cast<double>(recording.time_us[end] - recording.time_us[at.position]) / 1e3,
                                    0) + " ms"
                            : plural(end - at.position, "record", "records"));
    };
    std::vector<std::pair<std::size_t, std::vector<std::string>>> rows;
    for (std::size_t i = 0; i < replayed.touches.size(); ++i) {
        const bio_replay::Touch& touch = replayed.touches[i];
        std::vector<std::string> cells;
        // Until the frame that ends it, or the recording's end: finger frames ignored once published
        // and frames lost count too.
        const std::size_t ends = touch.removed != bio_replay::no_index ? touch.removed : touch.decided;
        span(touch.first, ends == bio_replay::no_index ? SIZE_MAX : ends, cells);
        cells.push_back(std::to_string(touch.best));
        cells.push_back(bio_replay::outcome_name(touch.outcome));
        cells.push_back(touch.gap ? "frames lost" : "");
        if (analysis.truth) {
            const bool publication = touch.outcome == bio_replay::Outcome::published ||
                                     touch.outcome == bio_replay::Outcome::early;
            const int t = judged.truth_of.empty() ? -1 : judged.truth_of[i];
            const TruthTouch* real = t < 0 ? nullptr : &analysis.truth_touches[static_cast<std::size_t>(t)];
            const bool first = real != nullptr && judged.published_by[static_cast<std::size_t>(t)] == static_cast<int>(i);
            cells.push_back(real ? "touch " + std::to_string(real->number) + (first ? "" : ", again")
                                 : publication ? "false: no contact" : "");
            cells.push_back(first && recordings[real->recording].facts.timed
                                ? fixed((static_cast<double>(time_at(recordings, touch.decided)) -
                                         static_cast<double>(time_at(recordings, real->first_contact))) / 1e3, 0) +
                                      " ms"
                                : "");
            cells.push_back(publication && touch.best_index != bio_replay::no_index
                                ? quality_text(analysis, touch.best_index)
                                : "");
            cells.push_back(real ? quality_text(analysis, real->best) : "");
        }
        rows.push_back({touch.first, cells});
    }
    for (std::size_t t = 0; t < analysis.truth_touches.size(); ++t) {
        if (judged.published_by.empty() || judged.published_by[t] >= 0) {
            continue;
        }
        const TruthTouch& real = analysis.truth_touches[t];
        std::vector<std::string> cells;
        span(real.first_contact, real.last_contact + 1, cells);
        cells.insert(cells.end(), {"", "missed", "", "touch " + std::to_string(real.number), "", "",
                                   quality_text(analysis, real.best)});
        rows.push_back({real.first_contact, cells});
    }
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> html;
    for (const auto& r : rows) {
        html.push_back(row(r.second));
    }
    std::vector<std::string> head = {"recording", "start", "length", "best score", "outcome", "gap"};
    if (analysis.truth) {
        head.insert(head.end(), {"truth", "latency", "quality published", "quality of its best frame"});
    }
    return "<section id=\"touches\"><h2>Touches at the suggestion</h2>" + table("touches-table", head, html) +
           "</section>";
}

// Each recording against truth, per pair: at the pair's suggestion and on its own.
std::string conditions_html(const std::vector<ScoredRecording>& recordings, const Analysis& analysis) {
    std::vector<std::string> rows;
    for (const PairResult& r : analysis.pairs) {
        for (const Condition& c : r.conditions) {
            const auto counts = [&c](std::size_t n) { return c.at_suggestion ? std::to_string(n) : std::string(); };
            rows.push_back(row({std::to_string(r.pair.bsize) + "/" + std::to_string(r.pair.step),
                                recordings[c.recording].path, std::to_string(c.judged.touches),
                                counts(c.judged.detected), counts(c.judged.missed), counts(c.judged.false_touches),
                                c.refused.empty() ? "var_min " + std::to_string(c.alone.low) + " to " +
                                                        std::to_string(c.alone.high) + ": " +
                                                        std::to_string(c.alone_judged.detected) + " detected"
                                                  : c.refused}));
        }
    }
    if (rows.empty()) {
        return "";
    }
    return "<section id=\"conditions\"><h2>Each recording at its pair's suggestion, and on its own</h2>" +
           table("conditions-table",
                 {"bsize/step", "recording", "touches", "detected", "missed", "false", "on its own, no false touch"},
                 rows) +
           "</section>";
}

std::string recordings_html(const std::vector<ScoredRecording>& recordings) {
    std::vector<std::string> rows;
    for (const ScoredRecording& recording : recordings) {
        const RecordingFacts& f = recording.facts;
        rows.push_back(
            "<tr><td title=\"" + html_text(recording.path) + "\">" + html_text(recording.path) + "</td>" +
            element("td", std::to_string(f.frames)) + element("td", f.timed ? fixed(f.duration_s, 1) + " s" : "") +
            element("td", f.timed ? fixed(f.frame_rate, 1) + " frames/s" : "no arrival times") +
            element("td", std::to_string(f.gaps)) +
            element("td", std::to_string(f.frames_lost) + (f.gaps_uncounted ? " and more" : "")) +
            element("td", f.truth ? "yes" : "no") + "</tr>");
    }
    return "<section id=\"recordings\"><h2>Recordings</h2>" +
           table("recordings-table", {"recording", "frames", "duration", "rate", "gaps", "frames lost", "truth"},
                 rows) +
           "</section>";
}

// What the page's scripts draw: the scores with their touches, and the thumbnails.
nlohmann::json chart_data(const std::vector<ScoredRecording>& recordings, const Analysis& analysis) {
    nlohmann::json data = {{"recordings", nlohmann::json::array()},
                           {"verdict", verdict_json(analysis)},
                           {"pairs", nlohmann::json::array()},
                           {"thumbnails", nlohmann::json::array()}};
    for (const ScoredRecording& recording : recordings) {
        data["recordings"].push_back(recording_json(recording));
    }
    for (std::size_t p = 0; p < analysis.pairs.size(); ++p) {
        const PairResult& r = analysis.pairs[p];
        nlohmann::json scores = nlohmann::json::array();
        for (const ScoredRecording& recording : recordings) {
            for (const bio_replay::Sample& sample : recording.samples[p]) {
                scores.push_back(sample.gap ? nlohmann::json(nullptr) : nlohmann::json(sample.score));
            }
        }
        nlohmann::json replays = nlohmann::json::array();
        for (const Replayed& replayed : r.replays) {
            replays.push_back({{"rules", bio_replay::rules_json(replayed.rules)},
                               {"counts", bio_replay::counts_json(replayed.counts)},
                               {"touches", bio_replay::touches_json(replayed.touches)}});
        }
        nlohmann::json roc = nlohmann::json::array();
        for (const RocPoint& point : r.roc) {
            roc.push_back({{"var_min", point.var_min}, {"detected", point.detected}, {"false", point.false_touches}});
        }
        nlohmann::json suggested = nullptr;
        if (r.judged && r.suggestion.usable()) {
            const Judgement& j = r.replays[r.point.rules].judged;
            suggested = {{"detected", j.detected}, {"false", j.false_touches}};
        }
        data["pairs"].push_back({{"bsize", r.pair.bsize},
                                 {"step", r.pair.step},
                                 {"roc", roc},
                                 {"suggested", suggested},
                                 {"var_min", r.suggestion.usable() ? nlohmann::json(r.suggestion.var_min)
                                                                   : nlohmann::json(nullptr)},
                                 {"text", pair_lines(r, recordings)},
                                 {"scores", scores},
                                 {"replays", replays}});
    }
    for (const Thumbnail& t : analysis.thumbnails) {
        data["thumbnails"].push_back({{"label", t.label},
                                      {"recording", recordings[t.recording].path},
                                      {"position", t.position},
                                      {"score", t.score},
                                      {"width", Thumbnail::width},
                                      {"height", Thumbnail::height},
                                      {"pixels", base64(t.pixels)},
                                      {"quality", quality_json(t.quality)}});
    }
    return data;
}

}  // namespace

std::string html_text(std::string_view text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string script_json(const nlohmann::json& data) {
    // Outside strings JSON has none of these characters, and inside them the escape reads back
    // as the same character. Invalid UTF-8 in a name is replaced rather than refused.
    const std::string json = data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::string out;
    out.reserve(json.size());
    for (const char c : json) {
        switch (c) {
            case '<':
                out += "\\u003c";
                break;
            case '>':
                out += "\\u003e";
                break;
            case '&':
                out += "\\u0026";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string report_html(const std::vector<ScoredRecording>& recordings, const Analysis& analysis) {
    const std::string summary = verdict_html(analysis) + pairs_html(analysis) + conditions_html(recordings, analysis) +
                                touches_html(recordings, analysis) +
                                "<section id=\"thumbnails\"><h2>Frames that decide the threshold</h2></section>" +
                                (analysis.truth ? "<section id=\"roc\"><h2>Touches detected against false touches "
                                                  "as var_min moves</h2></section>"
                                                : "") +
                                recordings_html(recordings);
    return fill(bio_web::asset_text("report.html"), {{"UPLOT_CSS", inlinable("uPlot.min.css")},
                                                     {"STYLE_CSS", inlinable("style.css")},
                                                     {"UPLOT_JS", inlinable("uPlot.iife.min.js")},
                                                     {"CHARTS_JS", inlinable("charts.js")},
                                                     {"REPORT_JS", inlinable("report.js")},
                                                     {"SUMMARY", summary},
                                                     {"REPORT_DATA", script_json(chart_data(recordings, analysis))}});
}

void check_report_path(const std::string& path, const std::vector<std::string>& recordings) {
    struct stat report {};
    if (::lstat(path.c_str(), &report) != 0) {
        return;  // nothing there yet (or unreachable: the write says why)
    }
    if (S_ISLNK(report.st_mode)) {
        fail(path, "a symbolic link is not followed; name another file or remove the link");
    }
    if (!S_ISREG(report.st_mode)) {
        fail(path, std::string("cannot write the report over ") + bio_common::file_kind(report.st_mode));
    }
    for (const std::string& recording : recordings) {
        struct stat read {};
        if (::stat(recording.c_str(), &read) == 0 && read.st_dev == report.st_dev && read.st_ino == report.st_ino) {
            fail(path, "is the recording " + recording + ", which the report would replace");
        }
    }
}

void write_report(const std::string& path, std::string_view page) {
    std::string temporary = path + ".XXXXXX";
    bio_common::unique_fd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd) {
        fail(path, std::string("cannot create: ") + std::strerror(errno));
    }
    for (std::size_t done = 0; done < page.size();) {
        const ssize_t wrote = ::write(fd.get(), page.data() + done, page.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            const int saved = errno;
            ::unlink(temporary.c_str());
            fail(path, std::string("cannot write: ") + std::strerror(saved));
        }
        done += static_cast<std::size_t>(wrote);
    }
    if (::close(fd.release()) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        ::unlink(temporary.c_str());
        fail(path, std::string("cannot write: ") + std::strerror(saved));
    }
}

}  // namespace bio_tune
