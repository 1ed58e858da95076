// Recipe-bound parameters in runs: the values read and written, the lines a
// failure appends, which server calls are made, and the reference the
// recipe object holds on its connection.
#include "recipe_run_support.h"

namespace recipe_test {
namespace {

using hosted::Counter;
using hosted::Server;

constexpr DISPID kNew = 0x60030000, kOpen = 0x60030002;                           // data access
constexpr DISPID kRead = 0x60030000, kWrite = 0x60030001, kControl = 0x60030002;  // recipe
const std::string kFailed = "Failed to connect to Morva Process Recipe Data Source";

ULONG Refs(IUnknown* p) {
    p->AddRef();
    return p->Release();
}

// Calls of each recipe method: new, open, control, read, write.
std::string CallCounts() {
    std::string counts;
    for (auto [s, id] : {std::pair{Server::DataAccess, kNew},
                         {Server::DataAccess, kOpen},
                         {Server::ControlRecipe, kControl},
                         {Server::ControlRecipe, kRead},
                         {Server::ControlRecipe, kWrite}})
        counts += std::to_string(hosted::CallCount(s, id));
    return counts;
}

TEST_F(RecipeRun, AnInputIsReadConvertedAndAnOutputWrittenUnconvertedOnOneConnection) {
    ASSERT_EQ(Run(), "");
    mv::Variant value;
    SHORT level = 0, status = 0;
    a_->GetParameterValues(&value, &level, &status, nullptr);
    EXPECT_EQ(value.vt == VT_R8 ? value.dblVal : -1.0, 42.5);
    EXPECT_EQ(level * 10 + status, mvcNO_QLEVEL * 10 + mvcQSTATUS_NO_STATUS);
    mv::Variant written = hosted::RecipeValue(5, 4, 3);
    EXPECT_EQ(written.vt == VT_R8 ? written.dblVal : -1.0, 85.0);
    EXPECT_EQ(CallCounts(), "11111");

    // The next run uses the held connection and leaves its count alone.
    mv::ComPtr<IDispatch> connection = Connection();
    ASSERT_TRUE(connection);
    const ULONG refs = Refs(connection.get());
    ASSERT_EQ(Run(), "");
    EXPECT_EQ(Refs(connection.get()), refs);
    EXPECT_EQ(CallCounts(), "11122");

    // A client that gets it through IDispatch and releases it leaves the
    // object's own reference.
    mv::Variant got;
    ASSERT_EQ(mv::DispGetPropertyByName(recipe_.get(), u"DravikDataConnection", &got), S_OK);
    VariantClear(&got);
    EXPECT_EQ(Refs(connection.get()), refs);

    // A loaded copy is disabled and unconnected.
    mv::ComPtr<IStream> stream;
    mv::ComPtr<IPersistStream> saved, loaded;
    mv::ComPtr<mv::ComObject<CMvDravikConnect>> copy;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.Put()), S_OK);
    ASSERT_EQ(recipe_.As(&saved), S_OK);
    ASSERT_EQ(saved->Save(stream.get(), TRUE), S_OK);
    stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr);
    ASSERT_EQ(mv::MakeComObject(&copy), S_OK);
    ASSERT_EQ(copy.As(&loaded), S_OK);
    ASSERT_EQ(loaded->Load(stream.get()), S_OK);
    EXPECT_EQ(copy->TryDravikConnect(), S_FALSE);
    mv::ComPtr<IDispatch> none;
    EXPECT_EQ(copy->get_DravikDataConnection(none.Put()), S_OK);
    EXPECT_FALSE(none);
}

TEST_F(RecipeRun, EachFailingRecipeParameterAppendsItsOwnLine) {
    using P = IMvParameter*;
    const struct {
        const char* what;
        void (*arrange)(IMvDravikConnect* r, P a, P c);
        std::string error;
        const char* calls;  // new, open, control, read, write
        int alive;          // connections alive after the run
    } cases[] = {
        {"no data-access server",
         [](IMvDravikConnect*, P, P) {
             ObjectServer_Stop();
             hosted::RevokeServers();
             hosted::RegisterServers(hosted::kAllServers & ~hosted::Bit(Server::DataAccess));
         },
         kFailed + "\n" + kFailed, "00000", 0},
        {"connection refused with a text",
         [](IMvDravikConnect*, P, P) {
             hosted::SetRefusal(Server::DataAccess, kNew, true, u"No licence");
         },
         "No licence\n" + kFailed, "10000", 0},
        {"connection given with a text",
         [](IMvDravikConnect*, P, P) {
             hosted::SetRefusal(Server::DataAccess, kOpen, true, u"Login failed");
         },
         "Login failed\n" + kFailed, "11000", 0},
        {"control ID refused", [](IMvDravikConnect* r, P, P) { r->put_DravikControlID(6); },
         "Control recipe 6 not found.\n" + kFailed, "11100", 0},
        {"unknown parameters",
         [](IMvDravikConnect*, P a, P c) {
             a->put_ParameterID(9);
             c->put_ItemID(8);
         },
         "A Binding: Item 2 parameter 9 not found in control recipe 5.\n"
         "C Binding: Item 8 parameter 3 not found in control recipe 5.",
         "11120", 1},
        {"IDs out of range",
         [](IMvDravikConnect*, P a, P c) {
             a->put_ItemID(70000);
             c->put_ParameterID(-32769);
         },
         "A Binding: item or parameter ID out of range\n"
         "C Binding: item or parameter ID out of range",
         "11100", 1},
        {"read call failed",
         [](IMvDravikConnect*, P, P) {
             hosted::SetFailure(Server::ControlRecipe, kRead, E_FAIL, u"Database offline");
         },
         "A Binding: \nC Binding: ", "11120", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        c.arrange(recipe_.get(), a_.get(), Bound(u"C", mvcInput, 2, 3).get());
        EXPECT_EQ(Run(), c.error);
        EXPECT_EQ(CallCounts(), c.calls);
        EXPECT_EQ(hosted::Count(Counter::RecipeConnectionsAlive), c.alive);
    }
}

TEST_F(RecipeRun, AFailedOpenIsTriedAgainOnTheNextRunWithANewConnection) {
    recipe_->put_DravikControlID(6);
    EXPECT_EQ(Run(), "Control recipe 6 not found.");
    EXPECT_EQ(recipe_->TryDravikConnect(), S_FALSE);
    recipe_->put_DravikControlID(5);
    EXPECT_EQ(Run(), "");
    EXPECT_TRUE(Connection());
    EXPECT_EQ(CallCounts(), "22211");
    EXPECT_EQ(hosted::Count(Counter::RecipeConnectionsAlive), 1);
}

TEST_F(RecipeRun, OpeningDirectlyTakesNoStaleTextAndCallsNothingOnceConnected) {
    EXPECT_EQ(recipe_->DravikOpenConnection(nullptr), E_POINTER);
    EXPECT_EQ(recipe_->get_DravikDataConnection(nullptr), E_POINTER);
    BSTR stale = SysAllocString(u"stale");
    BSTR out = stale;
    EXPECT_EQ(recipe_->DravikOpenConnection(&out), S_OK);
    EXPECT_EQ(out, nullptr);
    SysFreeString(stale);
    EXPECT_EQ(recipe_->DravikOpenConnection(&out), S_OK);
    EXPECT_EQ(CallCounts(), "11100");
}

}  // namespace
}  // namespace recipe_test
