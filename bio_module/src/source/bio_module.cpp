// Plug-in shell: the entry point, the module configuration and the bus message handlers.
#include "bio_module.h"

#include "ovra/config.h"
#include "ovra/log.h"
#include "ovra/ovra_exception.h"

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
std::atomic<bool> _enabled{true};
std::condition_variable cond_var;
std::mutex cv_mutex;

// Starting point: replaced by the real entry point.
extern "C" int init(ovra::Plugin*, std::string* error_message) {
    *error_message = "bio_module: entry point not built yet";
    return 0;
}
void refresh_template_count() {}
void set_enabled(bool enabled) {
    _enabled.store(enabled);
    cond_var.notify_all();
}
void on_identifier_broadcast(ovra::Message*) {}
void on_catra_event(ovra::Message*) {}
void on_config_param_set(ovra::Message*) {}
void on_bio_module_enable(ovra::Message*) {}
void on_bio_module_disable(ovra::Message*) {}
void on_template_records_changed(ovra::Message*) {}
void on_records_deleted(ovra::Message*) {}
