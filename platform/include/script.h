// Active Scripting: the interfaces between a script engine and its host.
// Names, identifiers and slot orders follow the platform so that a host
// written against it compiles unchanged.
#pragma once

#include "oleaut.h"

// ---------------------------------------------------------------------------
// Host side: the site an engine calls back
// ---------------------------------------------------------------------------
MV_DEFINE_GUID(IID_IActiveScriptSite, 0xDB01A1E3, 0xA42B, 0x11CF, 0x8F, 0x20, 0x00, 0x80, 0x5F,
               0x2C, 0xD0, 0x64);

enum SCRIPTSTATE {
    SCRIPTSTATE_UNINITIALIZED = 0,
    SCRIPTSTATE_INITIALIZED = 5,
    SCRIPTSTATE_STARTED = 1,
    SCRIPTSTATE_CONNECTED = 2,
    SCRIPTSTATE_DISCONNECTED = 3,
    SCRIPTSTATE_CLOSED = 4,
};

struct IActiveScriptError;

struct IActiveScriptSite : IUnknown {
    virtual HRESULT GetLCID(LCID* plcid) = 0;
    virtual HRESULT GetItemInfo(LPCOLESTR pstrName, DWORD dwReturnMask, IUnknown** ppiunkItem,
                                ITypeInfo** ppti) = 0;
    virtual HRESULT GetDocVersionString(BSTR* pbstrVersion) = 0;
    virtual HRESULT OnScriptTerminate(const VARIANT* pvarResult, const EXCEPINFO* pexcepinfo) = 0;
    virtual HRESULT OnStateChange(SCRIPTSTATE ssScriptState) = 0;
    virtual HRESULT OnScriptError(IActiveScriptError* pscripterror) = 0;
    virtual HRESULT OnEnterScript() = 0;
    virtual HRESULT OnLeaveScript() = 0;

protected:
    ~IActiveScriptSite() = default;
};

// ---------------------------------------------------------------------------
// Script values (the value model of the engine's operators)
// ---------------------------------------------------------------------------

// ---------------------------------------------------------------------------
// Engine side: IActiveScript, IActiveScriptParse, IActiveScriptError
// ---------------------------------------------------------------------------
