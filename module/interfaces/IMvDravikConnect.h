// IMvDravikConnect: a calculation's settings for the recipe database, the
// control identifier handed to the recipe servers, the open data connection
// and the flag that allows a connection attempt.
#pragma once

#include "comobj.h"
#include "interfaces/MvMorvaCalc_ids.h"

struct IMvDravikConnect : IDispatch {
    virtual HRESULT get_DravikSQLServer(BSTR* pVal) = 0;
    virtual HRESULT put_DravikSQLServer(BSTR newVal) = 0;
    virtual HRESULT get_DravikSQLDriver(BSTR* pVal) = 0;
    virtual HRESULT put_DravikSQLDriver(BSTR newVal) = 0;
    virtual HRESULT get_DravikDataBase(BSTR* pVal) = 0;
    virtual HRESULT put_DravikDataBase(BSTR newVal) = 0;
    virtual HRESULT get_DravikUser(BSTR* pVal) = 0;
    virtual HRESULT put_DravikUser(BSTR newVal) = 0;
    // Plain text, also in the stored forms.
    virtual HRESULT get_DravikPassword(BSTR* pVal) = 0;
    virtual HRESULT put_DravikPassword(BSTR newVal) = 0;
    virtual HRESULT get_DravikControlID(SHORT* pVal) = 0;
    virtual HRESULT put_DravikControlID(SHORT newVal) = 0;
    // The open connection object of the recipe product, null until opened.
    virtual HRESULT get_DravikDataConnection(IDispatch** pVal) = 0;
    virtual HRESULT put_DravikDataConnection(IDispatch* newVal) = 0;
    // Allow and forbid connection attempts; TryDravikConnect answers S_OK
    // while they are allowed and S_FALSE otherwise. Not persisted: a new or
    // loaded object forbids them.
    virtual HRESULT EnableDravikConnect() = 0;
    virtual HRESULT DisableDravikConnect() = 0;
    virtual HRESULT TryDravikConnect() = 0;
    // Opens the data connection; ErrorText receives the recipe servers'
    // message on failure.
    virtual HRESULT DravikOpenConnection(BSTR* ErrorText) = 0;

protected:
    ~IMvDravikConnect() = default;
};
MV_IID_OF(IMvDravikConnect, IID_IMvDravikConnect);

enum : DISPID {
    DISPID_MvDravikConnect_DravikSQLServer = 0x12D,
    DISPID_MvDravikConnect_DravikSQLDriver = 0x12E,
    DISPID_MvDravikConnect_DravikDataBase = 0x12F,
    DISPID_MvDravikConnect_DravikUser = 0x130,
    DISPID_MvDravikConnect_DravikPassword = 0x131,
    DISPID_MvDravikConnect_DravikControlID = 0x132,
    DISPID_MvDravikConnect_DravikDataConnection = 0x7,
    DISPID_MvDravikConnect_EnableDravikConnect = 0x8,
    DISPID_MvDravikConnect_DisableDravikConnect = 0x9,
    DISPID_MvDravikConnect_TryDravikConnect = 0xA,
    DISPID_MvDravikConnect_DravikOpenConnection = 0xB,
};

#define MV_DRAVIK_CONNECT_PROP(Name)                                                      \
    mv::PropGet<&IMvDravikConnect::get_##Name>(DISPID_MvDravikConnect_##Name, u## #Name), \
        mv::PropPut<&IMvDravikConnect::put_##Name>(DISPID_MvDravikConnect_##Name, u## #Name)
#define MV_DRAVIK_CONNECT_METHOD(Name) \
    mv::Method<&IMvDravikConnect::Name>(DISPID_MvDravikConnect_##Name, u## #Name)

MV_DISPATCH_TABLE(IMvDravikConnect, MV_DRAVIK_CONNECT_PROP(DravikSQLServer),
                  MV_DRAVIK_CONNECT_PROP(DravikSQLDriver), MV_DRAVIK_CONNECT_PROP(DravikDataBase),
                  MV_DRAVIK_CONNECT_PROP(DravikUser), MV_DRAVIK_CONNECT_PROP(DravikPassword),
                  MV_DRAVIK_CONNECT_PROP(DravikControlID),
                  MV_DRAVIK_CONNECT_PROP(DravikDataConnection),
                  MV_DRAVIK_CONNECT_METHOD(EnableDravikConnect),
                  MV_DRAVIK_CONNECT_METHOD(DisableDravikConnect),
                  MV_DRAVIK_CONNECT_METHOD(TryDravikConnect),
                  MV_DRAVIK_CONNECT_METHOD(DravikOpenConnection))

#undef MV_DRAVIK_CONNECT_PROP
#undef MV_DRAVIK_CONNECT_METHOD
