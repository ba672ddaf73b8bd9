// Plug-in registration and the host's plug-in loader.
#include "ovra/plugin.h"

#include <dlfcn.h>

#include <cstdint>

#include "ovra/host.h"
#include "ovra/log.h"
#include "ovra/util.h"
#include "internal.h"

namespace ovra {

Plugin::Plugin() = default;

Plugin::~Plugin() {
    for (int id : listener_ids_) {
        PostOffice::remove_listener(id);
    }
}

void Plugin::set_name(const std::string& name) {
    name_ = name;
}

void Plugin::set_run(RunFunction run) {
    run_ = run;
}

const std::string& Plugin::name() const noexcept {
    return name_;
}

RunFunction Plugin::run_function() const noexcept {
    return run_;
}

const std::vector<MessageListener>& Plugin::listeners() const noexcept {
    return listeners_;
}

void Plugin::add_messages_interested(const MessageListener* listeners, int count) {
    if (listeners == nullptr) {
        return;
    }
    for (int i = 0; i < count; ++i) {
        listeners_.push_back(listeners[i]);
        listener_ids_.push_back(PostOffice::add_listener(listeners[i]));
    }
}

namespace host {

// What the run thread shares with the host; it outlives the PluginHost when the thread is
// detached.
struct PluginHost::State {
    struct Shared {
        std::mutex mutex;
        std::condition_variable exited_cv;
        bool started = false;
        bool ended = false;   // run has left; observers registered from now on are called at once
        bool exited = false;  // ended and every observer has been told
        std::string what;
        detail::Registry<ExitObserver> observers;
    };
    std::shared_ptr<Shared> shared = std::make_shared<Shared>();
    std::thread thread;
};

PluginHost::PluginHost() : state_(new State) {}

PluginHost::~PluginHost() {
    state_->shared->observers.clear();
    if (state_->thread.joinable()) {
        bool exited = false;
        {
            std::lock_guard<std::mutex> lock(state_->shared->mutex);
            exited = state_->shared->exited;
        }
        if (exited) {
            state_->thread.join();
        } else {
            state_->thread.detach();
        }
    }
    delete state_;
    // The library stays loaded: its code may still run on the detached thread.
}

bool PluginHost::load(const std::string& path, std::string* error) {
    auto fail = [error](const std::string& line) {
        if (error != nullptr) {
            *error = line;
        }
        return false;
    };
    if (handle_ != nullptr) {
        return fail("plugin " + path + ": a plug-in is already loaded");
    }
    if (!util::file_exists(path)) {
        return fail("plugin " + path + ": no such file");
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = dlerror();
        return fail(reason != nullptr ? reason : "plugin " + path + ": dlopen failed");
    }
    void* symbol = dlsym(handle, "init");
    if (symbol == nullptr) {
        dlclose(handle);
        return fail("plugin " + path + ": no 'init' symbol");
    }
    handle_ = handle;
    // The library stays loaded from here on, also when init fails: init may have left
    // references into it (listeners, threads).
    auto init = reinterpret_cast<InitFunction>(reinterpret_cast<std::uintptr_t>(symbol));
    std::string text;
    int result = 0;
    try {
        result = init(&plugin_, &text);
    } catch (const std::exception& e) {
        return fail("plugin " + path + ": init failed: " + e.what());
    }
    if (result == 0) {
        return fail("plugin " + path + ": init failed: " + text);
    }
    return true;
}

bool PluginHost::start() {
    RunFunction run = plugin_.run_function();
    if (run == nullptr) {
        return false;
    }
    std::shared_ptr<State::Shared> shared = state_->shared;
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        if (shared->started) {
            return false;
        }
        shared->started = true;
    }
    const std::string name = plugin_.name();
    state_->thread = std::thread([shared, run, name] {
        util::set_thread_name(name.empty() ? std::string("plugin") : name, pthread_self());
        std::string what;
        if (auto failure =
                detail::failure_of([&what, run] { what = "run returned " + std::to_string(run()); })) {
            what = *failure;
        }
        error::log("plugin " + name + ": run ended: " + what);
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->ended = true;
            shared->what = what;
        }
        shared->observers.notify(what);
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->exited = true;
        }
        shared->exited_cv.notify_all();
    });
    return true;
}

bool PluginHost::running() const {
    std::lock_guard<std::mutex> lock(state_->shared->mutex);
    return state_->shared->started && !state_->shared->exited;
}

std::optional<std::string> PluginHost::wait_exit(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(state_->shared->mutex);
    if (!state_->shared->started) {
        return std::nullopt;
    }
    if (!state_->shared->exited_cv.wait_for(lock, timeout, [this] { return state_->shared->exited; })) {
        return std::nullopt;
    }
    return state_->shared->what;
}

void PluginHost::on_exit(ExitObserver observer) {
    std::string what;
    {
        std::lock_guard<std::mutex> lock(state_->shared->mutex);
        if (!state_->shared->ended) {
            state_->shared->observers.add(std::move(observer));
            return;
        }
        what = state_->shared->what;
    }
    observer(what);
}

}  // namespace host
}  // namespace ovra
