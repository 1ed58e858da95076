// The OPC server stand-in: creation on this computer and on other nodes, the
// browser, items read and written through a group, recorded calls and
// injected failures.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

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
        opcsim::SetBrowserPresent(opcsim::kLocalNode, true);
        opcsim::SetBrowserPresent(kNode, true);
        for (const char* node : {opcsim::kLocalNode, kNode}) {
            for (auto call : {opcsim::Call::Create, opcsim::Call::AddGroup, opcsim::Call::AddItems,
                              opcsim::Call::Read, opcsim::Call::Write}) {
                opcsim::SetFailure(node, call, S_OK);
                opcsim::SetThrows(node, call, false);
            }
            opcsim::SetReadFailureEvery(node, 0, S_OK);
            EXPECT_EQ(opcsim::Count(node).liveServers, 0);
            EXPECT_EQ(opcsim::Count(node).liveGroups, 0);
        }
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

    // A server on `node` and its group.
    struct Connection {
        mv::ComPtr<IOPCServer> server;
        mv::ComPtr<IOPCItemMgt> items;
        mv::ComPtr<IOPCSyncIO> io;
    };
    static Connection Connect(const char* node) {
        Connection c;
        IUnknown* unknown = nullptr;
        CreateOn(node, opcsim::ClassId(), IID_IOPCServer, &unknown);
        c.server.Attach(static_cast<IOPCServer*>(unknown));
        if (!c.server) return c;
        OPCHANDLE group = 0;
        DWORD rate = 0;
        FLOAT deadBand = 0.5f;
        mv::ComPtr<IUnknown> g;
        if (FAILED(c.server->AddGroup(u"G", TRUE, 500, 7, nullptr, &deadBand, 0, &group, &rate,
                                      IID_IUnknown, g.Put())))
            return c;
        EXPECT_EQ(rate, 500u);
        g.As(&c.items);
        g.As(&c.io);
        return c;
    }

    // Adds the items; their handles (0 for a refused one).
    static std::vector<OPCHANDLE> Add(IOPCItemMgt* items, std::vector<std::u16string> ids,
                                      HRESULT* hr, std::vector<HRESULT>* errors = nullptr) {
        std::vector<OPCITEMDEF> defs;
        for (auto& id : ids) defs.push_back({nullptr, id.data(), TRUE, 3, 0, nullptr, VT_R8, 0});
        OPCITEMRESULT* results = nullptr;
        HRESULT* errs = nullptr;
        *hr = items->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errs);
        std::vector<OPCHANDLE> handles;
        for (size_t i = 0; results && i < ids.size(); ++i) {
            handles.push_back(results[i].hServer);
            if (errors) errors->push_back(errs[i]);
        }
        CoTaskMemFree(results);
        CoTaskMemFree(errs);
        return handles;
    }
};

FILETIME Stamp(DWORD low) {
    return FILETIME{low, 0x01DB0000};
}

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

    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(mv::ToUtf16(opcsim::kProgId).c_str(), &clsid), S_OK);
    EXPECT_EQ(clsid, opcsim::ClassId());
    opcsim::Revoke();
    EXPECT_EQ(CLSIDFromProgID(mv::ToUtf16(opcsim::kProgId).c_str(), &clsid), CO_E_CLASSSTRING);
    IUnknown* unknown = nullptr;
    EXPECT_EQ(CreateOn(nullptr, opcsim::ClassId(), IID_IUnknown, &unknown), REGDB_E_CLASSNOTREG);
}

TEST_F(OpcServerSimTest, BrowserKnowsTheStandInsProgIdOnly) {
    IUnknown* unknown = nullptr;
    ASSERT_EQ(CreateOn(kNode, CLSID_OpcServerList, IID_IOPCServerList, &unknown), S_OK);
    mv::ComPtr<IOPCServerList> browser;
    browser.Attach(static_cast<IOPCServerList*>(unknown));
    CLSID clsid{};
    EXPECT_EQ(browser->CLSIDFromProgID(u"mvopcsim.da2server.1", &clsid), S_OK);
    EXPECT_EQ(clsid, opcsim::ClassId());
    EXPECT_EQ(browser->CLSIDFromProgID(u"Other.Server", &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(clsid, CLSID_NULL);
}

TEST_F(OpcServerSimTest, GroupReadsAndWritesTheNodesItemsAndRecordsEachCall) {
    opcsim::SetItem(kNode, "A", mv::Variant(1.5), OPC_QUALITY_GOOD, Stamp(1));
    opcsim::SetItem(kNode, "B", mv::Variant(LONG{7}), 0x1C, Stamp(2));
    opcsim::SetItem(kNode, "C", mv::Variant(u"x"), OPC_QUALITY_GOOD, Stamp(3));
    opcsim::SetItemErrors(kNode, "C", OPC_E_RANGE, OPC_E_BADRIGHTS);
    opcsim::SetItem(opcsim::kLocalNode, "A", mv::Variant(9.0), OPC_QUALITY_GOOD, Stamp(4));
    Connection c = Connect(kNode);
    ASSERT_TRUE(c.items && c.io);

    HRESULT hr = S_OK;
    std::vector<HRESULT> errors;
    auto handles = Add(c.items.get(), {u"A", u"B", u"a", u"C"}, &hr, &errors);
    EXPECT_EQ(hr, S_FALSE);  // "a" is unknown: IDs compare exactly
    EXPECT_EQ(errors, (std::vector<HRESULT>{S_OK, S_OK, OPC_E_UNKNOWNITEMID, S_OK}));
    handles[2] = 999;  // a handle the group never gave

    OPCITEMSTATE* states = nullptr;
    HRESULT* errs = nullptr;
    ASSERT_EQ(c.io->Read(OPC_DS_CACHE, 4, handles.data(), &states, &errs), S_FALSE);
    struct Expected {
        VARTYPE vt;
        WORD quality;
        DWORD stampLow;
        HRESULT error;
    } expected[] = {{VT_R8, OPC_QUALITY_GOOD, 1, S_OK},
                    {VT_I4, 0x1C, 2, S_OK},
                    {VT_EMPTY, OPC_QUALITY_BAD, 0, OPC_E_INVALIDHANDLE},
                    {VT_EMPTY, OPC_QUALITY_BAD, 0, OPC_E_RANGE}};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(states[i].vDataValue.vt, expected[i].vt);
        EXPECT_EQ(states[i].wQuality, expected[i].quality);
        EXPECT_EQ(states[i].ftTimeStamp.dwLowDateTime, expected[i].stampLow);
        EXPECT_EQ(states[i].hClient, i == 2 ? 0u : 3u);
        EXPECT_EQ(errs[i], expected[i].error);
        VariantClear(&states[i].vDataValue);
    }
    CoTaskMemFree(states);
    CoTaskMemFree(errs);

    VARIANT values[2];
    VariantInit(&values[0]);
    values[0].vt = VT_R8;
    values[0].dblVal = 2.5;
    VariantInit(&values[1]);
    OPCHANDLE written[2] = {handles[0], handles[3]};
    ASSERT_EQ(c.io->Write(2, written, values, &errs), S_FALSE);
    EXPECT_EQ(errs[0], S_OK);
    EXPECT_EQ(errs[1], OPC_E_BADRIGHTS);
    CoTaskMemFree(errs);
    EXPECT_EQ(opcsim::ItemValue(kNode, "A").dblVal, 2.5);
    EXPECT_EQ(opcsim::ItemValue(opcsim::kLocalNode, "A").dblVal, 9.0);  // another node's item

    auto groups = opcsim::Groups();
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(groups[0].node, kNode);
    EXPECT_EQ(groups[0].name, "G");
    EXPECT_EQ(groups[0].active, TRUE);
    EXPECT_EQ(groups[0].updateRate, 500u);
    EXPECT_EQ(groups[0].clientHandle, 7u);
    EXPECT_FALSE(groups[0].timeBiasGiven);
    EXPECT_EQ(groups[0].deadBand, 0.5f);
    auto items = opcsim::AddedItems();
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[2].itemId, "a");
    EXPECT_EQ(items[2].error, OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(items[0].requestedType, VT_R8);
    EXPECT_EQ(items[0].clientHandle, 3u);
    auto reads = opcsim::Reads();
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].source, OPC_DS_CACHE);
    EXPECT_EQ(reads[0].itemIds, (std::vector<std::string>{"A", "B", "?", "C"}));
    auto writes = opcsim::Writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].values, (std::vector<std::string>{"2.5", ""}));
    EXPECT_EQ(opcsim::Count(kNode).liveGroups, 1);
}

TEST_F(OpcServerSimTest, InjectedFailuresAnswerWithoutArrays) {
    opcsim::SetItem(kNode, "A", mv::Variant(1.0), OPC_QUALITY_GOOD, Stamp(1));
    struct Row {
        const char* what;
        opcsim::Call call;
        HRESULT code;
        bool throws;
    } rows[] = {
        {"create", opcsim::Call::Create, E_ACCESSDENIED, false},
        {"add group", opcsim::Call::AddGroup, E_OUTOFMEMORY, false},
        {"add items", opcsim::Call::AddItems, E_FAIL, false},
        {"read", opcsim::Call::Read, E_FAIL, false},
        {"read answers S_FALSE alone", opcsim::Call::Read, S_FALSE, false},
        {"write", opcsim::Call::Write, E_INVALIDARG, false},
        {"read throws", opcsim::Call::Read, S_OK, true},
        {"write throws", opcsim::Call::Write, S_OK, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        opcsim::SetFailure(kNode, row.call, row.code);
        opcsim::SetThrows(kNode, row.call, row.throws);
        Connection c = Connect(kNode);
        HRESULT hr = S_OK;
        if (row.call == opcsim::Call::Create || row.call == opcsim::Call::AddGroup) {
            EXPECT_EQ(c.items, nullptr);
        } else {
            ASSERT_TRUE(c.items);
            auto handles = Add(c.items.get(), {u"A"}, &hr);
            EXPECT_EQ(hr, row.call == opcsim::Call::AddItems ? row.code : S_OK);
            EXPECT_EQ(handles.empty(), row.call == opcsim::Call::AddItems);
        }
        if (row.call == opcsim::Call::Read || row.call == opcsim::Call::Write) {
            OPCHANDLE handle = 1;
            OPCITEMSTATE* states = reinterpret_cast<OPCITEMSTATE*>(1);
            HRESULT* errors = reinterpret_cast<HRESULT*>(1);
            mv::Variant value(1.0);
            auto call = [&] {
                return row.call == opcsim::Call::Read
                           ? c.io->Read(OPC_DS_DEVICE, 1, &handle, &states, &errors)
                           : c.io->Write(1, &handle, &value, &errors);
            };
            if (row.throws) {
                EXPECT_THROW(call(), std::runtime_error);
            } else {
                EXPECT_EQ(call(), row.code);
            }
            EXPECT_EQ(errors, nullptr);
            if (row.call == opcsim::Call::Read) {
                EXPECT_EQ(states, nullptr);
            }
        }
        opcsim::SetFailure(kNode, row.call, S_OK);
        opcsim::SetThrows(kNode, row.call, false);
    }
    EXPECT_EQ(opcsim::Count(kNode).creations, 7);
}

TEST_F(OpcServerSimTest, EveryNthReadFailsAndCountersCount) {
    opcsim::SetItem(kNode, "A", mv::Variant(1.0), OPC_QUALITY_GOOD, Stamp(1));
    opcsim::SetReadFailureEvery(kNode, 3, E_ABORT);
    Connection c = Connect(kNode);
    HRESULT hr = S_OK;
    auto handles = Add(c.items.get(), {u"A"}, &hr);
    std::vector<HRESULT> results;
    for (int i = 0; i < 7; ++i) {
        OPCITEMSTATE* states = nullptr;
        HRESULT* errors = nullptr;
        results.push_back(c.io->Read(OPC_DS_DEVICE, 1, handles.data(), &states, &errors));
        if (states) VariantClear(&states[0].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
    }
    EXPECT_EQ(results, (std::vector<HRESULT>{S_OK, S_OK, E_ABORT, S_OK, S_OK, E_ABORT, S_OK}));
    opcsim::Counters n = opcsim::Count(kNode);
    EXPECT_EQ(n.reads, 7);
    EXPECT_EQ(n.liveServers, 1);
    EXPECT_EQ(n.liveGroups, 1);
}

TEST_F(OpcServerSimTest, ErrorStringsComeFromTheTaskAllocator) {
    opcsim::SetErrorString(OPC_E_UNKNOWNITEMID, u"The item is unknown.");
    Connection c = Connect(nullptr);
    LPWSTR text = nullptr;
    ASSERT_EQ(c.server->GetErrorString(OPC_E_UNKNOWNITEMID, LOCALE_SYSTEM_DEFAULT, &text), S_OK);
    EXPECT_EQ(std::u16string(text), u"The item is unknown.");
    CoTaskMemFree(text);
    EXPECT_EQ(c.server->GetErrorString(E_FAIL, 0, &text), E_INVALIDARG);
    EXPECT_EQ(text, nullptr);
}

}  // namespace
