// Set-ups from a library formula, tag bindings and user-context refreshes
// while other threads use the same objects.
#include <atomic>
#include <thread>

#include "../bindings/binding_test_support.h"
#include "bindings/keldrin_servers.h"
#include "calculation_test_support.h"
#include "corvex_sim.h"
#include "frame/tls_slots.h"

namespace calculation_test {
namespace {

mv::ComPtr<IMvParameter> Add(IMvCalculation* calc, const char16_t* name, LONG direction) {
    mv::ComPtr<IMvParameter> p;
    EXPECT_EQ(calc->AddParameter(mv::Bstr(name).get(), p.Put()), S_OK);
    if (p) p->put_ParameterType(direction);
    return p;
}

double NumberIn(IMvParameter* p) {
    mv::Variant v;
    p->get_Value(&v);
    return v.vt == VT_R8 ? v.dblVal : -1.0;
}

// Out = In + 1, read and written through the run's table.
void AddOne(CMvCalculation&, const ParamInfoTable& table) {
    double in = 0.0;
    for (const ParamInfo& r : table.Records)
        if (r.Name == "In") in = NumberIn(r.Parameter.get());
    for (const ParamInfo& r : table.Records)
        if (r.Name == "Out") r.Parameter->put_Value(mv::Variant(in + 1.0));
}

// Walks the calculation's collections while it runs.
void WalkCollections(CMvCalculation& calc, const ParamInfoTable& table) {
    AddOne(calc, table);
    mv::ComPtr<IMvObjCollection> parameters, refs;
    calc.get_Parameters(parameters.Put());
    calc.get_FormulaRefs(refs.Put());
    for (const auto& p : MvMembersAs<IMvParameter>(parameters.get())) {
        mv::Bstr name;
        if (p) p->get_Name(name.Out());
    }
}

class SetupConcurrency : public testing::Test {
protected:
    void SetUp() override { AllocateTlsSlots(); }
    void TearDown() override {
        MvSetFormulaExecutor(mvcDLL_Execute_Method, nullptr);
        FreeTlsSlots();
    }
};

TEST_F(SetupConcurrency, CopiesSetUpFromTheFormulaRunApartWhileTheCacheIsCleared) {
    MvSetFormulaExecutor(mvcDLL_Execute_Method, &AddOne);
    auto formula = NewCalculation();
    formula->put_FormulaType(mvcDLL_Execute_Method);
    Add(formula.get(), u"In", mvcInput);
    Add(formula.get(), u"Out", mvcOutput);
    std::atomic<bool> stop{false};
    std::atomic<int> crossTalk{0}, refused{0};
    std::vector<std::thread> threads;
    for (int n = 1; n <= 8; ++n) {
        threads.emplace_back([&, n] {
            for (int i = 0; i < 100; ++i) {
                IMvCalculation* copy = nullptr;
                if (formula->AllocateCopy(&copy, 0) != S_OK || !copy) {
                    ++refused;
                    continue;
                }
                mv::ComPtr<IMvParameter> in, out;
                copy->GetParameter(mv::Bstr(u"In").get(), in.Put());
                copy->GetParameter(mv::Bstr(u"Out").get(), out.Put());
                const double mine = n * 1000.0 + i;
                in->put_Value(mv::Variant(mine));
                copy->Execute();
                if (NumberIn(out.get()) != mine + 1.0) ++crossTalk;
                copy->DeallocateCopy();
                copy->Release();
            }
        });
    }
    std::thread clearer([&] {
        while (!stop) formula->ClearCache();
    });
    for (std::thread& t : threads) t.join();
    stop = true;
    clearer.join();
    EXPECT_EQ(crossTalk, 0);
    EXPECT_EQ(refused, 0);

    // Every copy was given back: one thread takes the whole chain.
    std::vector<IMvCalculation*> held;
    for (int i = 0; i < 11; ++i) {
        IMvCalculation* copy = nullptr;
        ASSERT_EQ(formula->AllocateCopy(&copy, 0), S_OK);
        held.push_back(copy);
    }
    for (IMvCalculation* copy : held) {
        copy->DeallocateCopy();
        copy->Release();
    }
}

TEST_F(SetupConcurrency, ASetUpOnARunningCalculationLeavesTheRunItsCollections) {
    MvSetFormulaExecutor(mvcDLL_Execute_Method, &WalkCollections);
    Calculation formulas[2] = {NewCalculation(), NewCalculation()};
    for (auto& formula : formulas) {
        formula->put_FormulaType(mvcDLL_Execute_Method);
        Add(formula.get(), u"In", mvcInput);
        Add(formula.get(), u"Out", mvcOutput);
    }
    Add(formulas[1].get(), u"Extra", mvcInput);
    auto calc = NewCalculation();
    calc->SetCalcFromFormulaP(formulas[0].get());
    std::atomic<bool> stop{false};
    std::thread runner([&] {
        while (!stop) calc->Calculate();
    });
    for (int i = 0; i < 300; ++i) calc->SetCalcFromFormulaP(formulas[i % 2].get());
    stop = true;
    runner.join();
    mv::ComPtr<IMvObjCollection> parameters;
    calc->get_Parameters(parameters.Put());
    LONG count = 0;
    parameters->get_Count(&count);
    EXPECT_EQ(count, 4);  // the last set-up was from the formula with Extra
    EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ErrorText), "");
}

class RefreshConcurrency : public bindtest::HistorianFixture {};

// Each thread's refresh selects its own node: the version that the thread's
// selected server reports afterwards is that node's.
TEST_F(RefreshConcurrency, TwoThreadsRefreshingDifferentNodesEachReachTheirOwn) {
    ASSERT_GT(KhSim_AddServer("ALPHA", 11, 3, 0), 0);
    ASSERT_GT(KhSim_AddServer("BETA", 12, 1, 0), 0);
    std::atomic<int> wrong{0};
    auto refresh = [&](const char16_t* node, LONG major) {
        auto calc = NewCalculation();
        mv::ComPtr<IMvParameter> p;
        calc->AddParameter(mv::Bstr(u"P").get(), p.Put());
        p->put_BindingType(mvcKeldrin);
        p->put_NodeName(mv::Bstr(node).get());
        for (int i = 0; i < 200; ++i) {
            if (calc->RefreshUserContext() != S_OK) ++wrong;
            LONG versionMajor = 0, minor = 0;
            GetKeldrinDbVersion(false, &versionMajor, &minor);
            if (versionMajor != major) ++wrong;
        }
        if (!TextOf(calc.get(), &IMvCalculation::get_ErrorText).empty()) ++wrong;
    };
    std::thread alpha(refresh, u"ALPHA", 11), beta(refresh, u"BETA", 12);
    alpha.join();
    beta.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(KhSim_CallCount(KHSIM_API, "REFRESHUSERCONTEXT"), 400);
}

TEST(AutoBindConcurrency, FirstBindingsOnSeveralThreadsLoadTheLibraryOnce) {
    ResetKeldcoreForTesting();
    CalcUnloadLibrary();
    CorvexSim_Reset();
    ASSERT_EQ(CorvexSim_SetLibrary(CORVEXSIM_FULL), 1);
    auto calc = NewCalculation();
    std::vector<mv::ComPtr<IMvParameter>> parameters;
    for (int n = 0; n < 6; ++n) {
        const std::string name = "TAG" + std::to_string(n);
        CorvexSimTag tag{"srv", 200, name.c_str(), "VALUE", "", "", n, 1, 1, 1, 1, 1};
        CorvexSim_SeedTag(&tag);
        parameters.push_back(Add(calc.get(), mv::ToUtf16(name).c_str(), mvcInput));
    }
    std::vector<std::thread> threads;
    for (auto& p : parameters)
        threads.emplace_back(
            [&calc, p] { calc->AutoBindParameter(p.get(), mv::Bstr(u"srv").get()); });
    for (std::thread& t : threads) t.join();
    for (auto& p : parameters)
        EXPECT_EQ(parameter_test::NumberOf(p.get(), &IMvParameter::get_BindingType), mvcKeldrin);
    CalcUnloadLibrary();
    CorvexSim_Reset();
    CorvexSim_SetLibrary(CORVEXSIM_ABSENT);
}

}  // namespace
}  // namespace calculation_test
