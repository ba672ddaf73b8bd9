// Tests of what libbio_module.so shows the host: the entry point and the shared objects only.
#include <dlfcn.h>

#include <string>

#include <gtest/gtest.h>

namespace {

class Exports : public ::testing::Test {
protected:
    void SetUp() override {
        handle_ = dlopen(BIO_MODULE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
    }
    void TearDown() override {
        if (handle_ != nullptr) {
            dlclose(handle_);
        }
    }
    bool visible(const char* symbol) const { return dlsym(handle_, symbol) != nullptr; }

    void* handle_ = nullptr;
};

TEST_F(Exports, EntryPointAndSharedObjectsAreVisible) {
    // The host resolves the entry point by its plain name.
    EXPECT_TRUE(visible("init"));
    for (const char* symbol : {
             "_Z3runv",           // run()
             "_Z4predv",          // pred()
             "_Z11set_enabledb",  // set_enabled(bool)
             "_enabled",
             "cond_var",
             "cv_mutex",
             "_finger_detected_mutex",
             "_finger_detected_cv",
             "_finger_detected_action",
             "_finger_detected_consumer",
             "buffers",
             "weightMatrix",
             "offsetMatrix",
         }) {
        EXPECT_TRUE(visible(symbol)) << symbol;
    }
    EXPECT_TRUE(visible("_Z16send_fingerprintRKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEEiiPhi"));
    EXPECT_TRUE(visible("_Z13camera_sensorB5cxx11"));
}

TEST_F(Exports, InternalsStayHidden) {
    for (const char* symbol : {
             "_Z11init_modulev",                    // init_module()
             "_Z11exit_modulev",                    // exit_module()
             "_Z13detect_sensorv",                  // detect_sensor()
             "_Z22refresh_template_countv",         // refresh_template_count()
             "_Z14on_catra_eventPN4ovra7MessageE",  // on_catra_event(ovra::Message*)
             "camera_fd",
             "remapOffsetTable",
             "template_count",
             "var_min",
         }) {
        EXPECT_FALSE(visible(symbol)) << symbol;
    }
}

}  // namespace
