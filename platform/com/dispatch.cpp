// The generic IDispatch behind every dispatch table: name lookup, argument
// matching (positional in reverse order, named, optional, by reference),
// coercion in the caller's locale, and the exception report.
#include <algorithm>
#include <cstring>
#include <new>

#include "com.h"

namespace mv {
namespace {

constexpr WORD kPutFlags = DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF;

bool IsPut(DispKind k) {
    return k == DispKind::PropPut || k == DispKind::PropPutRef;
}

// The row to invoke: puts are chosen by the put flags alone; otherwise a
// method before a getter, as scripting hosts ask with both flags. Either
// way the wanted kind of the lowest flag wins (put before putref, method
// before getter), and of that kind the first row.
const DispMember* FindMember(const DispTable& t, DISPID id, WORD flags) {
    WORD want = (flags & kPutFlags) ? (flags & kPutFlags)
                                    : (flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET));
    const DispMember* best = nullptr;
    auto consider = [&best, want](const DispMember& m) {
        const WORD kind = static_cast<WORD>(m.kind);
        if ((want & kind) && (!best || kind < static_cast<WORD>(best->kind))) best = &m;
    };
    if (!t.byId) {
        for (std::size_t i = 0; i < t.count; ++i)
            if (t.members[i].id == id) consider(t.members[i]);
        return best;
    }
    // The rows of the DISPID, in DISPID order: a row or two (get and put).
    // The default member and the few reserved (negative) ones sort first, so
    // those, the most asked for, are found walking from the front.
    const uint16_t* end = t.byId + t.count;
    const uint16_t* row = t.byId;
    if (id <= DISPID_VALUE)
        while (row != end && t.members[*row].id < id) ++row;
    else
        row = std::lower_bound(row, end, id,
                               [&t](uint16_t r, DISPID v) { return t.members[r].id < v; });
    for (; row != end && t.members[*row].id == id; ++row) consider(t.members[*row]);
    return best;
}

bool SameName(const OLECHAR* a, std::u16string_view b) {
    return a && EqualsNoCase(std::u16string_view(a), b);
}

// The first row of a name (ignoring case), or null.
const DispMember* FindByName(const DispTable& t, const OLECHAR* name) {
    if (!name) return nullptr;
    if (!t.byName) {
        for (std::size_t i = 0; i < t.count; ++i)
            if (SameName(name, t.members[i].name)) return &t.members[i];
        return nullptr;
    }
    const uint16_t* end = t.byName + t.count;
    const uint16_t* at =
        std::lower_bound(t.byName, end, name, [&t](uint16_t row, const OLECHAR* n) {
            return detail::CompareNames(t.members[row].name, n) < 0;
        });
    return at != end && detail::SameName(t.members[*at].name, name) ? &t.members[*at] : nullptr;
}

// Position of `name` in a comma-separated list, or -1.
int FindParamName(const char16_t* list, const OLECHAR* name) {
    if (!list || !name) return -1;
    std::u16string_view rest(list);
    for (int index = 0;; ++index) {
        std::size_t comma = rest.find(u',');
        if (SameName(name, rest.substr(0, comma))) return index;
        if (comma == std::u16string_view::npos) return -1;
        rest.remove_prefix(comma + 1);
    }
}

bool IsMissing(const VARIANT* v) {
    return v->vt == VT_ERROR && v->scode == DISP_E_PARAMNOTFOUND;
}

// The interface an object argument holds, looking through one level of
// reference; false when the argument is not an object.
bool ObjectOf(const VARIANT* v, IUnknown** out) {
    if (v->vt == (VT_BYREF | VT_VARIANT)) {
        if (!v->pvarVal) return false;
        v = v->pvarVal;
    }
    switch (v->vt) {
        case VT_DISPATCH:
        case VT_UNKNOWN:
            *out = v->punkVal;
            return true;
        case VT_BYREF | VT_DISPATCH:
        case VT_BYREF | VT_UNKNOWN:
            if (!v->ppunkVal) return false;
            *out = *v->ppunkVal;
            return true;
        default:
            return false;
    }
}

// One argument on its way to the member.
struct Slot {
    VARIANT owned;                 // storage this call owns, cleared afterwards
    IUnknown* itf = nullptr;       // a queried interface, released afterwards
    VARIANT* writeBack = nullptr;  // the caller's VARIANT that receives `owned` on success
    Slot() {
        owned.vt = VT_EMPTY;
        owned.wReserved1 = owned.wReserved2 = owned.wReserved3 = 0;
    }
    ~Slot() {
        if (owned.vt != VT_EMPTY) VariantClear(&owned);
        if (itf) itf->Release();
    }
};

// The slots of one call, made for the member's parameters only.
class Slots {
public:
    explicit Slots(UINT count) : count_(count) {
        for (UINT i = 0; i < count_; ++i) new (&items_[i]) Slot();
    }
    ~Slots() {
        for (UINT i = 0; i < count_; ++i) items_[i].~Slot();
    }
    Slots(const Slots&) = delete;
    Slots& operator=(const Slots&) = delete;
    Slot& operator[](UINT i) { return items_[i]; }

private:
    union {
        Slot items_[kDispMaxParams];
    };
    UINT count_;
};

// Converts `src` to `p`'s type into `out` (an owned value).
HRESULT Coerce(const VARIANT* src, const DispParam& p, LCID lcid, Slot* slot, VARIANT* out) {
    if (p.vt == VT_DISPATCH || p.vt == VT_UNKNOWN) {
        IUnknown* unk = nullptr;
        if (!ObjectOf(src, &unk)) return DISP_E_TYPEMISMATCH;
        if (p.iid) {
            void* q = nullptr;
            if (unk && FAILED(unk->QueryInterface(*p.iid, &q))) return DISP_E_TYPEMISMATCH;
            slot->itf = static_cast<IUnknown*>(q);
            out->vt = VT_EMPTY;
            out->byref = q;
            return S_OK;
        }
        if (p.vt == VT_DISPATCH && unk &&
            !(src->vt == VT_DISPATCH || (src->vt == (VT_BYREF | VT_DISPATCH)))) {
            void* q = nullptr;
            if (FAILED(unk->QueryInterface(IID_IDispatch, &q))) return DISP_E_TYPEMISMATCH;
            unk = static_cast<IDispatch*>(q);
        } else if (unk) {
            unk->AddRef();
        }
        out->vt = p.vt;
        out->punkVal = unk;
        return S_OK;
    }
    VARIANT plain;
    VariantInit(&plain);
    if (src->vt & VT_BYREF) {
        if (!src->byref || FAILED(VariantCopyInd(&plain, src))) return DISP_E_TYPEMISMATCH;
        src = &plain;
    }
    HRESULT hr = p.vt == VT_VARIANT || src->vt == p.vt
                     ? VariantCopy(out, src)
                     : VariantChangeTypeEx(out, src, lcid, 0, p.vt);
    VariantClear(&plain);
    if (hr == E_OUTOFMEMORY) return hr;
    return FAILED(hr) ? DISP_E_TYPEMISMATCH : S_OK;
}

// Prepares an [in,out] argument: the caller's own storage when it matches
// the declared type, else a converted copy (written back into a referenced
// VARIANT after the call).
HRESULT PrepareInOut(VARIANT* src, const DispParam& p, LCID lcid, Slot* slot, VARIANT* arg) {
    if (p.vt == VT_VARIANT) {
        if (src->vt == (VT_BYREF | VT_VARIANT)) {
            if (!src->pvarVal) return DISP_E_TYPEMISMATCH;
            arg->byref = src->pvarVal;
            return S_OK;
        }
        HRESULT hr = VariantCopy(&slot->owned, src);
        if (FAILED(hr)) return hr == E_OUTOFMEMORY ? hr : DISP_E_TYPEMISMATCH;
        arg->byref = &slot->owned;
        return S_OK;
    }
    if (src->vt == (VT_BYREF | p.vt)) {
        if (!src->byref) return DISP_E_TYPEMISMATCH;
        arg->byref = src->byref;
        return S_OK;
    }
    if (src->vt == (VT_BYREF | VT_VARIANT)) {
        if (!src->pvarVal) return DISP_E_TYPEMISMATCH;
        slot->writeBack = src->pvarVal;
    } else if (src->vt & VT_BYREF) {
        return DISP_E_TYPEMISMATCH;  // another type's storage cannot take this one
    }
    HRESULT hr = Coerce(src, p, lcid, slot, &slot->owned);
    if (FAILED(hr)) return hr;
    arg->byref = &slot->owned.lVal;  // every value field starts at the same place
    return S_OK;
}

void FillException(HRESULT hr, EXCEPINFO* ei) {
    std::memset(ei, 0, sizeof(*ei));
    ei->scode = hr;
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Put()) != S_OK || !info) return;
    info->GetDescription(&ei->bstrDescription);
    info->GetSource(&ei->bstrSource);
    info->GetHelpFile(&ei->bstrHelpFile);
    info->GetHelpContext(&ei->dwHelpContext);
}

// Runs the member over the prepared arguments. A failure clears `result`
// and, when the caller takes exceptions, is reported as DISP_E_EXCEPTION
// with the member's error information.
HRESULT CallMember(IDispatch* self, const DispMember& m, VARIANT* args, VARIANT* result,
                   EXCEPINFO* pExcepInfo) {
    // Error information that belongs to an earlier call must not be
    // mistaken for this member's.
    SetErrorInfo(0, nullptr);
    HRESULT hr;
    try {
        hr = m.thunk(self, args);
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    } catch (...) {
        hr = E_UNEXPECTED;
    }
    if (FAILED(hr)) {
        VariantClear(result);
        if (!pExcepInfo) return hr;
        FillException(hr, pExcepInfo);
        return DISP_E_EXCEPTION;
    }
    return hr;
}

// Points the [out, retval] argument at the result.
void PointAtResult(const DispParam& p, VARIANT* arg, VARIANT* result) {
    if (p.vt == VT_VARIANT || p.iid) {
        arg->pvarVal = result;
    } else {
        // Empty until the member writes it: a member that fails before then
        // leaves nothing for the clean-up to free.
        result->vt = p.vt;
        result->byref = nullptr;
        arg->byref = &result->lVal;
    }
}

void HandOver(VARIANT* result, VARIANT* pVarResult) {
    if (pVarResult)
        *pVarResult = *result;
    else
        VariantClear(result);
}

// A member that takes no argument: at most its [out, retval] one.
HRESULT CallWithoutArguments(IDispatch* self, const DispMember& m, VARIANT* pVarResult,
                             EXCEPINFO* pExcepInfo) {
    VARIANT args[1];
    VARIANT result;
    VariantInit(&result);
    VariantInit(&args[0]);
    if (m.count) PointAtResult(m.params[0], &args[0], &result);
    const HRESULT hr = CallMember(self, m, args, &result, pExcepInfo);
    if (FAILED(hr)) return hr;
    HandOver(&result, pVarResult);
    return hr;
}

}  // namespace

HRESULT TableGetIDsOfNames(const DispTable& table, REFIID riid, LPOLESTR* rgszNames, UINT cNames,
                           LCID, DISPID* rgDispId) {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    if (cNames == 0) return S_OK;
    if (!rgszNames || !rgDispId) return E_INVALIDARG;
    const DispMember* member = FindByName(table, rgszNames[0]);
    if (!member) {
        for (UINT k = 0; k < cNames; ++k) rgDispId[k] = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
    }
    rgDispId[0] = member->id;
    HRESULT hr = S_OK;
    for (UINT k = 1; k < cNames; ++k) {
        int index = -1;
        for (std::size_t i = 0; i < table.count && index < 0; ++i)
            if (table.members[i].id == member->id)
                index = FindParamName(table.members[i].names, rgszNames[k]);
        rgDispId[k] = index < 0 ? DISPID_UNKNOWN : index;
        if (index < 0) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

HRESULT TableInvoke(IDispatch* self, const DispTable& table, DISPID dispIdMember, REFIID riid,
                    LCID lcid, WORD wFlags, DISPPARAMS* dp, VARIANT* pVarResult,
                    EXCEPINFO* pExcepInfo, UINT* puArgErr) {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    const DispMember* m = FindMember(table, dispIdMember, wFlags);
    if (!m) return DISP_E_MEMBERNOTFOUND;

    const UINT nIn = m->count - (m->retval ? 1u : 0u);
    const bool put = IsPut(m->kind);
    const UINT cArgs = dp ? dp->cArgs : 0;
    const UINT cNamed = dp ? dp->cNamedArgs : 0;
    if (!dp && nIn > m->optional) return E_INVALIDARG;
    if ((cArgs && !dp->rgvarg) || (cNamed && !dp->rgdispidNamedArgs) || cNamed > cArgs)
        return E_INVALIDARG;
    // A property read or call without arguments (a default value read, the
    // most common call by far): nothing to match, convert or write back.
    if (cArgs == 0 && nIn == 0 && !put)
        return CallWithoutArguments(self, *m, pVarResult, pExcepInfo);
    auto argErr = [&](UINT index, HRESULT hr) {
        if (puArgErr) *puArgErr = index;
        return hr;
    };

    // Only the member's own parameters are looked at; where[i] is set
    // together with src[i].
    VARIANT* src[kDispMaxParams];
    UINT where[kDispMaxParams];
    std::fill_n(src, m->count, nullptr);
    const UINT indexSlots = put ? nIn - 1 : nIn;  // what positions and names may fill
    bool putValueSeen = false;
    bool namedUsed = false;
    for (UINT j = 0; j < cNamed; ++j) {
        DISPID id = dp->rgdispidNamedArgs[j];
        if (id == DISPID_PROPERTYPUT) {
            if (!put || putValueSeen) return argErr(j, DISP_E_PARAMNOTFOUND);
            putValueSeen = true;
            src[nIn - 1] = &dp->rgvarg[j];
            where[nIn - 1] = j;
            continue;
        }
        if (!m->names) return DISP_E_NONAMEDARGS;
        if (id < 0 || static_cast<UINT>(id) >= indexSlots || src[id])
            return argErr(j, DISP_E_PARAMNOTFOUND);
        src[id] = &dp->rgvarg[j];
        where[id] = j;
        namedUsed = true;
    }
    if (put && !putValueSeen) return DISP_E_PARAMNOTFOUND;
    const UINT nPos = cArgs - cNamed;
    if (nPos > indexSlots) return DISP_E_BADPARAMCOUNT;
    for (UINT i = 0; i < nPos; ++i) {
        UINT index = cArgs - 1 - i;
        if (src[i]) return argErr(where[i], DISP_E_PARAMNOTFOUND);
        src[i] = &dp->rgvarg[index];
        where[i] = index;
    }
    const UINT firstOptional = nIn - m->optional;
    for (UINT i = 0; i < nIn; ++i) {
        if (src[i]) {
            if (i < firstOptional && IsMissing(src[i]))
                return argErr(where[i], DISP_E_PARAMNOTOPTIONAL);
        } else if (i < firstOptional) {
            return namedUsed ? DISP_E_PARAMNOTOPTIONAL : DISP_E_BADPARAMCOUNT;
        }
    }

    Slots slots(m->count);
    VARIANT args[kDispMaxParams];
    VARIANT result;
    VariantInit(&result);
    for (UINT i = 0; i < m->count; ++i) {
        const DispParam& p = m->params[i];
        VARIANT& arg = args[i];
        VariantInit(&arg);
        HRESULT hr = S_OK;
        switch (p.mode) {
            case DispMode::In:
                if (!src[i]) {
                    arg.vt = VT_ERROR;
                    arg.scode = DISP_E_PARAMNOTFOUND;
                } else if (p.vt != VT_DISPATCH && p.vt != VT_UNKNOWN && !(src[i]->vt & VT_BYREF) &&
                           (p.vt == VT_VARIANT || src[i]->vt == p.vt)) {
                    // Already of the member's type: the member borrows the
                    // caller's value as it would a copy of it, without the
                    // copy.
                    arg = *src[i];
                } else {
                    hr = Coerce(src[i], p, lcid, &slots[i], &slots[i].owned);
                    arg = slots[i].owned;  // the member borrows the value
                }
                break;
            case DispMode::InOut:
                hr = PrepareInOut(src[i], p, lcid, &slots[i], &arg);
                break;
            case DispMode::Retval:
                PointAtResult(p, &arg, &result);
                break;
        }
        if (FAILED(hr)) return hr == E_OUTOFMEMORY ? hr : argErr(where[i], hr);
    }

    HRESULT hr = CallMember(self, *m, args, &result, pExcepInfo);
    if (FAILED(hr)) return hr;
    for (UINT i = 0; i < m->count; ++i) {
        if (!slots[i].writeBack) continue;
        VariantClear(slots[i].writeBack);
        *slots[i].writeBack = slots[i].owned;
        VariantInit(&slots[i].owned);
    }
    HandOver(&result, pVarResult);
    return hr;
}

}  // namespace mv
