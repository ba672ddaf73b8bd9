// Plug-in shell: the entry point, the module configuration and the bus message handlers.
#include "bio_module.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>
#include <list>
#include <string>

#include <boost/lexical_cast.hpp>

#include "ovra/config.h"
#include "ovra/log.h"
#include "ovra/ovra_exception.h"
#include "ovra/post_office.h"
#include "ovra_dal/dal.h"

const char* const bio_section = "bio_module";

int priority = 0;
int watchdog_timeout = 0;
std::string device_path;
std::string finger_image_path;
int bsize = 0;
int step = 0;
int img_num = 0;
int min_img_num = 0;
int var_min = 0;
struct timeval select_timeout = {0, 0};
int restart_timeout = 0;
int finger_detected_delay = 0;
std::string net_debug_ip;
int net_debug_port = 0;
bool net_debug_raw = false;
bool invert = false;
std::string fp_reader_path;
std::string last_fp_reader;
bool invert_pixels = false;

std::atomic<int> template_count{0};

namespace {

constexpr const char* module_name = "bio_module";
constexpr int camera_start_attempts = 3;

// The variance measure samples bsize x bsize blocks every `step` pixels inside the 440 x 280
// centre window: a block must fit the window's height and the step must fit the block.
constexpr int max_block_size = 280;

int read_int(const char* key, bool flag = true) {
    return ovra::config_util::get_int(bio_section, key, flag);
}

// Milliseconds to microseconds as a plain 32-bit product: a value too large for the result wraps
// around as the board's arithmetic does, instead of being undefined.
int ms_to_us(int milliseconds) {
    return static_cast<int>(static_cast<unsigned>(milliseconds) * 1000u);
}

void read_string(const char* key, std::string& value) {
    ovra::config::get_param(bio_section, key, value, true);
}

// Fills the module configuration from section "bio_module", in the order the keys are
// documented; raises ovra_exception when the store refuses a key.
void read_configuration() {
    priority = read_int("priority");
    watchdog_timeout = read_int("watchdog_timeout");
    read_string("device_path", device_path);
    read_string("finger_image_path", finger_image_path);
    bsize = read_int("bsize");
    step = read_int("step");
    img_num = read_int("img_num");
    min_img_num = read_int("min_img_num");
    var_min = read_int("var_min", false);
    const int select_ms = read_int("select_timeout");
    select_timeout.tv_sec = select_ms / 1000;
    select_timeout.tv_usec = (select_ms % 1000) * 1000;
    restart_timeout = ms_to_us(read_int("restart_timeout"));
    finger_detected_delay = ms_to_us(read_int("finger_detected_delay"));
    read_string("net_debug_ip", net_debug_ip);
    net_debug_port = read_int("net_debug_port");
    net_debug_raw = read_int("net_debug_raw") != 0;
    invert = read_int("invert") != 0;
    read_string("fp_reader_path", fp_reader_path);
    read_string("last_fp_reader", last_fp_reader);
    invert_pixels = read_int("invert_pixels") != 0;
}

// Refuses block parameters with which the variance measure would divide by zero, loop for
// ever or read outside the frame.
void check_variance_parameters() {
    if (step < 1 || step > bsize || bsize > max_block_size) {
        fail("Invalid variance parameters: bsize=" + std::to_string(bsize) + ", step=" +
             std::to_string(step) + " (need 1 <= step <= bsize <= " + std::to_string(max_block_size) + ")");
    }
}

// Brings the camera up in at most three attempts, tearing down after every failure and
// pausing restart_timeout between attempts; the third failure's exception goes on.
void start_camera() {
    for (int attempt = 1;; ++attempt) {
        try {
            init_module();
            return;
        } catch (const ovra::ovra_exception&) {
            exit_module();
            if (attempt == camera_start_attempts) {
                throw;
            }
            usleep(static_cast<useconds_t>(restart_timeout));
        }
    }
}

}  // namespace

void fail(const std::string& text) {
    throw ovra::ovra_exception(text, true);
}

void fail_errno(const std::string& text, int error) {
    fail(text + std::strerror(error));
}

void fail_errno(const char* text) {
    const int error = errno;
    fail_errno(std::string(text), error);
}

// The plug-in entry point: names the module, loads its configuration, counts the templates,
// starts the camera (three attempts) and registers run and the listeners. Returns 1, or 0 with
// the failure's text in *error_message and nothing registered.
extern "C" int init(ovra::Plugin* plugin, std::string* error_message) {
    plugin->set_name(module_name);
    try {
        read_configuration();
        check_variance_parameters();
        refresh_template_count();
        start_camera();
    } catch (const ovra::ovra_exception& e) {
        *error_message = e.what();
        return 0;
    }

    plugin->set_run(run);
    const ovra::MessageListener listeners[] = {
        {"identifier_broadcast_identifier_id", on_identifier_broadcast, false},
        {"catra_event", on_catra_event, true},
        {"config_param_set", on_config_param_set, true},
        {"bio_module_enable", on_bio_module_enable, true},
        {"bio_module_disable", on_bio_module_disable, true},
        {"ovra_dal_record_updated", on_template_records_changed, false},
        {"ovra_dal_record_inserted", on_template_records_changed, false},
        {"ovra_dal_record_deleted", on_records_deleted, false},
    };
    plugin->add_messages_interested(listeners, static_cast<int>(std::size(listeners)));
    // The camera is open from here on: an unload, with or without run, releases it.
    register_shutdown();
    return 1;
}

// Stores the row count of the host's templates table; a failing query raises and leaves the
// count as it was.
void refresh_template_count() {
    template_count.store(
        ovra_dal::ovra_dao::count(ovra_dal::bio_template::table_templates(), std::list<ovra_dal::column>{}));
}

// Opens or closes the capture loop's gate and wakes its waiter, on every call.
void set_enabled(bool enabled) {
    _enabled.store(enabled);
    cond_var.notify_all();
}

// Adds this module's identifier id to the broadcast's reply under the index the reply's count
// names, and advances the count: past INT_MAX it wraps to INT_MIN, as the board's 32-bit
// arithmetic does.
void on_identifier_broadcast(ovra::Message* message) {
    ovra::Message* reply = message->reply();
    // Only a broadcast carries a reply to extend.
    if (reply == nullptr) {
        return;
    }
    int count = 0;
    reply->get_int("count", &count);
    reply->add_int("identifier_id_" + boost::lexical_cast<std::string>(count), bio_identifier_id);
    // The addition in unsigned arithmetic, where wrapping is defined; converting back keeps
    // the bits (two's complement).
    reply->change_int("count", static_cast<int>(static_cast<unsigned int>(count) + 1u));
}

// Event 11 enables, 12 disables; raises ovra_exception when the event is missing.
void on_catra_event(ovra::Message* message) {
    int event = 0;
    if (message->get_int("event", &event) == 0) {
        fail("Invalid parameters for message " + message->type());
    }
    if (event == 11) {
        set_enabled(true);
    } else if (event == 12) {
        set_enabled(false);
    }
}

// A change of "exception_mode" enables the module in the normal mode and disables it otherwise.
void on_config_param_set(ovra::Message* message) {
    std::string param;
    std::string value;
    message->get_string("param", &param);
    message->get_string("value", &value);
    if (param == "exception_mode") {
        set_enabled(ovra::config_util::str_to_exception_mode(value) == 0);
    }
}

// Enables the module and marks the message handled.
void on_bio_module_enable(ovra::Message* message) {
    set_enabled(true);
    message->set_handled();
}

// Disables the module and marks the message handled.
void on_bio_module_disable(ovra::Message* message) {
    set_enabled(false);
    message->set_handled();
}

// Recounts the templates when a templates row was inserted or updated.
void on_template_records_changed(ovra::Message* message) {
    std::string table;
    message->get_string("table", &table);
    if (table == ovra_dal::bio_template::table_templates().name()) {
        refresh_template_count();
    }
}

// Recounts the templates when templates or users rows were deleted (deleting a user removes
// the user's templates).
void on_records_deleted(ovra::Message* message) {
    std::string table;
    message->get_string("table", &table);
    if (table == ovra_dal::bio_template::table_templates().name() ||
        table == ovra_dal::user::table_users().name()) {
        refresh_template_count();
    }
}
