// Runs of two calculations on one workbook never see each other's values,
// whatever path names the workbook, and a close of it never falls inside a
// run.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "excel_formula_test_support.h"

namespace calculation_test {
namespace {

// Runs each calculation 500 times on a thread of its own, each run with
// another A; the runs whose product C is wrong or that leave an error text.
int WrongRuns(mv::ComPtr<IMvCalculation> (&calcs)[2]) {
    std::atomic<int> wrong{0};
    auto work = [&](int k) {
        IMvCalculation* calc = calcs[k].get();
        mv::ComPtr<IMvParameter> a = Param(calc, u"A");
        for (int i = 0; i < 500; ++i) {
            const double x = k * 1000 + i;
            a->put_Value(mv::Variant(x));
            calc->Calculate();
            mv::Variant c = ExcelFormula::Value(calc, u"C");
            if (c.vt != VT_R8 || c.dblVal != x * 3.0 ||
                !TextOf(calc, &IMvCalculation::get_ErrorText).empty())
                ++wrong;
        }
    };
    std::thread first(work, 0), second(work, 1);
    first.join();
    second.join();
    return wrong;
}

TEST_F(ExcelFormula, RunsOnOneWorkbookEachReadTheirOwnResults) {
    mv::ComPtr<IMvCalculation> calcs[2] = {NewCalc(), NewCalc()};
    for (auto& calc : calcs) Product(calc.get());
    EXPECT_EQ(WrongRuns(calcs), 0);
}

TEST_F(ExcelFormula, RunsThroughTwoPathsToOneWorkbookEachReadTheirOwnResults) {
    mv::ComPtr<IMvCalculation> calcs[2] = {NewCalc(), NewCalc()};
    calcs[1]->put_ExcelFileName(mv::Bstr(u"C:\\Data\\Plant.xls").get());
    for (auto& calc : calcs) Product(calc.get());
    // A third path closes the workbook and lists its names meanwhile.
    mv::ComPtr<IMvCalculation> closer = NewCalc();
    closer->put_ExcelFileName(mv::Bstr(u"d:\\DATA\\PLANT.XLS").get());
    std::atomic<bool> done{false};
    std::thread closing([&] {
        while (!done) {
            closer->UnloadExcelFile();
            closer->ExcelAutoAddParameters();
        }
    });
    EXPECT_EQ(WrongRuns(calcs), 0);
    done = true;
    closing.join();
}

}  // namespace
}  // namespace calculation_test
