// The fixture of the spreadsheet formula tests: a calculation of kind 5 on
// the workbook "Plant.xls" of the spreadsheet stand-in, which the
// object-server thread hosts.
#pragma once

#include <string>
#include <vector>

#include "../calculation/calculation_test_support.h"
#include "frame/object_server.h"
#include "frame/tls_slots.h"
#include "hosted_servers_sim.h"

namespace calculation_test {

class ExcelFormula : public testing::Test {
public:
    void SetUp() override {
        AllocateTlsSlots();
        ObjectServer_Stop();
        hosted::Reset();
        ASSERT_EQ(hosted::RegisterServers(hosted::Bit(hosted::Server::Excel)), S_OK);
        hosted::SeedWorkbook(u"Plant.xls", {u"Sheet1", u"B"});
        calc_ = NewCalc();
    }
    void TearDown() override {
        calc_.Reset();
        ObjectServer_Stop();
        hosted::RevokeServers();
        hosted::Reset();
        FreeTlsSlots();
    }
    static mv::ComPtr<IMvCalculation> NewCalc() {
        mv::ComPtr<IMvCalculation> calc;
        EXPECT_EQ(CoCreateInstance(CLSID_MvCalculation, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IMvCalculation, calc.PutVoid()),
                  S_OK);
        calc->put_FormulaType(mvcExcel_Execute_Method);
        calc->put_ExcelFileName(mv::Bstr(u"/data/Plant.xls").get());
        return calc;
    }
    // A parameter at a cell (row and column non-zero) or a defined name.
    static mv::ComPtr<IMvParameter> Cell(IMvCalculation* calc, const char16_t* name, LONG direction,
                                         const char16_t* sheet, LONG row, LONG column,
                                         const VARIANT& value = mv::Variant(),
                                         const char16_t* method = u"") {
        mv::ComPtr<IMvParameter> p;
        EXPECT_EQ(calc->AddParameter(mv::Bstr(name).get(), p.Put()), S_OK);
        p->put_ParameterType(direction);
        p->put_SpreadSheetName(mv::Bstr(sheet).get());
        p->put_SpreadSheetRow(row);
        p->put_SpreadSheetColumn(column);
        p->put_SpreadSheetMethod(mv::Bstr(method).get());
        p->put_Value(value);
        return p;
    }
    // A = 2 at (1, 1), B = 3 at (1, 2), C at (1, 3) their product.
    void Product(IMvCalculation* calc, double a = 2.0, double b = 3.0) {
        Cell(calc, u"A", mvcInput, u"Sheet1", 1, 1, mv::Variant(a));
        Cell(calc, u"B", mvcInput, u"Sheet1", 1, 2, mv::Variant(b));
        Cell(calc, u"C", mvcOutput, u"Sheet1", 1, 3);
        hosted::SeedComputedCell(u"Plant.xls", u"Sheet1", 1, 3, [](const hosted::CellReader& read) {
            mv::Variant x = read(u"Sheet1", 1, 1), y = read(u"Sheet1", 1, 2);
            if (x.vt != VT_R8 || y.vt != VT_R8) return mv::Variant();
            return mv::Variant(x.dblVal * y.dblVal);
        });
    }
    static mv::Variant Value(IMvCalculation* calc, const char16_t* name) {
        mv::Variant v;
        if (auto p = Param(calc, name)) p->get_Value(&v);
        return v;
    }
    std::string Run() {
        EXPECT_EQ(calc_->Calculate(), S_OK);
        return TextOf(calc_.get(), &IMvCalculation::get_ErrorText);
    }
    // The identifiers the spreadsheet server was called with, in order.
    static std::vector<DISPID> Ids() {
        std::vector<DISPID> ids;
        for (const hosted::Call& c : hosted::Calls())
            if (c.server == hosted::Server::Excel) ids.push_back(c.id);
        return ids;
    }

    ServedClasses served_;
    mv::ComPtr<IMvCalculation> calc_;
};

}  // namespace calculation_test
