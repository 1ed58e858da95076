// Connecting historian nodes, server versions and error messages.
#include "sources/keldrin_servers.h"

#include "binding_test_support.h"

namespace {

using bindtest::HistorianFixture;
using bindtest::LogMark;

class KeldrinServersTest : public HistorianFixture {};

TEST_F(KeldrinServersTest, ConnectsByAliasOrNewConnectionAndReportsFailures) {
    ASSERT_GT(KhSim_AddServer("PLANT2", 11, 3, 0), 0);
    struct Row {
        const char* node;
        bool connectFirst;  // the alias is known before the call
        bool connects;
        LONG addCalls;
        const char* errorText;  // expected text, "" when none is given
        size_t logLines;
    } rows[] = {
        {"PLANT2", false, true, 1, "", 0},
        {"plant2", true, true, 0, "", 0},
        {"NOWHERE", false, false, 1, "Keldrin server not found.", 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.node);
        KeldrinErrorBlock err{};
        if (row.connectFirst) {
            ASSERT_GT(ConnectKeldrinNode(row.node, &err, nullptr), 0);
        }
        LONG adds = KhSim_CallCount(KHSIM_API, "DaAddServer");
        LogMark log;
        std::string text = "untouched";
        err.ERRORCODE = 99;  // cleared by the call
        LONG index = ConnectKeldrinNode(row.node, &err, &text);
        EXPECT_EQ(index > 0, row.connects);
        EXPECT_EQ(KhSim_CallCount(KHSIM_API, "DaAddServer") - adds, row.addCalls);
        EXPECT_EQ(text, *row.errorText ? row.errorText : "untouched");
        EXPECT_EQ(log.Count("AddDaConnection"), row.logLines);
        if (row.logLines) {
            std::string alias = std::string(row.node) + "__AC";
            EXPECT_EQ(log.Count("Add Server: Alias: " + alias), 1u);
            EXPECT_EQ(log.Count("Add Server: Connection: " + std::string(row.node) +
                                " 200 /ALIAS=" + alias + " /FATAL /T=5"),
                      1u);
        }
        if (row.connects) {
            EXPECT_EQ(DaLookupAlias((std::string(row.node) + "__AC").c_str()), index);
        }
    }
}

TEST_F(KeldrinServersTest, VersionComesFromTheServerOrIsZeroWhenNothingAnswers) {
    ASSERT_GT(KhSim_AddServer("LOCALNODE", 11, 3, 1), 0);
    ASSERT_GT(KhSim_AddServer("PLANT2", 12, 1, 0), 0);
    KeldrinErrorBlock err{};
    DaSelectServer(static_cast<SHORT>(ConnectKeldrinNode("PLANT2", &err, nullptr)), &err);

    LONG major = -5, minor = -5;
    GetKeldrinDbVersion(false, &major, &minor);
    EXPECT_EQ(major, 12);
    EXPECT_EQ(minor, 1);

    // The older library has not been loaded: nothing answers, nothing is garbage.
    major = minor = -5;
    GetKeldrinDbVersion(true, &major, &minor);
    EXPECT_EQ(major, 0);
    EXPECT_EQ(minor, 0);

    LoadKeldcoreLibrary();
    ASSERT_NE(g_hKeldcore.load(), nullptr);
    GetKeldrinDbVersion(true, &major, &minor);
    EXPECT_EQ(major, 11);
    EXPECT_EQ(minor, 3);
}

}  // namespace
