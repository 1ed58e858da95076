// Recipe-bound parameters in runs of a library formula (B = 2 x A) with both
// recipe servers on the object-server thread: the values read and written,
// the lines a failure appends, which server calls are made, and the
// reference the calculation's recipe object holds on its connection.
#include <gtest/gtest.h>

#include <string>

#include "../../module/calculation/calculation_test_support.h"
#include "../../module/executors/formula_artefacts.h"
#include "../../module/frame/log_test_support.h"
#include "frame/hosted_servers.h"
#include "frame/object_server.h"
#include "frame/tls_slots.h"
#include "hosted_servers_sim.h"

namespace {

using hosted::Counter;
using hosted::Server;
using namespace calculation_test;

constexpr DISPID kNew = 0x60030000, kOpen = 0x60030002;                           // data access
constexpr DISPID kRead = 0x60030000, kWrite = 0x60030001, kControl = 0x60030002;  // recipe
constexpr const char* kFailed = "Failed to connect to Morva Process Recipe Data Source";

// The references an object has, seen through an AddRef and a Release.
ULONG Refs(IUnknown* p) {
    p->AddRef();
    return p->Release();
}

class RecipeRun : public ::testing::Test {
protected:
    void SetUp() override {
        AllocateTlsSlots();
        hosted::Reset();
        ASSERT_EQ(hosted::RegisterServers(), S_OK);
        hosted::SeedControlId(5);
        hosted::SeedRecipeValue(5, 2, 3, mv::Variant(u"42.5"));
        hosted::SeedRecipeValue(5, 4, 3, mv::Variant(u"empty"));
        calc_ = NewCalculation();
        calc_->put_FormulaType(mvcDLL_Execute_Method);
        mv::DispPutPropertyByName(calc_.get(), u"DllName", mv::Variant(u"MvTestFormulas.dll"));
        mv::DispPutPropertyByName(calc_.get(), u"FunctionName", mv::Variant(u"DoubleAIntoB"));
        a_ = Bound(u"A", mvcInput, 2, 3);
        b_ = Bound(u"B", mvcOutput, 4, 3);
        ASSERT_EQ(calc_->CreateDravikConnect(), S_OK);
        calc_->get_DravikConnect(recipe_.Put());
        recipe_->put_DravikControlID(5);
    }
    void TearDown() override {
        recipe_.Reset();
        a_.Reset();
        b_.Reset();
        calc_.Reset();
        ObjectServer_Stop();
        hosted::RevokeServers();
        EXPECT_EQ(hosted::Count(Counter::RecipeConnectionsAlive), 0);
        hosted::Reset();
        FreeTlsSlots();
    }

    mv::ComPtr<IMvParameter> Bound(const char16_t* name, LONG direction, LONG item,
                                   LONG parameter) {
        mv::ComPtr<IMvParameter> p = Param(calc_.get(), name, true);
        p->put_ParameterType(direction);
        p->put_BindingType(mvcDravik);
        p->put_Type(VT_R8);
        p->put_ItemID(item);
        p->put_ParameterID(parameter);
        return p;
    }
    std::string Run() {
        EXPECT_EQ(calc_->Calculate(), S_OK);
        return TextOf(calc_.get(), &IMvCalculation::get_ErrorText);
    }
    mv::ComPtr<IDispatch> Connection() {
        mv::ComPtr<IDispatch> c;
        EXPECT_EQ(recipe_->get_DravikDataConnection(c.Put()), S_OK);
        return c;
    }
    // Calls of each recipe method: new, open, control, read, write.
    static std::string CallCounts() {
        std::string counts;
        for (int n : {hosted::CallCount(Server::DataAccess, kNew),
                      hosted::CallCount(Server::DataAccess, kOpen),
                      hosted::CallCount(Server::ControlRecipe, kControl),
                      hosted::CallCount(Server::ControlRecipe, kRead),
                      hosted::CallCount(Server::ControlRecipe, kWrite)})
            counts += std::to_string(n);
        return counts;
    }

    logtest::ScopedEnv path_{"MORVA_DLL_PATH", formula_test::FormulasDir().c_str()};
    ServedClasses served_;
    Calculation calc_;
    mv::ComPtr<IMvParameter> a_, b_;
    mv::ComPtr<IMvDravikConnect> recipe_;
};

TEST_F(RecipeRun, AnInputIsReadConvertedAndAnOutputWrittenUnconvertedOnOneConnection) {
    ASSERT_EQ(Run(), "");
    mv::Variant value;
    SHORT level = 0, status = 0;
    a_->GetParameterValues(&value, &level, &status, nullptr);
    EXPECT_EQ(value.vt, VT_R8);
    EXPECT_EQ(value.dblVal, 42.5);
    EXPECT_EQ(level, mvcNO_QLEVEL);
    EXPECT_EQ(status, mvcQSTATUS_NO_STATUS);
    mv::Variant written = hosted::RecipeValue(5, 4, 3);
    EXPECT_EQ(written.vt, VT_R8);
    EXPECT_EQ(written.dblVal, 85.0);
    EXPECT_EQ(CallCounts(), "11111");

    // The next run uses the held connection; the runs leave its count alone.
    mv::ComPtr<IDispatch> connection = Connection();
    ASSERT_TRUE(connection);
    const ULONG refs = Refs(connection.get());
    ASSERT_EQ(Run(), "");
    EXPECT_EQ(Refs(connection.get()), refs);
    EXPECT_EQ(CallCounts(), "11122");
    EXPECT_EQ(hosted::Count(Counter::RecipeConnectionsAlive), 1);
}

TEST_F(RecipeRun, EachFailingRecipeParameterAppendsItsOwnLine) {
    const struct {
        const char* what;
        void (*arrange)(IMvDravikConnect* r, IMvParameter* a, IMvParameter* c);
        std::string error;
        const char* calls;  // new, open, control, read, write
    } cases[] = {
        {"connection refused with a text",
         [](IMvDravikConnect*, IMvParameter*, IMvParameter*) {
             hosted::SetRefusal(Server::DataAccess, kNew, true, u"No licence");
         },
         std::string("No licence\n") + kFailed, "10000"},
        {"connection refused without a text",
         [](IMvDravikConnect*, IMvParameter*, IMvParameter*) {
             hosted::SetRefusal(Server::DataAccess, kNew, true);
         },
         std::string(kFailed) + "\n" + kFailed, "10000"},
        {"open refused with a text",
         [](IMvDravikConnect*, IMvParameter*, IMvParameter*) {
             hosted::SetRefusal(Server::DataAccess, kOpen, true, u"Login failed");
         },
         std::string("Login failed\n") + kFailed, "11000"},
        {"control ID refused",
         [](IMvDravikConnect* r, IMvParameter*, IMvParameter*) { r->put_DravikControlID(6); },
         std::string("Control recipe 6 not found.\n") + kFailed, "11100"},
        {"unknown parameters",
         [](IMvDravikConnect*, IMvParameter* a, IMvParameter* c) {
             a->put_ParameterID(9);
             c->put_ItemID(8);
         },
         "A Binding: Item 2 parameter 9 not found in control recipe 5.\n"
         "C Binding: Item 8 parameter 3 not found in control recipe 5.",
         "11120"},
        {"IDs out of range",
         [](IMvDravikConnect*, IMvParameter* a, IMvParameter* c) {
             a->put_ItemID(70000);
             c->put_ParameterID(-32769);
         },
         "A Binding: item or parameter ID out of range\n"
         "C Binding: item or parameter ID out of range",
         "11100"},
        {"read refused",
         [](IMvDravikConnect*, IMvParameter*, IMvParameter*) {
             hosted::SetFailure(Server::ControlRecipe, kRead, E_FAIL, u"Database offline");
         },
         "A Binding: \nC Binding: ", "11120"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        mv::ComPtr<IMvParameter> second = Bound(u"C", mvcInput, 2, 3);
        c.arrange(recipe_.get(), a_.get(), second.get());
        EXPECT_EQ(Run(), c.error);
        EXPECT_EQ(CallCounts(), c.calls);
    }
}

TEST_F(RecipeRun, AFailedOpenIsTriedAgainOnTheNextRunWithANewConnection) {
    recipe_->put_DravikControlID(6);
    EXPECT_EQ(Run(), "Control recipe 6 not found.");
    EXPECT_FALSE(Connection());
    EXPECT_EQ(hosted::Count(Counter::RecipeConnectionsAlive), 0);
    EXPECT_EQ(recipe_->TryDravikConnect(), S_FALSE);

    recipe_->put_DravikControlID(5);
    EXPECT_EQ(Run(), "");
    EXPECT_TRUE(Connection());
    EXPECT_EQ(hosted::CallCount(Server::DataAccess, kNew), 2);
    EXPECT_EQ(hosted::Count(Counter::RecipeConnectionsAlive), 1);

    // A loaded copy of the connected object is disabled and unconnected.
    mv::ComPtr<IStream> stream;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.Put()), S_OK);
    mv::ComPtr<IPersistStream> saved, loaded;
    ASSERT_EQ(recipe_.As(&saved), S_OK);
    ASSERT_EQ(saved->Save(stream.get(), TRUE), S_OK);
    stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr);
    mv::ComPtr<mv::ComObject<CMvDravikConnect>> copy;
    ASSERT_EQ(mv::MakeComObject(&copy), S_OK);
    ASSERT_EQ(copy.As(&loaded), S_OK);
    ASSERT_EQ(loaded->Load(stream.get()), S_OK);
    EXPECT_EQ(copy->TryDravikConnect(), S_FALSE);
    mv::ComPtr<IDispatch> none;
    EXPECT_EQ(copy->get_DravikDataConnection(none.Put()), S_OK);
    EXPECT_FALSE(none);
    SHORT controlId = 0;
    copy->get_DravikControlID(&controlId);
    EXPECT_EQ(controlId, 5);
}

TEST_F(RecipeRun, OpeningTheConnectionDirectly) {
    EXPECT_EQ(recipe_->DravikOpenConnection(nullptr), E_POINTER);
    EXPECT_EQ(recipe_->get_DravikDataConnection(nullptr), E_POINTER);
    EXPECT_EQ(CallCounts(), "00000");

    // A server giving a connection and a text leaves none stored.
    mv::Bstr text;
    hosted::SetRefusal(Server::DataAccess, kOpen, true, u"Login failed");
    EXPECT_EQ(recipe_->DravikOpenConnection(text.Out()), E_FAIL);
    EXPECT_EQ(text.Utf8(), "Login failed");
    EXPECT_FALSE(Connection());
    EXPECT_EQ(hosted::Count(Counter::RecipeConnectionsAlive), 0);

    // A stale text passed in does not fail a good open; once held, no
    // server is called.
    hosted::SetRefusal(Server::DataAccess, kOpen, false);
    BSTR stale = SysAllocString(u"stale");
    BSTR out = stale;
    EXPECT_EQ(recipe_->DravikOpenConnection(&out), S_OK);
    EXPECT_EQ(out, nullptr);
    SysFreeString(stale);
    const std::string calls = CallCounts();
    EXPECT_EQ(recipe_->DravikOpenConnection(text.Out()), S_OK);
    EXPECT_EQ(CallCounts(), calls);

    // A client that gets the connection through IDispatch and releases it
    // leaves the object's own reference.
    mv::ComPtr<IDispatch> held = Connection();
    const ULONG refs = Refs(held.get());
    mv::Variant got;
    ASSERT_EQ(mv::DispGetPropertyByName(recipe_.get(), u"DravikDataConnection", &got), S_OK);
    EXPECT_EQ(got.vt, VT_DISPATCH);
    VariantClear(&got);
    EXPECT_EQ(Refs(held.get()), refs);

    // A put replaces the connection and releases the one held before.
    EXPECT_EQ(recipe_->put_DravikDataConnection(nullptr), S_OK);
    EXPECT_EQ(Refs(held.get()), refs - 1);
    held.Reset();
    EXPECT_EQ(hosted::Count(Counter::RecipeConnectionsAlive), 0);
}

TEST_F(RecipeRun, WithoutTheDataAccessServerTheOpenFailsWithoutAText) {
    ObjectServer_Stop();
    hosted::RevokeServers();
    ASSERT_EQ(hosted::RegisterServers(hosted::kAllServers & ~hosted::Bit(Server::DataAccess)),
              S_OK);
    BSTR text = SysAllocString(u"stale");
    BSTR out = text;
    EXPECT_EQ(recipe_->DravikOpenConnection(&out), E_FAIL);
    EXPECT_EQ(out, nullptr);
    SysFreeString(text);
    EXPECT_EQ(Run(), kFailed);
}

}  // namespace
