// The run's error text: replaced or extended, and logged as two error lines
// whenever it is left non-empty.
#include "calculation_test_support.h"

namespace calculation_test {
namespace {

TEST(CalculationErrors, EachChangeThatLeavesATextLogsItWholeAndAnEmptyTextLogsNothing) {
    auto calc = NewCalculation();
    struct Step {
        void (*change)(CMvCalculation*);
        const char* text;  // the error text afterwards
        const char* lines;
    } steps[] = {
        {[](CMvCalculation* c) { c->AddError("\n"); }, "\n",
         "CMvCalculation::AddError: S_OK\nCMvCalculation::AddError: An error exception was "
         "caught. \n\n"},
        {[](CMvCalculation* c) { c->AddError(std::string("T")); }, "\nT",
         "CMvCalculation::AddError: S_OK\nCMvCalculation::AddError: An error exception was "
         "caught. \nT\n"},
        {[](CMvCalculation* c) { c->SetError(std::string("Bad")); }, "Bad",
         "CMvCalculation::SetError: S_OK\nCMvCalculation::SetError: An error exception was "
         "caught. Bad\n"},
        {[](CMvCalculation* c) { c->SetError(""); }, "", ""},
        {[](CMvCalculation* c) { c->SetError(static_cast<const char*>(nullptr)); }, "", ""},
        {[](CMvCalculation* c) { c->AddError(static_cast<const char*>(nullptr)); }, "", ""},
    };
    for (const Step& step : steps) {
        values_test::LogCapture log;
        step.change(calc.get());
        EXPECT_EQ(log.Lines(), step.lines);
        EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ErrorText), step.text);
    }
}

}  // namespace
}  // namespace calculation_test
