// IMvCalcName: the name under which a collectible object is filed in a
// named collection. Each collectible class answers it with its own Name
// property, so renaming a member through its collection renames the object.
#pragma once

#include "comobj.h"
#include "interfaces/MvMorvaCalc_ids.h"

struct IMvCalcName : IUnknown {
    virtual HRESULT get_ObjectName(BSTR* pName) = 0;
    virtual HRESULT put_ObjectName(BSTR name) = 0;

protected:
    ~IMvCalcName() = default;
};
MV_IID_OF(IMvCalcName, IID_IMvCalcName);
