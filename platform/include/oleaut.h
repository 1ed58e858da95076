// OLE Automation: IUnknown, IDispatch, BSTR, VARIANT, SAFEARRAY, dates and
// coercion. Names and signatures follow the platform so that code written
// against it compiles unchanged.
#pragma once

#include <atomic>
#include <utility>

#include "base.h"

// ---------------------------------------------------------------------------
// IUnknown and IDispatch
// ---------------------------------------------------------------------------
MV_DEFINE_GUID(IID_IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
               0x46);
MV_DEFINE_GUID(IID_IDispatch, 0x00020400, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
               0x46);
MV_DEFINE_GUID(IID_IEnumVARIANT, 0x00020404, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00,
               0x00, 0x46);
MV_DEFINE_GUID(IID_ITypeInfo, 0x00020401, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
               0x46);

struct IUnknown {
    virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};
using LPUNKNOWN = IUnknown*;

struct ITypeInfo;  // not provided: GetTypeInfoCount answers 0 everywhere

using BSTR = OLECHAR*;
using LPBSTR = BSTR*;

struct VARIANT;
using VARIANTARG = VARIANT;

struct DISPPARAMS {
    VARIANTARG* rgvarg;
    DISPID* rgdispidNamedArgs;
    UINT cArgs;
    UINT cNamedArgs;
};

struct EXCEPINFO {
    WORD wCode;
    WORD wReserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    DWORD dwHelpContext;
    PVOID pvReserved;
    HRESULT (*pfnDeferredFillIn)(EXCEPINFO*);
    SCODE scode;
};

struct IDispatch : IUnknown {
    virtual HRESULT GetTypeInfoCount(UINT* pctinfo) = 0;
    virtual HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
    virtual HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                  DISPID* rgDispId) = 0;
    virtual HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                           DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                           UINT* puArgErr) = 0;

protected:
    ~IDispatch() = default;
};
using LPDISPATCH = IDispatch*;

constexpr WORD DISPATCH_METHOD = 0x1;
constexpr WORD DISPATCH_PROPERTYGET = 0x2;
constexpr WORD DISPATCH_PROPERTYPUT = 0x4;
constexpr WORD DISPATCH_PROPERTYPUTREF = 0x8;

constexpr DISPID DISPID_UNKNOWN = -1;
constexpr DISPID DISPID_VALUE = 0;
constexpr DISPID DISPID_PROPERTYPUT = -3;
constexpr DISPID DISPID_NEWENUM = -4;
constexpr DISPID DISPID_EVALUATE = -5;

// Locales: this port treats both defaults as en-US.
constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;
constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
constexpr LCID LOCALE_NEUTRAL = 0x0000;
constexpr LCID LOCALE_INVARIANT = 0x007F;
constexpr LCID LCID_EN_US = 0x0409;

// ---------------------------------------------------------------------------
// VARTYPE
// ---------------------------------------------------------------------------
enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_DECIMAL = 14,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_VOID = 24,
    VT_HRESULT = 25,
    VT_PTR = 26,
    VT_SAFEARRAY = 27,
    VT_CARRAY = 28,
    VT_USERDEFINED = 29,
    VT_LPSTR = 30,
    VT_LPWSTR = 31,
    VT_RECORD = 36,
    VT_FILETIME = 64,
    VT_BLOB = 65,
    VT_CLSID = 72,
    VT_VECTOR = 0x1000,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
    VT_RESERVED = 0x8000,
    VT_ILLEGAL = 0xFFFF,
    VT_ILLEGALMASKED = 0x0FFF,
    VT_TYPEMASK = 0x0FFF
};

// ---------------------------------------------------------------------------
// SAFEARRAY
// ---------------------------------------------------------------------------
struct SAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
};

struct SAFEARRAY {
    USHORT cDims;
    USHORT fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    PVOID pvData;
    // cDims entries, allocated with the descriptor, in reverse order of the
    // dimensions: rgsabound[0] is the last dimension given to SafeArrayCreate.
    // Index vectors (rgIndices) run in creation order: rgIndices[0] is the
    // first dimension, which varies fastest in memory.
    SAFEARRAYBOUND rgsabound[1];
};
using LPSAFEARRAY = SAFEARRAY*;

constexpr USHORT FADF_AUTO = 0x0001;
constexpr USHORT FADF_STATIC = 0x0002;
constexpr USHORT FADF_EMBEDDED = 0x0004;
constexpr USHORT FADF_FIXEDSIZE = 0x0010;
constexpr USHORT FADF_RECORD = 0x0020;
constexpr USHORT FADF_HAVEIID = 0x0040;
constexpr USHORT FADF_HAVEVARTYPE = 0x0080;
constexpr USHORT FADF_BSTR = 0x0100;
constexpr USHORT FADF_UNKNOWN = 0x0200;
constexpr USHORT FADF_DISPATCH = 0x0400;
constexpr USHORT FADF_VARIANT = 0x0800;

// ---------------------------------------------------------------------------
// VARIANT (16 bytes; DECIMAL overlays the whole of it)
// ---------------------------------------------------------------------------
struct VARIANT {
    union {
        struct {
            VARTYPE vt;
            WORD wReserved1;
            WORD wReserved2;
            WORD wReserved3;
            union {
                LONGLONG llVal;
                LONG lVal;
                BYTE bVal;
                SHORT iVal;
                FLOAT fltVal;
                DOUBLE dblVal;
                VARIANT_BOOL boolVal;
                SCODE scode;
                CY cyVal;
                DATE date;
                BSTR bstrVal;
                IUnknown* punkVal;
                IDispatch* pdispVal;
                SAFEARRAY* parray;
                BYTE* pbVal;
                SHORT* piVal;
                LONG* plVal;
                LONGLONG* pllVal;
                FLOAT* pfltVal;
                DOUBLE* pdblVal;
                VARIANT_BOOL* pboolVal;
                SCODE* pscode;
                CY* pcyVal;
                DATE* pdate;
                BSTR* pbstrVal;
                IUnknown** ppunkVal;
                IDispatch** ppdispVal;
                SAFEARRAY** pparray;
                VARIANT* pvarVal;
                PVOID byref;
                CHAR cVal;
                USHORT uiVal;
                ULONG ulVal;
                ULONGLONG ullVal;
                INT intVal;
                UINT uintVal;
                DECIMAL* pdecVal;
                CHAR* pcVal;
                USHORT* puiVal;
                ULONG* pulVal;
                ULONGLONG* pullVal;
                INT* pintVal;
                UINT* puintVal;
            };
        };
        DECIMAL decVal;
    };
};
static_assert(sizeof(VARIANT) == 16);
using LPVARIANT = VARIANT*;
using LPVARIANTARG = VARIANT*;

#define V_VT(X) ((X)->vt)
#define V_ISBYREF(X) (V_VT(X) & VT_BYREF)
#define V_ISARRAY(X) (V_VT(X) & VT_ARRAY)
#define V_I1(X) ((X)->cVal)
#define V_UI1(X) ((X)->bVal)
#define V_I2(X) ((X)->iVal)
#define V_UI2(X) ((X)->uiVal)
#define V_I4(X) ((X)->lVal)
#define V_UI4(X) ((X)->ulVal)
#define V_I8(X) ((X)->llVal)
#define V_UI8(X) ((X)->ullVal)
#define V_INT(X) ((X)->intVal)
#define V_UINT(X) ((X)->uintVal)
#define V_R4(X) ((X)->fltVal)
#define V_R8(X) ((X)->dblVal)
#define V_CY(X) ((X)->cyVal)
#define V_DATE(X) ((X)->date)
#define V_BSTR(X) ((X)->bstrVal)
#define V_DISPATCH(X) ((X)->pdispVal)
#define V_UNKNOWN(X) ((X)->punkVal)
#define V_ERROR(X) ((X)->scode)
#define V_BOOL(X) ((X)->boolVal)
#define V_DECIMAL(X) ((X)->decVal)
#define V_ARRAY(X) ((X)->parray)
#define V_BYREF(X) ((X)->byref)
#define V_VARIANTREF(X) ((X)->pvarVal)
#define V_I4REF(X) ((X)->plVal)
#define V_BSTRREF(X) ((X)->pbstrVal)
#define V_R8REF(X) ((X)->pdblVal)
#define V_BOOLREF(X) ((X)->pboolVal)
#define V_DISPATCHREF(X) ((X)->ppdispVal)
#define V_UNKNOWNREF(X) ((X)->ppunkVal)
#define V_ARRAYREF(X) ((X)->pparray)

// Flags of VariantChangeType(Ex).
constexpr USHORT VARIANT_NOVALUEPROP = 0x01;
constexpr USHORT VARIANT_ALPHABOOL = 0x02;
constexpr USHORT VARIANT_NOUSEROVERRIDE = 0x04;
constexpr USHORT VARIANT_CALENDAR_HIJRI = 0x08;
constexpr USHORT VARIANT_LOCALBOOL = 0x10;

// Flags of VarDateFromStr / VarBstrFromDate.
constexpr ULONG VAR_TIMEVALUEONLY = 0x00000001;
constexpr ULONG VAR_DATEVALUEONLY = 0x00000002;
constexpr ULONG LOCALE_NOUSEROVERRIDE = 0x80000000;

// ---------------------------------------------------------------------------
// BSTR
// ---------------------------------------------------------------------------
extern "C" {
BSTR SysAllocString(const OLECHAR* psz);
BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui);
BSTR SysAllocStringByteLen(LPCSTR psz, UINT len);
INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len);
void SysFreeString(BSTR bstrString);
UINT SysStringLen(BSTR pbstr);
UINT SysStringByteLen(BSTR bstr);

// ---------------------------------------------------------------------------
// VARIANT
// ---------------------------------------------------------------------------
void VariantInit(VARIANTARG* pvarg);
HRESULT VariantClear(VARIANTARG* pvarg);
HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);
HRESULT VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc);
HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags,
                          VARTYPE vt);
HRESULT VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID lcid,
                            USHORT wFlags, VARTYPE vt);

// Single conversions the module and the coercion code share.
HRESULT VarBstrFromR8(DOUBLE dblIn, LCID lcid, ULONG dwFlags, BSTR* pbstrOut);
HRESULT VarBstrFromR4(FLOAT fltIn, LCID lcid, ULONG dwFlags, BSTR* pbstrOut);
HRESULT VarBstrFromDate(DATE dateIn, LCID lcid, ULONG dwFlags, BSTR* pbstrOut);
HRESULT VarR8FromStr(const OLECHAR* strIn, LCID lcid, ULONG dwFlags, DOUBLE* pdblOut);
HRESULT VarI4FromStr(const OLECHAR* strIn, LCID lcid, ULONG dwFlags, LONG* plOut);
HRESULT VarDateFromStr(const OLECHAR* strIn, LCID lcid, ULONG dwFlags, DATE* pdateOut);
HRESULT VarI4FromR8(DOUBLE dblIn, LONG* plOut);

// ---------------------------------------------------------------------------
// Operators. Operands are read through references and an object's default
// member; Empty counts as 0 (or "" beside a string) and Null makes the result
// Null but for the exceptions each names. A result that does not fit its type
// moves up: Byte to Integer to Long to Double. The result's old value is
// released (it may be one of the operands); on failure it is VT_EMPTY.
// ---------------------------------------------------------------------------
HRESULT VarAdd(LPVARIANT pvarLeft, LPVARIANT pvarRight, LPVARIANT pvarResult);  // two strings join
HRESULT VarSub(LPVARIANT pvarLeft, LPVARIANT pvarRight, LPVARIANT pvarResult);
HRESULT VarMul(LPVARIANT pvarLeft, LPVARIANT pvarRight, LPVARIANT pvarResult);
HRESULT VarDiv(LPVARIANT pvarLeft, LPVARIANT pvarRight, LPVARIANT pvarResult);
// Integer division and remainder round both operands half to even first.
HRESULT VarIdiv(LPVARIANT pvarLeft, LPVARIANT pvarRight, LPVARIANT pvarResult);
HRESULT VarMod(LPVARIANT pvarLeft, LPVARIANT pvarRight, LPVARIANT pvarResult);
HRESULT VarPow(LPVARIANT pvarLeft, LPVARIANT pvarRight, LPVARIANT pvarResult);
HRESULT VarNeg(LPVARIANT pvarIn, LPVARIANT pvarResult);
// Joins the text forms; Null beside a value reads as "", two Nulls give Null.
HRESULT VarCat(LPVARIANT pvarLeft, LPVARIANT pvarRight, LPVARIANT pvarResult);
// Bitwise on integers, logical on Booleans. Null And zero is zero and Null Or
// all bits set is all bits set (False and True for Booleans).
HRESULT VarAnd(LPVARIANT pvarLeft, LPVARIANT pvarRight, LPVARIANT pvarResult);
HRESULT VarOr(LPVARIANT pvarLeft, LPVARIANT pvarRight, LPVARIANT pvarResult);
HRESULT VarXor(LPVARIANT pvarLeft, LPVARIANT pvarRight, LPVARIANT pvarResult);
HRESULT VarNot(LPVARIANT pvarIn, LPVARIANT pvarResult);

// VarCmp answers one of these (or a failure). Numbers compare by value, two
// strings by UTF-16 code unit (ASCII letters folded under NORM_IGNORECASE), a
// string beside a number is read as a number, NaN is unordered (VARCMP_NULL).
constexpr HRESULT VARCMP_LT = 0;
constexpr HRESULT VARCMP_EQ = 1;
constexpr HRESULT VARCMP_GT = 2;
constexpr HRESULT VARCMP_NULL = 3;
constexpr ULONG NORM_IGNORECASE = 0x00000001;
HRESULT VarCmp(LPVARIANT pvarLeft, LPVARIANT pvarRight, LCID lcid, ULONG dwFlags);

// ---------------------------------------------------------------------------
// Dates. DATE counts days from 1899-12-30; whole seconds, as the platform.
// ---------------------------------------------------------------------------
INT VariantTimeToSystemTime(DOUBLE vtime, SYSTEMTIME* lpSystemTime);
INT SystemTimeToVariantTime(SYSTEMTIME* lpSystemTime, DOUBLE* pvtime);
void GetSystemTime(SYSTEMTIME* lpSystemTime);
void GetLocalTime(SYSTEMTIME* lpSystemTime);
void GetSystemTimeAsFileTime(FILETIME* lpSystemTimeAsFileTime);
BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, FILETIME* lpFileTime);
BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, SYSTEMTIME* lpSystemTime);
BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, FILETIME* lpLocalFileTime);
BOOL LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime, FILETIME* lpFileTime);
BOOL SystemTimeToTzSpecificLocalTime(const void* lpTimeZone, const SYSTEMTIME* lpUniversalTime,
                                     SYSTEMTIME* lpLocalTime);
BOOL TzSpecificLocalTimeToSystemTime(const void* lpTimeZone, const SYSTEMTIME* lpLocalTime,
                                     SYSTEMTIME* lpUniversalTime);

// ---------------------------------------------------------------------------
// SAFEARRAY
// ---------------------------------------------------------------------------
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound);
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
HRESULT SafeArrayDestroy(SAFEARRAY* psa);
HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound);
HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound);
UINT SafeArrayGetDim(SAFEARRAY* psa);
UINT SafeArrayGetElemsize(SAFEARRAY* psa);
HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt);
HRESULT SafeArrayRedim(SAFEARRAY* psa, SAFEARRAYBOUND* psaboundNew);
HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut);
HRESULT SafeArrayCopyData(SAFEARRAY* psaSource, SAFEARRAY* psaTarget);
HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData);
HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);
HRESULT SafeArrayLock(SAFEARRAY* psa);
HRESULT SafeArrayUnlock(SAFEARRAY* psa);
HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, LONG* rgIndices, void** ppvData);
}  // extern "C"

// Date conversions that are not platform calls but that every layer needs.
namespace mv {

constexpr DATE kUnixEpochAsDate = 25569.0;  // 1970-01-01 00:00:00

DATE DateFromFileTime(const FILETIME& ft);
FILETIME FileTimeFromDate(DATE d);
DATE DateFromUnixSeconds(double seconds);
double UnixSecondsFromDate(DATE d);

// The clock behind GetSystemTime/GetLocalTime. Tests install a fixed or
// stepping clock; nullptr restores the system clock. The function returns
// microseconds since 1970-01-01 UTC.
using ClockFunction = int64_t (*)();
void SetClockForTesting(ClockFunction clock);
int64_t NowMicrosecondsUtc();

// Appends `count` characters to the string *target owns alone, growing its
// allocation with spare room so that repeated appends cost amortised
// constant time per character; *target may move. The result is an ordinary
// BSTR to every reader. A null *target is taken as empty. E_OUTOFMEMORY
// (target unchanged) when the string cannot grow; E_INVALIDARG for a null
// target or a string of an odd byte count.
HRESULT AppendToBstr(BSTR* target, const OLECHAR* chars, UINT count) noexcept;

// ---------------------------------------------------------------------------
// RAII owners
// ---------------------------------------------------------------------------
// Owns one BSTR. The constructors that copy text (from a string, a view,
// UTF-8 or another Bstr) throw std::bad_alloc when the string cannot be
// allocated, so a Bstr made from text is never null by failure: a null
// OLECHAR* or a null Bstr gives a null Bstr, an empty text an empty one. Every
// COM method and entry point runs in a frame that turns the exception into
// E_OUTOFMEMORY. Because they throw, no function marked noexcept and no
// destructor may construct a Bstr from text (make the text first, or catch).
class Bstr {
public:
    Bstr() = default;
    explicit Bstr(const OLECHAR* s) : b_(s ? Allocated(SysAllocString(s)) : nullptr) {}
    explicit Bstr(std::u16string_view s)
        : b_(Allocated(SysAllocStringLen(s.data(), static_cast<UINT>(s.size())))) {}
    explicit Bstr(std::string_view utf8);
    Bstr(const Bstr& o)
        : b_(o.b_ ? Allocated(SysAllocStringLen(o.b_, SysStringLen(o.b_))) : nullptr) {}
    Bstr(Bstr&& o) noexcept : b_(std::exchange(o.b_, nullptr)) {}
    Bstr& operator=(Bstr o) noexcept {
        std::swap(b_, o.b_);
        return *this;
    }
    ~Bstr() { SysFreeString(b_); }

    static Bstr Attach(BSTR b) {
        Bstr r;
        r.b_ = b;
        return r;
    }
    BSTR Detach() noexcept { return std::exchange(b_, nullptr); }
    BSTR* Out() noexcept {  // frees the current string first
        SysFreeString(std::exchange(b_, nullptr));
        return &b_;
    }
    BSTR get() const noexcept { return b_; }
    UINT Length() const noexcept { return SysStringLen(b_); }
    std::u16string_view view() const noexcept { return {b_ ? b_ : u"", Length()}; }
    std::string Utf8() const { return ToUtf8(view()); }

private:
    // `b` when the allocation gave one; throws std::bad_alloc for null.
    static BSTR Allocated(BSTR b) {
        if (!b) [[unlikely]]
            throw std::bad_alloc();
        return b;
    }

    BSTR b_ = nullptr;
};

// A VARIANT that clears what it holds when it goes.
//
// A copy (the copy constructor, copy assignment, the constructor from a
// VARIANT) throws std::bad_alloc when memory runs out, so that no copy
// passes for the value it failed to make; an assignment then leaves the
// target as it was. A copy that fails for another reason (a type a VARIANT
// cannot carry, an array locked in the target) leaves the target Empty.
// So no function marked noexcept and no destructor copies a Variant: they
// move it, or call VariantCopy and check its result.
class Variant : public VARIANT {
public:
    Variant() noexcept { VariantInit(this); }
    Variant(const VARIANT& o) {
        VariantInit(this);
        CopyFrom(o);
    }
    Variant(const Variant& o) : Variant(static_cast<const VARIANT&>(o)) {}
    Variant(Variant&& o) noexcept {
        *static_cast<VARIANT*>(this) = o;
        VariantInit(&o);
    }
    Variant& operator=(const Variant& o) {
        if (this != &o) CopyFrom(o);
        return *this;
    }
    Variant& operator=(Variant&& o) noexcept {
        if (this != &o) {
            VariantClear(this);
            *static_cast<VARIANT*>(this) = o;
            VariantInit(&o);
        }
        return *this;
    }
    ~Variant() { VariantClear(this); }

    explicit Variant(LONG v) noexcept : Variant() { vt = VT_I4, lVal = v; }
    explicit Variant(DOUBLE v) noexcept : Variant() { vt = VT_R8, dblVal = v; }
    explicit Variant(bool v) noexcept : Variant() {
        vt = VT_BOOL, boolVal = v ? VARIANT_TRUE : VARIANT_FALSE;
    }
    // A text that cannot be allocated throws std::bad_alloc, as a copy does.
    explicit Variant(std::u16string_view s) : Variant() {
        bstrVal = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
        if (!bstrVal) throw std::bad_alloc();
        vt = VT_BSTR;
    }
    explicit Variant(const OLECHAR* s) : Variant() {
        bstrVal = SysAllocString(s);
        if (!bstrVal && s) throw std::bad_alloc();
        vt = VT_BSTR;
    }

    static Variant Date(DATE d) noexcept {
        Variant r;
        r.vt = VT_DATE;
        r.date = d;
        return r;
    }
    void Clear() noexcept { VariantClear(this); }
    VARIANT Detach() noexcept {
        VARIANT r = *this;
        VariantInit(this);
        return r;
    }
    HRESULT ChangeType(VARTYPE to, const VARIANT* src = nullptr) {
        return VariantChangeType(this, src ? src : this, 0, to);
    }

private:
    void CopyFrom(const VARIANT& o) {
        const HRESULT hr = VariantCopy(this, &o);
        if (hr == E_OUTOFMEMORY) throw std::bad_alloc();
        if (FAILED(hr)) VariantClear(this);
    }
};

}  // namespace mv
