// IMvObjCollection: an ordered list of automation objects that can also be
// found by name, names compared without regard to ASCII letter case.
// Positions count from 1.
#pragma once

#include "comobj.h"
#include "interfaces/MvMorvaCalc_ids.h"

struct IMvObjCollection : IDispatch {
    virtual HRESULT Add(BSTR Name, IDispatch* pDisp) = 0;
    virtual HRESULT get_Count(LONG* pCount) = 0;
    // Index: a position (VT_I2 or VT_I4) or a name (VT_BSTR), also by reference.
    virtual HRESULT Item(VARIANT Index, VARIANT* pItem) = 0;
    virtual HRESULT get__NewEnum(IUnknown** ppEnum) = 0;
    virtual HRESULT Remove(BSTR Name) = 0;
    virtual HRESULT RemoveAll() = 0;
    virtual HRESULT ItemByIndex(LONG Index, IDispatch** pItem) = 0;
    virtual HRESULT ItemByName(BSTR Name, IDispatch** pItem) = 0;
    virtual HRESULT IndexFromName(BSTR Name, LONG* Index) = 0;
    // The members' current names, an array of VARIANT from index 0.
    virtual HRESULT ListNames(VARIANT* NameList) = 0;
    virtual HRESULT Rename(BSTR OldName, BSTR NewName) = 0;

protected:
    ~IMvObjCollection() = default;
};
MV_IID_OF(IMvObjCollection, IID_IMvObjCollection);

MV_DISPATCH_TABLE(
    IMvObjCollection, mv::Method<&IMvObjCollection::Item>(DISPID_VALUE, u"Item").Names(u"Index"),
    mv::Method<&IMvObjCollection::Add>(1, u"Add").Names(u"Name,pDisp"),
    mv::PropGet<&IMvObjCollection::get_Count>(2, u"Count"),
    mv::PropGet<&IMvObjCollection::get__NewEnum>(DISPID_NEWENUM, u"_NewEnum"),
    mv::Method<&IMvObjCollection::Remove>(5, u"Remove").Names(u"Name"),
    mv::Method<&IMvObjCollection::RemoveAll>(6, u"RemoveAll"),
    mv::Method<&IMvObjCollection::ItemByIndex>(7, u"ItemByIndex").Names(u"Index"),
    mv::Method<&IMvObjCollection::ItemByName>(8, u"ItemByName").Names(u"Name"),
    mv::Method<&IMvObjCollection::IndexFromName>(9, u"IndexFromName").Names(u"Name"),
    mv::MethodByRef<&IMvObjCollection::ListNames>(10, u"ListNames").Names(u"NameList"),
    mv::Method<&IMvObjCollection::Rename>(11, u"Rename").Names(u"OldName,NewName"))
