// Test plug-in whose init refuses with a reason.
#include <string>

#include "ovra/plugin.h"

extern "C" __attribute__((visibility("default"))) int init(ovra::Plugin* plugin, std::string* error_message);

extern "C" __attribute__((visibility("default"))) int init(ovra::Plugin* plugin, std::string* error_message) {
    plugin->set_name("failing_plugin");
    *error_message = "camera not found";
    return 0;
}
