// Calculations used from several threads at once: texts replaced while
// read and saved, and copies of one formula run while the chain's caches are
// cleared and a running calculation's error text grows.
#include <atomic>
#include <thread>

#include "../persistence/persist_test_class.h"
#include "calculation_test_support.h"
#include "frame/tls_slots.h"

namespace calculation_test {
namespace {

using TextGet = HRESULT (IMvCalculation::*)(BSTR*);
using TextPut = HRESULT (IMvCalculation::*)(BSTR);
#define MV_TEXT(Prop) \
    std::pair<TextGet, TextPut>(&IMvCalculation::get_##Prop, &IMvCalculation::put_##Prop)
const std::pair<TextGet, TextPut> kTexts[] = {
    MV_TEXT(Description),   MV_TEXT(ID),           MV_TEXT(EditOwner),
    MV_TEXT(LibraryName),   MV_TEXT(FormulaName),  MV_TEXT(ScriptText),
    MV_TEXT(Name),          MV_TEXT(FunctionName), MV_TEXT(DllName),
    MV_TEXT(ExcelFileName), MV_TEXT(ProgramName),  MV_TEXT(OLEObjectName),
    MV_TEXT(ErrorText)};
#undef MV_TEXT

TEST(CalculationTextConcurrency, ReadersAndSavesSeeWholeTextsWhileAWriterReplacesThem) {
    ServedClasses served;
    auto calc = NewCalculation();
    const mv::Bstr shortText(u"a");
    const mv::Bstr longText(std::u16string(300, u'x'));
    std::atomic<bool> stop{false};
    std::atomic<int> badReads{0};

    std::thread writer([&] {
        for (int i = 0; i < 400; ++i)
            for (const auto& text : kTexts)
                (calc.get()->*text.second)((i % 2 ? longText : shortText).get());
        stop = true;
    });
    auto reader = [&] {
        while (!stop) {
            for (const auto& text : kTexts) {
                mv::Bstr value;
                (calc.get()->*text.first)(value.Out());
                if (value.view() != shortText.view() && value.view() != longText.view() &&
                    value.Length() != 0)
                    ++badReads;
            }
            auto stream = NewStream();
            EXPECT_EQ(static_cast<IPersistStream*>(calc.get())->Save(stream.get(), TRUE), S_OK);
        }
    };
    std::thread first(reader), second(reader);
    writer.join();
    first.join();
    second.join();
    EXPECT_EQ(badReads, 0);
}

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

// A run keeps its look-up of "ReturnValue" with the parameter table; other
// threads re-file that name and clear the cache meanwhile, and the run after
// them writes into the parameter filed under it.
TEST(CalculationRunConcurrency, RunsSeeReturnValueRefiledAndTheCacheClearedOnOtherThreads) {
    AllocateTlsSlots();
    ServedClasses served;
    MvSetFormulaExecutor(mvcSimpleScript_Method, &WriteThreadValue);
    auto calc = NewCalculation();
    mv::ComPtr<IMvObjCollection> parameters;
    calc->get_Parameters(parameters.Put());
    std::atomic<bool> stop{false};
    std::thread runner([&] {
        t_value = 7;
        while (!stop) EXPECT_EQ(calc->Calculate(), S_OK);
    });
    std::thread refiler([&] {
        for (int i = 0; i < 300; ++i) {
            mv::ComPtr<IMvParameter> fresh = parameter_test::NewParameter();
            fresh->put_Name(mv::Bstr(u"ReturnValue").get());
            fresh->put_ParameterType(mvcReturnValue);
            parameters->Remove(mv::Bstr(u"ReturnValue").get());
            parameters->Add(mv::Bstr(u"ReturnValue").get(), fresh.get());
        }
    });
    std::thread clearer([&] {
        for (int i = 0; i < 300; ++i) calc->ClearCache();
    });
    refiler.join();
    clearer.join();
    stop = true;
    runner.join();
    t_value = 7;
    calc->put_Value(mv::Variant(LONG{0}));
    ASSERT_EQ(calc->Calculate(), S_OK);
    mv::Variant value;
    calc->get_Value(&value);
    EXPECT_EQ(value.vt, VT_I4);
    EXPECT_EQ(value.lVal, 7);
    mv::ComPtr<IMvParameter> filed = Param(calc.get(), u"ReturnValue");
    ASSERT_NE(filed.get(), nullptr);
    mv::Variant held;
    filed->get_Value(&held);
    EXPECT_EQ(held.vt, VT_I4);
    EXPECT_EQ(held.lVal, 7);
    MvSetFormulaExecutor(mvcSimpleScript_Method, nullptr);
    FreeTlsSlots();
}

}  // namespace
}  // namespace calculation_test
