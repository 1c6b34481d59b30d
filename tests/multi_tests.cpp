// Daemon mode with -m: many clients at once, each served by a process of its own, the limit,
// SIGTERM, -l; the agent's options on the usage line and their refusals.
#include <csignal>
#include <set>
#include <unistd.h>

#include "tests/harness.h"
#include <hostlink/calls.h>

namespace {

// Eight clients held open at once, a ninth over the limit; then no children and a tenth served.
// -lADDRESS:PORT; a client cut mid-request ends only its server; SIGTERM spares the served one.
TEST(Multi, EightClientsAtOnceANinthTurnedAwayTheServedOneFinishes)
{
    int port = 0;
    close(Listen(&port)); // a port free a moment ago
    Agent agent;
    agent.Start({"xt.term", "-v", "-d", "-m8", Fmt("-l127.0.0.1:%d", port), "--"});
    EXPECT_EQ(agent.port, port);
    EXPECT_THROW(Link::connect("127.0.0.2", port), hostlink::LinkError); // bound to the address it names
    std::vector<Link> links;
    std::set<int32_t> servers;
    for (int i = 0; i < 8; i++) {
        links.push_back(agent.Open(i % 2)); // half of them in the other byte order
        servers.insert(hostlink::getpid(links.back()));
    }
    EXPECT_EQ(std::make_tuple(servers.size(), servers.count(agent.pid), Children(agent.pid).size()), std::make_tuple(8u, 0u, 8u));
    Link ninth = agent.Connect();
    EXPECT_TRUE(ninth.atEof());
    EXPECT_NE(agent.Err().find("Connection refused: 8 connections are being served"), std::string::npos);
    for (Link &link : links)
        EXPECT_EQ(hostlink::getppid(link), agent.pid);
    links.clear();
    EXPECT_TRUE(WaitUntil([&] { return Children(agent.pid).empty(); }));
    Link tenth = agent.Open();
    EXPECT_GT(hostlink::getpid(tenth), 0);
    tenth.close();
    EXPECT_TRUE(agent.Running());
    // Each connection's trace lines carry its number.
    std::string err = agent.Err();
    for (int n = 1; n <= 8; n++)
        EXPECT_NE(err.find(Fmt("[%d] Request: Connection\n", n)), std::string::npos) << err;
    EXPECT_NE(err.find("getppid()"), std::string::npos);
    EXPECT_NE(err.find("] Its server ended with status 0.\n"), std::string::npos) << err;
    Link link = agent.Open();
    {
        Link cut = agent.Open();
        cut.sendRaw(Msg(CALL_STAT).s("/etc").Bytes(false).substr(0, 6));
    }
    EXPECT_TRUE(WaitUntil([&] { return agent.Err().find("Trouble reading request") != std::string::npos; })) << agent.Err();
    EXPECT_EQ(hostlink::getppid(link), agent.pid);
    Signal(agent.pid, SIGTERM);
    EXPECT_TRUE(WaitUntil([&] { return agent.Err().find("Terminated") != std::string::npos; }));
    EXPECT_THROW(Link::connect("127.0.0.1", agent.port), hostlink::LinkError);
    EXPECT_EQ(hostlink::getppid(link), agent.pid);
    EXPECT_TRUE(agent.Running());
    link.close();
    EXPECT_EQ(agent.Wait(10), 0) << agent.Err();
}

// Bad options and values give the classic line alone, "--help" lists every option; misfits say why.
TEST(Options, UsageLinesAndRefusals)
{
    const std::string classic = "usage: xt.term [ [-fs] [-nfs] [-v] [-d] [-r<remsh>] [-p<path>]\n\t[-t<timeout>] "
                                "[-c<command>] -- ] ....\n";
    for (auto [args, why] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"-y"}, classic}, {{"-t"}, classic}, {{"--", "-v"}, classic}, {{"-t99999999999"}, classic}, {{"-xy"}, classic},
             {{"--helpx"}, classic}, {{"-y", "--help"}, classic}, {{"-m"}, "needs -d"}, {{"-m", "-i"}, "needs -d"},
             {{"-d", "-a"}, "needs a key file"}, {{"-d", "-l127.0.0.1:0"}, "Bad listen port"},
             {{"-d", "-l127.0.0.1:"}, "Bad listen port"}, {{"-d", "-l127.0.0.1:65536"}, "Bad listen port"},
             {{"-d", "-l127.0.0.1:1x"}, "Bad listen port"}, {{"-ax"}, "usage"}, {{"-I-1"}, "usage"}, {{"-iq"}, "usage"},
             {{"-d", "-m0"}, "usage"}, {{"-d", "-m1025"}, "usage"}, {{"-d", "-m8x"}, "usage"}}) {
        Agent refused;
        refused.Start(std::vector<std::string>{"xt.term"} + args + std::vector<std::string>{"--"}, {}, false);
        EXPECT_EQ(refused.Wait(), 1) << args[0];
        EXPECT_TRUE(why == classic ? refused.Err() == why : refused.Err().find(why) != std::string::npos) << refused.Err();
    }
    Agent help;
    help.Start({"xt.term", "-v", "--help", "-y", "--"}, {}, false);
    EXPECT_EQ(std::make_pair(help.Wait(), help.Err()), std::make_pair(0, std::string()));
    EXPECT_EQ(help.Out().rfind(classic + "  launch: ", 0), 0u) << help.Out();
    for (const char *option : {"-fs]", "-nfs]", "-v]", "-d]", "-r<", "-p<", "-t<", "-c<", "-h<", "-q]", "-m[", "-l<",
                               "-i]", "-a]", "-k<", "-I<", "-x]", "launch:", "daemon:", "security:", "extensions:"})
        EXPECT_NE(help.Out().find(option), std::string::npos) << option << "\n" << help.Out();
}

} // namespace
