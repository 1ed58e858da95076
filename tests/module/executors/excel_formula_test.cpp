// The spreadsheet formula end to end against the spreadsheet stand-in, its
// failure texts and the three workbook methods of the calculation.
#include <gtest/gtest.h>

#include <stdexcept>

#include "excel_formula_test_support.h"
#include "exceptions.h"
#include "executors/excel_formula.h"

namespace calculation_test {
namespace {

constexpr DISPID kOpen = 0x60030004, kClose = 0x60030005, kPutCell = 0x60030007,
                 kRecalc = 0x60030008, kGetCell = 0x60030009, kGetName = 0x6003000F;

TEST_F(ExcelFormula, InputsMeetTheWorkbookAndTheOutputIsReadBack) {
    for (SHORT closeAfter : {0, 1}) {
        hosted::Reset();
        hosted::SeedWorkbook(u"Plant.xls", {u"Sheet1"});
        auto calc = NewCalc();
        calc->put_CloseExcelAfterExecuting(closeAfter);
        Product(calc.get());
        EXPECT_EQ(calc->Calculate(), S_OK);
        EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ErrorText), "");
        parameter_test::ExpectSame(Value(calc.get(), u"C"), mv::Variant(6.0));
        std::vector<DISPID> expected{kOpen, kPutCell, kPutCell, kGetCell};
        if (closeAfter) expected.push_back(kClose);
        EXPECT_EQ(Ids(), expected);
        EXPECT_EQ(hosted::IsWorkbookOpen(u"Plant.xls"), closeAfter == 0);
        EXPECT_EQ(hosted::Calls()[0].args, std::vector<std::string>{"/data/Plant.xls"});
        EXPECT_EQ(hosted::Calls()[1].args,
                  (std::vector<std::string>{"Plant.xls", "Sheet1", "1", "1", "2"}));
    }
}

TEST_F(ExcelFormula, ARunWithoutInputsRecalculatesEachRunOfOneSheet) {
    const char16_t* sheets[] = {u"Sheet1", u"Sheet1", u"B", u"Sheet1"};
    const char16_t* names[] = {u"P", u"Q", u"R", u"S"};
    for (int i = 0; i < 4; ++i) Cell(calc_.get(), names[i], mvcOutput, sheets[i], 2, i + 1);
    EXPECT_EQ(Run(), "");
    std::vector<std::string> recalculated;
    for (const hosted::Call& c : hosted::Calls())
        if (c.id == kRecalc) recalculated.push_back(c.args[1]);
    EXPECT_EQ(recalculated, (std::vector<std::string>{"Sheet1", "B", "Sheet1"}));
}

TEST_F(ExcelFormula, ARangeOutputIsRefusedAndKeepsItsValue) {
    hosted::SeedName(u"Plant.xls", u"Block", u"Sheet1", 1, 1, 2, 2, u"=Sheet1!A1:B2");
    hosted::SetCommand(u"Go", [] { return true; });
    Cell(calc_.get(), u"Go", mvcCommand, u"Sheet1", 0, 0, mv::Variant(), u"Go");
    auto out = Cell(calc_.get(), u"Out", mvcOutput, u"Sheet1", 0, 0, mv::Variant(), u"Block");
    EXPECT_EQ(Run(),
              "Error reading Block, multiple cell ranges cannot be used for Morva Calc outputs.\n");
    mv::Variant kept;
    out->get_Value(&kept);
    EXPECT_EQ(kept.vt, VT_EMPTY);  // emptied by the run before the formula, not overwritten
    EXPECT_EQ(Ids(), (std::vector<DISPID>{kOpen, 0x6003000A, kGetName}));
}

TEST_F(ExcelFormula, FailuresReachTheErrorTextInOrder) {
    struct Case {
        const char* what;
        void (*inject)();
        std::string text;
        std::vector<DISPID> calls;
    } cases[] = {
        {"open fails",
         [] { hosted::SetFailure(hosted::Server::Excel, kOpen, E_FAIL, u"No such file"); },
         "Error opening workbook '/data/Plant.xls'. No such file.\n",
         {kOpen}},
        {"write false, read fails",
         [] {
             hosted::SetResult(hosted::Server::Excel, kPutCell, mv::Variant(false));
             hosted::SetFailure(hosted::Server::Excel, kGetCell, E_FAIL, u"Bad read");
         },
         "Error storing value in Sheet: 'Sheet1' Cell(1, 1).\n"
         "Error storing value in Sheet: 'Sheet1' Cell(1, 2).\n"
         "Error reading value from Sheet: 'Sheet1' Cell(1, 3). Bad read.\n",
         {kOpen, kPutCell, kPutCell, kGetCell, kClose}},
        {"close fails after a failed write",
         [] {
             hosted::SetResult(hosted::Server::Excel, kPutCell, mv::Variant(false));
             hosted::SetFailure(hosted::Server::Excel, kClose, E_FAIL, u"");
         },
         "Error storing value in Sheet: 'Sheet1' Cell(1, 1).\n"
         "Error storing value in Sheet: 'Sheet1' Cell(1, 2).\n"
         "Error closing workbook '/data/Plant.xls'. Unspecified error.\n",
         {kOpen, kPutCell, kPutCell, kGetCell, kClose}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        hosted::Reset();
        hosted::SeedWorkbook(u"Plant.xls", {u"Sheet1"});
        c.inject();
        auto calc = NewCalc();
        calc->put_CloseExcelAfterExecuting(1);
        Product(calc.get());
        EXPECT_EQ(calc->Calculate(), S_OK);
        EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ErrorText), c.text);
        EXPECT_EQ(Ids(), c.calls);
    }
}

TEST_F(ExcelFormula, ACellBeyondSixteenBitsIsReportedWithoutAServerCall) {
    Cell(calc_.get(), u"In", mvcInput, u"Sheet1", 65536, 3, mv::Variant(1.0));
    Cell(calc_.get(), u"Out", mvcOutput, u"Sheet1", 3, -40000, mv::Variant(4.0));
    Cell(calc_.get(), u"Nowhere", mvcInput, u"Sheet1", 5, 0, mv::Variant(4.0));
    EXPECT_EQ(Run(),
              "Error storing value in Sheet: 'Sheet1' Cell(65536, 3).\n"
              "Error reading value from Sheet: 'Sheet1' Cell(3, -40000).\n");
    EXPECT_EQ(Ids(), std::vector<DISPID>{kOpen});
    EXPECT_EQ(Value(calc_.get(), u"Out").vt, VT_EMPTY);
}

TEST_F(ExcelFormula, WithoutAServerTheReasonIsTheErrorText) {
    ObjectServer_Stop();
    hosted::RevokeServers();
    Product(calc_.get());
    const std::string text = Run();
    EXPECT_EQ(text.rfind("Error calling Morva Calc Excel Server interface. ", 0), 0u) << text;
    EXPECT_TRUE(Ids().empty());
    // Without a file name nothing is called and nothing is reported.
    calc_->put_ExcelFileName(mv::Bstr(u"").get());
    EXPECT_EQ(calc_->UnloadExcelFile(), S_OK);
    EXPECT_EQ(calc_->ExcelAutoAddParameters(), S_OK);
    EXPECT_EQ(calc_->SaveExcelFile(), S_OK);
}

TEST_F(ExcelFormula, AutoAddParametersAddsEveryDefinedName) {
    hosted::SeedName(u"Plant.xls", u"Feed", u"Sheet1", 1, 1, 1, 1, u"12");
    hosted::SeedName(u"Plant.xls", u"Rate", u"Sheet1", 1, 2, 1, 1, u"3");
    hosted::SeedName(u"Plant.xls", u"Yield", u"Sheet1", 1, 3, 1, 1, u"=Feed*Rate");
    EXPECT_EQ(calc_->ExcelAutoAddParameters(), S_OK);
    const std::pair<const char16_t*, LONG> expected[] = {
        {u"Feed", mvcInput}, {u"Rate", mvcInput}, {u"Yield", mvcOutput}};
    for (auto [name, type] : expected) {
        auto p = Param(calc_.get(), name);
        ASSERT_TRUE(p) << mv::ToUtf8(name);
        LONG actual = 0;
        p->get_ParameterType(&actual);
        EXPECT_EQ(actual, type);
    }
    EXPECT_EQ(Ids(), (std::vector<DISPID>{kOpen, 0x60030010}));

    // An empty workbook name twice fails.
    hosted::Reset();
    hosted::SetResult(hosted::Server::Excel, kOpen, mv::Variant(u""));
    EXPECT_EQ(calc_->ExcelAutoAddParameters(), E_FAIL);
    EXPECT_EQ(Ids(), (std::vector<DISPID>{kOpen, kOpen}));
}

TEST_F(ExcelFormula, UnloadClosesTheWorkbookNamedAfterTheLastSeparator) {
    for (const char16_t* file : {u"C:\\Data\\Plant.xls", u"/data/Plant.xls", u"Plant.xls"}) {
        calc_->put_ExcelFileName(mv::Bstr(u"/data/Plant.xls").get());
        EXPECT_EQ(Run(), "");
        ASSERT_TRUE(hosted::IsWorkbookOpen(u"Plant.xls"));
        hosted::Reset();
        hosted::SeedWorkbook(u"Plant.xls", {u"Sheet1"});
        EXPECT_EQ(calc_->ExcelAutoAddParameters(), S_OK);  // opens it, adds nothing
        calc_->put_ExcelFileName(mv::Bstr(file).get());
        EXPECT_EQ(calc_->UnloadExcelFile(), S_OK);
        EXPECT_FALSE(hosted::IsWorkbookOpen(u"Plant.xls"));
        EXPECT_EQ(hosted::Calls().back().args, (std::vector<std::string>{"Plant.xls", "0"}));
        // A failing close call gives E_UNEXPECTED.
        EXPECT_EQ(calc_->UnloadExcelFile(), E_UNEXPECTED);
    }
}

TEST(ExcelWorkbookLock, IsOneForEveryPathToAWorkbookName) {
    const auto lock = MvExcelWorkbookLock("/data/Plant.xls");
    for (const char* file : {"C:\\Data\\Plant.xls", "PLANT.XLS", "x/y\\plant.xls"})
        EXPECT_EQ(MvExcelWorkbookLock(file), lock) << file;
    for (const char* file : {"/data/Plant.xlsx", "/Plant.xls/Other.xls", "Plant"})
        EXPECT_NE(MvExcelWorkbookLock(file), lock) << file;
}

// Every message of one failed call, by what was thrown.
TEST(ExcelFailureText, EachCallKindAndExceptionGivesItsMessage) {
    const MvExcelTarget target{"S", 4, 7, "N"};
    auto dispatch = std::make_exception_ptr(COleDispatchException(E_FAIL, u"Busy", u"x"));
    auto logic = std::make_exception_ptr(std::logic_error("L"));
    auto runtime = std::make_exception_ptr(std::runtime_error("R"));
    auto other = std::make_exception_ptr(42);
    struct Row {
        MvExcelCall call;
        const char* withMessage;
        const char* without;
    } rows[] = {
        {MvExcelCall::CellWrite, "Error storing value in Sheet: 'S' Cell(4, 7). Busy.\n",
         "Error storing value in Sheet: 'S' Cell(4, 7).\n"},
        {MvExcelCall::NameWrite, "Error storing value in Sheet: 'S' Range 'N'. Busy.\n",
         "Error storing value in Sheet: 'S' Range 'N'.\n"},
        {MvExcelCall::Command, "Error Executing Command: 'N'. Busy.\n",
         "Error Executing Command: 'N'.\n"},
        {MvExcelCall::CellRead, "Error reading value from Sheet: 'S' Cell(4, 7). Busy.\n",
         "Error reading value from Sheet: 'S' Cell(4, 7).\n"},
        {MvExcelCall::NameRead, "Error reading value from Sheet: 'S' Cell 'N'. Busy.\n",
         "Error reading value from Sheet: 'S' Cell 'N'.\n"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(MvExcelCallFailureText(dispatch, r.call, target), r.withMessage);
        EXPECT_EQ(MvExcelCallFailureText(logic, r.call, target), "A logic error occurred: L");
        EXPECT_EQ(MvExcelCallFailureText(runtime, r.call, target), "A runtime error occurred: R.");
        EXPECT_EQ(MvExcelCallFailureText(other, r.call, target), r.without);
        EXPECT_EQ(MvExcelCellRangeText(r.call, target), r.without);
    }
    EXPECT_EQ(MvExcelWorkbookFailureText(dispatch, "P.xls", false),
              "Error opening workbook 'P.xls'. Busy.\n");
    EXPECT_EQ(MvExcelWorkbookFailureText(other, "P.xls", true),
              "Error closing workbook 'P.xls'.\n");
}

}  // namespace
}  // namespace calculation_test
