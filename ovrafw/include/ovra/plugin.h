// The object through which a plug-in registers itself with the host, and the host's loader.
#pragma once

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ovra/export.h"
#include "ovra/post_office.h"

namespace ovra {

using RunFunction = int (*)();

class OVRA_API Plugin {
public:
    Plugin();
    ~Plugin();
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    void set_name(const std::string& name);
    void set_run(RunFunction run);
    // The host copies the array; it need only live for the duration of the call.
    void add_messages_interested(const MessageListener* listeners, int count);

    // ---- host side ----
    const std::string& name() const noexcept;
    RunFunction run_function() const noexcept;
    const std::vector<MessageListener>& listeners() const noexcept;

private:
    std::string name_;
    RunFunction run_ = nullptr;
    std::vector<MessageListener> listeners_;
    std::vector<int> listener_ids_;
};

// The plug-in entry point: `extern "C" int init(ovra::Plugin*, std::string*)`.
using InitFunction = int (*)(Plugin*, std::string*);

}  // namespace ovra
