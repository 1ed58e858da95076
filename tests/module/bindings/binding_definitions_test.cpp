// The lists of a binding-definition set: sized once, and marked per pass.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <new>

#include "bindings/binding_definitions.h"
#include "comobj.h"
#include "parameters/parameter.h"

namespace {

// Which array allocation of this thread fails from now: 1 the next one; 0
// none.
thread_local int t_failingArrayNew = 0;

}  // namespace

// Array allocations of this program go to the allocator behind it (the
// sanitizer's or the C++ library's), but for the one a test makes fail.
void* operator new[](std::size_t size) {
    if (t_failingArrayNew > 0 && --t_failingArrayNew == 0) throw std::bad_alloc();
    static auto* const next = reinterpret_cast<void* (*)(std::size_t)>(dlsym(RTLD_NEXT, "_Znam"));
    return next(size);
}

namespace {

// A list that cannot be allocated is null with its count recorded, and is
// allocated by the next request that can have it.
TEST(BindingDefinitions, AListThatCannotBeAllocatedIsNullUntilItCanBe) {
    for (int failing : {1, 4}) {  // the first scratch array, the definitions
        SCOPED_TRACE(failing);
        BindingDefinitionSet set;
        t_failingArrayNew = failing;
        EXPECT_EQ(set.GetInputs(3), nullptr);
        EXPECT_EQ(t_failingArrayNew, 0);
        EXPECT_EQ(set.InputCount(), 3);
        ASSERT_NE(set.GetInputs(3), nullptr);
        EXPECT_NE(set.InputRecordFields(), nullptr);
        EXPECT_NE(set.InputValuePointers(), nullptr);
        set.MarkInputsPending();
        EXPECT_TRUE(set.IsListUsed(0));
    }
}

TEST(BindingDefinitions, ListsAreSizedByTheFirstRequestAndMarkedPerPass) {
    BindingDefinitionSet set;
    EXPECT_EQ(set.InputCount(), 0);
    BindingDefinition* none = set.GetOutputs(0);
    EXPECT_EQ(set.OutputCount(), 1);
    EXPECT_EQ(none[0].Time, ~uint64_t{0});
    BindingDefinition* inputs = set.GetInputs(3);
    EXPECT_EQ(set.GetInputs(10), inputs);
    EXPECT_EQ(set.InputCount(), 3);
    EXPECT_FALSE(set.IsListUsed(0));

    inputs[0].Flags = kBindingDefined | 0x00050006u;
    inputs[1].Flags = 0x00010007u;
    set.MarkInputsPending();
    EXPECT_TRUE(set.IsListUsed(0));
    EXPECT_FALSE(set.IsListUsed(1));
    EXPECT_EQ(inputs[0].Flags, kBindingDefined | 0x00050000u | kBindingPending);
    EXPECT_EQ(inputs[1].Flags, 0x00010000u);

    mv::ComPtr<mv::ComObject<CMvParameter>> changed, unchanged;
    ASSERT_EQ(mv::MakeComObject(&changed), S_OK);
    ASSERT_EQ(mv::MakeComObject(&unchanged), S_OK);
    changed->put_Changed(1);
    BindingDefinition* outputs = set.GetOutputs(5);
    EXPECT_EQ(outputs, none);
    outputs[0].Flags = kBindingDefined | kBindingMoved;
    outputs[0].Parameter = unchanged.get();
    set.MarkChangedOutputsPending();
    EXPECT_EQ(outputs[0].Flags, kBindingDefined);
    outputs[0].Parameter = changed.get();
    set.MarkChangedOutputsPending();
    EXPECT_EQ(outputs[0].Flags, kBindingDefined | kBindingPending);
    EXPECT_TRUE(set.IsListUsed(1));
}

}  // namespace
