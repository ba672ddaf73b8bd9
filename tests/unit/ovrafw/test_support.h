// Helpers shared by the host framework's unit tests: a temporary directory, a recorder of
// bus traffic and a fixture that leaves the bus and the database clean for the next case.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bio_test/files.h"
#include "ovra/message.h"

namespace ovrafw_test {

using bio_test::TempDir;

// One message as a tap saw it.
struct Seen {
    std::uint64_t sequence = 0;
    std::string type;
    std::vector<ovra::MessageField> fields;
    std::thread::id thread;  // the sender's thread

    std::optional<std::string> text(const std::string& name) const;
    std::optional<std::int64_t> number(const std::string& name) const;
};

// Records every message sent while it lives (a PostOffice tap).
class TapRecorder {
public:
    TapRecorder();
    ~TapRecorder();
    TapRecorder(const TapRecorder&) = delete;
    TapRecorder& operator=(const TapRecorder&) = delete;

    std::vector<Seen> messages() const;
    std::vector<Seen> of_type(const std::string& type) const;
    // Waits until `n` messages of `type` were seen; false on time-out.
    bool wait_for(const std::string& type, std::size_t n, std::chrono::milliseconds timeout) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Seen> seen_;
    int id_;
};

// Opens an in-memory database before each case; stops the bus and closes the database after.
class HostTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

constexpr std::chrono::milliseconds kWait{5000};

}  // namespace ovrafw_test
