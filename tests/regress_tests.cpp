// Regression tests of faults found in review: the wire vocabulary's tables, and (on the real
// binary over loopback) the faults that only show on a socket.
#include <gtest/gtest.h>

#include <cerrno>
#include <set>

#include "common/wire.h"

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

} // namespace
