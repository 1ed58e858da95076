// The OPC server registry: one shared connection per data-source name,
// failed connections kept nowhere, and removal of a failed server only.
#include "sources/opc_servers.h"

#include "opc_test_support.h"

namespace {

using opctest::kRemote;

class OpcServersTest : public opctest::OpcFixture {
protected:
    // Reads item "A" through the server.
    static HRESULT ReadA(COPCDAServer& server, std::string& text) {
        std::vector<mv::Variant> values;
        std::vector<WORD> qualities;
        std::vector<FILETIME> stamps;
        return server.ReadOpcItems({"A"}, values, qualities, stamps, text);
    }
};

TEST_F(OpcServersTest, OneConnectionPerExactNameDroppedWithTheRegistry) {
    AddSource("OPC2", kRemote);
    {
        OPCServers registry;
        std::string text;
        auto first = registry.GetOrCreateOpcServer("OPC2", text);
        ASSERT_TRUE(first);
        EXPECT_EQ(registry.GetOrCreateOpcServer("OPC2", text), first);
        // The directory finds "opc2" too, but the registry keeps names exactly.
        auto other = registry.GetOrCreateOpcServer("opc2", text);
        EXPECT_NE(other, first);
        EXPECT_EQ(opcsim::Count(kRemote).creations, 2);
        EXPECT_EQ(opctest::g_pauses, 2);
        EXPECT_EQ(opcsim::Count(kRemote).liveGroups, 2);
    }
    EXPECT_EQ(opcsim::Count(kRemote).liveServers, 0);
    EXPECT_EQ(opcsim::Count(kRemote).liveGroups, 0);
}

TEST_F(OpcServersTest, FailedConnectionKeepsNothingSoTheNextUseTriesAgain) {
    OPCServers registry;
    std::string text;
    EXPECT_EQ(registry.GetOrCreateOpcServer("OPC2", text), nullptr);
    EXPECT_EQ(text, "Get MDSA property: failed to get ProgID property from OPC2 DSN");
    EXPECT_EQ(registry.Find("OPC2"), nullptr);
    AddSource("OPC2", kRemote);
    opcsim::SetFailure(kRemote, opcsim::Call::AddGroup, E_FAIL);
    EXPECT_EQ(registry.GetOrCreateOpcServer("OPC2", text), nullptr);
    EXPECT_EQ(text, "Failed to add group for DSN OPC2: (80004005)");
    EXPECT_EQ(opcsim::Count(kRemote).liveServers, 0);  // the half-made server is gone
    opcsim::SetFailure(kRemote, opcsim::Call::AddGroup, S_OK);
    EXPECT_NE(registry.GetOrCreateOpcServer("OPC2", text), nullptr);
    EXPECT_EQ(opcsim::Count(kRemote).creations, 2);
}

TEST_F(OpcServersTest, RemovalDropsOnlyTheFailedServerWhichLivesOnForItsHolders) {
    opcsim::SetItem(kRemote, "A", mv::Variant(1.0), OPC_QUALITY_GOOD, opctest::Stamp(1));
    AddSource("OPC2", kRemote);
    OPCServers registry;
    std::string text;
    auto failed = registry.GetOrCreateOpcServer("OPC2", text);
    ASSERT_TRUE(failed);
    registry.RemoveServer("OPC2", failed);
    EXPECT_EQ(registry.Find("OPC2"), nullptr);
    // A thread that still holds the removed server reads on through it.
    EXPECT_EQ(ReadA(*failed, text), S_OK);

    auto newer = registry.GetOrCreateOpcServer("OPC2", text);
    ASSERT_TRUE(newer);
    EXPECT_NE(newer, failed);
    registry.RemoveServer("OPC2", failed);  // late: the newer server stays
    registry.RemoveServer("OTHER", newer);  // not there: nothing
    registry.RemoveServer("OPC2", nullptr);
    EXPECT_EQ(registry.Find("OPC2"), newer);
    EXPECT_EQ(opcsim::Count(kRemote).liveServers, 2);
    failed.reset();
    EXPECT_EQ(opcsim::Count(kRemote).liveServers, 1);
    EXPECT_EQ(opctest::g_pauses, 2);
}

TEST_F(OpcServersTest, ComputerNameIsTheSystemsShortName) {
    char buffer[64] = {};
    DWORD size = sizeof buffer;
    ASSERT_TRUE(GetComputerNameA(buffer, &size));
    EXPECT_EQ(OPCServers().ComputerName(), size < 16 ? std::string(buffer) : std::string());
}

}  // namespace
