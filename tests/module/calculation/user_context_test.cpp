// The refresh of the user's context on the historian nodes of a
// calculation's parameters, against the historian stand-in.
#include "../bindings/binding_test_support.h"
#include "calculation_test_support.h"

namespace calculation_test {
namespace {

struct Bound {
    LONG binding;
    const char16_t* node;
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

    static Calculation WithParameters(std::initializer_list<Bound> parameters) {
        auto calc = NewCalculation();
        int n = 0;
        for (const Bound& b : parameters) {
            mv::ComPtr<IMvParameter> p;
            calc->AddParameter(mv::Bstr("P" + std::to_string(++n)).get(), p.Put());
            p->put_BindingType(b.binding);
            p->put_NodeName(mv::Bstr(b.node).get());
            p->put_GroupNumber(b.group);
        }
        return calc;
    }

    static LONG Refreshes(LONG library) { return KhSim_CallCount(library, "REFRESHUSERCONTEXT"); }
};

std::string Failure(int index, const std::string& node, int code) {
    return "Call " + std::to_string(index) + " BAD REFRESHUSERCONTEXT failed on node " + node +
           ", code " + std::to_string(code);
}

TEST_F(UserContext, OnlyARepeatOfTheNodeJustListedIsDropped) {
    const int missing = KELDRIN_E_NOSERVER;
    const struct {
        const char* what;
        std::initializer_list<Bound> parameters;
        LONG refreshes;
        std::string errors;
    } rows[] = {
        {"one node, one group", {{1, u"ALPHA", 1}, {1, u"ALPHA", 1}, {11, u"ALPHA", 1}}, 1, ""},
        {"groups and case", {{1, u"ALPHA", 1}, {1, u"ALPHA", 2}, {1, u"alpha", 2}}, 2, ""},
        {"a node met again", {{1, u"ALPHA", 0}, {11, u"BETA", 0}, {1, u"ALPHA", 0}}, 3, ""},
        {"other bindings", {{0, u"ALPHA", 1}, {9, u"BETA", 1}, {2, u"ALPHA", 2}}, 0, ""},
        {"empty node first",
         {{1, u"", 0}, {1, u"GAMMA", 0}, {1, u"", 0}},
         0,
         Failure(0, "GAMMA", missing) + Failure(1, "", missing)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        auto calc = WithParameters(row.parameters);
        const LONG before = Refreshes(KHSIM_API);
        EXPECT_EQ(calc->RefreshUserContext(), S_OK);
        EXPECT_EQ(Refreshes(KHSIM_API) - before, row.refreshes);
        EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ErrorText), row.errors);
    }
}

TEST_F(UserContext, ThisComputerGoesThroughTheOlderLibraryOnlyWhileItIsLoaded) {
    char computer[16] = {};
    DWORD size = sizeof computer;
    ASSERT_TRUE(GetComputerNameA(computer, &size));
    // Remote servers of these names answer once the older library is gone.
    ASSERT_GT(KhSim_AddServer("LocalHost", 11, 3, 0), 0);
    ASSERT_GT(KhSim_AddServer(computer, 11, 3, 0), 0);
    const std::u16string name = mv::ToUtf16(computer);
    for (LONG loaded : {1, 0}) {
        SCOPED_TRACE(loaded);
        ResetKeldcoreForTesting();
        CalcUnloadLibrary();
        KhSim_SetOlderLibraryPresent(loaded);
        auto calc = WithParameters({{1, u"LocalHost", 0}, {1, name.c_str(), 0}});
        const LONG older = Refreshes(KHSIM_KELDCORE), api = Refreshes(KHSIM_API);
        EXPECT_EQ(calc->RefreshUserContext(), S_OK);
        EXPECT_EQ(Refreshes(KHSIM_KELDCORE) - older, loaded ? 2 : 0);
        EXPECT_EQ(Refreshes(KHSIM_API) - api, loaded ? 0 : 2);
        EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ErrorText), "");
    }
}

TEST_F(UserContext, AnOlderLibraryThatCannotAttachFailsTheLocalNode) {
    KhSim_SetAttachAnswers(0, 0);
    auto calc = WithParameters({{1, u"localhost", 0}});
    EXPECT_EQ(calc->RefreshUserContext(), S_OK);
    EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ErrorText),
              "Call 0 BAD REFRESHUSERCONTEXT failed on node localhost, code -74");
}

// The first node fails in the call named; the second is refreshed all the
// same, and the text is added to what the error text held.
TEST_F(UserContext, AFailingNodeDoesNotFailTheNext) {
    for (const char* call : {"DaAddServer", "DaSetDefaultServer", "REFRESHUSERCONTEXT"}) {
        SCOPED_TRACE(call);
        auto calc = WithParameters({{1, u"ALPHA", 0}, {11, u"BETA", 0}});
        calc->put_ErrorText(mv::Bstr(u"Before. ").get());
        KhSim_FailCall(KHSIM_API, call, -33, 1, 2, 1);
        const LONG before = Refreshes(KHSIM_API);
        EXPECT_EQ(calc->RefreshUserContext(), S_OK);
        EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ErrorText),
                  "Before. " + Failure(0, "ALPHA", -33));
        EXPECT_EQ(Refreshes(KHSIM_API) - before, std::string(call) == "REFRESHUSERCONTEXT" ? 2 : 1);
    }
}

}  // namespace
}  // namespace calculation_test
