// INI reader of bio-host: turns a configuration file into (section, key, value) entries.
#include "ini.h"

#include <algorithm>
#include <set>
#include <sstream>
#include <utility>

#include "bio_common/config_keys.h"
#include "bio_common/text.h"
#include "files.h"

namespace bio_host {
namespace {

// Letters, digits, '_', '-' and '.': what a section name may hold.
constexpr const char* section_name_chars =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-.";

// A value as the file format reads it: blanks around it dropped, and a value in double quotes
// taken from between them ("" is the empty value). False for an unterminated quote.
bool read_value(const std::string& raw, std::string& value) {
    value = bio_common::trim(raw);
    if (value.empty() || value.front() != '"') {
        return true;
    }
    if (value.size() < 2 || value.back() != '"') {
        return false;
    }
    value = value.substr(1, value.size() - 2);
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
        const std::string line = bio_common::trim(raw);
        if (line.empty() || line[0] == ';' || line[0] == '#') {
            continue;
        }
        if (line[0] == '[') {
            if (line.back() != ']') {
                throw IniError(origin, number, "section header without closing ']'");
            }
            const std::string name = bio_common::trim(line.substr(1, line.size() - 2));
            if (name.empty() || name.find_first_not_of(section_name_chars) != std::string::npos) {
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
        entry.key = bio_common::trim(line.substr(0, equals));
        entry.line = number;
        if (entry.key.empty()) {
            throw IniError(origin, number, "empty key");
        }
        if (!in_section) {
            throw IniError(origin, number, "key '" + entry.key + "' outside any [section]");
        }
        if (!read_value(line.substr(equals + 1), entry.value)) {
            throw IniError(origin, number, "unterminated quoted value of '" + entry.key + "'");
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
    return parse_ini(read_text_file(path), path);
}

std::string nearest_word(const std::string& word, const std::vector<std::string>& candidates) {
    std::string best;
    std::size_t best_distance = std::string::npos;
    std::vector<std::size_t> row;
    for (const std::string& candidate : candidates) {
        // Levenshtein distance, one row of the table at a time.
        row.resize(candidate.size() + 1);
        for (std::size_t j = 0; j < row.size(); ++j) {
            row[j] = j;
        }
        for (std::size_t i = 1; i <= word.size(); ++i) {
            std::size_t diagonal = row[0];
            row[0] = i;
            for (std::size_t j = 1; j <= candidate.size(); ++j) {
                const std::size_t above = row[j];
                row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (word[i - 1] != candidate[j - 1])});
                diagonal = above;
            }
        }
        if (row.back() < best_distance) {
            best_distance = row.back();
            best = candidate;
        }
    }
    return best;
}

void check_known_key(const IniEntry& entry) {
    std::vector<std::string> sections{bio_common::module_section};
    std::vector<std::string> keys;
    for (const bio_common::OtherKey& other : bio_common::other_keys) {
        sections.emplace_back(other.section);
        if (entry.section == other.section) {
            keys.emplace_back(other.name);
        }
    }
    if (entry.section == bio_common::module_section) {
        for (const bio_common::ConfigKey& key : bio_common::module_keys) {
            keys.emplace_back(key.name);
        }
    }
    if (keys.empty()) {
        throw std::invalid_argument("unknown section [" + entry.section + "] (did you mean [" +
                                    nearest_word(entry.section, sections) + "]?)");
    }
    if (std::find(keys.begin(), keys.end(), entry.key) == keys.end()) {
        throw std::invalid_argument("unknown key '" + entry.key + "' in [" + entry.section + "] (did you mean '" +
                                    nearest_word(entry.key, keys) + "'?)");
    }
}

IniEntry section_and_key(const std::string& name, const std::string& default_section) {
    IniEntry entry;
    const auto dot = name.find('.');
    entry.section = dot == std::string::npos ? default_section : name.substr(0, dot);
    entry.key = dot == std::string::npos ? name : name.substr(dot + 1);
    return entry;
}

IniEntry parse_set(const std::string& assignment, const std::string& default_section) {
    const auto equals = assignment.find('=');
    IniEntry entry;
    if (equals != std::string::npos) {
        entry = section_and_key(bio_common::trim(assignment.substr(0, equals)), default_section);
    }
    if (entry.section.empty() || entry.key.empty() ||
        !read_value(assignment.substr(equals + 1), entry.value)) {
        throw std::runtime_error("--set needs KEY=VALUE or SECTION.KEY=VALUE, got '" + assignment + "'");
    }
    return entry;
}

}  // namespace bio_host
