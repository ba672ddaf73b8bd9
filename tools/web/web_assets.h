// The files of bio-stream's page and bio-tune's report (markup, scripts, styles, the charting
// library), built into the tools so that they work without a network and without installed data.
#pragma once

#include <cstddef>
#include <string_view>

namespace bio_web {

struct Asset {
    const char* name;  // "view.html", "uPlot.iife.min.js", ...
    const unsigned char* data;
    std::size_t size;

    std::string_view text() const noexcept { return {reinterpret_cast<const char*>(data), size}; }
};

// Every asset built in; sets *count.
const Asset* asset_table(std::size_t* count) noexcept;

// The asset called `name`, or null.
const Asset* find_asset(std::string_view name) noexcept;

// The HTTP content type of an asset, from the end of its name.
const char* content_type(std::string_view name) noexcept;

// The text of the asset called `name`; throws std::logic_error when it is not built in.
std::string_view asset_text(std::string_view name);

}  // namespace bio_web
