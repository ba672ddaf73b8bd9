// The logger: what a record carries, the line format, the level filter and the sinks.
#include <time.h>
#include <unistd.h>

#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ovra/host.h"
#include "ovra/log.h"
#include "test_support.h"

namespace {

using ovra::host::LogLevel;
using ovra::host::LogRecord;
using ovrafw_test::kWait;

TEST(OvraLogger, DebugRecordCarriesLocationThreadAndTime) {
    ovra::host::MemoryLogSink sink;
    timespec before{};
    clock_gettime(CLOCK_REALTIME, &before);
    long tid = 0;
    std::thread writer([&tid] {
        tid = static_cast<long>(gettid());
        ovra::mevlog::debug("Opening device", "bio_module/src/source/bio_module", "init_module", 77);
    });
    writer.join();
    const auto records = sink.records();
    ASSERT_EQ(records.size(), 1u);
    const LogRecord& r = records[0];
    EXPECT_EQ(r.level, LogLevel::debug);
    EXPECT_EQ(r.text, "Opening device");
    EXPECT_EQ(r.file, "bio_module/src/source/bio_module");
    EXPECT_EQ(r.function, "init_module");
    EXPECT_EQ(r.line, 77);
    EXPECT_EQ(r.thread, tid);
    EXPECT_NE(r.thread, static_cast<long>(gettid()));
    EXPECT_GE(r.time.tv_sec, before.tv_sec);
    EXPECT_LE(r.time.tv_sec, before.tv_sec + 5);
    EXPECT_THAT(sink.texts_of("init_module"), ::testing::ElementsAre("Opening device"));
    EXPECT_TRUE(sink.texts_of("run").empty());
}

TEST(OvraLogger, ErrorRecordHasNoLocation) {
    ovra::host::MemoryLogSink sink;
    ovra::error::log("No full buffer available");
    const auto records = sink.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, LogLevel::error);
    EXPECT_EQ(records[0].text, "No full buffer available");
    EXPECT_EQ(records[0].file, "");
    EXPECT_EQ(records[0].function, "");
    EXPECT_EQ(records[0].line, 0);
}

TEST(OvraLogger, LineFormat) {
    struct tm local {};
    local.tm_year = 2026 - 1900;
    local.tm_mon = 11;
    local.tm_mday = 5;
    local.tm_hour = 17;
    local.tm_min = 24;
    local.tm_sec = 53;
    local.tm_isdst = -1;
    LogRecord record{LogLevel::debug,
                     {mktime(&local), 123999999},
                     4242,
                     "UUID:abc",
                     "bio_module/src/source/bio_module",
                     "run",
                     310};
    EXPECT_EQ(ovra::host::format_record(record),
              "2026-12-05 17:24:53.123 DEBUG [4242] run (bio_module/src/source/bio_module:310): UUID:abc");
    record.level = LogLevel::error;
    record.file.clear();
    record.function.clear();
    record.line = 0;
    record.text = "Too many retries for select";
    EXPECT_EQ(ovra::host::format_record(record),
              "2026-12-05 17:24:53.123 ERROR [4242] Too many retries for select");
    record.level = LogLevel::info;
    record.time.tv_nsec = 7000000;
    EXPECT_EQ(ovra::host::format_record(record),
              "2026-12-05 17:24:53.007 INFO [4242] Too many retries for select");
}

TEST(OvraLogger, LevelFilterDropsLowerRecords) {
    ovra::host::MemoryLogSink sink;
    ovra::host::set_log_level(LogLevel::error);
    ovra::mevlog::debug("hidden", "f", "g", 1);
    ovra::error::log("shown");
    ovra::host::set_log_level(LogLevel::debug);
    ovra::mevlog::debug("shown again", "f", "g", 2);
    EXPECT_THAT(sink.texts(), ::testing::ElementsAre("shown", "shown again"));
}

TEST(OvraLogger, RemovedSinkGetsNothingAndOthersGoOn) {
    ovra::host::MemoryLogSink kept;
    int calls = 0;
    const int id = ovra::host::add_log_sink([&calls](const LogRecord&) { ++calls; });
    const int failing = ovra::host::add_log_sink([](const LogRecord&) { throw std::runtime_error("sink"); });
    ovra::error::log("one");
    ovra::host::remove_log_sink(id);
    ovra::host::remove_log_sink(failing);
    ovra::error::log("two");
    EXPECT_EQ(calls, 1);
    EXPECT_THAT(kept.texts(), ::testing::ElementsAre("one", "two"));
}

TEST(OvraLogger, WaitForSeesRecordsFromOtherThreads) {
    ovra::host::MemoryLogSink sink;
    std::thread writer([] {
        for (int i = 0; i < 3; ++i) {
            ovra::mevlog::debug("Error: " + std::to_string(i), "f", "restart_module", i);
        }
    });
    EXPECT_TRUE(sink.wait_for([](const std::vector<LogRecord>& r) { return r.size() >= 3; }, kWait));
    writer.join();
    EXPECT_EQ(sink.count("Error: ", true), 3);
    EXPECT_EQ(sink.count("Error: 1"), 1);
    EXPECT_FALSE(sink.wait_for([](const std::vector<LogRecord>& r) { return r.size() > 3; },
                               std::chrono::milliseconds(10)));
    sink.clear();
    EXPECT_TRUE(sink.records().empty());
}

}  // namespace
