// A value shared between threads is never read half-written, and a call that
// faults never leaves the value's lock held.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "persistence/calc_value.h"

namespace {

mv::ComPtr<IMvCalcValue> NewValue() {
    mv::ComPtr<IMvCalcValue> v;
    EXPECT_EQ(mv::CreateComObject<CMvCalcValue>(nullptr, IID_IMvCalcValue, v.PutVoid()), S_OK);
    return v;
}

TEST(CalcValueConcurrencyTest, ReadersSeeOnlyWholeValues) {
    auto shared = NewValue();
    const std::u16string texts[] = {std::u16string(200, u'a'), std::u16string(3, u'b')};
    constexpr int kRounds = 2000;

    std::vector<std::thread> threads;
    for (int w = 0; w < 2; ++w) {
        threads.emplace_back([&, w] {
            for (int i = 0; i < kRounds; ++i) {
                mv::Variant text(texts[(i + w) % 2]);
                if (i % 3 == 0) {
                    SHORT level = 1;
                    EXPECT_EQ(shared->SetParameterValues(&text, &level, nullptr, nullptr), S_OK);
                } else if (i % 3 == 1) {
                    EXPECT_EQ(shared->put_Value(text), S_OK);
                } else {
                    EXPECT_EQ(shared->put_Value(mv::Variant(LONG{i})), S_OK);
                }
            }
        });
    }
    for (int r = 0; r < 2; ++r) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                mv::Variant got;
                ASSERT_EQ(shared->get_Value(&got), S_OK);
                if (got.vt == VT_BSTR) {
                    std::u16string text(mv::Bstr(got.bstrVal).view());
                    EXPECT_TRUE(text == texts[0] || text == texts[1]);
                } else {
                    EXPECT_TRUE(got.vt == VT_I4 || got.vt == VT_EMPTY) << got.vt;
                }
            }
        });
    }
    for (auto& t : threads) t.join();
}

TEST(CalcValueConcurrencyTest, AFaultingCallLeavesTheLockFree) {
    auto shared = NewValue();
    EXPECT_EQ(shared->get_Value(nullptr), E_UNEXPECTED);
    std::thread other([&] { EXPECT_EQ(shared->put_Value(mv::Variant(LONG{3})), S_OK); });
    other.join();
    mv::Variant got;
    ASSERT_EQ(shared->get_Value(&got), S_OK);
    EXPECT_EQ(got.lVal, 3);
}

}  // namespace
