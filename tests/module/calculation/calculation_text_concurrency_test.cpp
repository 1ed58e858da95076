// One thread replaces every text property while two others read them and
// save the calculation: each read is one whole text, never a freed one.
#include <atomic>
#include <thread>

#include "../persistence/persist_test_class.h"
#include "calculation_test_support.h"

namespace calculation_test {
namespace {

using TextGet = HRESULT (IMvCalculation::*)(BSTR*);
using TextPut = HRESULT (IMvCalculation::*)(BSTR);
const std::pair<TextGet, TextPut> kTexts[] = {
    {&IMvCalculation::get_Description, &IMvCalculation::put_Description},
    {&IMvCalculation::get_ID, &IMvCalculation::put_ID},
    {&IMvCalculation::get_EditOwner, &IMvCalculation::put_EditOwner},
    {&IMvCalculation::get_LibraryName, &IMvCalculation::put_LibraryName},
    {&IMvCalculation::get_FormulaName, &IMvCalculation::put_FormulaName},
    {&IMvCalculation::get_ScriptText, &IMvCalculation::put_ScriptText},
    {&IMvCalculation::get_Name, &IMvCalculation::put_Name},
    {&IMvCalculation::get_FunctionName, &IMvCalculation::put_FunctionName},
    {&IMvCalculation::get_DllName, &IMvCalculation::put_DllName},
    {&IMvCalculation::get_ExcelFileName, &IMvCalculation::put_ExcelFileName},
    {&IMvCalculation::get_ProgramName, &IMvCalculation::put_ProgramName},
    {&IMvCalculation::get_OLEObjectName, &IMvCalculation::put_OLEObjectName},
    {&IMvCalculation::get_ErrorText, &IMvCalculation::put_ErrorText},
};

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

}  // namespace
}  // namespace calculation_test
