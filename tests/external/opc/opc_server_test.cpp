// The OPC server stand-in's own rules, beyond what the client tests see:
// where servers and browsers are made, handles the group never gave, client
// handles.
#include <gtest/gtest.h>

#include "opc_server_sim.h"

namespace {

constexpr char kNode[] = "NODE2";

class OpcServerSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(opcsim::Register(), S_OK);
        opcsim::RegisterNode(kNode);
    }
    void TearDown() override {
        opcsim::UnregisterNode(kNode);
        opcsim::Revoke();
        opcsim::SetBrowserPresent(kNode, true);
        EXPECT_EQ(opcsim::Count(kNode).liveServers, 0);
        EXPECT_EQ(opcsim::Count(kNode).liveGroups, 0);
        opcsim::Reset();
    }

    // Creates CLSID `clsid` on `node` (null: this computer).
    static HRESULT CreateOn(const char* node, REFCLSID clsid, REFIID iid, IUnknown** out) {
        std::u16string name = mv::ToUtf16(node ? node : "");
        COSERVERINFO info{0, name.data(), nullptr, 0};
        MULTI_QI qi{&iid, nullptr, S_OK};
        HRESULT hr = CoCreateInstanceEx(clsid, nullptr, CLSCTX_ALL, node ? &info : nullptr, 1, &qi);
        *out = qi.pItf;
        return hr;
    }
};

TEST_F(OpcServerSimTest, ServersAndBrowsersAreMadeWhereTheyAreRegistered) {
    opcsim::SetBrowserPresent(kNode, false);
    struct Row {
        const char* node;  // null: this computer
        const CLSID* clsid;
        HRESULT expected;
    } rows[] = {
        {nullptr, &opcsim::ClassId(), S_OK},
        {"node2", &opcsim::ClassId(), S_OK},  // node names ignore case
        {nullptr, &CLSID_OpcServerList, S_OK},
        {kNode, &CLSID_OpcServerList, REGDB_E_CLASSNOTREG},  // browser made absent
        {kNode, &IID_IOPCServer, REGDB_E_CLASSNOTREG},       // no such class on the node
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.node ? row.node : "local");
        IUnknown* unknown = nullptr;
        EXPECT_EQ(CreateOn(row.node, *row.clsid, IID_IUnknown, &unknown), row.expected);
        EXPECT_EQ(unknown != nullptr, row.expected == S_OK);
        if (unknown) unknown->Release();
    }
    EXPECT_EQ(opcsim::Count(opcsim::kLocalNode).creations, 1);
    EXPECT_EQ(opcsim::Count(opcsim::kLocalNode).browserCreations, 1);
    EXPECT_EQ(opcsim::Count(kNode).creations, 1);
    EXPECT_EQ(opcsim::Count(kNode).browserCreations, 0);

    opcsim::Revoke();
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(mv::ToUtf16(opcsim::kProgId).c_str(), &clsid), CO_E_CLASSSTRING);
    IUnknown* unknown = nullptr;
    EXPECT_EQ(CreateOn(nullptr, opcsim::ClassId(), IID_IUnknown, &unknown), REGDB_E_CLASSNOTREG);
}

TEST_F(OpcServerSimTest, GroupServesItsOwnHandlesOnlyAndEchoesClientHandles) {
    opcsim::SetItem(kNode, "A", mv::Variant(1.5), OPC_QUALITY_GOOD, FILETIME{1, 2});
    IUnknown* unknown = nullptr;
    ASSERT_EQ(CreateOn(kNode, opcsim::ClassId(), IID_IOPCServer, &unknown), S_OK);
    mv::ComPtr<IOPCServer> server;
    server.Attach(static_cast<IOPCServer*>(unknown));
    OPCHANDLE groupHandle = 0;
    DWORD rate = 0;
    mv::ComPtr<IOPCItemMgt> items;
    ASSERT_EQ(server->AddGroup(u"G", TRUE, 500, 7, nullptr, nullptr, 0, &groupHandle, &rate,
                               IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(items.Put())),
              S_OK);
    mv::ComPtr<IOPCSyncIO> io;
    ASSERT_EQ(items.As(&io), S_OK);
    std::u16string id = u"A";
    OPCITEMDEF def{nullptr, id.data(), TRUE, 3, 0, nullptr, VT_R8, 0};
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(items->AddItems(1, &def, &results, &errors), S_OK);
    OPCHANDLE handles[2] = {results[0].hServer, 999};  // 999: never given
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    OPCITEMSTATE* states = nullptr;
    ASSERT_EQ(io->Read(OPC_DS_DEVICE, 2, handles, &states, &errors), S_FALSE);
    EXPECT_EQ(states[0].hClient, 3u);
    EXPECT_EQ(states[0].vDataValue.dblVal, 1.5);
    EXPECT_EQ(states[1].wQuality, OPC_QUALITY_BAD);
    EXPECT_EQ(errors[1], OPC_E_INVALIDHANDLE);
    for (int i = 0; i < 2; ++i) VariantClear(&states[i].vDataValue);
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
    EXPECT_EQ(opcsim::Groups().at(0).deadBand, -1.0f);  // none given
}

}  // namespace
