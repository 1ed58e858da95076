// Runs of two calculations on one workbook never see each other's values.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "excel_formula_test_support.h"

namespace calculation_test {
namespace {

TEST_F(ExcelFormula, RunsOnOneWorkbookEachReadTheirOwnResults) {
    mv::ComPtr<IMvCalculation> calcs[2] = {NewCalc(), NewCalc()};
    for (auto& calc : calcs) Product(calc.get());
    std::atomic<int> wrong{0};
    auto work = [&](int k) {
        IMvCalculation* calc = calcs[k].get();
        mv::ComPtr<IMvParameter> a = Param(calc, u"A");
        for (int i = 0; i < 500; ++i) {
            const double x = k * 1000 + i;
            a->put_Value(mv::Variant(x));
            calc->Calculate();
            mv::Variant c = Value(calc, u"C");
            if (c.vt != VT_R8 || c.dblVal != x * 3.0) ++wrong;
        }
    };
    std::thread first(work, 0), second(work, 1);
    first.join();
    second.join();
    EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace calculation_test
