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

#include "bio_common/unique_fd.h"
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

// The parts of the report that need no script: the recordings read.
std::string summary_html(const nlohmann::json& data) {
    std::string html = "<section id=\"recordings\"><h2>Recordings</h2><ul>";
    for (const nlohmann::json& recording : data.at("recordings")) {
        const std::string path = recording.at("path").get<std::string>();
        html += "<li title=\"" + html_text(path) + "\">" + html_text(path) + ": " +
                std::to_string(recording.at("frames").get<std::size_t>()) + " frames</li>";
    }
    return html + "</ul></section>";
}

// What kind of file `mode` is, for a refusal.
const char* kind_of_file(mode_t mode) {
    if (S_ISDIR(mode)) {
        return "a directory";
    }
    if (S_ISFIFO(mode)) {
        return "a FIFO";
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return "a device";
    }
    return "not a regular file";
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

std::string report_html(const nlohmann::json& data) {
    return fill(bio_web::asset_text("report.html"), {{"UPLOT_CSS", inlinable("uPlot.min.css")},
                                                     {"STYLE_CSS", inlinable("style.css")},
                                                     {"UPLOT_JS", inlinable("uPlot.iife.min.js")},
                                                     {"CHARTS_JS", inlinable("charts.js")},
                                                     {"REPORT_JS", inlinable("report.js")},
                                                     {"SUMMARY", summary_html(data)},
                                                     {"REPORT_DATA", script_json(data)}});
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
        fail(path, std::string("cannot write the report over ") + kind_of_file(report.st_mode));
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
