// Test plug-in whose run returns 7 instead of running for ever.
#include <string>

#include "ovra/plugin.h"

namespace {
int run() {
    return 7;
}
}  // namespace

extern "C" __attribute__((visibility("default"))) int init(ovra::Plugin* plugin, std::string* error_message);

extern "C" __attribute__((visibility("default"))) int init(ovra::Plugin* plugin, std::string*) {
    plugin->set_name("returning_plugin");
    plugin->set_run(run);
    return 1;
}
