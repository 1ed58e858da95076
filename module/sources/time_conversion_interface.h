// The product's time-conversion component as the module sees it: one class
// with one conversion interface, whose one operation turns a FILETIME,
// passed as its two 32-bit halves, into the local OLE date of that instant.
#pragma once

#include "comobj.h"

MV_DEFINE_GUID(CLSID_MvTimeConversion, 0x3B8E5F21, 0x7C4D, 0x4A92, 0xB1, 0x6E, 0x52, 0x0F, 0x9D,
               0x3C, 0x84, 0x17);
MV_DEFINE_GUID(IID_IMvTimeConversion, 0x3B8E5F22, 0x7C4D, 0x4A92, 0xB1, 0x6E, 0x52, 0x0F, 0x9D,
               0x3C, 0x84, 0x17);

struct IMvTimeConversion : IUnknown {
    // Overwrites *date with the local OLE date of the FILETIME {low, high}.
    virtual HRESULT FileTimeToLocalDate(ULONG low, ULONG high, DATE* date) = 0;

protected:
    ~IMvTimeConversion() = default;
};

MV_IID_OF(IMvTimeConversion, IID_IMvTimeConversion);
