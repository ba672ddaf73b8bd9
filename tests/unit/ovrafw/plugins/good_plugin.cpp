// Test plug-in: registers a name, a run that fails with an exception, and one listener that
// answers "test_plugin_ping" with "test_plugin_pong" carrying the same "n".
#include <string>

#include "ovra/message.h"
#include "ovra/ovra_exception.h"
#include "ovra/plugin.h"
#include "ovra/post_office.h"

namespace {

int run() {
    throw ovra::ovra_exception("capture loop stopped", true);
}

void on_ping(ovra::Message* message) {
    int n = -1;
    message->get_int("n", &n);
    auto* pong = new ovra::Message("test_plugin_pong", 0, nullptr);
    pong->add_int("n", n);
    ovra::PostOffice::send_message(pong);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int init(ovra::Plugin* plugin, std::string* error_message);

extern "C" __attribute__((visibility("default"))) int init(ovra::Plugin* plugin, std::string*) {
    plugin->set_name("test_plugin");
    plugin->set_run(run);
    const ovra::MessageListener listeners[] = {{"test_plugin_ping", on_ping, true}};
    plugin->add_messages_interested(listeners, 1);
    return 1;
}
