// The refresh of the user's context on the historian nodes of a
// calculation's parameters, against the historian stand-in.
#include "../bindings/binding_test_support.h"
#include "calculation_test_support.h"

namespace calculation_test {
namespace {

struct Bound {
    LONG binding;
    std::u16string node;
    LONG group;
};

class UserContext : public bindtest::HistorianFixture {
protected:
    void SetUp() override {
        HistorianFixture::SetUp();
        ASSERT_GT(KhSim_AddServer("LOCALNODE", 11, 3, 1), 0);
        ASSERT_GT(KhSim_AddServer("ALPHA", 11, 3, 0), 0);
        ASSERT_GT(KhSim_AddServer("BETA", 12, 1, 0), 0);
    }

    // Refreshes a calculation with these parameters and gives the error
    // text; *older and *api count the refreshes of each library.
    static std::string Refresh(std::initializer_list<Bound> parameters, LONG* older, LONG* api) {
        auto calc = NewCalculation();
        int n = 0;
        for (const Bound& b : parameters) {
            mv::ComPtr<IMvParameter> p;
            calc->AddParameter(mv::Bstr("P" + std::to_string(++n)).get(), p.Put());
            p->put_BindingType(b.binding);
            p->put_NodeName(mv::Bstr(b.node).get());
            p->put_GroupNumber(b.group);
        }
        calc->put_ErrorText(mv::Bstr(u"Before. ").get());
        *older = KhSim_CallCount(KHSIM_KELDCORE, "REFRESHUSERCONTEXT");
        *api = KhSim_CallCount(KHSIM_API, "REFRESHUSERCONTEXT");
        EXPECT_EQ(calc->RefreshUserContext(), S_OK);
        *older = KhSim_CallCount(KHSIM_KELDCORE, "REFRESHUSERCONTEXT") - *older;
        *api = KhSim_CallCount(KHSIM_API, "REFRESHUSERCONTEXT") - *api;
        return TextOf(calc.get(), &IMvCalculation::get_ErrorText).substr(8);
    }
};

TEST_F(UserContext, OnlyARepeatOfTheNodeJustListedIsDroppedAndFailuresAreAppended) {
    const std::string kAlphaFailed = "Call 0 BAD REFRESHUSERCONTEXT failed on node ALPHA, code -33";
    const struct {
        std::initializer_list<Bound> parameters;
        const char* failingCall;  // fails once with -33
        LONG refreshes;
        std::string errors;
    } rows[] = {
        {{{1, u"ALPHA", 1}, {1, u"ALPHA", 2}, {11, u"alpha", 2}, {9, u"BETA", 0}}, "", 2, ""},
        {{{1, u"ALPHA", 0}, {11, u"BETA", 0}, {1, u"ALPHA", 0}}, "", 3, ""},
        {{{1, u"", 0}, {1, u"GAMMA", 0}, {1, u"", 0}},
         "",
         0,
         "Call 0 BAD REFRESHUSERCONTEXT failed on node GAMMA, code -5"
         "Call 1 BAD REFRESHUSERCONTEXT failed on node , code -5"},
        {{{1, u"ALPHA", 0}, {1, u"BETA", 0}}, "DaAddServer", 1, kAlphaFailed},
        {{{1, u"ALPHA", 0}, {1, u"BETA", 0}}, "DaSetDefaultServer", 1, kAlphaFailed},
        {{{1, u"ALPHA", 0}, {1, u"BETA", 0}}, "REFRESHUSERCONTEXT", 2, kAlphaFailed},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(&row - rows);
        SetUp();
        if (*row.failingCall) KhSim_FailCall(KHSIM_API, row.failingCall, -33, 1, 2, 1);
        LONG older = 0, api = 0;
        EXPECT_EQ(Refresh(row.parameters, &older, &api), row.errors);
        EXPECT_EQ(api, row.refreshes);
    }
}

TEST_F(UserContext, ThisComputerGoesThroughTheOlderLibraryOnlyWhileItIsLoaded) {
    char computer[16] = {};
    DWORD size = sizeof computer;
    ASSERT_TRUE(GetComputerNameA(computer, &size));
    // Remote servers of these names answer once the older library is gone.
    ASSERT_GT(KhSim_AddServer("LocalHost", 11, 3, 0), 0);
    ASSERT_GT(KhSim_AddServer(computer, 11, 3, 0), 0);
    for (LONG loaded : {1, 0}) {
        ResetKeldcoreLoader();
        CalcUnloadLibrary();
        KhSim_SetOlderLibraryPresent(loaded);
        LONG older = 0, api = 0;
        EXPECT_EQ(Refresh({{1, u"LocalHost", 0}, {1, mv::ToUtf16(computer), 0}}, &older, &api), "");
        EXPECT_EQ(older, loaded ? 2 : 0);
        EXPECT_EQ(api, loaded ? 0 : 2);
    }
    ResetKeldcoreLoader();
    KhSim_SetOlderLibraryPresent(1);
    KhSim_SetAttachAnswers(0, 0);  // loaded, but it cannot attach
    LONG older = 0, api = 0;
    EXPECT_EQ(Refresh({{1, u"localhost", 0}}, &older, &api),
              "Call 0 BAD REFRESHUSERCONTEXT failed on node localhost, code -74");
}

}  // namespace
}  // namespace calculation_test
