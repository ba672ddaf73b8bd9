// The configuration store: (section, key, value) rows of the host database.
#include "ovra/config.h"

#include <optional>
#include <string_view>

#include "ovra/host.h"
#include "ovra/ovra_exception.h"
#include "ovra/util.h"
#include "bio_common/text.h"
#include "internal.h"

namespace ovra {
namespace {

const char* const param_set_type = "config_param_set";

std::optional<std::string> read_value(const std::string& section, const std::string& key) {
    detail::DatabaseLock db;
    detail::Statement select(db.connection(), "SELECT value FROM config WHERE section = ?1 AND key = ?2");
    select.bind(1, section);
    select.bind(2, key);
    if (!select.step()) {
        return std::nullopt;
    }
    return select.text(0);
}

void write_value(const std::string& section, const std::string& key, const std::string& value) {
    detail::DatabaseLock db;
    detail::Statement upsert(db.connection(),
                             "INSERT INTO config (section, key, value) VALUES (?1, ?2, ?3) "
                             "ON CONFLICT (section, key) DO UPDATE SET value = excluded.value");
    upsert.bind(1, section);
    upsert.bind(2, key);
    upsert.bind(3, value);
    upsert.step();
}

// Parses a decimal int: an optional sign and decimal digits, blanks allowed around; nullopt
// for anything else and for a value outside the range of int.
std::optional<int> parse_int(const std::string& text) {
    const std::string trimmed = bio_common::trim(text);
    std::string_view number = trimmed;
    if (!number.empty() && number.front() == '+') {
        number.remove_prefix(1);
        if (!number.empty() && number.front() == '-') {
            return std::nullopt;  // one sign at most
        }
    }
    return bio_common::parse_integer<int>(number);
}

}  // namespace

namespace config {

int get_param(const std::string& section, const std::string& key, std::string& value, bool flag) {
    std::optional<std::string> stored = read_value(section, key);
    if (!stored) {
        if (flag) {
            throw ovra_exception("configuration key " + section + "/" + key + " is missing", true);
        }
        value.clear();
        return 0;
    }
    value = *stored;
    return 1;
}

int set_param(const std::string& section, const std::string& key, const std::string& value, bool flag) {
    write_value(section, key, value);
    if (flag) {
        detail::post_strings(param_set_type, {{"param", key}, {"value", value}});
    }
    return 1;
}

}  // namespace config

namespace config_util {

int get_int(const std::string& section, const std::string& key, bool flag) {
    std::string text;
    if (config::get_param(section, key, text, flag) == 0) {
        return 0;
    }
    std::optional<int> value = parse_int(text);
    if (!value) {
        throw ovra_exception(
            "configuration value " + section + "/" + key + " is not an integer: '" + text + "'", true);
    }
    return *value;
}

void set_int(int value, const std::string& section, const std::string& key, bool flag) {
    config::set_param(section, key, std::to_string(value), flag);
}

int str_to_exception_mode(const std::string& text) {
    struct Mode {
        const char* name;
        const char* number;
        int mode;
    };
    static const Mode modes[] = {
        {"normal", "0", 0},
        {"locked", "1", 1},
        {"released", "2", 2},
        {"emergency", "3", 3},
    };
    for (const Mode& m : modes) {
        if (text == m.name || text == m.number) {
            return m.mode;
        }
    }
    return -1;
}

}  // namespace config_util

namespace host {

void seed_param(const std::string& section, const std::string& key, const std::string& value) {
    write_value(section, key, value);
}

void erase_param(const std::string& section, const std::string& key) {
    detail::DatabaseLock db;
    detail::Statement erase(db.connection(), "DELETE FROM config WHERE section = ?1 AND key = ?2");
    erase.bind(1, section);
    erase.bind(2, key);
    erase.step();
}

std::optional<std::string> peek_param(const std::string& section, const std::string& key) {
    return read_value(section, key);
}

void set_identification_enabled(int id, bool enabled) {
    config::set_param("identifier", "identification_enabled_" + std::to_string(id), enabled ? "1" : "0",
                      false);
}

}  // namespace host

namespace util {
namespace identifier {

bool identification_enabled(int id) {
    try {
        std::optional<std::string> value =
            read_value("identifier", "identification_enabled_" + std::to_string(id));
        return !value || *value != "0";
    } catch (const ovra_exception&) {
        // No database (or an unreadable one): identification stays on.
        return true;
    }
}

}  // namespace identifier
}  // namespace util
}  // namespace ovra
