// Key files under the one set of rules that the agent and the client library share: the same
// file is accepted or refused by both, for the same reason, and nothing makes either wait.
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/authkey.h"
#include "tests/harness.h"
#include <hostlink/auth.h>

#if HOSTAGENT_HAVE_SODIUM
#include <sodium.h>
#endif

namespace {

const std::string kKey = authkey::TEST_KEY;

TEST(KeyText, OneParserForFilesAndLaunchLines)
{
    struct Row {
        std::string text;
        bool ok;
    };
    for (const Row &r : std::vector<Row>{{kKey, true},
                                         {kKey + "\n", true},
                                         {kKey + " \t\r\n\n", true},
                                         {"00112233445566778899AABBCCDDEEFF00112233445566778899aabbccddeeff", true},
                                         {kKey.substr(0, 63), false},
                                         {kKey + "0", false},
                                         {" " + kKey, false},
                                         {kKey + std::string("\0garbage", 8), false},
                                         {kKey + std::string(1, '\0'), false},
                                         {"0x" + kKey.substr(2), false}}) {
        unsigned char key[authkey::KEY_BYTES] = {};
        EXPECT_EQ(authkey::ParseKeyText(r.text.data(), r.text.size(), key), r.ok) << r.text;
        EXPECT_EQ(hostlink::parseKey(r.text).has_value(), r.ok) << r.text;
        if (r.ok) {
            EXPECT_EQ(key[1], 0x11);
        }
    }
}

#if HOSTAGENT_HAVE_SODIUM
// The labels and layout of the shared header give the documented known answers.
TEST(KeyText, ProofsOfTheTestVector)
{
    ASSERT_GE(sodium_init(), 0);
    unsigned char key[authkey::KEY_BYTES], clientNonce[authkey::NONCE_BYTES], agentNonce[authkey::NONCE_BYTES];
    ASSERT_TRUE(authkey::ParseKeyText(kKey.data(), kKey.size(), key));
    memset(clientNonce, authkey::TEST_CLIENT_NONCE_BYTE, sizeof clientNonce);
    memset(agentNonce, authkey::TEST_AGENT_NONCE_BYTE, sizeof agentNonce);
    for (auto [label, expected] : {std::pair{authkey::AGENT_LABEL, authkey::TEST_AGENT_PROOF},
                                   std::pair{authkey::CLIENT_LABEL, authkey::TEST_CLIENT_PROOF}}) {
        crypto_auth_hmacsha256_state state;
        unsigned char proof[authkey::PROOF_BYTES];
        crypto_auth_hmacsha256_init(&state, key, sizeof key);
        crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char *>(label), strlen(label));
        crypto_auth_hmacsha256_update(&state, clientNonce, sizeof clientNonce);
        crypto_auth_hmacsha256_update(&state, agentNonce, sizeof agentNonce);
        crypto_auth_hmacsha256_final(&state, proof);
        char hex[2 * sizeof proof + 1];
        sodium_bin2hex(hex, sizeof hex, proof, sizeof proof);
        EXPECT_STREQ(hex, expected) << label;
    }
}
#endif

// Each file is given to the agent (-d -kFILE) and to the library; both accept it or both refuse
// it naming the same rule. A FIFO must not make either of them wait for a writer.
TEST(KeyFile, AgentAndLibraryAgreeOnEveryFile)
{
    if (!hostlink::authenticationAvailable())
        GTEST_SKIP() << "built without libsodium";
    Scratch s;
    struct Row {
        std::string name;
        std::string text;
        mode_t mode;
        const char *reason; // null: accepted
    };
    std::vector<Row> rows = {
        {"good", kKey + "\n", 0600, nullptr},
        {"padded", kKey + std::string(authkey::KEY_FILE_MAX_BYTES, ' '), 0600, "holds no key"},
        {"nul", kKey + std::string("\0garbage", 8), 0600, "holds no key"},
        {"short", "abc", 0600, "holds no key"},
        {"open", kKey, 0640, "group or others have access"},
        {"fifo", "", 0600, "not a regular file"},
        {"missing", "", 0600, "No such file"},
    };
    if (geteuid() == 0)
        rows.push_back({"foreign", kKey, 0600, "owned by another user"});
    for (const Row &r : rows) {
        std::string path = s / r.name;
        if (r.name == "fifo")
            ASSERT_EQ(mkfifo(path.c_str(), r.mode), 0);
        else if (r.name != "missing")
            WriteFile(path, r.text, r.mode);
        if (r.name == "foreign") {
            ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
        }

        std::string libraryError;
        try {
            hostlink::loadKeyFile(path);
        } catch (const hostlink::LinkError &e) {
            libraryError = e.what();
        }
        Agent agent;
        agent.Start({"xt.term", "-d", "-k" + path, "--"}, {}, r.reason == nullptr);
        if (!r.reason) {
            EXPECT_EQ(libraryError, "") << r.name;
            EXPECT_TRUE(agent.Running()) << r.name << agent.Err();
            continue;
        }
        EXPECT_EQ(agent.Wait(10), 1) << r.name;
        EXPECT_NE(agent.Err().find(r.reason), std::string::npos) << r.name << ": " << agent.Err();
        EXPECT_NE(libraryError.find(r.reason), std::string::npos) << r.name << ": " << libraryError;
    }
}

} // namespace
