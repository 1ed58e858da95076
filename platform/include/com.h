// COM: class objects, streams, persistence interfaces, error information,
// activation and the Global Interface Table.
#pragma once

#include "oleaut.h"

#define MV_IID_STD(name, l) \
    MV_DEFINE_GUID(name, l, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46)

MV_IID_STD(IID_IClassFactory, 0x00000001);
MV_IID_STD(IID_IMalloc, 0x00000002);
MV_IID_STD(IID_IStorage, 0x0000000B);
MV_IID_STD(IID_IStream, 0x0000000C);
MV_IID_STD(IID_IPersistStream, 0x00000109);
MV_IID_STD(IID_IPersist, 0x0000010C);
MV_IID_STD(IID_IGlobalInterfaceTable, 0x00000146);
MV_IID_STD(CLSID_StdGlobalInterfaceTable, 0x00000323);
MV_DEFINE_GUID(IID_ISequentialStream, 0x0C733A30, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00,
               0x44, 0x77, 0x3D);
MV_DEFINE_GUID(IID_IPersistStreamInit, 0x7FD52380, 0x4E07, 0x101B, 0xAE, 0x2D, 0x08, 0x00, 0x2B,
               0x2E, 0xC7, 0x13);
MV_DEFINE_GUID(IID_IErrorInfo, 0x1CF2B120, 0x547D, 0x101B, 0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B,
               0xD1, 0x19);
MV_DEFINE_GUID(IID_ICreateErrorInfo, 0x22F03340, 0x547D, 0x101B, 0x8E, 0x65, 0x08, 0x00, 0x2B,
               0x2B, 0xD1, 0x19);
MV_DEFINE_GUID(IID_ISupportErrorInfo, 0xDF0B3D60, 0x548F, 0x101B, 0x8E, 0x65, 0x08, 0x00, 0x2B,
               0x2B, 0xD1, 0x19);
MV_DEFINE_GUID(IID_IPropertyBag, 0x55272A00, 0x42CB, 0x11CE, 0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B,
               0xB8, 0x51);
MV_DEFINE_GUID(IID_IErrorLog, 0x3127CA40, 0x446E, 0x11CE, 0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8,
               0x51);

// ---------------------------------------------------------------------------
// Class objects
// ---------------------------------------------------------------------------
struct IClassFactory : IUnknown {
    virtual HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
    virtual HRESULT LockServer(BOOL fLock) = 0;

protected:
    ~IClassFactory() = default;
};

// ---------------------------------------------------------------------------
// Streams
// ---------------------------------------------------------------------------
struct STATSTG {
    LPOLESTR pwcsName;  // CoTaskMemAlloc'ed; null with STATFLAG_NONAME
    DWORD type;
    ULARGE_INTEGER cbSize;
    FILETIME mtime;
    FILETIME ctime;
    FILETIME atime;
    DWORD grfMode;
    DWORD grfLocksSupported;
    CLSID clsid;
    DWORD grfStateBits;
    DWORD reserved;
};

constexpr DWORD STGTY_STORAGE = 1;
constexpr DWORD STGTY_STREAM = 2;
constexpr DWORD STGTY_LOCKBYTES = 3;
constexpr DWORD STGTY_PROPERTY = 4;

constexpr DWORD STATFLAG_DEFAULT = 0;
constexpr DWORD STATFLAG_NONAME = 1;
constexpr DWORD STATFLAG_NOOPEN = 2;

constexpr DWORD STREAM_SEEK_SET = 0;
constexpr DWORD STREAM_SEEK_CUR = 1;
constexpr DWORD STREAM_SEEK_END = 2;

constexpr DWORD STGC_DEFAULT = 0;

struct ISequentialStream : IUnknown {
    virtual HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) = 0;
    virtual HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) = 0;

protected:
    ~ISequentialStream() = default;
};

struct IStream : ISequentialStream {
    virtual HRESULT Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                         ULARGE_INTEGER* plibNewPosition) = 0;
    virtual HRESULT SetSize(ULARGE_INTEGER libNewSize) = 0;
    virtual HRESULT CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                           ULARGE_INTEGER* pcbWritten) = 0;
    virtual HRESULT Commit(DWORD grfCommitFlags) = 0;
    virtual HRESULT Revert() = 0;
    virtual HRESULT LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) = 0;
    virtual HRESULT UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb,
                                 DWORD dwLockType) = 0;
    virtual HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) = 0;
    virtual HRESULT Clone(IStream** ppstm) = 0;

protected:
    ~IStream() = default;
};
using LPSTREAM = IStream*;

// ---------------------------------------------------------------------------
// Persistence
// ---------------------------------------------------------------------------
struct IPersist : IUnknown {
    virtual HRESULT GetClassID(CLSID* pClassID) = 0;

protected:
    ~IPersist() = default;
};

struct IPersistStream : IPersist {
    virtual HRESULT IsDirty() = 0;
    virtual HRESULT Load(IStream* pStm) = 0;
    virtual HRESULT Save(IStream* pStm, BOOL fClearDirty) = 0;
    virtual HRESULT GetSizeMax(ULARGE_INTEGER* pcbSize) = 0;

protected:
    ~IPersistStream() = default;
};
using LPPERSISTSTREAM = IPersistStream*;

struct IPersistStreamInit : IPersist {
    virtual HRESULT IsDirty() = 0;
    virtual HRESULT Load(IStream* pStm) = 0;
    virtual HRESULT Save(IStream* pStm, BOOL fClearDirty) = 0;
    virtual HRESULT GetSizeMax(ULARGE_INTEGER* pcbSize) = 0;
    virtual HRESULT InitNew() = 0;

protected:
    ~IPersistStreamInit() = default;
};

// ---------------------------------------------------------------------------
// Enumeration
// ---------------------------------------------------------------------------
struct IEnumVARIANT : IUnknown {
    virtual HRESULT Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) = 0;
    virtual HRESULT Skip(ULONG celt) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumVARIANT** ppEnum) = 0;

protected:
    ~IEnumVARIANT() = default;
};

// ---------------------------------------------------------------------------
// Error information (per thread; GetErrorInfo hands it over and clears it)
// ---------------------------------------------------------------------------
struct IErrorInfo : IUnknown {
    virtual HRESULT GetGUID(GUID* pGUID) = 0;
    virtual HRESULT GetSource(BSTR* pBstrSource) = 0;
    virtual HRESULT GetDescription(BSTR* pBstrDescription) = 0;
    virtual HRESULT GetHelpFile(BSTR* pBstrHelpFile) = 0;
    virtual HRESULT GetHelpContext(DWORD* pdwHelpContext) = 0;

protected:
    ~IErrorInfo() = default;
};

struct ICreateErrorInfo : IUnknown {
    virtual HRESULT SetGUID(REFGUID rguid) = 0;
    virtual HRESULT SetSource(LPOLESTR szSource) = 0;
    virtual HRESULT SetDescription(LPOLESTR szDescription) = 0;
    virtual HRESULT SetHelpFile(LPOLESTR szHelpFile) = 0;
    virtual HRESULT SetHelpContext(DWORD dwHelpContext) = 0;

protected:
    ~ICreateErrorInfo() = default;
};

struct ISupportErrorInfo : IUnknown {
    virtual HRESULT InterfaceSupportsErrorInfo(REFIID riid) = 0;

protected:
    ~ISupportErrorInfo() = default;
};

// ---------------------------------------------------------------------------
// Property bags: named VARIANT properties of an object
// ---------------------------------------------------------------------------
struct IErrorLog : IUnknown {
    virtual HRESULT AddError(LPCOLESTR pszPropName, EXCEPINFO* pExcepInfo) = 0;

protected:
    ~IErrorLog() = default;
};

struct IPropertyBag : IUnknown {
    // Reads the property into *pVar (its type on entry asks for a type;
    // VT_EMPTY takes the stored one); failures may be told to pErrorLog.
    virtual HRESULT Read(LPCOLESTR pszPropName, VARIANT* pVar, IErrorLog* pErrorLog) = 0;
    virtual HRESULT Write(LPCOLESTR pszPropName, VARIANT* pVar) = 0;

protected:
    ~IPropertyBag() = default;
};

// ---------------------------------------------------------------------------
// Global Interface Table
// ---------------------------------------------------------------------------
struct IGlobalInterfaceTable : IUnknown {
    virtual HRESULT RegisterInterfaceInGlobal(IUnknown* pUnk, REFIID riid, DWORD* pdwCookie) = 0;
    virtual HRESULT RevokeInterfaceFromGlobal(DWORD dwCookie) = 0;
    virtual HRESULT GetInterfaceFromGlobal(DWORD dwCookie, REFIID riid, void** ppv) = 0;

protected:
    ~IGlobalInterfaceTable() = default;
};

// ---------------------------------------------------------------------------
// Activation
// ---------------------------------------------------------------------------
constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
constexpr DWORD CLSCTX_SERVER = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
constexpr DWORD CLSCTX_ALL = CLSCTX_SERVER | CLSCTX_INPROC_HANDLER;

constexpr DWORD COINIT_MULTITHREADED = 0x0;
constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;

constexpr DWORD REGCLS_SINGLEUSE = 0;
constexpr DWORD REGCLS_MULTIPLEUSE = 1;

struct COSERVERINFO {
    DWORD dwReserved1;
    LPWSTR pwszName;
    void* pAuthInfo;
    DWORD dwReserved2;
};

struct MULTI_QI {
    const IID* pIID;
    IUnknown* pItf;
    HRESULT hr;
};

extern "C" {
HRESULT CoInitialize(LPVOID pvReserved);
HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
void CoUninitialize();
HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid,
                         LPVOID* ppv);
HRESULT CoCreateInstanceEx(REFCLSID rclsid, IUnknown* punkOuter, DWORD dwClsCtx,
                           COSERVERINFO* pServerInfo, DWORD dwCount, MULTI_QI* pResults);
HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid,
                         LPVOID* ppv);
HRESULT CoRegisterClassObject(REFCLSID rclsid, IUnknown* pUnk, DWORD dwClsContext, DWORD flags,
                              DWORD* lpdwRegister);
HRESULT CoRevokeClassObject(DWORD dwRegister);
// Frees each library loaded by activation that can unload (its
// DllCanUnloadNow answers S_OK) and has no class-object call in flight, once
// it has been so at every call for dwUnloadDelay ms: the first such call
// marks it, a later one frees it. A delay of 0 frees it at once, for a caller
// that knows no other thread is in the library; INFINITE is the default
// delay, ten minutes, which CoFreeUnusedLibraries uses.
void CoFreeUnusedLibrariesEx(DWORD dwUnloadDelay, DWORD dwReserved);
void CoFreeUnusedLibraries();
HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid);
HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID);
HRESULT StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz);
HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
HRESULT IIDFromString(LPCOLESTR lpsz, IID* lpiid);
INT StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, INT cchMax);
LPVOID CoTaskMemAlloc(SIZE_T cb);
LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
void CoTaskMemFree(LPVOID pv);
// The current UTC time as a FILETIME, from the clock behind GetSystemTime
// (tests inject it with mv::SetClockForTesting).
HRESULT CoFileTimeNow(FILETIME* lpFileTime);

HRESULT CreateErrorInfo(ICreateErrorInfo** pperrinfo);
HRESULT SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo);
HRESULT GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo);

HRESULT CreateStreamOnHGlobal(void* hGlobal, BOOL fDeleteOnRelease, LPSTREAM* ppstm);
}  // extern "C"

#include <functional>
#include <string_view>

namespace mv {

// Test hook for CoCreateInstanceEx with a COSERVERINFO naming a host: a known
// host (names compare ignoring ASCII case) creates the object through
// `create`; an unknown host answers HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE).
// An empty function forgets the host.
void RegisterRemoteHostForTesting(std::u16string_view host,
                                  std::function<HRESULT(REFCLSID, IUnknown** ppUnk)> create);

}  // namespace mv

// The C++ object machinery: smart pointer, object roots, class factories,
// table-driven IDispatch.
#include "comobj.h"
