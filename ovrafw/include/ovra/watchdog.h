// The host's watchdog: plug-ins prove they are alive by feeding it by name.
#pragma once

#include <string>

#include "ovra/export.h"

namespace ovra {
namespace watchdog {
OVRA_API void keep_alive(const std::string& name);
}  // namespace watchdog
}  // namespace ovra
