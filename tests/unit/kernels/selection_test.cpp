// BIO_KERNELS=reference (set for this executable by CTest) makes the module run the reference kernels.
#include <cstdlib>

#include <gtest/gtest.h>

#include "bio_module.h"
#include "finger_kernels.h"

namespace {

TEST(KernelEnvironment, ReferenceIsForcedByTheEnvironment) {
    const char* value = std::getenv("BIO_KERNELS");
    ASSERT_NE(value, nullptr) << "run through CTest, which sets BIO_KERNELS=reference";
    ASSERT_STREQ(value, "reference");
    EXPECT_STREQ(active_kernels().name, "reference");
    // Chosen once: a later change of the environment does not switch variants.
    setenv("BIO_KERNELS", "fast", 1);
    EXPECT_STREQ(active_kernels().name, "reference");
}

}  // namespace
