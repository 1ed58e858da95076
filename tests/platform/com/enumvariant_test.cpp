// IEnumVARIANT over copied VARIANTs.
#include <gtest/gtest.h>

#include <vector>

#include "com.h"

namespace {

class EnumVariantTest : public ::testing::Test {
protected:
    void SetUp() override {
        items_.emplace_back(LONG{1});
        items_.emplace_back(u"two");
        items_.emplace_back(3.0);
        const VARIANT raw[] = {items_[0], items_[1], items_[2]};
        ASSERT_EQ(S_OK, mv::CreateEnumVariant(raw, 3, e_.Put()));
    }
    void TearDown() override {
        e_.Reset();
        EXPECT_EQ(0, mv::ModuleLockCount());
    }
    std::vector<mv::Variant> items_;
    mv::ComPtr<IEnumVARIANT> e_;
};

// The items' values as text, for comparing sequences.
std::u16string Text(const VARIANT& v) {
    mv::Variant s;
    EXPECT_EQ(S_OK, VariantChangeType(&s, &v, 0, VT_BSTR));
    return std::u16string(s.bstrVal);
}

TEST_F(EnumVariantTest, StepsThroughTheItems) {
    enum Op { kNext, kSkip, kReset };
    struct Step {
        Op op;
        ULONG n;
        HRESULT hr;
        std::vector<std::u16string> got;
    };
    const Step steps[] = {
        {kNext, 1, S_OK, {u"1"}},    {kSkip, 1, S_OK, {}},
        {kNext, 2, S_FALSE, {u"3"}}, {kNext, 1, S_FALSE, {}},
        {kSkip, 1, S_FALSE, {}},     {kReset, 0, S_OK, {}},
        {kNext, 0, S_OK, {}},        {kNext, 5, S_FALSE, {u"1", u"two", u"3"}},
        {kReset, 0, S_OK, {}},       {kSkip, 4, S_FALSE, {}},
    };
    for (const Step& s : steps) {
        if (s.op == kReset) {
            EXPECT_EQ(s.hr, e_->Reset());
        } else if (s.op == kSkip) {
            EXPECT_EQ(s.hr, e_->Skip(s.n));
        } else {
            std::vector<mv::Variant> out(s.n + 1);
            ULONG fetched = 99;
            EXPECT_EQ(s.hr, e_->Next(s.n, out.data(), &fetched));
            ASSERT_EQ(s.got.size(), fetched);
            for (ULONG i = 0; i < fetched; ++i) EXPECT_EQ(s.got[i], Text(out[i]));
            EXPECT_EQ(VT_EMPTY, out[fetched].vt) << "nothing written past the fetched items";
        }
    }
}

TEST_F(EnumVariantTest, ItemsAreCopiesAndClonesKeepTheirOwnPosition) {
    items_[1].Clear();  // the enumerator holds its own copy
    mv::Variant v;
    ASSERT_EQ(S_OK, e_->Next(1, &v, nullptr));
    mv::ComPtr<IEnumVARIANT> clone;
    ASSERT_EQ(S_OK, e_->Clone(clone.Put()));
    ASSERT_EQ(S_OK, e_->Next(1, &v, nullptr));
    EXPECT_EQ(u"two", Text(v));
    v.Clear();
    ASSERT_EQ(S_OK, clone->Next(1, &v, nullptr));
    EXPECT_EQ(u"two", Text(v)) << "the clone starts where the original was";
    v.Clear();
    ASSERT_EQ(S_OK, clone->Reset());
    ASSERT_EQ(S_OK, clone->Next(1, &v, nullptr));
    EXPECT_EQ(u"1", Text(v));
    v.Clear();
    ASSERT_EQ(S_OK, e_->Next(1, &v, nullptr));
    EXPECT_EQ(u"3", Text(v));
}

TEST_F(EnumVariantTest, BadArgumentsAreRefused) {
    mv::Variant v;
    ULONG fetched = 5;
    EXPECT_EQ(E_POINTER, e_->Next(1, nullptr, &fetched));
    EXPECT_EQ(0u, fetched);
    mv::Variant two[2];
    EXPECT_EQ(E_POINTER, e_->Next(2, two, nullptr));
    EXPECT_EQ(E_POINTER, e_->Clone(nullptr));
    IEnumVARIANT* e = reinterpret_cast<IEnumVARIANT*>(0x1);
    EXPECT_EQ(E_INVALIDARG, mv::CreateEnumVariant(nullptr, 2, &e));
    EXPECT_EQ(nullptr, e);
    EXPECT_EQ(E_POINTER, mv::CreateEnumVariant(nullptr, 0, nullptr));
    // An empty enumerator answers S_FALSE at once.
    ASSERT_EQ(S_OK, mv::CreateEnumVariant(nullptr, 0, &e));
    EXPECT_EQ(S_FALSE, e->Next(1, &v, &fetched));
    EXPECT_EQ(0u, fetched);
    e->Release();
}

}  // namespace
