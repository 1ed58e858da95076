// Windows base types, HRESULT codes, GUIDs and text conversion.
//
// Every value that crosses an interface, a file or a buffer uses these
// typedefs. LONG and friends are 32 bits here, as on the original platform;
// the bare C++ `long` is 64 bits on Linux and never appears in an interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>

// ---------------------------------------------------------------------------
// Integer and character types
// ---------------------------------------------------------------------------
using BYTE = uint8_t;
using CHAR = char;
using UCHAR = uint8_t;
using SHORT = int16_t;
using USHORT = uint16_t;
using WORD = uint16_t;
using INT = int32_t;
using UINT = uint32_t;
using LONG = int32_t;
using ULONG = uint32_t;
using DWORD = uint32_t;
using BOOL = int32_t;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using DWORDLONG = uint64_t;
using HRESULT = int32_t;
using SCODE = int32_t;
using LCID = uint32_t;
using LANGID = uint16_t;
using DISPID = int32_t;
using MEMBERID = int32_t;
using VARTYPE = uint16_t;
using VARIANT_BOOL = int16_t;
using DATE = double;
using FLOAT = float;
using DOUBLE = double;
using INT_PTR = intptr_t;
using UINT_PTR = uintptr_t;
using LONG_PTR = intptr_t;
using ULONG_PTR = uintptr_t;
using DWORD_PTR = uintptr_t;
using SIZE_T = size_t;
using PVOID = void*;
using LPVOID = void*;
using LPCVOID = const void*;

// OLE text is UTF-16 in char16_t; narrow text is UTF-8 (the "ANSI code page").
using OLECHAR = char16_t;
using WCHAR = char16_t;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPSTR = char*;
using LPCSTR = const char*;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

// Calling-convention and interface decoration macros have no meaning here but
// keep declarations readable as the platform writes them.
#define STDMETHODCALLTYPE
#define STDAPICALLTYPE
#define WINAPI
#define STDAPI extern "C" HRESULT
#define STDMETHOD(name) virtual HRESULT name
#define STDMETHOD_(type, name) virtual type name

struct CY {
    union {
        struct {
            ULONG Lo;
            LONG Hi;
        };
        LONGLONG int64;
    };
};

struct DECIMAL {
    USHORT wReserved;
    union {
        struct {
            BYTE scale;
            BYTE sign;
        };
        USHORT signscale;
    };
    ULONG Hi32;
    union {
        struct {
            ULONG Lo32;
            ULONG Mid32;
        };
        ULONGLONG Lo64;
    };
};
constexpr BYTE DECIMAL_NEG = 0x80;

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

struct LARGE_INTEGER {
    LONGLONG QuadPart;
};
struct ULARGE_INTEGER {
    ULONGLONG QuadPart;
};

static_assert(sizeof(BYTE) == 1);
static_assert(sizeof(SHORT) == 2 && sizeof(USHORT) == 2 && sizeof(WORD) == 2);
static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4 && sizeof(DWORD) == 4);
static_assert(sizeof(BOOL) == 4 && sizeof(INT) == 4 && sizeof(UINT) == 4);
static_assert(sizeof(LONGLONG) == 8 && sizeof(ULONGLONG) == 8);
static_assert(sizeof(HRESULT) == 4 && sizeof(SCODE) == 4 && sizeof(LCID) == 4);
static_assert(sizeof(DISPID) == 4 && sizeof(VARTYPE) == 2);
static_assert(sizeof(VARIANT_BOOL) == 2 && sizeof(DATE) == 8);
static_assert(sizeof(CY) == 8 && sizeof(DECIMAL) == 16);
static_assert(sizeof(FILETIME) == 8 && sizeof(SYSTEMTIME) == 16);
static_assert(sizeof(OLECHAR) == 2);

// ---------------------------------------------------------------------------
// HRESULTs
// ---------------------------------------------------------------------------
#define MV_HR(x) static_cast<HRESULT>(static_cast<uint32_t>(x))

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }
constexpr uint32_t HRESULT_CODE(HRESULT hr) { return static_cast<uint32_t>(hr) & 0xFFFF; }
constexpr uint32_t HRESULT_FACILITY(HRESULT hr) {
    return (static_cast<uint32_t>(hr) >> 16) & 0x1FFF;
}
constexpr uint32_t SCODE_CODE(SCODE sc) { return static_cast<uint32_t>(sc) & 0xFFFF; }
constexpr HRESULT MAKE_HRESULT(uint32_t sev, uint32_t fac, uint32_t code) {
    return static_cast<HRESULT>((sev << 31) | (fac << 16) | code);
}
constexpr uint32_t FACILITY_ITF = 4;
constexpr uint32_t FACILITY_WIN32 = 7;
constexpr uint32_t FACILITY_DISPATCH = 2;
constexpr uint32_t FACILITY_STORAGE = 3;
constexpr uint32_t SEVERITY_SUCCESS = 0;
constexpr uint32_t SEVERITY_ERROR = 1;
constexpr HRESULT HRESULT_FROM_WIN32(uint32_t x) {
    return static_cast<HRESULT>(x) <= 0
               ? static_cast<HRESULT>(x)
               : static_cast<HRESULT>((x & 0x0000FFFF) | (FACILITY_WIN32 << 16) | 0x80000000);
}

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT NOERROR = 0;

constexpr HRESULT E_NOTIMPL = MV_HR(0x80004001);
constexpr HRESULT E_NOINTERFACE = MV_HR(0x80004002);
constexpr HRESULT E_POINTER = MV_HR(0x80004003);
constexpr HRESULT E_ABORT = MV_HR(0x80004004);
constexpr HRESULT E_FAIL = MV_HR(0x80004005);
constexpr HRESULT E_PENDING = MV_HR(0x8000000A);
constexpr HRESULT E_UNEXPECTED = MV_HR(0x8000FFFF);
constexpr HRESULT E_ACCESSDENIED = MV_HR(0x80070005);
constexpr HRESULT E_HANDLE = MV_HR(0x80070006);
constexpr HRESULT E_OUTOFMEMORY = MV_HR(0x8007000E);
constexpr HRESULT E_INVALIDARG = MV_HR(0x80070057);

constexpr HRESULT DISP_E_UNKNOWNINTERFACE = MV_HR(0x80020001);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = MV_HR(0x80020003);
constexpr HRESULT DISP_E_PARAMNOTFOUND = MV_HR(0x80020004);
constexpr HRESULT DISP_E_TYPEMISMATCH = MV_HR(0x80020005);
constexpr HRESULT DISP_E_UNKNOWNNAME = MV_HR(0x80020006);
constexpr HRESULT DISP_E_NONAMEDARGS = MV_HR(0x80020007);
constexpr HRESULT DISP_E_BADVARTYPE = MV_HR(0x80020008);
constexpr HRESULT DISP_E_EXCEPTION = MV_HR(0x80020009);
constexpr HRESULT DISP_E_OVERFLOW = MV_HR(0x8002000A);
constexpr HRESULT DISP_E_BADINDEX = MV_HR(0x8002000B);
constexpr HRESULT DISP_E_UNKNOWNLCID = MV_HR(0x8002000C);
constexpr HRESULT DISP_E_ARRAYISLOCKED = MV_HR(0x8002000D);
constexpr HRESULT DISP_E_BADPARAMCOUNT = MV_HR(0x8002000E);
constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = MV_HR(0x8002000F);
constexpr HRESULT DISP_E_BADCALLEE = MV_HR(0x80020010);
constexpr HRESULT DISP_E_NOTACOLLECTION = MV_HR(0x80020011);
constexpr HRESULT DISP_E_DIVBYZERO = MV_HR(0x80020012);
constexpr HRESULT DISP_E_BUFFERTOOSMALL = MV_HR(0x80020013);

constexpr HRESULT TYPE_E_BUFFERTOOSMALL = MV_HR(0x80028016);
constexpr HRESULT TYPE_E_REGISTRYACCESS = MV_HR(0x8002801C);
constexpr HRESULT TYPE_E_LIBNOTREGISTERED = MV_HR(0x8002801D);
constexpr HRESULT TYPE_E_UNDEFINEDTYPE = MV_HR(0x80028027);
constexpr HRESULT TYPE_E_INVALIDSTATE = MV_HR(0x80028029);
constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = MV_HR(0x8002802B);
constexpr HRESULT TYPE_E_AMBIGUOUSNAME = MV_HR(0x8002802C);
constexpr HRESULT TYPE_E_DLLFUNCTIONNOTFOUND = MV_HR(0x8002802F);
constexpr HRESULT TYPE_E_TYPEMISMATCH = MV_HR(0x80028CA0);
constexpr HRESULT TYPE_E_OUTOFBOUNDS = MV_HR(0x80028CA1);
constexpr HRESULT TYPE_E_IOERROR = MV_HR(0x80028CA2);
constexpr HRESULT TYPE_E_CANTLOADLIBRARY = MV_HR(0x80029C4A);

constexpr HRESULT STG_E_INVALIDFUNCTION = MV_HR(0x80030001);
constexpr HRESULT STG_E_FILENOTFOUND = MV_HR(0x80030002);
constexpr HRESULT STG_E_PATHNOTFOUND = MV_HR(0x80030003);
constexpr HRESULT STG_E_TOOMANYOPENFILES = MV_HR(0x80030004);
constexpr HRESULT STG_E_ACCESSDENIED = MV_HR(0x80030005);
constexpr HRESULT STG_E_INVALIDHANDLE = MV_HR(0x80030006);
constexpr HRESULT STG_E_INSUFFICIENTMEMORY = MV_HR(0x80030008);
constexpr HRESULT STG_E_INVALIDPOINTER = MV_HR(0x80030009);
constexpr HRESULT STG_E_NOMOREFILES = MV_HR(0x80030012);
constexpr HRESULT STG_E_DISKISWRITEPROTECTED = MV_HR(0x80030013);
constexpr HRESULT STG_E_SEEKERROR = MV_HR(0x80030019);
constexpr HRESULT STG_E_WRITEFAULT = MV_HR(0x8003001D);
constexpr HRESULT STG_E_READFAULT = MV_HR(0x8003001E);
constexpr HRESULT STG_E_SHAREVIOLATION = MV_HR(0x80030020);
constexpr HRESULT STG_E_LOCKVIOLATION = MV_HR(0x80030021);
constexpr HRESULT STG_E_FILEALREADYEXISTS = MV_HR(0x80030050);
constexpr HRESULT STG_E_INVALIDPARAMETER = MV_HR(0x80030057);
constexpr HRESULT STG_E_MEDIUMFULL = MV_HR(0x80030070);
constexpr HRESULT STG_E_ABNORMALAPIEXIT = MV_HR(0x800300FA);
constexpr HRESULT STG_E_INVALIDHEADER = MV_HR(0x800300FB);
constexpr HRESULT STG_E_INVALIDNAME = MV_HR(0x800300FC);
constexpr HRESULT STG_E_UNKNOWN = MV_HR(0x800300FD);
constexpr HRESULT STG_E_UNIMPLEMENTEDFUNCTION = MV_HR(0x800300FE);
constexpr HRESULT STG_E_INVALIDFLAG = MV_HR(0x800300FF);
constexpr HRESULT STG_E_INUSE = MV_HR(0x80030100);
constexpr HRESULT STG_E_NOTCURRENT = MV_HR(0x80030101);
constexpr HRESULT STG_E_REVERTED = MV_HR(0x80030102);
constexpr HRESULT STG_E_CANTSAVE = MV_HR(0x80030103);
constexpr HRESULT STG_E_OLDFORMAT = MV_HR(0x80030104);
constexpr HRESULT STG_E_OLDDLL = MV_HR(0x80030105);
constexpr HRESULT STG_E_SHAREREQUIRED = MV_HR(0x80030106);
constexpr HRESULT STG_E_NOTFILEBASEDSTORAGE = MV_HR(0x80030107);
constexpr HRESULT STG_E_EXTANTMARSHALLINGS = MV_HR(0x80030108);
constexpr HRESULT STG_E_DOCFILECORRUPT = MV_HR(0x80030109);
constexpr HRESULT STG_E_INCOMPLETE = MV_HR(0x80030201);
constexpr HRESULT STG_E_TERMINATED = MV_HR(0x80030202);

constexpr HRESULT OLE_E_BLANK = MV_HR(0x80040007);
constexpr HRESULT CLASS_E_NOAGGREGATION = MV_HR(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MV_HR(0x80040111);
constexpr HRESULT CLASS_E_NOTLICENSED = MV_HR(0x80040112);
constexpr HRESULT REGDB_E_READREGDB = MV_HR(0x80040150);
constexpr HRESULT REGDB_E_WRITEREGDB = MV_HR(0x80040151);
constexpr HRESULT REGDB_E_KEYMISSING = MV_HR(0x80040152);
constexpr HRESULT REGDB_E_INVALIDVALUE = MV_HR(0x80040153);
constexpr HRESULT REGDB_E_CLASSNOTREG = MV_HR(0x80040154);
constexpr HRESULT REGDB_E_IIDNOTREG = MV_HR(0x80040155);
constexpr HRESULT SELFREG_E_TYPELIB = MV_HR(0x80040200);
constexpr HRESULT SELFREG_E_CLASS = MV_HR(0x80040201);

constexpr HRESULT CO_E_NOTINITIALIZED = MV_HR(0x800401F0);
constexpr HRESULT CO_E_ALREADYINITIALIZED = MV_HR(0x800401F1);
constexpr HRESULT CO_E_CLASSSTRING = MV_HR(0x800401F3);
constexpr HRESULT CO_E_IIDSTRING = MV_HR(0x800401F4);
constexpr HRESULT CO_E_APPNOTFOUND = MV_HR(0x800401F5);
constexpr HRESULT CO_E_DLLNOTFOUND = MV_HR(0x800401F8);
constexpr HRESULT CO_E_ERRORINDLL = MV_HR(0x800401F9);
constexpr HRESULT CO_E_OBJNOTREG = MV_HR(0x800401FB);
constexpr HRESULT CO_E_OBJNOTCONNECTED = MV_HR(0x800401FD);
constexpr HRESULT CO_E_NOT_SUPPORTED = MV_HR(0x80004021);
constexpr HRESULT CO_E_BAD_PATH = MV_HR(0x80080004);
constexpr HRESULT CO_E_SERVER_EXEC_FAILURE = MV_HR(0x80080005);
constexpr HRESULT CO_S_NOTALLINTERFACES = MV_HR(0x00080012);

constexpr HRESULT RPC_E_CALL_REJECTED = MV_HR(0x80010001);
constexpr HRESULT RPC_E_SERVER_DIED = MV_HR(0x80010007);
constexpr HRESULT RPC_E_SYS_CALL_FAILED = MV_HR(0x80010100);
constexpr HRESULT RPC_E_SERVERFAULT = MV_HR(0x80010105);
constexpr HRESULT RPC_E_CHANGED_MODE = MV_HR(0x80010106);
constexpr HRESULT RPC_E_DISCONNECTED = MV_HR(0x80010108);
constexpr HRESULT RPC_E_SERVERCALL_RETRYLATER = MV_HR(0x8001010A);
constexpr HRESULT RPC_E_WRONG_THREAD = MV_HR(0x8001010E);
constexpr HRESULT RPC_E_UNEXPECTED = MV_HR(0x8001FFFF);

// Win32 error codes (registry, files, module loading, waits).
constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG ERROR_INVALID_FUNCTION = 1;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_PATH_NOT_FOUND = 3;
constexpr LONG ERROR_ACCESS_DENIED = 5;
constexpr LONG ERROR_INVALID_HANDLE = 6;
constexpr LONG ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr LONG ERROR_INVALID_DATA = 13;
constexpr LONG ERROR_OUTOFMEMORY = 14;
constexpr LONG ERROR_SHARING_VIOLATION = 32;
constexpr LONG ERROR_LOCK_VIOLATION = 33;
constexpr LONG ERROR_FILE_EXISTS = 80;
constexpr LONG ERROR_INVALID_PARAMETER = 87;
constexpr LONG ERROR_INSUFFICIENT_BUFFER = 122;
constexpr LONG ERROR_INVALID_NAME = 123;
constexpr LONG ERROR_MOD_NOT_FOUND = 126;
constexpr LONG ERROR_PROC_NOT_FOUND = 127;
constexpr LONG ERROR_ALREADY_EXISTS = 183;
constexpr LONG ERROR_MORE_DATA = 234;
constexpr LONG ERROR_NO_MORE_ITEMS = 259;
constexpr LONG ERROR_BADDB = 1009;
constexpr LONG ERROR_BADKEY = 1010;
constexpr LONG ERROR_CANTOPEN = 1011;
constexpr LONG ERROR_CANTREAD = 1012;
constexpr LONG ERROR_CANTWRITE = 1013;
constexpr LONG ERROR_KEY_DELETED = 1018;
constexpr LONG ERROR_NONE_MAPPED = 1332;
constexpr LONG ERROR_TIMEOUT = 1460;
// Further codes used by threads, identity, folders and processes.
constexpr LONG ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr LONG ERROR_NO_MORE_FILES = 18;
constexpr LONG ERROR_NOT_SAME_DEVICE = 17;
constexpr LONG ERROR_NOT_SUPPORTED = 50;
constexpr LONG ERROR_BUFFER_OVERFLOW = 111;
constexpr LONG ERROR_DISK_FULL = 112;
constexpr LONG ERROR_DIR_NOT_EMPTY = 145;
constexpr LONG ERROR_BAD_PATHNAME = 161;
constexpr LONG ERROR_FILENAME_EXCED_RANGE = 206;
constexpr LONG ERROR_MR_MID_NOT_FOUND = 317;
constexpr LONG ERROR_NO_TOKEN = 1008;

namespace mv {

// Runs the body of an entry point or a COM method and returns its code
// (S_OK for a body that returns nothing), so that no exception leaves it:
// running out of memory (std::bad_alloc) becomes `outOfMemory`, anything
// else E_UNEXPECTED and sets *unexpected when given. What the body holds
// must be let go by its own objects' destructors.
template <class Work>
HRESULT CallGuarded(Work&& work, HRESULT outOfMemory = E_OUTOFMEMORY,
                    bool* unexpected = nullptr) noexcept {
    try {
        if constexpr (std::is_void_v<std::invoke_result_t<Work&>>) {
            work();
            return S_OK;
        } else {
            return work();
        }
    } catch (const std::bad_alloc&) {
        return outOfMemory;
    } catch (...) {
        if (unexpected) *unexpected = true;
        return E_UNEXPECTED;
    }
}

}  // namespace mv

// ---------------------------------------------------------------------------
// GUIDs
// ---------------------------------------------------------------------------
struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16);

using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using LPCLSID = CLSID*;

bool operator==(const GUID& a, const GUID& b) noexcept;
inline bool operator!=(const GUID& a, const GUID& b) noexcept { return !(a == b); }
bool operator<(const GUID& a, const GUID& b) noexcept;
inline bool IsEqualGUID(REFGUID a, REFGUID b) noexcept { return a == b; }
inline bool IsEqualIID(REFIID a, REFIID b) noexcept { return a == b; }
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) noexcept { return a == b; }

constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
constexpr IID IID_NULL = GUID_NULL;
constexpr CLSID CLSID_NULL = GUID_NULL;

namespace mv {

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case.
std::string GuidToString(const GUID& g);
std::u16string GuidToOleString(const GUID& g);
// Accepts the braced form (either letter case); false on anything else.
bool GuidFromString(std::string_view text, GUID* out) noexcept;
bool GuidFromOleString(std::u16string_view text, GUID* out) noexcept;
// The 16-byte memory layout: Data1..Data3 little-endian, Data4 as is.
void GuidToBytes(const GUID& g, uint8_t out[16]) noexcept;
GUID GuidFromBytes(const uint8_t in[16]) noexcept;

// UTF-16 <-> UTF-8, the narrow "ANSI code page" of this port. Ill-formed
// input (an unpaired surrogate, invalid UTF-8) becomes U+FFFD in the output;
// nothing is dropped silently and nothing reads past the input.
std::string ToUtf8(std::u16string_view text);
std::string ToUtf8(const OLECHAR* text);  // null reads as empty
std::u16string ToUtf16(std::string_view text);
std::u16string ToUtf16(const char* text);  // null reads as empty

// ASCII case folding; other characters compare by code unit.
int CompareNoCase(std::string_view a, std::string_view b) noexcept;
int CompareNoCase(std::u16string_view a, std::u16string_view b) noexcept;
inline bool EqualsNoCase(std::string_view a, std::string_view b) noexcept {
    return CompareNoCase(a, b) == 0;
}
inline bool EqualsNoCase(std::u16string_view a, std::u16string_view b) noexcept {
    return CompareNoCase(a, b) == 0;
}

}  // namespace mv

// Helper to write GUID constants readably.
#define MV_DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
