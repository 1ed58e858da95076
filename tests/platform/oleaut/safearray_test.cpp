#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "oleaut.h"
#include "test_support.h"

namespace {

using mv::test::CountedObject;
using mv::test::Utf8;

// Owns an array for the length of a test.
struct Array {
    SAFEARRAY* psa;
    explicit Array(SAFEARRAY* p) : psa(p) {}
    ~Array() {
        if (psa) {
            EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
        }
    }
};

struct TypeCase {
    VARTYPE vt;
    UINT size;
    USHORT features;
};

const TypeCase kTypes[] = {
    {VT_I1, 1, FADF_HAVEVARTYPE},
    {VT_UI1, 1, FADF_HAVEVARTYPE},
    {VT_I2, 2, FADF_HAVEVARTYPE},
    {VT_UI2, 2, FADF_HAVEVARTYPE},
    {VT_BOOL, 2, FADF_HAVEVARTYPE},
    {VT_I4, 4, FADF_HAVEVARTYPE},
    {VT_UI4, 4, FADF_HAVEVARTYPE},
    {VT_INT, 4, FADF_HAVEVARTYPE},
    {VT_UINT, 4, FADF_HAVEVARTYPE},
    {VT_R4, 4, FADF_HAVEVARTYPE},
    {VT_ERROR, 4, FADF_HAVEVARTYPE},
    {VT_I8, 8, FADF_HAVEVARTYPE},
    {VT_UI8, 8, FADF_HAVEVARTYPE},
    {VT_R8, 8, FADF_HAVEVARTYPE},
    {VT_CY, 8, FADF_HAVEVARTYPE},
    {VT_DATE, 8, FADF_HAVEVARTYPE},
    {VT_DECIMAL, 16, FADF_HAVEVARTYPE},
    {VT_VARIANT, 16, FADF_HAVEVARTYPE | FADF_VARIANT},
    {VT_BSTR, sizeof(void*), FADF_HAVEVARTYPE | FADF_BSTR},
    {VT_UNKNOWN, sizeof(void*), FADF_HAVEIID | FADF_UNKNOWN},
    {VT_DISPATCH, sizeof(void*), FADF_HAVEIID | FADF_DISPATCH},
};

TEST(SafeArray, CreateDescribesEachElementType) {
    for (const TypeCase& c : kTypes) {
        SCOPED_TRACE(c.vt);
        SAFEARRAYBOUND b[] = {{3, 0}, {2, 5}};
        Array a(SafeArrayCreate(c.vt, 2, b));
        ASSERT_NE(a.psa, nullptr);
        EXPECT_EQ(SafeArrayGetElemsize(a.psa), c.size);
        EXPECT_EQ(a.psa->cbElements, c.size);
        EXPECT_EQ(a.psa->fFeatures, c.features);
        EXPECT_EQ(a.psa->cLocks, 0u);
        EXPECT_EQ(SafeArrayGetDim(a.psa), 2u);
        VARTYPE vt = VT_EMPTY;
        ASSERT_EQ(SafeArrayGetVartype(a.psa, &vt), S_OK);
        EXPECT_EQ(vt, c.vt);
        // New elements are zero: 0, a null BSTR or pointer, VT_EMPTY.
        void* data = nullptr;
        ASSERT_EQ(SafeArrayAccessData(a.psa, &data), S_OK);
        const std::vector<unsigned char> zero(6 * c.size, 0);
        EXPECT_EQ(std::memcmp(data, zero.data(), zero.size()), 0);
        SafeArrayUnaccessData(a.psa);
    }
}

TEST(SafeArray, CreateRefusesWhatItCannotHold) {
    SAFEARRAYBOUND one{4, 0};
    const VARTYPE bad[] = {VT_NULL, 15, VT_VOID, VT_RECORD, VT_I4 | VT_BYREF, VT_I4 | VT_ARRAY};
    for (const VARTYPE vt : bad) {
        EXPECT_EQ(SafeArrayCreate(vt, 1, &one), nullptr) << vt;
        EXPECT_EQ(SafeArrayCreateVector(vt, 0, 4), nullptr) << vt;
    }
    EXPECT_EQ(SafeArrayCreate(VT_I4, 0, &one), nullptr);
    EXPECT_EQ(SafeArrayCreate(VT_I4, 1, nullptr), nullptr);
    // More than a 32-bit size can hold.
    EXPECT_EQ(SafeArrayCreateVector(VT_VARIANT, 0, 0xFFFFFFFFu), nullptr);
    SAFEARRAYBOUND huge[] = {{0x10000, 0}, {0x10000, 0}, {0x10000, 0}};
    EXPECT_EQ(SafeArrayCreate(VT_UI1, 3, huge), nullptr);
}

TEST(SafeArray, DescriptorKeepsBoundsInReverseOrder) {
    SAFEARRAYBOUND b[] = {{2, 1}, {3, 0}, {4, -2}};
    Array a(SafeArrayCreate(VT_I4, 3, b));
    ASSERT_NE(a.psa, nullptr);
    // rgsabound[0] is the last dimension given.
    const SAFEARRAYBOUND* stored = a.psa->rgsabound;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(stored[i].cElements, b[2 - i].cElements);
        EXPECT_EQ(stored[i].lLbound, b[2 - i].lLbound);
    }
    struct Case {
        UINT dim;
        HRESULT hr;
        LONG lower, upper;
    };
    const Case cases[] = {
        {1, S_OK, 1, 2},
        {2, S_OK, 0, 2},
        {3, S_OK, -2, 1},
        {0, DISP_E_BADINDEX, 0, 0},
        {4, DISP_E_BADINDEX, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dim);
        LONG lower = 0, upper = 0;
        EXPECT_EQ(SafeArrayGetLBound(a.psa, c.dim, &lower), c.hr);
        EXPECT_EQ(SafeArrayGetUBound(a.psa, c.dim, &upper), c.hr);
        EXPECT_EQ(lower, c.lower);
        EXPECT_EQ(upper, c.upper);
    }
}

TEST(SafeArray, FirstIndexVariesFastestInMemory) {
    // rgIndices[0] indexes the first dimension given at creation; the
    // platform's documentation calls it the least significant one.
    SAFEARRAYBOUND b[] = {{2, 10}, {3, 20}};
    Array a(SafeArrayCreate(VT_I4, 2, b));
    struct Case {
        LONG i, j;
        ptrdiff_t element;
    };
    const Case cases[] = {{10, 20, 0}, {11, 20, 1}, {10, 21, 2}, {11, 22, 5}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.element);
        LONG idx[] = {c.i, c.j};
        void* p = nullptr;
        ASSERT_EQ(SafeArrayPtrOfIndex(a.psa, idx, &p), S_OK);
        EXPECT_EQ(static_cast<LONG*>(p) - static_cast<LONG*>(a.psa->pvData), c.element);
    }
}

TEST(SafeArray, IndexOutsideAnyDimensionIsRefused) {
    SAFEARRAYBOUND b[] = {{2, -1}, {3, 4}};
    Array a(SafeArrayCreate(VT_BSTR, 2, b));
    const LONG bad[][2] = {{-2, 4}, {1, 4}, {0, 3}, {0, 7}, {INT32_MIN, 4}, {0, INT32_MAX}};
    for (const auto& k : bad) {
        SCOPED_TRACE(std::to_string(k[0]) + "," + std::to_string(k[1]));
        LONG idx[] = {k[0], k[1]};
        void* p = nullptr;
        BSTR out = nullptr;
        EXPECT_EQ(SafeArrayPtrOfIndex(a.psa, idx, &p), DISP_E_BADINDEX);
        EXPECT_EQ(SafeArrayGetElement(a.psa, idx, &out), DISP_E_BADINDEX);
        EXPECT_EQ(SafeArrayPutElement(a.psa, idx, out), DISP_E_BADINDEX);
    }
    Array empty(SafeArrayCreateVector(VT_I4, 0, 0));
    ASSERT_NE(empty.psa, nullptr);
    LONG zero = 0;
    void* p = nullptr;
    EXPECT_EQ(SafeArrayPtrOfIndex(empty.psa, &zero, &p), DISP_E_BADINDEX);
    LONG upper = 5;
    EXPECT_EQ(SafeArrayGetUBound(empty.psa, 1, &upper), S_OK);
    EXPECT_EQ(upper, -1);
}

TEST(SafeArray, NullArgumentsAreRefused) {
    Array a(SafeArrayCreateVector(VT_I4, 0, 1));
    LONG idx = 0, value = 0;
    void* p = nullptr;
    VARTYPE vt;
    SAFEARRAY* out = nullptr;
    EXPECT_EQ(SafeArrayGetElement(nullptr, &idx, &value), E_INVALIDARG);
    EXPECT_EQ(SafeArrayGetElement(a.psa, nullptr, &value), E_INVALIDARG);
    EXPECT_EQ(SafeArrayGetElement(a.psa, &idx, nullptr), E_INVALIDARG);
    EXPECT_EQ(SafeArrayPutElement(nullptr, &idx, &value), E_INVALIDARG);
    EXPECT_EQ(SafeArrayPutElement(a.psa, nullptr, &value), E_INVALIDARG);
    EXPECT_EQ(SafeArrayPutElement(a.psa, &idx, nullptr), E_INVALIDARG);
    EXPECT_EQ(SafeArrayPtrOfIndex(nullptr, &idx, &p), E_INVALIDARG);
    EXPECT_EQ(SafeArrayPtrOfIndex(a.psa, &idx, nullptr), E_INVALIDARG);
    EXPECT_EQ(SafeArrayGetLBound(nullptr, 1, &value), E_INVALIDARG);
    EXPECT_EQ(SafeArrayGetUBound(a.psa, 1, nullptr), E_INVALIDARG);
    EXPECT_EQ(SafeArrayGetVartype(nullptr, &vt), E_INVALIDARG);
    EXPECT_EQ(SafeArrayGetVartype(a.psa, nullptr), E_INVALIDARG);
    EXPECT_EQ(SafeArrayAccessData(nullptr, &p), E_INVALIDARG);
    EXPECT_EQ(SafeArrayAccessData(a.psa, nullptr), E_INVALIDARG);
    EXPECT_EQ(SafeArrayLock(nullptr), E_INVALIDARG);
    EXPECT_EQ(SafeArrayUnlock(nullptr), E_INVALIDARG);
    EXPECT_EQ(SafeArrayRedim(nullptr, nullptr), E_INVALIDARG);
    EXPECT_EQ(SafeArrayRedim(a.psa, nullptr), E_INVALIDARG);
    EXPECT_EQ(SafeArrayCopy(a.psa, nullptr), E_INVALIDARG);
    EXPECT_EQ(SafeArrayCopyData(nullptr, a.psa), E_INVALIDARG);
    EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
    EXPECT_EQ(SafeArrayGetDim(nullptr), 0u);
    EXPECT_EQ(SafeArrayGetElemsize(nullptr), 0u);
    // Copying no array gives no array.
    out = a.psa;
    EXPECT_EQ(SafeArrayCopy(nullptr, &out), S_OK);
    EXPECT_EQ(out, nullptr);
}

TEST(SafeArray, ScalarsGoInAndOutByValue) {
    struct Case {
        VARTYPE vt;
        ULONGLONG value;  // the low cbElements bytes are used
    };
    // One type of each element size: scalars are copied by their size.
    const Case cases[] = {
        {VT_I1, 0x80}, {VT_I2, 0x8001}, {VT_R4, 0x3FC00000}, {VT_R8, 0x4002000000000000ull}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.vt);
        Array a(SafeArrayCreateVector(c.vt, -1, 3));
        for (LONG i = -1; i <= 1; ++i) {
            ULONGLONG in = c.value + static_cast<ULONGLONG>(i + 1);
            ASSERT_EQ(SafeArrayPutElement(a.psa, &i, &in), S_OK);
        }
        for (LONG i = -1; i <= 1; ++i) {
            ULONGLONG out = 0;
            ASSERT_EQ(SafeArrayGetElement(a.psa, &i, &out), S_OK);
            ULONGLONG expected = 0;
            const ULONGLONG in = c.value + static_cast<ULONGLONG>(i + 1);
            std::memcpy(&expected, &in, a.psa->cbElements);
            EXPECT_EQ(out, expected);  // and nothing written past the element
        }
    }
    DECIMAL dec{};
    dec.Hi32 = 7;
    dec.Lo64 = 99;
    dec.scale = 3;
    Array d(SafeArrayCreateVector(VT_DECIMAL, 0, 1));
    LONG i = 0;
    ASSERT_EQ(SafeArrayPutElement(d.psa, &i, &dec), S_OK);
    DECIMAL back{};
    ASSERT_EQ(SafeArrayGetElement(d.psa, &i, &back), S_OK);
    EXPECT_EQ(std::memcmp(&back, &dec, sizeof dec), 0);
}

TEST(SafeArray, BstrElementsAreCopiedInAndOut) {
    Array a(SafeArrayCreateVector(VT_BSTR, 0, 2));
    LONG i = 0;
    BSTR mine = SysAllocStringByteLen("odd", 3);
    ASSERT_EQ(SafeArrayPutElement(a.psa, &i, mine), S_OK);
    BSTR* slot = nullptr;
    SafeArrayPtrOfIndex(a.psa, &i, reinterpret_cast<void**>(&slot));
    EXPECT_NE(*slot, mine);
    EXPECT_EQ(SysStringByteLen(*slot), 3u);
    SysFreeString(mine);
    // Replacing frees the old string; a null BSTR is a value too.
    BSTR other = SysAllocString(u"replaced");
    ASSERT_EQ(SafeArrayPutElement(a.psa, &i, other), S_OK);
    SysFreeString(other);
    BSTR out = reinterpret_cast<BSTR>(0x1);  // not read: treated as uninitialised
    ASSERT_EQ(SafeArrayGetElement(a.psa, &i, &out), S_OK);
    EXPECT_EQ(Utf8(out), "replaced");
    EXPECT_NE(out, *slot);
    SysFreeString(out);
    ASSERT_EQ(SafeArrayPutElement(a.psa, &i, nullptr), S_OK);
    EXPECT_EQ(*slot, nullptr);
    i = 1;
    out = reinterpret_cast<BSTR>(0x1);
    ASSERT_EQ(SafeArrayGetElement(a.psa, &i, &out), S_OK);
    EXPECT_EQ(out, nullptr);
}

TEST(SafeArray, InterfaceElementsHoldTheirOwnReferences) {
    CountedObject first, second;
    {
        Array a(SafeArrayCreateVector(VT_DISPATCH, 0, 2));
        LONG i = 0;
        ASSERT_EQ(SafeArrayPutElement(a.psa, &i, static_cast<IDispatch*>(&first)), S_OK);
        EXPECT_EQ(first.refs, 2u);
        IDispatch* out = nullptr;
        ASSERT_EQ(SafeArrayGetElement(a.psa, &i, &out), S_OK);
        EXPECT_EQ(out, &first);
        EXPECT_EQ(first.refs, 3u);
        out->Release();
        // Putting the same object again keeps one reference.
        ASSERT_EQ(SafeArrayPutElement(a.psa, &i, static_cast<IDispatch*>(&first)), S_OK);
        EXPECT_EQ(first.refs, 2u);
        ASSERT_EQ(SafeArrayPutElement(a.psa, &i, static_cast<IDispatch*>(&second)), S_OK);
        EXPECT_EQ(first.refs, 1u);
        i = 1;
        ASSERT_EQ(SafeArrayPutElement(a.psa, &i, static_cast<IDispatch*>(&second)), S_OK);
        EXPECT_EQ(second.refs, 3u);
        SAFEARRAY* copy = nullptr;
        ASSERT_EQ(SafeArrayCopy(a.psa, &copy), S_OK);
        EXPECT_EQ(second.refs, 5u);
        EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
        EXPECT_EQ(second.refs, 3u);
    }
    EXPECT_EQ(second.refs, 1u);
}

TEST(SafeArray, VariantElementsAreDeepCopies) {
    Array a(SafeArrayCreateVector(VT_VARIANT, 0, 1));
    LONG i = 0;
    mv::Variant in(u"text");
    ASSERT_EQ(SafeArrayPutElement(a.psa, &i, &in), S_OK);
    VARIANT* slot = nullptr;
    SafeArrayPtrOfIndex(a.psa, &i, reinterpret_cast<void**>(&slot));
    EXPECT_NE(slot->bstrVal, in.bstrVal);
    VARIANT out;
    out.vt = 0xFFFF;  // uninitialised storage is fine
    ASSERT_EQ(SafeArrayGetElement(a.psa, &i, &out), S_OK);
    EXPECT_EQ(out.vt, VT_BSTR);
    EXPECT_NE(out.bstrVal, slot->bstrVal);
    EXPECT_EQ(Utf8(out), "text");
    VariantClear(&out);
    VARIANT bad;
    bad.vt = VT_VOID;
    EXPECT_EQ(SafeArrayPutElement(a.psa, &i, &bad), DISP_E_BADVARTYPE);
    EXPECT_EQ(slot->vt, VT_BSTR);
}

TEST(SafeArray, LocksBlockDestroyAndRedim) {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, 2);
    SAFEARRAYBOUND grow{4, 0};
    void* data = nullptr;
    ASSERT_EQ(SafeArrayLock(psa), S_OK);
    ASSERT_EQ(SafeArrayAccessData(psa, &data), S_OK);
    EXPECT_EQ(data, psa->pvData);
    EXPECT_EQ(psa->cLocks, 2u);
    EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(SafeArrayRedim(psa, &grow), DISP_E_ARRAYISLOCKED);
    // Elements can still be read and written while locked.
    LONG i = 1;
    BSTR s = SysAllocString(u"while locked");
    EXPECT_EQ(SafeArrayPutElement(psa, &i, s), S_OK);
    SysFreeString(s);
    EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
    EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(SafeArrayUnlock(psa), S_OK);
    EXPECT_EQ(SafeArrayUnlock(psa), E_UNEXPECTED);  // not locked
    EXPECT_EQ(psa->cLocks, 0u);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArray, RedimChangesTheLastDimensionAndKeepsElements) {
    struct Case {
        const char* name;
        SAFEARRAYBOUND bound;  // new bound of the last dimension
    };
    const Case cases[] = {
        {"grow", {4, 0}},
        {"shrink", {1, 0}},
        {"empty", {0, 0}},
        {"move lower bound", {3, 5}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SAFEARRAYBOUND b[] = {{2, 0}, {3, 0}};
        Array a(SafeArrayCreate(VT_BSTR, 2, b));
        for (LONG j = 0; j < 3; ++j) {
            for (LONG i = 0; i < 2; ++i) {
                LONG idx[] = {i, j};
                mv::Bstr text(std::to_string(i) + std::to_string(j));
                ASSERT_EQ(SafeArrayPutElement(a.psa, idx, text.get()), S_OK);
            }
        }
        SAFEARRAYBOUND nb = c.bound;
        ASSERT_EQ(SafeArrayRedim(a.psa, &nb), S_OK);
        LONG lower = 0, upper = 0;
        SafeArrayGetLBound(a.psa, 2, &lower);
        SafeArrayGetUBound(a.psa, 2, &upper);
        EXPECT_EQ(lower, c.bound.lLbound);
        EXPECT_EQ(upper, c.bound.lLbound + static_cast<LONG>(c.bound.cElements) - 1);
        SafeArrayGetUBound(a.psa, 1, &upper);
        EXPECT_EQ(upper, 1);  // the first dimension is untouched
        // Element k of the data keeps its value; added ones are null.
        for (ULONG k = 0; k < 2 * c.bound.cElements; ++k) {
            LONG idx[] = {static_cast<LONG>(k % 2), c.bound.lLbound + static_cast<LONG>(k / 2)};
            BSTR out = nullptr;
            ASSERT_EQ(SafeArrayGetElement(a.psa, idx, &out), S_OK);
            const std::string expected =
                k < 6 ? std::to_string(k % 2) + std::to_string(k / 2) : std::string();
            EXPECT_EQ(mv::Bstr::Attach(out).Utf8(), expected) << k;
        }
    }
}

TEST(SafeArray, RedimTooLargeFailsAndLeavesTheArray) {
    Array a(SafeArrayCreateVector(VT_VARIANT, 2, 3));
    SAFEARRAYBOUND huge{0xFFFFFFFFu, 0};
    EXPECT_EQ(SafeArrayRedim(a.psa, &huge), E_OUTOFMEMORY);
    LONG lower = 0, upper = 0;
    SafeArrayGetLBound(a.psa, 1, &lower);
    SafeArrayGetUBound(a.psa, 1, &upper);
    EXPECT_EQ(lower, 2);
    EXPECT_EQ(upper, 4);
}

TEST(SafeArray, CopyIsDeepAndIndependent) {
    SAFEARRAYBOUND b[] = {{2, 1}, {2, -1}};
    Array a(SafeArrayCreate(VT_VARIANT, 2, b));
    LONG idx[] = {2, 0};
    mv::Variant text(u"deep");
    SafeArrayPutElement(a.psa, idx, &text);
    SAFEARRAY* raw = nullptr;
    ASSERT_EQ(SafeArrayCopy(a.psa, &raw), S_OK);
    Array copy(raw);
    EXPECT_NE(copy.psa->pvData, a.psa->pvData);
    EXPECT_EQ(std::memcmp(copy.psa->rgsabound, a.psa->rgsabound, 2 * sizeof(SAFEARRAYBOUND)), 0);
    VARTYPE vt = VT_EMPTY;
    SafeArrayGetVartype(copy.psa, &vt);
    EXPECT_EQ(vt, VT_VARIANT);
    VARIANT *original = nullptr, *copied = nullptr;
    SafeArrayPtrOfIndex(a.psa, idx, reinterpret_cast<void**>(&original));
    SafeArrayPtrOfIndex(copy.psa, idx, reinterpret_cast<void**>(&copied));
    EXPECT_NE(original->bstrVal, copied->bstrVal);
    EXPECT_EQ(Utf8(*copied), "deep");
}

TEST(SafeArray, CopyDataNeedsTheSameShape) {
    SAFEARRAYBOUND b[] = {{2, 0}, {2, 0}};
    Array source(SafeArrayCreate(VT_BSTR, 2, b));
    Array target(SafeArrayCreate(VT_BSTR, 2, b));
    LONG idx[] = {1, 1};
    mv::Bstr s(std::string("from source"));
    mv::Bstr t(std::string("old target"));
    SafeArrayPutElement(source.psa, idx, s.get());
    SafeArrayPutElement(target.psa, idx, t.get());
    ASSERT_EQ(SafeArrayCopyData(source.psa, target.psa), S_OK);
    BSTR out = nullptr;
    SafeArrayGetElement(target.psa, idx, &out);
    EXPECT_EQ(mv::Bstr::Attach(out).Utf8(), "from source");
    EXPECT_EQ(SafeArrayCopyData(source.psa, source.psa), S_OK);

    struct Case {
        const char* name;
        VARTYPE vt;
        UINT dims;
        SAFEARRAYBOUND bounds[2];
    };
    const Case mismatched[] = {
        {"other bounds", VT_BSTR, 2, {{2, 0}, {2, 1}}},
        {"other dims", VT_BSTR, 1, {{4, 0}, {}}},
        {"same size, other kind", VT_I8, 2, {{2, 0}, {2, 0}}},
    };
    for (const Case& c : mismatched) {
        SCOPED_TRACE(c.name);
        SAFEARRAYBOUND bounds[2] = {c.bounds[0], c.bounds[1]};
        Array other(SafeArrayCreate(c.vt, c.dims, bounds));
        EXPECT_EQ(SafeArrayCopyData(source.psa, other.psa), E_INVALIDARG);
    }
}

}  // namespace
