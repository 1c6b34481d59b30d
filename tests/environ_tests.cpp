// Environment, identity, clock and name-service calls, against the real agent over loopback,
// and the reply builders of the name-service calls on their own.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <netdb.h>
#include <string>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

#include "client/environ_api.h"
#include "client/process_api.h"
#include "service/environ.h"
#include "service/protocol.h"
#include "tests/agent_process.h"

extern char **environ;

using hostlink::Link;
using hostlink::Reply;
using hostlink::Request;

namespace {

std::string Joined(const std::vector<std::string> &strings)
{
    std::string out;
    for (const auto &s : strings) {
        out += s;
        out.push_back('\0');
    }
    return out;
}

// Starts the agent with exactly the given environment: the test's own environment is
// swapped out while the agent is forked, and put back at once.
std::unique_ptr<Daemon> DaemonWith(std::vector<std::string> env, bool verbose = false)
{
    std::vector<char *> list;
    for (auto &s : env)
        list.push_back(s.data());
    list.push_back(nullptr);
    struct Restore {
        char **saved = environ;
        ~Restore() { environ = saved; }
    } restore;
    environ = list.data();
    return std::make_unique<Daemon>(verbose);
}

std::string Padded64(const char *name)
{
    std::string field(64, '\0');
    if (name)
        memcpy(field.data(), name, std::min<size_t>(strlen(name), 64));
    return field;
}

// What a host reply carries from byte 24 for an entry of this test's own resolver.
std::string HostBytes(const struct hostent *e)
{
    std::string b = std::string(e->h_name) + '\0';
    for (char **a = e->h_aliases; *a; a++)
        b += std::string(*a) + '\0';
    for (char **a = e->h_addr_list; *a; a++)
        b.append(*a, static_cast<size_t>(e->h_length));
    return b;
}

int Count(char **list)
{
    int n = 0;
    while (list && list[n])
        n++;
    return n;
}

void ExpectHostNotFound(const Reply &r)
{
    EXPECT_EQ(r.length(), 24);
    EXPECT_EQ(r.raw.size(), 24u);
    EXPECT_EQ(r.word(1), -1);
}

void ExpectServiceNotFound(const Reply &r, int error)
{
    EXPECT_EQ(r.length(), 20);
    EXPECT_EQ(r.raw.size(), 20u);
    EXPECT_EQ(r.word(3), -1);
    EXPECT_EQ(r.word(4), error);
}

// A label of more than 63 characters: the resolver refuses it without asking a name server.
const std::string kLongLabel = std::string(70, 'q') + ".invalid";

class Environ : public testing::TestWithParam<bool> {
protected:
    bool Swapped() const { return GetParam(); }
};

TEST_P(Environ, GetenvSendsTheEnvironmentExactly)
{
    const std::vector<std::string> env = {"A=1", "LONGER=hello world", "EMPTY=", "Z=last"};
    auto d = DaemonWith(env);
    Link link = d->Open(Swapped());
    Reply r = link.call(Request(hostlink::kGetenv));
    std::string strings = Joined(env);
    ASSERT_EQ(r.word(1), static_cast<int32_t>(strings.size()));
    EXPECT_EQ(r.length(), RoundUp4(8 + static_cast<int>(strings.size())));
    EXPECT_EQ(r.raw.substr(8, strings.size()), strings);
    EXPECT_EQ(hostlink::getEnvironment(link), env);
}

TEST_P(Environ, GetenvLengthIsRoundedUp)
{
    {
        auto d = DaemonWith({"AB=123456789"}); // 13 bytes with the NUL
        Link link = d->Open(Swapped());
        Reply r = link.call(Request(hostlink::kGetenv));
        EXPECT_EQ(r.word(1), 13);
        EXPECT_EQ(r.length(), 24);
        EXPECT_EQ(r.raw.substr(8, 13), std::string("AB=123456789", 13));
    }
    {
        auto d = DaemonWith({});
        Link link = d->Open(Swapped());
        Reply r = link.call(Request(hostlink::kGetenv));
        EXPECT_EQ(r.length(), 8);
        EXPECT_EQ(r.word(1), 0);
    }
}

// Sixteen strings of 4000 bytes each, NUL included: 64000 of the 65512 bytes of room.
std::vector<std::string> BigEnvironment()
{
    std::vector<std::string> env;
    for (int i = 0; i < 16; i++) {
        std::string s = "V" + std::to_string(100 + i) + "=";
        s.append(4000 - 1 - s.size(), static_cast<char>('a' + i));
        env.push_back(s);
    }
    return env;
}

TEST_P(Environ, GetenvCutsAtTheFirstStringThatDoesNotFit)
{
    std::vector<std::string> env = BigEnvironment();
    env.push_back("W=" + std::string(1513 - 3, 'w')); // 1513 bytes: one too many
    env.push_back("Z=1");                            // would fit, but comes after
    auto d = DaemonWith(env);
    Link link = d->Open(Swapped());
    Reply r = link.call(Request(hostlink::kGetenv));
    EXPECT_EQ(r.word(1), 64000);
    EXPECT_EQ(r.length(), 64008);
    env.resize(16);
    EXPECT_EQ(r.raw.substr(8, 64000), Joined(env));
}

TEST_P(Environ, GetenvFillsTheMessageExactly)
{
    std::vector<std::string> env = BigEnvironment();
    env.push_back("W=" + std::string(1512 - 3, 'w')); // exactly the room left
    env.push_back("Z=1");
    auto d = DaemonWith(env);
    Link link = d->Open(Swapped());
    Reply r = link.call(Request(hostlink::kGetenv));
    EXPECT_EQ(r.word(1), 65512);
    EXPECT_EQ(r.length(), MAX_MESSAGE);
    env.pop_back();
    EXPECT_EQ(r.raw.substr(8), Joined(env));
}

TEST_P(Environ, SetenvThenGetenv)
{
    auto d = DaemonWith({"A=1", "B=2"});
    Link link = d->Open(Swapped());
    // The last string is empty: it has no '=' either.
    Reply r = link.call(Request(hostlink::kSetenv).word(16).bytes(std::string("A=one\0NEW=v\0B=\0\0", 16)));
    EXPECT_EQ(r.length(), 4);
    EXPECT_EQ(r.raw.size(), 4u);
    // A changed in place, B set to an empty value, NEW added at the end.
    EXPECT_EQ(hostlink::getEnvironment(link), (std::vector<std::string>{"A=one", "B=", "NEW=v"}));
    hostlink::setEnvironment(link, {"NEW=w", "C=3"});
    EXPECT_EQ(hostlink::getEnvironment(link), (std::vector<std::string>{"A=one", "B=", "NEW=w", "C=3"}));
}

TEST_P(Environ, SetenvSkipsWhatItCannotApply)
{
    auto d = DaemonWith({"KEEP=same", "EMPTY="}, true);
    Link link = d->Open(Swapped());
    // No '=', an unchanged value, an empty value that is already empty, and an empty name.
    hostlink::setEnvironment(link, {"NOEQUALS", "KEEP=same", "EMPTY=", "=nameless", "AFTER=x"});
    EXPECT_EQ(hostlink::getEnvironment(link), (std::vector<std::string>{"KEEP=same", "EMPTY=", "AFTER=x"}));
    std::string err = d->agent.Stderr();
    EXPECT_NE(err.find("Request: setenv(....)\nputenv(AFTER=x)\n"), std::string::npos) << err;
    EXPECT_EQ(err.find("putenv(KEEP"), std::string::npos);
    EXPECT_EQ(err.find("putenv(EMPTY"), std::string::npos);
    EXPECT_EQ(err.find("putenv(=nameless"), std::string::npos);
    EXPECT_NE(err.find("Request: getenv(....)\n"), std::string::npos);
}

TEST_P(Environ, SetenvAppliesOnlyWholeStringsInsideTheRequest)
{
    auto d = DaemonWith({});
    Link link = d->Open(Swapped());
    hostlink::setEnvironment(link, {"SA=1", "SB=xy"});
    // The count claims 100 bytes, and the request ends inside "SB=z": the old request's
    // "y" and NUL behind it must not make it "SB=zy".
    Reply r = link.call(Request(hostlink::kSetenv).word(100).bytes(std::string("SA=3\0SB=z", 9)));
    EXPECT_EQ(r.length(), 4);
    EXPECT_EQ(hostlink::getEnvironment(link), (std::vector<std::string>{"SA=3", "SB=xy"}));
    // A count that ends inside the first string: that string still counts, the next does not.
    link.call(Request(hostlink::kSetenv).word(4).bytes(std::string("SC=77\0SD=8\0", 11)));
    // A count of 0 or less, and a request without its count, change nothing.
    link.call(Request(hostlink::kSetenv).word(0).bytes(std::string("SE=1\0", 5)));
    link.call(Request(hostlink::kSetenv).word(-5).bytes(std::string("SF=1\0", 5)));
    r = link.call(Request(hostlink::kSetenv));
    EXPECT_EQ(r.length(), 4);
    EXPECT_EQ(hostlink::getEnvironment(link), (std::vector<std::string>{"SA=3", "SB=xy", "SC=77"}));
}

// Every setenv of a name makes a new copy; the copy that it displaces is given back. With
// the sanitizers a copy that stayed behind unreferenced fails the agent's exit status.
TEST_P(Environ, RepeatedSetenvOfOneNameKeepsOnlyTheLatest)
{
    auto d = DaemonWith({"BIG=inherited", "OTHER=1"});
    Link link = d->Open(Swapped());
    for (int i = 0; i < 200; i++) {
        std::string value(1000, static_cast<char>('a' + i % 26));
        value += std::to_string(i);
        hostlink::setEnvironment(link, {"BIG=" + value, "SMALL=" + std::to_string(i), "OTHER=" + std::to_string(i % 2)});
    }
    std::string last = std::string(1000, static_cast<char>('a' + 199 % 26)) + "199";
    EXPECT_EQ(hostlink::getEnvironment(link),
              (std::vector<std::string>{"BIG=" + last, "OTHER=1", "SMALL=199"}));
    link.close();
    EXPECT_EQ(d->agent.Wait(), 0) << d->agent.Stderr();
}

TEST_P(Environ, SetenvInAForkedChildDoesNotReachTheParent)
{
    auto d = DaemonWith({"A=1"});
    Link link = d->Open(Swapped());
    ASSERT_GT(hostlink::fork(link), 0);
    hostlink::setEnvironment(link, {"A=child", "ONLY_CHILD=1"});
    EXPECT_EQ(hostlink::getEnvironment(link), (std::vector<std::string>{"A=child", "ONLY_CHILD=1"}));
    hostlink::exit(link, 0);
    EXPECT_EQ(hostlink::getEnvironment(link), (std::vector<std::string>{"A=1"}));
}

TEST_P(Environ, GettimeofdayIsCloseToOurClock)
{
    Daemon d;
    Link link = d.Open(Swapped());
    struct timeval before;
    struct timezone tz;
    gettimeofday(&before, &tz);
    Reply r = link.call(Request(hostlink::kGettimeofday));
    ASSERT_EQ(r.length(), 28);
    ASSERT_EQ(r.raw.size(), 28u);
    EXPECT_EQ(r.word(1), 0);
    int64_t seconds = static_cast<uint32_t>(r.word(3));
    EXPECT_LE(std::llabs(seconds - static_cast<int64_t>(before.tv_sec)), 5);
    EXPECT_GE(r.word(4), 0);
    EXPECT_LT(r.word(4), 1000000);
    EXPECT_EQ(r.word(5), tz.tz_minuteswest);
    EXPECT_EQ(r.word(6), tz.tz_dsttime);
    hostlink::TimeOfDay t = hostlink::getTimeOfDay(link);
    EXPECT_GE(t.seconds, seconds);
}

TEST_P(Environ, IdsAreOurs)
{
    Daemon d;
    Link link = d.Open(Swapped());
    const std::pair<int, int> calls[] = {{hostlink::kGetuid, static_cast<int>(getuid())},
                                         {hostlink::kGetgid, static_cast<int>(getgid())},
                                         {hostlink::kGeteuid, static_cast<int>(geteuid())},
                                         {hostlink::kGetegid, static_cast<int>(getegid())}};
    for (auto [call, id] : calls) {
        Reply r = link.call(Request(call));
        EXPECT_EQ(r.length(), 8) << call;
        EXPECT_EQ(r.raw.size(), 8u) << call;
        EXPECT_EQ(r.word(1), id) << call;
    }
}

TEST_P(Environ, LoginAndHostNameFields)
{
    Daemon d;
    Link link = d.Open(Swapped());
    // The agent shares this process's login session and standard input.
    const char *login = getlogin();
    Reply r = link.call(Request(hostlink::kGetlogin));
    ASSERT_EQ(r.length(), 68);
    EXPECT_EQ(r.raw.substr(4), Padded64(login));

    char host[64] = {};
    if (gethostname(host, sizeof host) != 0)
        memset(host, 0, sizeof host);
    r = link.call(Request(hostlink::kGethostname));
    ASSERT_EQ(r.length(), 68);
    EXPECT_EQ(r.raw.substr(4), std::string(host, 64));
    EXPECT_EQ(hostlink::getHostName(link), std::string(host, strnlen(host, 64)));
}

TEST_P(Environ, GethostbynameOfLocalhost)
{
    struct hostent *mine = gethostbyname("localhost");
    ASSERT_NE(mine, nullptr);
    std::string expected = HostBytes(mine);
    int aliases = Count(mine->h_aliases), addresses = Count(mine->h_addr_list);

    Daemon d;
    Link link = d.Open(Swapped());
    Reply r = link.call(Request(hostlink::kGethostbyname).str("localhost"));
    EXPECT_EQ(r.word(1), 0);
    EXPECT_EQ(r.word(2), aliases);
    EXPECT_EQ(r.word(3), addresses);
    EXPECT_EQ(r.word(4), 4);
    EXPECT_EQ(r.word(5), AF_INET);
    EXPECT_EQ(r.length(), RoundUp4(24 + static_cast<int>(expected.size())));
    EXPECT_EQ(r.raw.substr(24, expected.size()), expected);

    auto entry = hostlink::getHostByName(link, "localhost");
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->name, "localhost");
    EXPECT_NE(std::find(entry->addresses.begin(), entry->addresses.end(), std::string("\x7f\0\0\x01", 4)),
              entry->addresses.end());
}

TEST_P(Environ, GethostbynameOfNamesThatDoNotResolve)
{
    Daemon d(true);
    Link link = d.Open(Swapped());
    ExpectHostNotFound(link.call(Request(hostlink::kGethostbyname).str(kLongLabel)));
    ExpectHostNotFound(link.call(Request(hostlink::kGethostbyname).str("bad_name!")));
    EXPECT_FALSE(hostlink::getHostByName(link, kLongLabel));
    // A name without its NUL is refused without a lookup, though the NUL of the earlier
    // request still lies in the buffer right behind it.
    link.call(Request(hostlink::kGethostbyname).str("localhost"));
    ExpectHostNotFound(link.call(Request(hostlink::kGethostbyname).bytes("localhost")));
    ExpectHostNotFound(link.call(Request(hostlink::kGethostbyname)));
    EXPECT_NE(d.agent.Stderr().find("Request: gethostbyname(\"bad_name!\")\n"), std::string::npos);
}

TEST_P(Environ, GethostbyaddrOfLoopback)
{
    const char loopback[4] = {127, 0, 0, 1};
    struct hostent *mine = gethostbyaddr(loopback, 4, AF_INET);
    ASSERT_NE(mine, nullptr);
    std::string expected = HostBytes(mine);

    Daemon d(true);
    Link link = d.Open(Swapped());
    Reply r = link.call(Request(hostlink::kGethostbyaddr).word(AF_INET).word(4).bytes(std::string(loopback, 4)));
    EXPECT_EQ(r.word(1), 0);
    EXPECT_EQ(r.word(2), Count(mine->h_aliases));
    EXPECT_EQ(r.word(3), Count(mine->h_addr_list));
    EXPECT_EQ(r.word(4), 4);
    EXPECT_EQ(r.word(5), AF_INET);
    EXPECT_EQ(r.length(), RoundUp4(24 + static_cast<int>(expected.size())));
    EXPECT_EQ(r.raw.substr(24, expected.size()), expected);
    auto entry = hostlink::getHostByAddr(link, AF_INET, std::string(loopback, 4));
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->name, mine->h_name);
    EXPECT_NE(d.agent.Stderr().find("Request: gethostbyaddr\n"), std::string::npos);
}

TEST_P(Environ, GethostbyaddrTakesOnlyTheBytesTheRequestCarries)
{
    Daemon d;
    Link link = d.Open(Swapped());
    const std::string loopback("\x7f\0\0\x01", 4);
    ASSERT_TRUE(hostlink::getHostByAddr(link, AF_INET, loopback));
    // Two of the four bytes: the earlier request's last two still lie behind them.
    ExpectHostNotFound(link.call(Request(hostlink::kGethostbyaddr).word(AF_INET).word(4).bytes(loopback.substr(0, 2))));
    ExpectHostNotFound(link.call(Request(hostlink::kGethostbyaddr).word(AF_INET).word(-1).bytes(loopback)));
    ExpectHostNotFound(link.call(Request(hostlink::kGethostbyaddr).word(AF_INET)));
    ExpectHostNotFound(link.call(Request(hostlink::kGethostbyaddr)));
    // The family is word 1: the same bytes as another family find nothing.
    ExpectHostNotFound(link.call(Request(hostlink::kGethostbyaddr).word(12345).word(4).bytes(loopback)));
}

TEST_P(Environ, GetservbynameOfAKnownService)
{
    for (const char *name : {"telnet", "http"}) {
        struct servent *mine = getservbyname(name, "tcp");
        if (!mine)
            GTEST_SKIP() << name << "/tcp is not in this machine's service database";
        std::string expected = std::string(mine->s_name) + '\0' + mine->s_proto + '\0';
        for (char **a = mine->s_aliases; *a; a++)
            expected += std::string(*a) + '\0';
        int port = ntohs(static_cast<uint16_t>(mine->s_port));
        int aliases = Count(mine->s_aliases);

        Daemon d(true);
        Link link = d.Open(Swapped());
        Reply r = link.call(Request(hostlink::kGetservbyname).str(name).str("tcp"));
        EXPECT_EQ(r.word(1), port) << name;
        EXPECT_EQ(r.word(2), aliases) << name;
        EXPECT_EQ(r.word(3), 0) << name;
        EXPECT_EQ(r.length(), RoundUp4(20 + static_cast<int>(expected.size()))) << name;
        EXPECT_EQ(r.raw.substr(20, expected.size()), expected) << name;
        auto entry = hostlink::getServByName(link, name, "tcp");
        ASSERT_TRUE(entry);
        EXPECT_EQ(entry->port, port);
        EXPECT_EQ(entry->protocol, "tcp");
        std::string err = d.agent.Stderr();
        EXPECT_NE(err.find(std::string("getservbyname(\"") + name + "\",\"tcp\");\n"), std::string::npos) << err;
        EXPECT_EQ(err.find("Request: 0x00000000 = getservbyname"), std::string::npos) << err;
    }
    EXPECT_EQ(ntohs(static_cast<uint16_t>(getservbyname("telnet", "tcp")->s_port)), 23);
}

TEST_P(Environ, GetservbynameOfServicesThatAreNotThere)
{
    Daemon d(true);
    Link link = d.Open(Swapped());
    Reply r = link.call(Request(hostlink::kGetservbyname).str("no-such-service-here").str("tcp"));
    EXPECT_EQ(r.length(), 20);
    EXPECT_EQ(r.word(3), -1);
    // An empty protocol is passed on as an empty name, which no entry has.
    EXPECT_EQ(link.call(Request(hostlink::kGetservbyname).str("telnet").str("")).word(3), -1);
    int32_t error = 0;
    EXPECT_FALSE(hostlink::getServByName(link, "no-such-service-here", "udp", &error));
    EXPECT_NE(d.agent.Stderr().find("Request: 0x00000000 = getservbyname(\"no-such-service-here\",\"tcp\");\n"),
              std::string::npos);
}

TEST_P(Environ, GetservbynameNeedsBothNamesInsideTheRequest)
{
    Daemon d;
    Link link = d.Open(Swapped());
    ASSERT_TRUE(hostlink::getServByName(link, "telnet", "tcp"));
    // "tc" where the earlier request had "tcp" and its NUL right behind.
    ExpectServiceNotFound(link.call(Request(hostlink::kGetservbyname).str("telnet").bytes("tc")), 22);
    ExpectServiceNotFound(link.call(Request(hostlink::kGetservbyname).bytes("telnet")), 22);
    ExpectServiceNotFound(link.call(Request(hostlink::kGetservbyname)), 22);
}

TEST_P(Environ, TraceLines)
{
    Daemon d(true);
    Link link = d.Open(Swapped());
    hostlink::getUid(link);
    hostlink::getGid(link);
    hostlink::getEuid(link);
    hostlink::getEgid(link);
    hostlink::getTimeOfDay(link);
    std::string login = hostlink::getLogin(link);
    std::string host = hostlink::getHostName(link);
    hostlink::getHostByName(link, "localhost");
    std::string err = d.agent.Stderr();
    for (const std::string &line :
         {"Request: " + std::to_string(getuid()) + " = getuid()\n", "Request: " + std::to_string(getgid()) + " = getgid()\n",
          "Request: " + std::to_string(geteuid()) + " = geteuid()\n",
          "Request: " + std::to_string(getegid()) + " = getegid()\n", std::string("Request: gettimeofday()\n"),
          "Request: \"" + login + "\" = getlogin()\n", "Request: \"" + host + "\" = gethostname()\n",
          std::string("Request: gethostbyname(\"localhost\")\n")})
        EXPECT_NE(err.find(line), std::string::npos) << line << " not in:\n" << err;
}

INSTANTIATE_TEST_SUITE_P(BothOrders, Environ, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &p) { return p.param ? "Swapped" : "Native"; });

// The reply builders, with entries larger than one message.

struct FakeHost {
    std::string name = "big.example";
    std::vector<std::string> aliasStrings;
    std::vector<std::string> addressBytes;
    std::vector<char *> aliases, addresses;
    struct hostent entry = {};

    const struct hostent *Build()
    {
        for (auto &a : aliasStrings)
            aliases.push_back(a.data());
        aliases.push_back(nullptr);
        for (auto &a : addressBytes)
            addresses.push_back(a.data());
        addresses.push_back(nullptr);
        entry.h_name = name.data();
        entry.h_aliases = aliases.data();
        entry.h_addrtype = AF_INET;
        entry.h_length = 4;
        entry.h_addr_list = addresses.data();
        return &entry;
    }
};

std::string Address(int i)
{
    uint32_t a = htonl(0x0a000000u + static_cast<uint32_t>(i));
    return std::string(reinterpret_cast<const char *>(&a), 4);
}

// The counts of a host reply in the reply buffer must describe exactly the bytes sent.
void ExpectConsistentHostReply(const char *reply, const FakeHost &host)
{
    int length = MsgLength(reply);
    ASSERT_LE(length, MAX_MESSAGE);
    ASSERT_EQ(GetWord(reply, 1), 0);
    int aliases = GetWord(reply, 2), addresses = GetWord(reply, 3);
    std::string data(reply + 24, static_cast<size_t>(length - 24));
    std::string expected = host.name + '\0';
    for (int i = 0; i < aliases; i++)
        expected += host.aliasStrings[static_cast<size_t>(i)] + '\0';
    for (int i = 0; i < addresses; i++)
        expected += host.addressBytes[static_cast<size_t>(i)];
    EXPECT_EQ(length, RoundUp4(24 + static_cast<int>(expected.size())));
    EXPECT_EQ(data.substr(0, expected.size()), expected);
}

TEST(HostReply, TooManyAliasesKeepsEveryAddress)
{
    FakeHost host;
    for (int i = 0; i < 10000; i++)
        host.aliasStrings.push_back("alias" + std::to_string(10000 + i)); // 11 bytes each
    for (int i = 0; i < 3; i++)
        host.addressBytes.push_back(Address(i));
    const char *reply = HostReply(host.Build());
    EXPECT_EQ(GetWord(reply, 3), 3);
    EXPECT_EQ(GetWord(reply, 2), (MAX_MESSAGE - 24 - 12 - 12) / 11);
    EXPECT_EQ(GetWord(reply, 4), 4);
    EXPECT_EQ(GetWord(reply, 5), AF_INET);
    ExpectConsistentHostReply(reply, host);
}

TEST(HostReply, TooManyAddressesSendsThoseThatFit)
{
    FakeHost host;
    host.aliasStrings.push_back("other");
    for (int i = 0; i < 20000; i++)
        host.addressBytes.push_back(Address(i));
    const char *reply = HostReply(host.Build());
    EXPECT_EQ(GetWord(reply, 3), (MAX_MESSAGE - 24 - 12) / 4);
    EXPECT_EQ(GetWord(reply, 2), 0); // no room is left for the alias
    ExpectConsistentHostReply(reply, host);
}

TEST(HostReply, NameThatCannotFitIsNotFound)
{
    FakeHost host;
    host.name = std::string(MAX_MESSAGE, 'n');
    host.addressBytes.push_back(Address(1));
    const char *reply = HostReply(host.Build());
    EXPECT_EQ(MsgLength(reply), 24);
    EXPECT_EQ(GetWord(reply, 1), -1);
}

TEST(ServiceReply, TooManyAliasesSendsThoseThatFit)
{
    std::string name = "svc", proto = "tcp";
    std::vector<std::string> aliasStrings;
    for (int i = 0; i < 10000; i++)
        aliasStrings.push_back("name" + std::to_string(10000 + i)); // 10 bytes each
    std::vector<char *> aliases;
    for (auto &a : aliasStrings)
        aliases.push_back(a.data());
    aliases.push_back(nullptr);
    struct servent entry = {};
    entry.s_name = name.data();
    entry.s_proto = proto.data();
    entry.s_aliases = aliases.data();
    entry.s_port = htons(23);
    const char *reply = ServiceReply(&entry);
    int count = (MAX_MESSAGE - 20 - 8) / 10;
    EXPECT_EQ(GetWord(reply, 1), 23);
    EXPECT_EQ(GetWord(reply, 2), count);
    EXPECT_EQ(GetWord(reply, 3), 0);
    EXPECT_EQ(MsgLength(reply), RoundUp4(20 + 8 + 10 * count));
    EXPECT_EQ(std::string(reply + 20, 8), std::string("svc\0tcp\0", 8));
    EXPECT_EQ(std::string(reply + 20 + 8 + 10 * (count - 1), 10), aliasStrings[static_cast<size_t>(count - 1)] + '\0');
}

} // namespace
