// Eight threads run copies of one formula while a ninth clears the chain's
// caches and a tenth extends and reads a running calculation's error text.
#include <atomic>
#include <thread>

#include "calculation_test_support.h"
#include "frame/tls_slots.h"

namespace calculation_test {
namespace {

thread_local LONG t_value = 0;

// Writes the calling thread's own value into "ReturnValue".
void WriteThreadValue(CMvCalculation&, const ParamInfoTable& table) {
    for (const ParamInfo& r : table.Records)
        if (r.Name == "ReturnValue") r.Parameter->put_Value(mv::Variant(t_value));
}

TEST(CalculationRunConcurrency, CopiesRunApartWhileTheCacheIsClearedAndTheErrorTextGrows) {
    AllocateTlsSlots();
    // A new copy keeps the kind of a new calculation until copies are set up
    // from their formula.
    MvSetFormulaExecutor(mvcSimpleScript_Method, &WriteThreadValue);
    auto formula = NewCalculation();
    auto running = NewCalculation();
    std::atomic<bool> stop{false};
    std::atomic<int> crossTalk{0}, refused{0};

    std::vector<std::thread> threads;
    for (LONG n = 1; n <= 8; ++n) {
        threads.emplace_back([&, n] {
            t_value = n;
            for (int i = 0; i < 150; ++i) {
                IMvCalculation* copy = nullptr;
                if (formula->AllocateCopy(&copy, 0) != S_OK || !copy) {
                    ++refused;
                    continue;
                }
                copy->Execute();
                mv::Variant value;
                copy->get_Value(&value);
                if (value.vt != VT_I4 || value.lVal != n) ++crossTalk;
                copy->DeallocateCopy();
                copy->Release();
            }
        });
    }
    std::thread clearer([&] {
        while (!stop) formula->ClearCache();
    });
    std::thread errors([&] {
        for (int i = 0; i < 2000; ++i) {
            running->AddError("x");
            mv::Bstr text;
            running->get_ErrorText(text.Out());
        }
    });
    running->put_BeingCalculated(1);
    for (std::thread& t : threads) t.join();
    stop = true;
    clearer.join();
    errors.join();
    EXPECT_EQ(crossTalk, 0);
    EXPECT_EQ(refused, 0);
    EXPECT_EQ(TextOf(running.get(), &IMvCalculation::get_ErrorText).size(), 2000u);

    // Every copy was given back: one thread nests through the whole chain.
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
    MvSetFormulaExecutor(mvcSimpleScript_Method, nullptr);
    FreeTlsSlots();
}

}  // namespace
}  // namespace calculation_test
