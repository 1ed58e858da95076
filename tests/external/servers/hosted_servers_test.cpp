// The hosted-server stand-ins: registration by ProgID, injected creation
// failures, revocation and object counts.
#include <gtest/gtest.h>

#include "hosted_servers_sim.h"

namespace {

using hosted::Server;

class HostedServersTest : public ::testing::Test {
protected:
    void TearDown() override {
        hosted::RevokeServers();
        hosted::Reset();
    }
    static HRESULT CreateByProgId(Server s, mv::ComPtr<IDispatch>* out) {
        CLSID clsid{};
        HRESULT hr = CLSIDFromProgID(mv::ToUtf16(hosted::ProgId(s)).c_str(), &clsid);
        if (FAILED(hr)) return hr;
        return CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IDispatch, out->PutVoid());
    }
};

TEST_F(HostedServersTest, RegisteredServersAreCreatableByProgIdOthersAreNot) {
    ASSERT_EQ(hosted::RegisterServers(hosted::kFunctionServers | hosted::Bit(Server::DataAccess)),
              S_OK);
    struct Row {
        Server server;
        HRESULT expected;
    };
    const Row rows[] = {
        {Server::Excel, S_OK},
        {Server::Ado, S_OK},
        {Server::Configuration, CO_E_CLASSSTRING},
        {Server::ControlRecipe, CO_E_CLASSSTRING},
        {Server::DataAccess, S_OK},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(hosted::ProgId(row.server));
        mv::ComPtr<IDispatch> obj;
        EXPECT_EQ(CreateByProgId(row.server, &obj), row.expected);
        EXPECT_EQ(static_cast<bool>(obj), row.expected == S_OK);
        EXPECT_EQ(hosted::LiveObjects(row.server), row.expected == S_OK ? 1 : 0);
    }
    for (const Row& row : rows) EXPECT_EQ(hosted::LiveObjects(row.server), 0);
}

TEST_F(HostedServersTest, InjectedCreationFailureAndRevocation) {
    ASSERT_EQ(hosted::RegisterServers(), S_OK);
    ASSERT_EQ(hosted::RegisterServers(), S_OK);  // twice keeps one registration
    hosted::SetCreateFailure(Server::Ado, E_ACCESSDENIED);
    mv::ComPtr<IDispatch> obj;
    EXPECT_EQ(CreateByProgId(Server::Ado, &obj), E_ACCESSDENIED);
    EXPECT_EQ(hosted::Creations(Server::Ado), 0);
    EXPECT_EQ(hosted::LiveObjects(Server::Ado), 0);
    hosted::SetCreateFailure(Server::Ado, S_OK);
    EXPECT_EQ(CreateByProgId(Server::Ado, &obj), S_OK);
    EXPECT_EQ(hosted::Creations(Server::Ado), 1);

    hosted::RevokeServers();
    mv::ComPtr<IDispatch> after;
    EXPECT_EQ(CreateByProgId(Server::Excel, &after), CO_E_CLASSSTRING);
    EXPECT_EQ(CoCreateInstance(hosted::ClassId(Server::Excel), nullptr, CLSCTX_ALL, IID_IDispatch,
                               after.PutVoid()),
              REGDB_E_CLASSNOTREG);
    // Objects made before the revocation keep working.
    mv::Variant result;
    mv::Bstr connection(u"Plant");
    VARIANT arg;
    VariantInit(&arg);
    arg.vt = VT_BYREF | VT_BSTR;
    BSTR text = connection.get();
    arg.pbstrVal = &text;
    EXPECT_EQ(mv::DispInvokeMethod(obj.get(), 0x60030002, &arg, 1, &result), S_OK);
    ASSERT_EQ(hosted::Calls().size(), 1u);
    EXPECT_EQ(hosted::Calls()[0].args, std::vector<std::string>{"Plant"});
}

}  // namespace
