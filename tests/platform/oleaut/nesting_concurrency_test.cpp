// Arrays nested in arrays far deeper than a thread's stack has frames for,
// copied and freed on threads with small stacks entered at several depths.
#include <gtest/gtest.h>

#include "../../support/bounded_run.h"
#include "oleaut.h"
#include "test_support.h"

namespace {

using mv::test::CountedObject;

// A Variant array of two elements per level, `depth` levels: the array of
// the level below (the innermost: `object`), and the level's number.
VARIANT Nested(int depth, IDispatch* object) {
    VARIANT v;
    v.vt = VT_DISPATCH, v.pdispVal = object;
    object->AddRef();
    for (int level = depth; level > 0; --level) {
        SAFEARRAY* psa = SafeArrayCreateVector(VT_VARIANT, 0, 2);
        auto* items = static_cast<VARIANT*>(psa->pvData);
        items[0] = v;  // owned by the array from here
        items[1].vt = VT_I4, items[1].lVal = level;
        v.vt = VT_ARRAY | VT_VARIANT, v.parray = psa;
    }
    return v;
}

// The levels of a value Nested made, each numbered as it should be, down
// to the object; -1 where a level is not as made.
int LevelsOf(const VARIANT& v, IDispatch* object) {
    const VARIANT* at = &v;
    int levels = 0;
    while (at->vt == (VT_ARRAY | VT_VARIANT)) {
        const auto* items = static_cast<const VARIANT*>(at->parray->pvData);
        if (items[1].vt != VT_I4 || items[1].lVal != ++levels) return -1;
        at = &items[0];
    }
    return at->vt == VT_DISPATCH && at->pdispVal == object ? levels : -1;
}

// VariantCopy, VariantCopyInd and SafeArrayCopy copy the whole depth, and
// VariantClear and SafeArrayDestroy free it (what they leave behind, the
// object's count shows, and the leak check at exit).
TEST(NestedArrays, AreCopiedAndFreedWhateverTheirDepthOnSmallStacks) {
    mv::test::OnThreadsAtSeveralDepths({64 * 1024, 256 * 1024}, [] {
        for (int depth : {3000, 100000}) {
            SCOPED_TRACE(depth);
            CountedObject object;
            VARIANT v = Nested(depth, &object), copy, viaReference, reference;
            VariantInit(&copy), VariantInit(&viaReference);
            reference.vt = VT_BYREF | VT_VARIANT, reference.pvarVal = &v;
            ASSERT_EQ(VariantCopy(&copy, &v), S_OK);
            ASSERT_EQ(VariantCopyInd(&viaReference, &reference), S_OK);
            SAFEARRAY* arrayCopy = nullptr;
            ASSERT_EQ(SafeArrayCopy(v.parray, &arrayCopy), S_OK);
            EXPECT_EQ(LevelsOf(copy, &object), depth);
            EXPECT_EQ(LevelsOf(viaReference, &object), depth);
            EXPECT_NE(copy.parray, v.parray);
            EXPECT_EQ(object.refs, 5u);
            EXPECT_EQ(SafeArrayDestroy(arrayCopy), S_OK);
            for (VARIANT* each : {&copy, &viaReference}) EXPECT_EQ(VariantClear(each), S_OK);
            EXPECT_EQ(object.refs, 2u);
            // A value at the bottom that cannot be copied: what was copied is freed.
            VARIANT* bottom = nullptr;
            for (VARIANT* at = &v; at->vt & VT_ARRAY; at = &bottom[0])
                bottom = static_cast<VARIANT*>(at->parray->pvData);
            bottom[1].vt = VT_VOID;
            EXPECT_EQ(VariantCopy(&copy, &v), DISP_E_BADVARTYPE);
            EXPECT_EQ(copy.vt, VT_EMPTY);
            EXPECT_EQ(object.refs, 2u);
            bottom[1].vt = VT_I4;
            EXPECT_EQ(VariantClear(&v), S_OK);
            EXPECT_EQ(object.refs, 1u);
        }
    });
}

}  // namespace
