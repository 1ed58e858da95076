// The copy chain of a formula object and the per-thread stack of running
// calculations.
#include <thread>

#include "calculation_test_support.h"
#include "frame/tls_slots.h"

namespace calculation_test {
namespace {

class CalculationCopies : public testing::Test {
protected:
    void SetUp() override { AllocateTlsSlots(); }
    void TearDown() override { FreeTlsSlots(); }
};

// What the out pointer holds until AllocateCopy writes it.
IMvCalculation* const kUnwritten = reinterpret_cast<IMvCalculation*>(0x1);

IMvCalculation* Allocate(IMvCalculation* first, HRESULT expected = S_OK) {
    IMvCalculation* copy = kUnwritten;
    EXPECT_EQ(first->AllocateCopy(&copy, 0), expected);
    return copy;
}

// A failed allocation fails the test here instead of calling through what
// it handed out.
void GiveBack(IMvCalculation* copy) {
    ASSERT_NE(copy, nullptr);
    ASSERT_NE(copy, kUnwritten);
    EXPECT_EQ(copy->DeallocateCopy(), S_OK);
    copy->Release();
}

TEST_F(CalculationCopies, FreeInstancesAreHandedOutFirstAndBusyOnesGrowTheChain) {
    const LONG alive = mv::ModuleLockCount();
    IMvCalculation* first = NewCalculation().Detach();
    IMvCalculation* held = Allocate(first);
    EXPECT_EQ(held, first);
    IMvCalculation* other = nullptr;
    std::thread([&] { other = Allocate(first); }).join();
    EXPECT_NE(other, nullptr);
    EXPECT_NE(other, first);
    GiveBack(held);
    GiveBack(other);
    EXPECT_EQ(first->DeallocateCopy(), S_OK);  // already free: no change
    held = Allocate(first);
    EXPECT_EQ(held, first);
    GiveBack(held);

    // One thread nests: the first instance and copies 1 to 10, then refused.
    std::vector<IMvCalculation*> nested;
    for (int i = 0; i < 11; ++i) nested.push_back(Allocate(first));
    EXPECT_EQ(nested[1], other);
    EXPECT_EQ(Allocate(first, E_FAIL), nullptr);
    for (IMvCalculation* copy : nested) GiveBack(copy);
    // The chain kept its ten copies: the same instances come back.
    std::vector<IMvCalculation*> again;
    for (int i = 0; i < 11; ++i) again.push_back(Allocate(first));
    EXPECT_EQ(again, nested);
    for (IMvCalculation* copy : again) GiveBack(copy);

    // Releasing the first instance releases every copy nobody else holds.
    IMvCalculation* kept = Allocate(first);
    kept = Allocate(first);
    first->DeallocateCopy();
    first->Release();
    EXPECT_GT(mv::ModuleLockCount(), alive);
    GiveBack(kept);
    first->Release();  // the reference the first allocation handed out
    EXPECT_EQ(mv::ModuleLockCount(), alive);
}

}  // namespace
}  // namespace calculation_test
