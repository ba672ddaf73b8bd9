// Looking up the built-in files of the page and the report.
#include "web_assets.h"

#include <stdexcept>
#include <string>

namespace bio_web {

const Asset* find_asset(std::string_view name) noexcept {
    std::size_t count = 0;
    const Asset* assets = asset_table(&count);
    for (std::size_t i = 0; i < count; ++i) {
        if (name == assets[i].name) {
            return &assets[i];
        }
    }
    return nullptr;
}

const char* content_type(std::string_view name) noexcept {
    const auto ends_with = [name](std::string_view end) {
        return name.size() >= end.size() && name.substr(name.size() - end.size()) == end;
    };
    if (ends_with(".html")) {
        return "text/html; charset=utf-8";
    }
    if (ends_with(".js")) {
        return "text/javascript; charset=utf-8";
    }
    if (ends_with(".css")) {
        return "text/css; charset=utf-8";
    }
    return "application/octet-stream";
}

std::string_view asset_text(std::string_view name) {
    const Asset* asset = find_asset(name);
    if (asset == nullptr) {
        throw std::logic_error("web asset not built in: " + std::string(name));
    }
    return asset->text();
}

}  // namespace bio_web
