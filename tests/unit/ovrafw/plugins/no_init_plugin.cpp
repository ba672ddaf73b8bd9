// Test plug-in without an init entry point.
extern "C" __attribute__((visibility("default"))) int not_init();

extern "C" __attribute__((visibility("default"))) int not_init() {
    return 1;
}
