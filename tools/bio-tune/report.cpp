// bio-tune's HTML report.
#include "report.h"

#include <stdexcept>
#include <string_view>

#include "web_assets.h"

namespace bio_tune {

namespace {

// Puts `text` where `marker` stands in `page` (once).
void fill(std::string& page, std::string_view marker, std::string_view text) {
    const std::size_t at = page.find(marker);
    if (at == std::string::npos) {
        throw std::logic_error("report template lacks " + std::string(marker));
    }
    page.replace(at, marker.size(), text);
}

// A script or style inlined into the page must not close its element early.
std::string_view inlinable(std::string_view name) {
    const std::string_view text = bio_web::asset_text(name);
    if (text.find("</script") != std::string_view::npos) {
        throw std::logic_error(std::string(name) + " cannot be inlined: it holds </script");
    }
    return text;
}

}  // namespace

std::string report_html(const nlohmann::json& data) {
    std::string page(bio_web::asset_text("report.html"));
    // In a script element "</" could end it: JSON allows "<\/" for the same text.
    std::string json = data.dump();
    for (std::size_t at = json.find("</"); at != std::string::npos; at = json.find("</", at + 3)) {
        json.replace(at, 2, "<\\/");
    }
    // Data last: the other fills must not find their markers inside it.
    fill(page, "@@UPLOT_CSS@@", inlinable("uPlot.min.css"));
    fill(page, "@@STYLE_CSS@@", inlinable("style.css"));
    fill(page, "@@UPLOT_JS@@", inlinable("uPlot.iife.min.js"));
    fill(page, "@@CHARTS_JS@@", inlinable("charts.js"));
    fill(page, "@@REPORT_JS@@", inlinable("report.js"));
    fill(page, "@@REPORT_DATA@@", json);
    return page;
}

}  // namespace bio_tune
