// The configuration store: string values by section and key.
#pragma once

#include <string>

#include "ovra/export.h"

namespace ovra {
namespace config {

// Reads `key` of `section` into `value`. `flag` true marks the key as required: a missing
// required key raises ovra_exception naming section and key; a missing optional key leaves
// `value` empty. Returns 1 when the key was found, 0 otherwise.
OVRA_API int get_param(const std::string& section, const std::string& key, std::string& value, bool flag);
// Stores `value`. With `flag` true the change is announced on the bus as
// "config_param_set" with string fields "param" and "value". Returns 1.
OVRA_API int set_param(const std::string& section, const std::string& key, const std::string& value,
                       bool flag);

}  // namespace config

namespace config_util {

// Reads an integer (optional sign, blanks around allowed); a required key that is missing,
// or a value that is not an int, raises ovra_exception naming section, key (and the value).
// A missing optional key reads 0.
OVRA_API int get_int(const std::string& section, const std::string& key, bool flag);
// Stores an integer, announcing it on the bus when `flag` is true (as set_param).
OVRA_API void set_int(int value, const std::string& section, const std::string& key, bool flag);
// The host's exception modes: "normal" (or "0") is 0, "locked" ("1") 1, "released" ("2") 2,
// "emergency" ("3") 3; any other text is -1.
OVRA_API int str_to_exception_mode(const std::string& text);

}  // namespace config_util
}  // namespace ovra
