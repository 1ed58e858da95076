// IMvEngUnitType: a named kind of quantity (temperature, length, ...) that
// names its standard unit and holds its units, filed by name in a collection
// whose look-ups ignore ASCII letter case.
#pragma once

#include "comobj.h"
#include "interfaces/IMvEngUnit.h"
#include "interfaces/IMvObjCollection.h"
#include "interfaces/MvMorvaCalc_ids.h"

struct IMvEngUnitType : IDispatch {
    virtual HRESULT get_Name(BSTR* pVal) = 0;
    virtual HRESULT put_Name(BSTR newVal) = 0;
    virtual HRESULT get_Description(BSTR* pVal) = 0;
    virtual HRESULT put_Description(BSTR newVal) = 0;
    // Free text; the conversion of values does not read it.
    virtual HRESULT get_StandardUnit(BSTR* pVal) = 0;
    virtual HRESULT put_StandardUnit(BSTR newVal) = 0;
    // The units of this type: the same collection for the unit type's life.
    virtual HRESULT get_Units(IMvObjCollection** pVal) = 0;
    // The unit filed under Name. A name that is not filed fails with the
    // collection's error information and a null unit.
    virtual HRESULT GetUnit(BSTR Name, IMvEngUnit** pUnit) = 0;
    // Files a new unit under Name, its factors 0.0. A name already filed (in
    // any letter case) fails with the collection's error information and a
    // null unit, and leaves the collection as it was.
    virtual HRESULT AddUnit(BSTR Name, IMvEngUnit** pUnit) = 0;

protected:
    ~IMvEngUnitType() = default;
};
MV_IID_OF(IMvEngUnitType, IID_IMvEngUnitType);

MV_DISPATCH_TABLE(IMvEngUnitType, mv::PropGet<&IMvEngUnitType::get_Name>(248, u"Name"),
                  mv::PropPut<&IMvEngUnitType::put_Name>(248, u"Name"),
                  mv::PropGet<&IMvEngUnitType::get_Description>(218, u"Description"),
                  mv::PropPut<&IMvEngUnitType::put_Description>(218, u"Description"),
                  mv::PropGet<&IMvEngUnitType::get_StandardUnit>(278, u"StandardUnit"),
                  mv::PropPut<&IMvEngUnitType::put_StandardUnit>(278, u"StandardUnit"),
                  mv::PropGet<&IMvEngUnitType::get_Units>(2008, u"Units"),
                  mv::Method<&IMvEngUnitType::GetUnit>(1, u"GetUnit").Names(u"Name"),
                  mv::Method<&IMvEngUnitType::AddUnit>(2, u"AddUnit").Names(u"Name"))
