// The data-access layer: table names, counts with conditions, the host's record operations
// and the bus messages they post.
#include <list>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ovra/host.h"
#include "ovra/ovra_exception.h"
#include "ovra/post_office.h"
#include "ovra_dal/dal.h"
#include "test_support.h"

namespace {

using ovra_dal::column;
using ovra_dal::ovra_dao;
using ovrafw_test::kWait;

const ovra_dal::table& templates() {
    return ovra_dal::bio_template::table_templates();
}

class OvraDal : public ovrafw_test::HostTest {};

TEST(OvraDalNames, TablesAreNamedTemplatesAndUsers) {
    EXPECT_EQ(ovra_dal::bio_template::table_templates().name(), "templates");
    EXPECT_EQ(ovra_dal::user::table_users().name(), "users");
}

TEST_F(OvraDal, EmptyConditionListCountsAllRows) {
    EXPECT_EQ(ovra_dao::count(templates(), {}), 0);
    ovra::host::insert_records("templates", 4001);
    EXPECT_EQ(ovra_dao::count(templates(), {}), 4001);
    EXPECT_EQ(ovra_dao::count(ovra_dal::user::table_users(), {}), 0);
}

TEST_F(OvraDal, EachColumnIsAnEqualityCondition) {
    const std::int64_t first = ovra::host::insert_record("templates", "left thumb");
    const std::int64_t second = ovra::host::insert_record("templates", "left thumb");
    ovra::host::insert_record("templates", "right thumb");
    EXPECT_EQ(second, first + 1);
    EXPECT_EQ(ovra_dao::count(templates(), {column("data", "left thumb")}), 2);
    EXPECT_EQ(
        ovra_dao::count(templates(), {column("data", "left thumb"), column("id", std::to_string(second))}),
        1);
    EXPECT_EQ(ovra_dao::count(templates(), {column("data", "nobody")}), 0);
}

TEST_F(OvraDal, ValuesAreBoundNotSpliced) {
    ovra::host::insert_records("templates", 3);
    EXPECT_EQ(ovra_dao::count(templates(), {column("data", "x' OR '1'='1")}), 0);
    EXPECT_EQ(ovra_dao::count(templates(), {}), 3);
}

TEST_F(OvraDal, UnknownColumnOrTableIsRefused) {
    ovra::host::insert_records("templates", 2);
    try {
        ovra_dao::count(templates(), {column("id = id; DROP TABLE templates; --", "1")});
        FAIL() << "no exception";
    } catch (const ovra::ovra_exception& e) {
        EXPECT_EQ(std::string(e.what()),
                  "unknown column 'id = id; DROP TABLE templates; --' of table 'templates'");
    }
    EXPECT_THROW(ovra_dao::count(ovra_dal::table("config"), {}), ovra::ovra_exception);
    EXPECT_THROW(ovra::host::insert_record("config", "x"), ovra::ovra_exception);
    EXPECT_EQ(ovra_dao::count(templates(), {}), 2);
}

TEST_F(OvraDal, CountWithoutADatabaseRaises) {
    ovra::host::close_database();
    try {
        ovra_dao::count(templates(), {});
        FAIL() << "no exception";
    } catch (const ovra::ovra_exception& e) {
        EXPECT_STREQ(e.what(), "no database open");
    }
}

TEST_F(OvraDal, RecordOperationsPostOneMessageNamingTheTable) {
    ovrafw_test::TapRecorder tap;
    const std::int64_t id = ovra::host::insert_record("users", "alice");
    ovra::host::insert_records("templates", 5);
    ovra::host::update_record("users", id, "alice b.");
    EXPECT_EQ(ovra::host::delete_records("templates", 2), 2);
    ASSERT_TRUE(ovra::PostOffice::flush(kWait));

    const auto seen = tap.messages();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].type, "ovra_dal_record_inserted");
    EXPECT_EQ(seen[0].text("table"), std::optional<std::string>("users"));
    EXPECT_EQ(seen[1].type, "ovra_dal_record_inserted");
    EXPECT_EQ(seen[1].text("table"), std::optional<std::string>("templates"));
    EXPECT_EQ(seen[2].type, "ovra_dal_record_updated");
    EXPECT_EQ(seen[2].text("table"), std::optional<std::string>("users"));
    EXPECT_EQ(seen[3].type, "ovra_dal_record_deleted");
    EXPECT_EQ(seen[3].text("table"), std::optional<std::string>("templates"));
    EXPECT_EQ(ovra_dao::count(ovra_dal::user::table_users(), {column("data", "alice b.")}), 1);
}

TEST_F(OvraDal, DeleteRemovesTheOldestRowsUpToTheCount) {
    ovra::host::insert_record("templates", "first");
    ovra::host::insert_record("templates", "second");
    ovra::host::insert_record("templates", "third");
    EXPECT_EQ(ovra::host::delete_records("templates", 2), 2);
    EXPECT_EQ(ovra_dao::count(templates(), {column("data", "third")}), 1);
    EXPECT_EQ(ovra_dao::count(templates(), {}), 1);
    EXPECT_EQ(ovra::host::delete_records("templates", 10), 1);
    EXPECT_EQ(ovra::host::delete_records("templates", 10), 0);
}

TEST_F(OvraDal, UpdatingAMissingRecordRaisesAndPostsNothing) {
    ovrafw_test::TapRecorder tap;
    EXPECT_THROW(ovra::host::update_record("templates", 77, "x"), ovra::ovra_exception);
    ASSERT_TRUE(ovra::PostOffice::flush(kWait));
    EXPECT_TRUE(tap.messages().empty());
}

TEST(OvraDevice, ThisIdIsOneUntilTheHostSetsIt) {
    EXPECT_EQ(ovra_dal::device::this_id(), 1);
    ovra::host::set_device_id(0x123456789LL);
    EXPECT_EQ(ovra_dal::device::this_id(), 0x123456789LL);
    ovra::host::set_device_id(1);
}

}  // namespace
