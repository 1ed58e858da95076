// The OPC Data Access 2.0 and OPC Common interfaces as the module's OPC client
// calls them, with their published identifiers, structures and constants:
// the server (groups, error texts), a group's item management and
// synchronous reads and writes, and the server browser that turns a ProgID
// into a CLSID on another node. Every array and string that a call hands back
// is allocated with CoTaskMemAlloc and freed by the caller with
// CoTaskMemFree.
#pragma once

#include "comobj.h"

using OPCHANDLE = DWORD;

enum OPCDATASOURCE : DWORD { OPC_DS_CACHE = 1, OPC_DS_DEVICE = 2 };

enum OPCSERVERSTATE : DWORD {
    OPC_STATUS_RUNNING = 1,
    OPC_STATUS_FAILED = 2,
    OPC_STATUS_NOCONFIG = 3,
    OPC_STATUS_SUSPENDED = 4,
    OPC_STATUS_TEST = 5,
};

enum OPCENUMSCOPE : DWORD {
    OPC_ENUM_PRIVATE_CONNECTIONS = 1,
    OPC_ENUM_PUBLIC_CONNECTIONS = 2,
    OPC_ENUM_ALL_CONNECTIONS = 3,
    OPC_ENUM_PRIVATE = 4,
    OPC_ENUM_PUBLIC = 5,
    OPC_ENUM_ALL = 6,
};

// Quality word of a value: the class in the top two bits of the low byte,
// then the sub-status and the limit bits.
constexpr WORD OPC_QUALITY_MASK = 0xC0;
constexpr WORD OPC_STATUS_MASK = 0xFC;
constexpr WORD OPC_LIMIT_MASK = 0x03;
constexpr WORD OPC_QUALITY_BAD = 0x00;
constexpr WORD OPC_QUALITY_UNCERTAIN = 0x40;
constexpr WORD OPC_QUALITY_GOOD = 0xC0;

// Access rights of an item.
constexpr DWORD OPC_READABLE = 0x1;
constexpr DWORD OPC_WRITEABLE = 0x2;

// Result codes of the OPC calls.
constexpr HRESULT OPC_E_INVALIDHANDLE = static_cast<HRESULT>(0xC0040001);
constexpr HRESULT OPC_E_BADTYPE = static_cast<HRESULT>(0xC0040004);
constexpr HRESULT OPC_E_PUBLIC = static_cast<HRESULT>(0xC0040005);
constexpr HRESULT OPC_E_BADRIGHTS = static_cast<HRESULT>(0xC0040006);
constexpr HRESULT OPC_E_UNKNOWNITEMID = static_cast<HRESULT>(0xC0040007);
constexpr HRESULT OPC_E_INVALIDITEMID = static_cast<HRESULT>(0xC0040008);
constexpr HRESULT OPC_E_INVALIDFILTER = static_cast<HRESULT>(0xC0040009);
constexpr HRESULT OPC_E_UNKNOWNPATH = static_cast<HRESULT>(0xC004000A);
constexpr HRESULT OPC_E_RANGE = static_cast<HRESULT>(0xC004000B);
constexpr HRESULT OPC_E_DUPLICATENAME = static_cast<HRESULT>(0xC004000C);
constexpr HRESULT OPC_S_UNSUPPORTEDRATE = 0x0004000D;
constexpr HRESULT OPC_S_CLAMP = 0x0004000E;
constexpr HRESULT OPC_S_INUSE = 0x0004000F;

struct OPCSERVERSTATUS {
    FILETIME ftStartTime;
    FILETIME ftCurrentTime;
    FILETIME ftLastUpdateTime;
    OPCSERVERSTATE dwServerState;
    DWORD dwGroupCount;
    DWORD dwBandWidth;
    WORD wMajorVersion;
    WORD wMinorVersion;
    WORD wBuildNumber;
    WORD wReserved;
    LPWSTR szVendorInfo;
};

// One item to add: where to find it and how to deliver its value.
struct OPCITEMDEF {
    LPWSTR szAccessPath;
    LPWSTR szItemID;
    BOOL bActive;
    OPCHANDLE hClient;
    DWORD dwBlobSize;
    BYTE* pBlob;
    VARTYPE vtRequestedDataType;
    WORD wReserved;
};

// What the server made of one added item.
struct OPCITEMRESULT {
    OPCHANDLE hServer;
    VARTYPE vtCanonicalDataType;
    WORD wReserved;
    DWORD dwAccessRights;
    DWORD dwBlobSize;
    BYTE* pBlob;
};

// One value read: the caller clears vDataValue before freeing the array.
struct OPCITEMSTATE {
    OPCHANDLE hClient;
    FILETIME ftTimeStamp;
    WORD wQuality;
    WORD wReserved;
    VARIANT vDataValue;
};

struct IEnumGUID;

// Data Access 2.0 interfaces.
MV_DEFINE_GUID(IID_IOPCServer, 0x39C13A4D, 0x011E, 0x11D0, 0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD,
               0xB3);
MV_DEFINE_GUID(IID_IOPCSyncIO, 0x39C13A52, 0x011E, 0x11D0, 0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD,
               0xB3);
MV_DEFINE_GUID(IID_IOPCItemMgt, 0x39C13A54, 0x011E, 0x11D0, 0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8,
               0xAD, 0xB3);
// The component category of Data Access 2.0 servers; the data-source
// directory files OPC data sources under it.
MV_DEFINE_GUID(CATID_OPCDAServer20, 0x63D5F432, 0xCFE4, 0x11D1, 0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B,
               0xA1, 0xFB);
// OPC Common: the server browser of a node.
MV_DEFINE_GUID(IID_IOPCServerList, 0x13486D50, 0x4821, 0x11D2, 0xA4, 0x94, 0x3C, 0xB3, 0x06, 0xC1,
               0x00, 0x00);
MV_DEFINE_GUID(CLSID_OpcServerList, 0x13486D51, 0x4821, 0x11D2, 0xA4, 0x94, 0x3C, 0xB3, 0x06, 0xC1,
               0x00, 0x00);

struct IOPCServer : IUnknown {
    virtual HRESULT AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                             OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband,
                             DWORD dwLCID, OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate,
                             REFIID riid, IUnknown** ppUnk) = 0;
    // *ppString: the text of dwError in the locale, or null.
    virtual HRESULT GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) = 0;
    virtual HRESULT GetGroupByName(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) = 0;
    virtual HRESULT GetStatus(OPCSERVERSTATUS** ppServerStatus) = 0;
    virtual HRESULT RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) = 0;
    virtual HRESULT CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, IUnknown** ppUnk) = 0;

protected:
    ~IOPCServer() = default;
};

// A group's items. S_FALSE when some items failed: their entries of
// *ppErrors say why.
struct IOPCItemMgt : IUnknown {
    virtual HRESULT AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                             HRESULT** ppErrors) = 0;
    virtual HRESULT ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                                  OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) = 0;
    virtual HRESULT RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) = 0;
    virtual HRESULT SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                                   HRESULT** ppErrors) = 0;
    virtual HRESULT SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                     HRESULT** ppErrors) = 0;
    virtual HRESULT SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                                 HRESULT** ppErrors) = 0;
    virtual HRESULT CreateEnumerator(REFIID riid, IUnknown** ppUnk) = 0;

protected:
    ~IOPCItemMgt() = default;
};

// Synchronous reads and writes of a group's items by their server handles.
struct IOPCSyncIO : IUnknown {
    virtual HRESULT Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                         OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) = 0;
    virtual HRESULT Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                          HRESULT** ppErrors) = 0;

protected:
    ~IOPCSyncIO() = default;
};

struct IOPCServerList : IUnknown {
    virtual HRESULT EnumClassesOfCategories(ULONG cImplemented, CLSID* rgcatidImpl, ULONG cRequired,
                                            CLSID* rgcatidReq, IEnumGUID** ppenumClsid) = 0;
    virtual HRESULT GetClassDetails(REFCLSID clsid, LPOLESTR* ppszProgID,
                                    LPOLESTR* ppszUserType) = 0;
    virtual HRESULT CLSIDFromProgID(LPCOLESTR szProgId, CLSID* clsid) = 0;

protected:
    ~IOPCServerList() = default;
};

MV_IID_OF(IOPCServer, IID_IOPCServer);
MV_IID_OF(IOPCItemMgt, IID_IOPCItemMgt);
MV_IID_OF(IOPCSyncIO, IID_IOPCSyncIO);
MV_IID_OF(IOPCServerList, IID_IOPCServerList);
