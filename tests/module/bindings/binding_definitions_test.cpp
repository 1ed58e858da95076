// The lists of a binding-definition set: sized once, and marked per pass.
#include <gtest/gtest.h>

#include "bindings/binding_definitions.h"
#include "comobj.h"
#include "parameters/parameter.h"

namespace {

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
