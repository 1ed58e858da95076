// Per-thread error information and the error report helper.
#include <gtest/gtest.h>

#include "comobj_test_widget.h"

namespace {

MV_DEFINE_GUID(IID_ISomething, 0xABCDEF01, 0x1234, 0x5678, 0x9A, 0xBC, 0xDE, 0xF0, 0x12, 0x34, 0x56,
               0x78);

class ErrorInfoTest : public ::testing::Test {
protected:
    void SetUp() override { SetErrorInfo(0, nullptr); }
    void TearDown() override {
        SetErrorInfo(0, nullptr);
        EXPECT_EQ(0, mv::ModuleLockCount());
    }
};

std::u16string Description(IErrorInfo* info) {
    mv::Bstr b;
    EXPECT_EQ(S_OK, info->GetDescription(b.Out()));
    return std::u16string(b.view());
}

TEST_F(ErrorInfoTest, ReadingHandsTheReportOverOnce) {
    IErrorInfo* info = reinterpret_cast<IErrorInfo*>(0x1);
    EXPECT_EQ(S_FALSE, GetErrorInfo(0, &info));
    EXPECT_EQ(nullptr, info);

    EXPECT_EQ(E_ABORT, mv::ReportError(u"Morva.Test.1", IID_ISomething, u"first", E_ABORT));
    EXPECT_EQ(E_FAIL, mv::ReportError(u"Morva.Test.1", IID_ISomething, u"second", E_FAIL));
    mv::ComPtr<IErrorInfo> got;
    ASSERT_EQ(S_OK, GetErrorInfo(0, got.Put()));
    EXPECT_EQ(u"second", Description(got.get())) << "a new report replaces the old one";
    mv::Bstr source;
    ASSERT_EQ(S_OK, got->GetSource(source.Out()));
    EXPECT_EQ(u"Morva.Test.1", source.view());
    GUID guid{};
    ASSERT_EQ(S_OK, got->GetGUID(&guid));
    EXPECT_EQ(IID_ISomething, guid);
    EXPECT_EQ(S_FALSE, GetErrorInfo(0, &info));

    // Setting null clears; an object set by hand comes back as it was.
    ASSERT_EQ(S_OK, SetErrorInfo(0, got.get()));
    ASSERT_EQ(S_OK, SetErrorInfo(0, nullptr));
    EXPECT_EQ(S_FALSE, GetErrorInfo(0, &info));
    ASSERT_EQ(S_OK, SetErrorInfo(0, got.get()));
    mv::ComPtr<IErrorInfo> back;
    ASSERT_EQ(S_OK, GetErrorInfo(0, back.Put()));
    EXPECT_EQ(got.get(), back.get());
}

TEST_F(ErrorInfoTest, BadArgumentsAreRefused) {
    IErrorInfo* info = nullptr;
    EXPECT_EQ(E_INVALIDARG, GetErrorInfo(0, nullptr));
    EXPECT_EQ(E_INVALIDARG, GetErrorInfo(1, &info));
    EXPECT_EQ(E_INVALIDARG, SetErrorInfo(1, nullptr));
    EXPECT_EQ(E_INVALIDARG, CreateErrorInfo(nullptr));
    mv::ComPtr<ICreateErrorInfo> create;
    ASSERT_EQ(S_OK, CreateErrorInfo(create.Put()));
    mv::ComPtr<IErrorInfo> read;
    ASSERT_EQ(S_OK, create.As(&read));
    EXPECT_EQ(E_INVALIDARG, read->GetDescription(nullptr));
    EXPECT_EQ(E_INVALIDARG, read->GetGUID(nullptr));
    // A created object starts empty: no text, no help context.
    DWORD context = 7;
    ASSERT_EQ(S_OK, read->GetHelpContext(&context));
    EXPECT_EQ(0u, context);
    EXPECT_EQ(u"", Description(read.get()));
}

TEST_F(ErrorInfoTest, SupportErrorInfoAnswersForListedInterfaces) {
    mv::ComPtr<ITestWidget> widget = MakeWidget();
    mv::ComPtr<ISupportErrorInfo> support;
    ASSERT_EQ(S_OK, widget.As(&support));
    EXPECT_EQ(S_OK, support->InterfaceSupportsErrorInfo(IID_ITestWidget));
    EXPECT_EQ(S_FALSE, support->InterfaceSupportsErrorInfo(IID_IDispatch));
}

}  // namespace
