// The watchdog: keep-alive times and counts by name, observers and missed intervals.
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ovra/host.h"
#include "ovra/util.h"
#include "ovra/watchdog.h"

namespace {

// Nanoseconds from a to b.
long long nanos_between(const timespec& a, const timespec& b) {
    return (static_cast<long long>(b.tv_sec) - a.tv_sec) * 1000000000LL + (b.tv_nsec - a.tv_nsec);
}

TEST(OvraWatchdog, KeepAliveRecordsTimeAndCountByName) {
    ovra::host::reset_watchdog();
    EXPECT_FALSE(ovra::host::last_keep_alive("bio_module").has_value());
    EXPECT_EQ(ovra::host::keep_alive_count("bio_module"), 0u);
    const timespec before = ovra::util::get_time();
    ovra::watchdog::keep_alive("bio_module");
    ovra::watchdog::keep_alive("bio_module");
    ovra::watchdog::keep_alive("other");
    const timespec after = ovra::util::get_time();
    const auto last = ovra::host::last_keep_alive("bio_module");
    ASSERT_TRUE(last.has_value());
    EXPECT_GE(nanos_between(before, *last), 0);
    EXPECT_GE(nanos_between(*last, after), 0);
    EXPECT_EQ(ovra::host::keep_alive_count("bio_module"), 2u);
    EXPECT_EQ(ovra::host::keep_alive_count("other"), 1u);
    ovra::host::reset_watchdog();
    EXPECT_EQ(ovra::host::keep_alive_count("bio_module"), 0u);
}

TEST(OvraWatchdog, ObserversSeeEveryKeepAlive) {
    std::vector<std::string> names;
    const int id = ovra::host::add_watchdog_observer(
        [&names](const ovra::host::KeepAlive& k) { names.push_back(k.name); });
    ovra::watchdog::keep_alive("bio_module");
    ovra::watchdog::keep_alive("other");
    ovra::host::remove_watchdog_observer(id);
    ovra::watchdog::keep_alive("bio_module");
    EXPECT_THAT(names, ::testing::ElementsAre("bio_module", "other"));
}

TEST(OvraWatchdog, MissedWhenNeverFedOrOlderThanTheInterval) {
    ovra::host::reset_watchdog();
    EXPECT_TRUE(ovra::host::missed("bio_module", std::chrono::hours(1)));
    ovra::watchdog::keep_alive("bio_module");
    EXPECT_FALSE(ovra::host::missed("bio_module", std::chrono::hours(1)));
    // Let the monotonic clock move past the keep-alive, then a zero interval has passed.
    const timespec fed = *ovra::host::last_keep_alive("bio_module");
    for (int i = 0; i < 1000000 && nanos_between(fed, ovra::util::get_time()) <= 0; ++i) {
    }
    EXPECT_TRUE(ovra::host::missed("bio_module", std::chrono::milliseconds(0)));
}

}  // namespace
