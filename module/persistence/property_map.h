// Property maps: the ordered, static table of persisted properties of a
// class. The stream and XML engines read every value through the object's
// IDispatch by the row's DISPID; the map only says which rows to write.
//
//   static constexpr PropertyMapEntry kMap[] = {
//       MvPropertyRow(u"Name", 248),
//       MvPropertyRow(u"*Value", 0),        // written even when it holds its zero
//       MvPropertyRow(u"Parameters", 2001), // a child collection
//       MvPropertyMapEnd(),
//   };
#pragma once

#include "oleaut.h"

// One row. A leading '*' in the name marks a property that is written even
// when it holds its type's zero. A null property-page pointer ends the map.
struct PropertyMapEntry {
    const OLECHAR* szDesc;
    const CLSID* pclsidPropPage;
    const IID* piidDispatch;
    const void* pClsidArray;
    DWORD dwClsidCount;
    DISPID dispid;
    DWORD dwOffsetData;
    DWORD dwSizeData;
    VARTYPE vt;
};

// The record that ends an object's record stream.
constexpr DISPID MV_DISPID_NULL = -2000;
// Records above this DISPID hold a child collection's own stream.
constexpr DISPID MV_DISPID_CHILD_LIMIT = 2000;

constexpr PropertyMapEntry MvPropertyRow(const OLECHAR* name, DISPID dispid) {
    return PropertyMapEntry{name, &CLSID_NULL, &IID_IDispatch, nullptr, 0, dispid, 0, 0, VT_EMPTY};
}
constexpr PropertyMapEntry MvPropertyMapEnd() {
    return PropertyMapEntry{nullptr, nullptr, &IID_NULL, nullptr, 0, 0, 0, 0, VT_EMPTY};
}

// True when the value holds its type's zero: VT_I2, VT_I4 and VT_BOOL 0,
// VT_R4, VT_R8 and VT_DATE equal to 0.0 (either sign; NaN is not zero), a
// null or empty VT_BSTR, a null VT_DISPATCH. Every other type (VT_EMPTY and
// VT_NULL included) is never zero.
bool MvPersist_IsZeroValue(const VARIANT& value) noexcept;
