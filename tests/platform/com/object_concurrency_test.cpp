// Reference counts, error information and Invoke from several threads at
// once on shared objects.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "comobj_test_widget.h"

namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 2000;

template <class Fn>
void RunOnThreads(Fn fn) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(fn, t);
    for (std::thread& th : threads) th.join();
}

TEST(ObjectConcurrencyTest, AddRefReleaseAndQueryInterfaceBalance) {
    mv::ComPtr<ITestWidget> widget = MakeWidget();
    RunOnThreads([&](int) {
        for (int i = 0; i < kRounds; ++i) {
            widget->AddRef();
            mv::ComPtr<IDispatch> disp;
            EXPECT_EQ(S_OK, widget.As(&disp));
            mv::ComPtr<ISupportErrorInfo> support;
            EXPECT_EQ(S_OK, disp.As(&support));
            widget->Release();
        }
    });
    // Exactly one reference is left: the next release destroys the object.
    EXPECT_EQ(1, mv::ModuleLockCount());
    EXPECT_EQ(2u, widget->AddRef());
    EXPECT_EQ(1u, widget->Release());
    widget.Reset();
    EXPECT_EQ(0, mv::ModuleLockCount());
}

TEST(ObjectConcurrencyTest, ErrorInformationStaysOnItsThread) {
    mv::ComPtr<ITestWidget> widget = MakeWidget();
    IDispatch* disp = widget.get();
    RunOnThreads([&](int t) {
        const std::u16string mine = u"thread " + mv::ToUtf16(std::to_string(t));
        for (int i = 0; i < kRounds / 4; ++i) {
            mv::ReportError(u"Test.Thread", IID_ITestWidget, mine, E_FAIL);
            mv::ComPtr<IErrorInfo> info;
            ASSERT_EQ(S_OK, GetErrorInfo(0, info.Put()));
            mv::Bstr text;
            info->GetDescription(text.Out());
            EXPECT_EQ(mine, text.view());

            // A failing member called through Invoke reports on this thread.
            mv::Variant code(static_cast<LONG>(E_ABORT));
            DISPPARAMS dp{&code, nullptr, 1, 0};
            EXCEPINFO ei{};
            EXPECT_EQ(DISP_E_EXCEPTION,
                      disp->Invoke(24, IID_NULL, 0, DISPATCH_METHOD, &dp, nullptr, &ei, nullptr));
            EXPECT_EQ(E_ABORT, ei.scode);
            EXPECT_EQ(u"Widget failed on purpose", mv::Bstr::Attach(ei.bstrDescription).view());
            SysFreeString(ei.bstrSource);

            // Concurrent puts and gets on one object.
            mv::Variant value(static_cast<LONG>(i));
            DISPID put = DISPID_PROPERTYPUT;
            DISPPARAMS pp{&value, &put, 1, 1};
            EXPECT_EQ(S_OK, disp->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYPUT, &pp, nullptr,
                                         nullptr, nullptr));
            mv::Variant got;
            EXPECT_EQ(S_OK, mv::DispGetProperty(disp, 1, &got));
            EXPECT_EQ(VT_I4, got.vt);
        }
        SetErrorInfo(0, nullptr);
    });
    widget.Reset();
    EXPECT_EQ(0, mv::ModuleLockCount());
}

}  // namespace
