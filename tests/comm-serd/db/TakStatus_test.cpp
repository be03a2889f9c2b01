#include "comm-serd/db/TakStatus.h"

#include <errmsg.h>
#include <gtest/gtest.h>
#include <mysqld_error.h>

#include "comm-serd/db/TakDbConn.h"

namespace {

TEST(TakStatusTest, CodesMessagesAndText) {
    EXPECT_TRUE(TakStatus().ok());
    EXPECT_EQ(TakStatus::success(), TakStatus());
    EXPECT_EQ(TakStatus::success().toString(), "OK");
    struct Case {
        TakStatus status;
        TakStatus::ECode code;
        const char* text;
    };
    Case const cases[] = {
        {TakStatus::notConnected("gone"), TakStatus::ECode::NotConnected, "NotConnected: gone"},
        {TakStatus::refused("Duplicate entry"), TakStatus::ECode::Refused,
         "Refused: Duplicate entry"},
        {TakStatus::timedOut("took ms: 300"), TakStatus::ECode::TimedOut, "TimedOut: took ms: 300"},
        {TakStatus::failed(""), TakStatus::ECode::Failed, "Failed"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(c.status.ok()) << c.text;
        EXPECT_EQ(c.status.code(), c.code) << c.text;
        EXPECT_EQ(c.status.toString(), c.text);
    }
    EXPECT_NE(TakStatus::refused("a"), TakStatus::refused("b"));
    EXPECT_NE(TakStatus::refused("a"), TakStatus::failed("a"));
}

TEST(TakStatusTest, ClientErrorNumbersMapToCodes) {
    struct Case {
        unsigned int err;
        TakStatus::ECode code;
    };
    Case const cases[] = {
        {CR_SERVER_GONE_ERROR, TakStatus::ECode::NotConnected},
        {CR_SERVER_LOST, TakStatus::ECode::NotConnected},
        {ER_CONNECTION_KILLED, TakStatus::ECode::NotConnected},
        {ER_DUP_ENTRY, TakStatus::ECode::Refused},
        {ER_NO_SUCH_TABLE, TakStatus::ECode::Refused},
        {ER_NET_PACKET_TOO_LARGE, TakStatus::ECode::Refused},
        {CR_NET_PACKET_TOO_LARGE, TakStatus::ECode::Refused},
        {CR_OUT_OF_MEMORY, TakStatus::ECode::Failed},
        {CR_COMMANDS_OUT_OF_SYNC, TakStatus::ECode::Failed},
        {0, TakStatus::ECode::Failed},
    };
    for (const Case& c : cases) {
        TakStatus const status = TakDbConn::statusOf(c.err, "text");
        EXPECT_EQ(status.code(), c.code) << c.err;
        EXPECT_EQ(status.message(), "text");
    }
}

}  // namespace
