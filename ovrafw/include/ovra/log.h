// The host's logger.
#pragma once

#include <string>

#include "ovra/export.h"

namespace ovra {
namespace mevlog {
// A debug-level record from `function` at `file`:`line`.
OVRA_API void debug(const std::string& text, const std::string& file, const std::string& function, int line);
}  // namespace mevlog

namespace error {
// An error-level record with no source location.
OVRA_API void log(const std::string& text);
}  // namespace error
}  // namespace ovra
