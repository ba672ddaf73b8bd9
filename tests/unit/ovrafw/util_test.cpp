// Utilities: time arithmetic (hand-computed cases), thread naming and priority, files, and
// identifiers.
#include <pthread.h>
#include <time.h>

#include <climits>
#include <fstream>
#include <ostream>
#include <regex>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ovra/host.h"
#include "ovra/util.h"
#include "test_support.h"

namespace {

struct SubtractCase {
    timespec x;
    timespec y;
    timespec expected;
};

void PrintTo(const SubtractCase& c, std::ostream* out) {
    *out << c.x.tv_sec << "s" << c.x.tv_nsec << "ns-" << c.y.tv_sec << "s" << c.y.tv_nsec << "ns";
}

class OvraTimespecSubtract : public ::testing::TestWithParam<SubtractCase> {};

TEST_P(OvraTimespecSubtract, IsNormalised) {
    const SubtractCase& c = GetParam();
    timespec result{-99, -99};
    ovra::util::timespec_subtract(&result, c.x, c.y);
    EXPECT_EQ(result.tv_sec, c.expected.tv_sec);
    EXPECT_EQ(result.tv_nsec, c.expected.tv_nsec);
}

INSTANTIATE_TEST_SUITE_P(
    Table, OvraTimespecSubtract,
    ::testing::Values(SubtractCase{{5, 500}, {2, 200}, {3, 300}},
                      // borrow a second
                      SubtractCase{{5, 100}, {2, 200}, {2, 999999900}},
                      SubtractCase{{1, 0}, {0, 1}, {0, 999999999}}, SubtractCase{{10, 0}, {10, 0}, {0, 0}},
                      // negative differences keep 0 <= tv_nsec < 1e9
                      SubtractCase{{1, 200000000}, {1, 500000000}, {-1, 700000000}},
                      SubtractCase{{0, 0}, {3, 0}, {-3, 0}},
                      // monotonic times of a long-running board
                      SubtractCase{{86400, 250000000}, {86399, 750000000}, {0, 500000000}}));

struct MsCase {
    timespec t;
    int expected;
};

void PrintTo(const MsCase& c, std::ostream* out) {
    *out << c.t.tv_sec << "s" << c.t.tv_nsec << "ns";
}

class OvraTimespecToMs : public ::testing::TestWithParam<MsCase> {};

TEST_P(OvraTimespecToMs, TruncatesTowardZero) {
    EXPECT_EQ(ovra::util::timespec_to_ms(GetParam().t), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, OvraTimespecToMs,
                         ::testing::Values(MsCase{{0, 0}, 0}, MsCase{{0, 999999}, 0}, MsCase{{0, 1000000}, 1},
                                           MsCase{{2, 999999999}, 2999}, MsCase{{3, 0}, 3000},
                                           // -0.3 s and -0.3005 s
                                           MsCase{{-1, 700000000}, -300}, MsCase{{-1, 699500000}, -300},
                                           // the largest int of milliseconds and one beyond
                                           MsCase{{2147483, 647000000}, 2147483647},
                                           MsCase{{2147483, 648000000}, INT_MAX}));

TEST(OvraUtil, MonotonicTimeDoesNotGoBack) {
    const timespec a = ovra::util::get_time();
    const timespec b = ovra::util::get_time();
    timespec d{};
    ovra::util::timespec_subtract(&d, b, a);
    EXPECT_GE(d.tv_sec, 0);
}

TEST(OvraUtil, ThreadNameIsCutToFifteenCharacters) {
    std::string seen;
    std::thread t([&seen] {
        ovra::util::set_thread_name("bio_module_run_consumer", pthread_self());
        char name[32] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        seen = name;
    });
    t.join();
    EXPECT_EQ(seen, "bio_module_run_");
}

TEST(OvraUtil, RefusedPriorityIsLoggedNotThrown) {
    ovra::host::MemoryLogSink log;
    std::thread t([] {
        ovra::util::set_thread_priority(1000);  // beyond every policy's range
        ovra::util::set_thread_priority(0);     // ordinary time-sharing: always allowed
    });
    t.join();
    EXPECT_EQ(log.count("set_thread_priority(1000): ", true), 1);
    EXPECT_EQ(log.count("set_thread_priority(0): ", true), 0);
}

TEST(OvraUtil, FileExists) {
    ovrafw_test::TempDir dir;
    const std::string path = dir.file("fingerprint_reader");
    EXPECT_FALSE(ovra::util::file_exists(path));
    std::ofstream(path) << "GC032A";
    EXPECT_TRUE(ovra::util::file_exists(path));
    EXPECT_TRUE(ovra::util::file_exists(dir.path()));
}

TEST(OvraUuid, VersionFourTextAndUnique) {
    const std::regex form("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
    std::set<std::string> seen;
    for (int i = 0; i < 5000; ++i) {
        const std::string id = ovra::util::identifier::generate_new_uuid();
        ASSERT_EQ(id.size(), 36u);
        ASSERT_TRUE(std::regex_match(id, form)) << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 5000u);
}

}  // namespace
