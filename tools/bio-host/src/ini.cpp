// INI reader of bio-host: turns a configuration file into (section, key, value) entries.
#include "ini.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <utility>

namespace bio_host {
namespace {

std::string trim(const std::string& text) {
    const char* blanks = " \t\r\n\f\v";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

bool valid_section_name(const std::string& name) {
    if (name.empty()) {
        return false;
    }
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '_' || c == '-' || c == '.';
        if (!ok) {
            return false;
        }
    }
    return true;
}

}  // namespace

IniError::IniError(const std::string& origin, int line, const std::string& reason)
    : std::runtime_error(origin + ":" + std::to_string(line) + ": " + reason), line_(line) {}

std::vector<IniEntry> parse_ini(const std::string& text, const std::string& origin) {
    std::vector<IniEntry> entries;
    std::set<std::pair<std::string, std::string>> seen;
    std::string section;
    bool in_section = false;
    std::istringstream in(text);
    std::string raw;
    int number = 0;
    while (std::getline(in, raw)) {
        ++number;
        const std::string line = trim(raw);
        if (line.empty() || line[0] == ';' || line[0] == '#') {
            continue;
        }
        if (line[0] == '[') {
            if (line.back() != ']') {
                throw IniError(origin, number, "section header without closing ']'");
            }
            const std::string name = trim(line.substr(1, line.size() - 2));
            if (!valid_section_name(name)) {
                throw IniError(origin, number, "bad section name '" + name + "'");
            }
            section = name;
            in_section = true;
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string::npos) {
            throw IniError(origin, number, "expected 'key = value', found '" + line + "'");
        }
        IniEntry entry;
        entry.key = trim(line.substr(0, equals));
        entry.value = trim(line.substr(equals + 1));
        entry.line = number;
        if (entry.key.empty()) {
            throw IniError(origin, number, "empty key");
        }
        if (!in_section) {
            throw IniError(origin, number, "key '" + entry.key + "' outside any [section]");
        }
        if (!entry.value.empty() && entry.value.front() == '"') {
            if (entry.value.size() < 2 || entry.value.back() != '"') {
                throw IniError(origin, number, "unterminated quoted value of '" + entry.key + "'");
            }
            entry.value = entry.value.substr(1, entry.value.size() - 2);
        }
        entry.section = section;
        if (!seen.emplace(section, entry.key).second) {
            throw IniError(origin, number, "key '" + entry.key + "' given twice in [" + section + "]");
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<IniEntry> read_ini_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    }
    std::ostringstream content;
    content << file.rdbuf();
    return parse_ini(content.str(), path);
}

}  // namespace bio_host
