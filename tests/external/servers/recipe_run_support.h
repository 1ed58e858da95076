// A calculation running the library formula B = 2 x A on recipe-bound
// parameters (A: item 2, B: item 4, both parameter 3, control recipe 5),
// with both recipe servers on the object-server thread.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "../../module/calculation/calculation_test_support.h"
#include "../../module/executors/formula_artefacts.h"
#include "../../module/frame/log_test_support.h"
#include "frame/object_server.h"
#include "frame/tls_slots.h"
#include "hosted_servers_sim.h"

namespace recipe_test {
// Each test program has its own copy: the calculation class is hidden.
namespace {

using namespace calculation_test;

class RecipeRun : public ::testing::Test {
protected:
    void SetUp() override {
        AllocateTlsSlots();
        hosted::Reset();
        ASSERT_EQ(hosted::RegisterServers(), S_OK);
        hosted::SeedControlId(5);
        hosted::SeedRecipeValue(5, 2, 3, mv::Variant(u"42.5"));
        hosted::SeedRecipeValue(5, 4, 3, mv::Variant(u"empty"));
        calc_ = NewCalculation();
        calc_->put_FormulaType(mvcDLL_Execute_Method);
        mv::DispPutPropertyByName(calc_.get(), u"DllName", mv::Variant(u"MvTestFormulas.dll"));
        mv::DispPutPropertyByName(calc_.get(), u"FunctionName", mv::Variant(u"DoubleAIntoB"));
        a_ = Bound(u"A", mvcInput, 2, 3);
        b_ = Bound(u"B", mvcOutput, 4, 3);
        ASSERT_EQ(calc_->CreateDravikConnect(), S_OK);
        calc_->get_DravikConnect(recipe_.Put());
        recipe_->put_DravikControlID(5);
    }
    void TearDown() override {
        recipe_.Reset();
        a_.Reset();
        b_.Reset();
        calc_.Reset();
        ObjectServer_Stop();
        hosted::RevokeServers();
        EXPECT_EQ(hosted::Count(hosted::Counter::RecipeConnectionsAlive), 0);
        hosted::Reset();
        FreeTlsSlots();
    }

    mv::ComPtr<IMvParameter> Bound(const char16_t* name, LONG direction, LONG item,
                                   LONG parameter) {
        mv::ComPtr<IMvParameter> p = Param(calc_.get(), name, true);
        p->put_ParameterType(direction);
        p->put_BindingType(mvcDravik);
        p->put_Type(VT_R8);
        p->put_ItemID(item);
        p->put_ParameterID(parameter);
        return p;
    }
    std::string Run() {
        EXPECT_EQ(calc_->Calculate(), S_OK);
        return TextOf(calc_.get(), &IMvCalculation::get_ErrorText);
    }
    mv::ComPtr<IDispatch> Connection() {
        mv::ComPtr<IDispatch> c;
        EXPECT_EQ(recipe_->get_DravikDataConnection(c.Put()), S_OK);
        return c;
    }

    logtest::ScopedEnv path_{"MORVA_DLL_PATH", formula_test::FormulasDir().c_str()};
    ServedClasses served_;
    Calculation calc_;
    mv::ComPtr<IMvParameter> a_, b_;
    mv::ComPtr<IMvDravikConnect> recipe_;
};

}  // namespace
}  // namespace recipe_test
