// Set-ups from a library formula and user-context refreshes while other
// threads use the same objects.
#include <atomic>
#include <map>
#include <thread>

#include "../bindings/binding_test_support.h"
#include "calculation_test_support.h"
#include "frame/tls_slots.h"
#include "sources/keldrin_servers.h"

namespace calculation_test {
namespace {

// Out = In + 1 through the run's table, and a walk of the calculation's
// collections while it runs.
void AddOne(CMvCalculation& calc, const ParamInfoTable& table) {
    std::map<std::string, IMvParameter*> byName;
    for (const ParamInfo& r : table.Records) byName[r.Name] = r.Parameter.get();
    if (byName.count("In") && byName.count("Out"))
        byName["Out"]->put_Value(mv::Variant(NumberIn(byName["In"]) + 1.0));
    mv::ComPtr<IMvObjCollection> parameters, refs;
    calc.get_Parameters(parameters.Put());
    calc.get_FormulaRefs(refs.Put());
    for (const auto& p : MvMembersAs<IMvParameter>(parameters.get())) ASSERT_TRUE(p);
}

Calculation Formula(bool extra) {
    auto formula = NewCalculation();
    formula->put_FormulaType(mvcDLL_Execute_Method);
    Param(formula.get(), u"In", true);
    Param(formula.get(), u"Out", true);
    if (extra) Param(formula.get(), u"Extra", true);
    return formula;
}

TEST(SetupConcurrency, CopiesRunApartWhileTheCacheIsClearedAndALiveSetUpIsClean) {
    AllocateTlsSlots();
    MvSetFormulaExecutor(mvcDLL_Execute_Method, &AddOne);
    auto formula = Formula(false);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int n = 1; n <= 8; ++n) {
        threads.emplace_back([&, n] {
            for (int i = 0; i < 100; ++i) {
                IMvCalculation* copy = nullptr;
                if (formula->AllocateCopy(&copy, 0) != S_OK || !copy) {
                    ++wrong;
                    continue;
                }
                const double mine = n * 1000.0 + i;
                Param(copy, u"In")->put_Value(mv::Variant(mine));
                copy->Execute();
                if (NumberIn(Param(copy, u"Out").get()) != mine + 1.0) ++wrong;
                copy->DeallocateCopy();
                copy->Release();
            }
        });
    }
    threads.emplace_back([&] {
        while (!stop) formula->ClearCache();
    });
    // A client sets a calculation up again and again while it runs.
    Calculation formulas[2] = {Formula(false), Formula(true)}, live = NewCalculation();
    live->SetCalcFromFormulaP(formulas[0].get());
    threads.emplace_back([&] {
        while (!stop) live->Calculate();
    });
    for (int i = 0; i < 300; ++i) live->SetCalcFromFormulaP(formulas[i % 2].get());
    for (std::size_t t = 0; t < 8; ++t) threads[t].join();
    stop = true;
    for (std::size_t t = 8; t < threads.size(); ++t) threads[t].join();
    EXPECT_EQ(wrong, 0);
    EXPECT_TRUE(Param(live.get(), u"Extra"));
    EXPECT_EQ(TextOf(live.get(), &IMvCalculation::get_ErrorText), "");

    // Every copy was given back: one thread takes the whole chain.
    std::vector<IMvCalculation*> held(11);
    for (IMvCalculation*& copy : held) ASSERT_EQ(formula->AllocateCopy(&copy, 0), S_OK);
    for (IMvCalculation* copy : held) copy->DeallocateCopy(), copy->Release();
    MvSetFormulaExecutor(mvcDLL_Execute_Method, nullptr);
    FreeTlsSlots();
}

class RefreshConcurrency : public bindtest::HistorianFixture {};

// Each thread's refresh selects its own node: the version that the thread's
// selected server reports afterwards is that node's.
TEST_F(RefreshConcurrency, TwoThreadsRefreshingDifferentNodesEachReachTheirOwn) {
    ASSERT_GT(KhSim_AddServer("ALPHA", 11, 3, 0), 0);
    ASSERT_GT(KhSim_AddServer("BETA", 12, 1, 0), 0);
    std::atomic<int> wrong{0};
    auto refresh = [&](const char16_t* node, LONG expected) {
        auto calc = NewCalculation();
        auto p = Param(calc.get(), u"P", true);
        p->put_BindingType(mvcKeldrin);
        p->put_NodeName(mv::Bstr(node).get());
        for (int i = 0; i < 200; ++i) {
            LONG major = 0, minor = 0;
            calc->RefreshUserContext();
            GetKeldrinDbVersion(false, &major, &minor);
            if (major != expected) ++wrong;
        }
        if (!TextOf(calc.get(), &IMvCalculation::get_ErrorText).empty()) ++wrong;
    };
    std::thread alpha(refresh, u"ALPHA", 11), beta(refresh, u"BETA", 12);
    alpha.join();
    beta.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(KhSim_CallCount(KHSIM_API, "REFRESHUSERCONTEXT"), 400);
}

}  // namespace
}  // namespace calculation_test
