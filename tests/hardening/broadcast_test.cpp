// The identifier broadcast at the end of the int range: the count wraps as the board's
// arithmetic does, without undefined behaviour (the sanitizer builds abort on it).
#include <climits>

#include <gtest/gtest.h>

#include "bio_module.h"
#include "ovra/message.h"

namespace {

TEST(IdentifierBroadcastLimit, CountWrapsToTheLowestInt) {
    ovra::Message message("identifier_broadcast_identifier_id", 0, [](const ovra::Message&) {});
    ASSERT_NE(message.reply(), nullptr);
    message.reply()->add_int("count", INT_MAX);
    on_identifier_broadcast(&message);
    int id = 0;
    EXPECT_NE(message.reply()->get_int("identifier_id_2147483647", &id), 0);
    EXPECT_EQ(id, 1651076864);
    int count = 0;
    EXPECT_NE(message.reply()->get_int("count", &count), 0);
    EXPECT_EQ(count, INT_MIN);
}

}  // namespace
