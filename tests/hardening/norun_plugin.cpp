// Test plug-in whose init succeeds without registering a run function.
#include <string>

#include "ovra/plugin.h"

extern "C" __attribute__((visibility("default"))) int init(ovra::Plugin* plugin, std::string* error_message);

extern "C" __attribute__((visibility("default"))) int init(ovra::Plugin* plugin, std::string*) {
    plugin->set_name("norun_plugin");
    return 1;
}
