// The recipe-server stand-ins on the object-server thread, called with the
// argument layouts of the module's recipe calls: connection objects, opens,
// control IDs, reads and writes of the seeded recipe database, refusals.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/object_server.h"
#include "hosted_servers_sim.h"

namespace {

using hosted::Counter;
using hosted::Server;

constexpr DISPID kNew = 0x60030000, kOpen = 0x60030002;                           // data access
constexpr DISPID kRead = 0x60030000, kWrite = 0x60030001, kControl = 0x60030002;  // recipe

VARIANT ByRef(VARTYPE vt, void* p) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BYREF | vt;
    v.byref = p;
    return v;
}

mv::Variant Short(SHORT n) {
    mv::Variant v;
    v.vt = VT_I2;
    v.iVal = n;
    return v;
}

class RecipeServersTest : public ::testing::Test {
protected:
    void SetUp() override {
        hosted::Reset();
        ASSERT_EQ(hosted::RegisterServers(), S_OK);
        data_.Attach(ObjectServer_GetDataAccessServer());
        control_.Attach(ObjectServer_GetControlRecipeServer());
        ASSERT_TRUE(data_ && control_);
    }
    void TearDown() override {
        if (connection_) connection_->Release();
        SysFreeString(error_);
        data_.Reset();
        control_.Reset();
        ObjectServer_Stop();
        hosted::RevokeServers();
        hosted::Reset();
        EXPECT_EQ(hosted::Count(Counter::RecipeConnectionsAlive), 0);
    }

    // Calls `id` with the connection first and the error text last, both by
    // reference, and `middle` between them; its VT_BOOL result.
    bool Call(IDispatch* server, DISPID id, std::vector<mv::Variant> middle = {}) {
        std::vector<VARIANT> args{ByRef(VT_DISPATCH, &connection_)};
        for (const mv::Variant& v : middle) args.push_back(v);
        args.push_back(ByRef(VT_BSTR, &error_));
        mv::Variant r = mv::DispInvokeHelper(server, id, DISPATCH_METHOD, args.data(),
                                             static_cast<UINT>(args.size()), VT_BOOL);
        return r.boolVal == VARIANT_TRUE;
    }
    bool Opened() {
        mv::Variant opened;
        EXPECT_EQ(mv::DispGetProperty(connection_, 1, &opened), S_OK);
        return opened.vt == VT_BOOL && opened.boolVal;
    }
    std::string Error() const { return error_ ? mv::ToUtf8(error_) : "(null)"; }
    void SetError(const char16_t* text) {
        SysFreeString(error_);
        error_ = text ? SysAllocString(text) : nullptr;
    }

    mv::ComPtr<IDispatch> data_, control_;
    IDispatch* connection_ = nullptr;
    BSTR error_ = nullptr;
};

TEST_F(RecipeServersTest, DataAccessHandsOutConnectionsAndOpensThemWithFiveSettings) {
    ASSERT_TRUE(Call(data_.get(), kNew));
    ASSERT_NE(connection_, nullptr);
    EXPECT_FALSE(Opened());
    EXPECT_EQ(hosted::Count(Counter::RecipeConnectionsAlive), 1);
    EXPECT_TRUE(Call(data_.get(), kOpen,
                     {mv::Variant(u"SQL01"), mv::Variant(u"SQL Server"), mv::Variant(u"Recipes"),
                      mv::Variant(u"sa"), mv::Variant()}));
    EXPECT_TRUE(Opened());
    EXPECT_EQ(Error(), "(null)");
    std::vector<hosted::Call> calls = hosted::Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].args, (std::vector<std::string>{"(null)", "(null)"}));
    EXPECT_EQ(calls[1].args, (std::vector<std::string>{"object", "SQL01", "SQL Server", "Recipes",
                                                       "sa", "", "(null)"}));
    for (const hosted::Call& call : calls)
        EXPECT_EQ(call.thread, g_pObjectServer->m_Thread.ThreadId());

    // A new connection replaces the one the variable held, which is released.
    ASSERT_TRUE(Call(data_.get(), kNew));
    EXPECT_FALSE(Opened());
    EXPECT_EQ(hosted::Count(Counter::RecipeConnectionsAlive), 1);

    // Refusals, with and without a text.
    hosted::SetRefusal(Server::DataAccess, kOpen, true);
    EXPECT_FALSE(Call(data_.get(), kOpen, std::vector<mv::Variant>(5, mv::Variant(u"x"))));
    EXPECT_EQ(Error(), "(null)");
    EXPECT_FALSE(Opened());
    hosted::SetRefusal(Server::DataAccess, kNew, true, u"No licence");
    EXPECT_FALSE(Call(data_.get(), kNew));
    EXPECT_EQ(Error(), "No licence");
    connection_->Release();
    connection_ = nullptr;
    EXPECT_EQ(hosted::Count(Counter::RecipeConnectionsAlive), 0);
}

TEST_F(RecipeServersTest, ControlRecipeAcceptsSeededIdsAndReadsAndWritesSeededValues) {
    enum Connection { None, Unopened, Open };
    struct Row {
        const char* name;
        DISPID id;
        SHORT control, item, parameter;
        Connection connection;
        bool ok;
        const char* error;  // the error text after the call ("stale" when untouched)
        const char* value;  // read: what came back; write: what the database holds after
    };
    const Row rows[] = {
        {"accepted", kControl, 5, 0, 0, Open, true, "stale", ""},
        {"accepted without values", kControl, 7, 0, 0, Open, true, "stale", ""},
        {"unknown control", kControl, 6, 0, 0, Open, false, "Control recipe 6 not found.", ""},
        {"unopened", kControl, 5, 0, 0, Unopened, false, "The connection is not open.", ""},
        {"no connection", kControl, 5, 0, 0, None, false,
         "No connection of the data-access server.", ""},
        {"read", kRead, 5, 2, 3, Open, true, "stale", "42.5"},
        {"read unknown parameter", kRead, 5, 2, 4, Open, false,
         "Item 2 parameter 4 not found in control recipe 5.", "before"},
        {"read unopened", kRead, 5, 2, 3, Unopened, false, "The connection is not open.", "before"},
        {"write", kWrite, 5, 2, 3, Open, true, "stale", "7.5"},
        {"write unknown item", kWrite, 5, 9, 3, Open, false,
         "Item 9 parameter 3 not found in control recipe 5.", ""},
        {"write without connection", kWrite, 5, 2, 3, None, false,
         "No connection of the data-access server.", "42.5"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        hosted::SeedRecipeValue(5, 2, 3, mv::Variant(u"42.5"));
        hosted::SeedControlId(7);
        if (connection_) connection_->Release();
        connection_ = nullptr;
        if (row.connection != None) {
            ASSERT_TRUE(Call(data_.get(), kNew));
        }
        if (row.connection == Open) {
            ASSERT_TRUE(Call(data_.get(), kOpen, {{}, {}, {}, {}, {}}));
        }
        SetError(u"stale");
        mv::Variant value(u"before");
        std::vector<mv::Variant> middle{Short(row.control)};
        if (row.id != kControl) {
            middle.push_back(Short(row.item));
            middle.push_back(Short(row.parameter));
            middle.push_back(row.id == kRead ? mv::Variant(ByRef(VT_VARIANT, &value))
                                             : mv::Variant(7.5));
        }
        EXPECT_EQ(Call(control_.get(), row.id, middle), row.ok);
        EXPECT_EQ(Error(), row.error);
        mv::Variant seen = row.id == kRead    ? value
                           : row.id == kWrite ? hosted::RecipeValue(5, row.item, 3)
                                              : mv::Variant(u"");
        EXPECT_EQ(mv::ToUtf8(seen.ChangeType(VT_BSTR) == S_OK ? seen.bstrVal : u"?"), row.value);
    }

    // A refusal on demand, and the overrides of the control surface.
    hosted::SetRefusal(Server::ControlRecipe, kControl, true, u"Recipe locked");
    EXPECT_FALSE(Call(control_.get(), kControl, {Short(5)}));
    EXPECT_EQ(Error(), "Recipe locked");
    hosted::SetResult(Server::ControlRecipe, kControl, mv::Variant(true));
    EXPECT_TRUE(Call(control_.get(), kControl, {Short(6)}));
    hosted::SetFailure(Server::ControlRecipe, kRead, E_FAIL, u"Database offline");
    EXPECT_THROW(Call(control_.get(), kRead, {Short(5), Short(2), Short(3), mv::Variant()}),
                 mv::DispatchException);
}

}  // namespace
