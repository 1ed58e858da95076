// The fixture of the automation-object formula tests: a calculation of kind
// 2 created through the COM runtime against the test automation server, its
// parameters and descriptions built in code, and a thread that keeps its
// identity across the runs it is given.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "../calculation/calculation_test_support.h"
#include "automation_server_sim.h"
#include "frame/tls_slots.h"

namespace calculation_test {

using parameter_test::ExpectSame;
using parameter_test::Typed;

inline ULONGLONG g_ticks = 0;

// A thread that keeps its identity across the calls it runs.
class Worker {
public:
    Worker() : thread_([this] { Loop(); }) {}
    ~Worker() {
        Run(nullptr);
        thread_.join();
    }
    void Run(std::function<void()> work) {
        std::unique_lock lock(m_);
        work_ = work ? std::move(work) : [this] { stop_ = true; };
        cv_.notify_all();
        cv_.wait(lock, [this] { return !work_; });
    }

private:
    void Loop() {
        std::unique_lock lock(m_);
        while (!stop_) {
            cv_.wait(lock, [this] { return static_cast<bool>(work_); });
            work_();
            work_ = nullptr;
            cv_.notify_all();
        }
    }
    std::mutex m_;
    std::condition_variable cv_;
    std::function<void()> work_;
    bool stop_ = false;
    std::thread thread_;
};

class OleFormula : public testing::Test {
public:
    void SetUp() override {
        AllocateTlsSlots();
        autoserver::Reset();
        ASSERT_EQ(autoserver::Register(), S_OK);
        ASSERT_EQ(CoCreateInstance(CLSID_MvCalculation, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IMvCalculation, calc_.PutVoid()),
                  S_OK);
        calc_->put_FormulaType(mvcOLE_Execute_Method);
        calc_->put_OLEObjectName(mv::Bstr(autoserver::kProgId).get());
        mv::SetTickClockForTesting([] { return g_ticks; });
    }
    void TearDown() override {
        calc_.Reset();
        EXPECT_TRUE(autoserver::LiveInstances().empty());
        autoserver::Revoke();
        mv::SetTickClockForTesting(nullptr);
        FreeTlsSlots();
    }
    CMvCalculation& Impl() { return *static_cast<CMvCalculation*>(calc_.get()); }
    mv::ComPtr<IMvParameter> Param(const char16_t* name, LONG direction, LONG type,
                                   const VARIANT& value = mv::Variant()) {
        mv::ComPtr<IMvParameter> p;
        EXPECT_EQ(calc_->AddParameter(mv::Bstr(name).get(), p.Put()), S_OK);
        p->put_ParameterType(direction);
        p->put_Type(type);
        p->put_Value(value);
        return p;
    }
    mv::ComPtr<IMvCalcOLEMethod> Entry(const char16_t* name, LONG field, LONG type,
                                       const char16_t* parameter) {
        mv::ComPtr<IMvCalcOLEMethod> m;
        EXPECT_EQ(calc_->AddOLEMethod(mv::Bstr(name).get(), m.Put()), S_OK);
        m->put_OleObjectFieldType(field);
        m->put_FieldDataType(type);
        m->put_ParameterName(mv::Bstr(parameter).get());
        return m;
    }
    static void Arg(IMvCalcOLEMethod* m, const char16_t* name, LONG direction, LONG type,
                    const char16_t* parameter) {
        mv::ComPtr<IMvCalcOLEArg> a;
        ASSERT_EQ(m->AddArgument(mv::Bstr(name).get(), a.Put()), S_OK);
        a->put_OleMethodArgumentType(direction);
        a->put_ArgumentDataType(type);
        a->put_ParameterName(mv::Bstr(parameter).get());
    }
    // Writes property A from input A, calls Compute(A by value, B by
    // reference as R8, C the parameter object), reads property D into D.
    void Standard() {
        Param(u"A", mvcInput, VT_R8, mv::Variant(2.0));
        Param(u"B", mvcOutput, VT_I4);
        Param(u"C", mvcInput, VT_R8, mv::Variant(5.0));
        Param(u"D", mvcOutput, VT_R8);
        autoserver::DeclareProperty(u"A", mv::Variant());
        autoserver::DeclareProperty(u"D", mv::Variant(7.6));
        autoserver::DeclareMethod(
            u"Compute", [this](autoserver::Instance& self, DISPPARAMS& p, VARIANT* result) {
                seen_.clear();
                for (UINT k = 0; k < p.cArgs; ++k) seen_.push_back(p.rgvarg[k].vt);
                if (p.cArgs == 3) {
                    object_ = p.rgvarg[0].pdispVal;
                    *p.rgvarg[1].pdblVal = p.rgvarg[2].dblVal * 10 + self.Get(u"A").dblVal + 19.5;
                }
                result->vt = VT_BSTR;
                result->bstrVal = SysAllocString(u"done");
                return S_OK;
            });
        Entry(u"A", mvcProperty, VT_R8, u"A");
        auto compute = Entry(u"Compute", mvcMethod, 0, u"ReturnValue");
        Arg(compute.get(), u"a", mvcInput, VT_R8, u"A");
        Arg(compute.get(), u"b", mvcOutput, VT_R8, u"B");
        Arg(compute.get(), u"c", mvcInput, VT_DISPATCH, u"C");
        Entry(u"D", mvcProperty, VT_I4, u"D");
    }
    mv::ComPtr<IMvCalcOLEMethod> Method() {
        mv::ComPtr<IMvCalcOLEMethod> m;
        EXPECT_EQ(calc_->GetOLEMethod(mv::Bstr(u"Compute").get(), m.Put()), S_OK);
        return m;
    }
    mv::Variant Value(const char16_t* name) {
        mv::ComPtr<IMvParameter> p;
        EXPECT_EQ(calc_->GetParameter(mv::Bstr(name).get(), p.Put()), S_OK);
        mv::Variant v;
        if (p) p->get_Value(&v);
        return v;
    }
    std::string Run() {
        EXPECT_EQ(calc_->Calculate(), S_OK);
        return TextOf(calc_.get(), &IMvCalculation::get_ErrorText);
    }

    ServedClasses served_;
    mv::ComPtr<IMvCalculation> calc_;
    std::vector<VARTYPE> seen_;
    IDispatch* object_ = nullptr;
};

}  // namespace calculation_test
