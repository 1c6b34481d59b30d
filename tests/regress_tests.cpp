// Regression tests of faults found in review: the wire vocabulary's tables, and (on the real
// binary over loopback) the faults that only show on a socket.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <set>

#include <cstring>
#include <netdb.h>

#include "common/wire.h"
#include "service/environ.h"
#include "service/protocol.h"

namespace {

TEST(Wire, ErrorNumbersRoundTrip)
{
    std::set<int> wires;
    for (const wire::ErrorRow &row : wire::ERROR_ROWS) {
        EXPECT_EQ(wire::WireErrno(row.host), row.wire) << row.host;
        EXPECT_EQ(wire::LocalErrno(row.wire), row.host) << row.wire;
        EXPECT_TRUE(wires.insert(row.wire).second) << row.wire;
    }
    // Hosts errors without a row travel as EINVAL; wire numbers without one arrive as EIO.
    for (int host : {0, -1, EOVERFLOW, ESTALE, 100000})
        EXPECT_EQ(wire::WireErrno(host), 22) << host;
    EXPECT_EQ(wire::WireErrno(EWOULDBLOCK), 11);
    for (int w : {0, -1, 67, 74, 1000})
        EXPECT_EQ(wire::LocalErrno(w), EIO) << w;
    for (int host = 1; host < 300; host++)
        EXPECT_EQ(wire::WireErrno(wire::LocalErrno(wire::WireErrno(host))), wire::WireErrno(host)) << host;
}

TEST(Wire, CallNames)
{
    EXPECT_STREQ(wire::CallName(wire::CALL_FORKNEXEC), "ForkNExec");
    EXPECT_STREQ(wire::CallName(wire::CALL_GETPPID), "getppid");
    EXPECT_STREQ(wire::CallName(wire::CALL_UMASK), "umask");
    EXPECT_EQ(wire::CallName(wire::CALL_NONE), nullptr);
    EXPECT_EQ(wire::CallName(64), nullptr);
}

// String-list replies clear the pad bytes behind their last string, as file replies do.
TEST(Replies, StringListPaddingIsCleared)
{
    char name[] = "hostx", alias[] = "al", proto[] = "tcp";
    char *aliases[] = {alias, nullptr};
    char *noaddr[] = {nullptr};
    struct hostent host = {name, aliases, 2, 4, noaddr};
    struct servent serv = {name, aliases, 0, proto};
    char getenv[4] = {};
    SetLength(getenv, 4);
    getenv[2] = wire::CALL_GETENV;
    const std::function<char *()> builders[] = {[&] { return HostReply(&host); }, [&] { return ServiceReply(&serv); },
                                                [&] { return ProcessRequest(-1, getenv); }};
    for (const auto &build : builders) {
        memset(replybuf, 0xee, sizeof replybuf);
        char *reply = build();
        int length = MsgLength(reply);
        ASSERT_GT(length, 12);
        EXPECT_NE(reply[length - 4], '\xee'); // the last word is used or padding
        for (int i = length - 3; i < length; i++)
            EXPECT_NE(reply[i], '\xee') << i;
    }
}

} // namespace
