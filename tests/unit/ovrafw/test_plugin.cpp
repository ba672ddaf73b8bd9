// A plug-in the loader refuses: built as is, its init refuses with a reason; with
// TEST_PLUGIN_ENTRY set to another name, the library has no init at all.
#include <string>

#include "ovra/plugin.h"

#ifndef TEST_PLUGIN_ENTRY
#define TEST_PLUGIN_ENTRY init
#endif

extern "C" __attribute__((visibility("default"))) int TEST_PLUGIN_ENTRY(ovra::Plugin* plugin,
                                                                        std::string* error);

extern "C" int TEST_PLUGIN_ENTRY(ovra::Plugin* plugin, std::string* error) {
    plugin->set_name("refusing_plugin");
    *error = "camera not found";
    return 0;
}
