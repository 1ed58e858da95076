// SAFEARRAY descriptors and their data.
//
// Dimensions are numbered from 1 in the order given to SafeArrayCreate. The
// descriptor keeps them in reverse: rgsabound[0] is the last dimension and
// rgsabound[cDims - 1] the first, as on the platform, so code that reads the
// descriptor directly sees the layout it expects. In memory the first
// dimension varies fastest. rgIndices[0] is the index into the first
// dimension, and SafeArrayRedim changes the last dimension, rgsabound[0],
// which only adds or drops whole blocks at the end of the data.
//
// The block of each descriptor starts with 16 bytes before the SAFEARRAY: the
// IID of an interface array (FADF_HAVEIID), otherwise the element VARTYPE in
// its last four bytes (FADF_HAVEVARTYPE).
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "oleaut.h"
#include "oleaut/oleaut_internal.h"

namespace {

constexpr size_t kPrefix = 16;
// Largest data block an array may have; beyond this creation or resizing
// reports that memory is short.
constexpr uint64_t kMaxDataBytes = 0x7FFFFFFFu;

USHORT FeaturesFor(VARTYPE vt) noexcept {
    switch (vt) {
        case VT_BSTR:
            return FADF_BSTR | FADF_HAVEVARTYPE;
        case VT_VARIANT:
            return FADF_VARIANT | FADF_HAVEVARTYPE;
        case VT_UNKNOWN:
            return FADF_UNKNOWN | FADF_HAVEIID;
        case VT_DISPATCH:
            return FADF_DISPATCH | FADF_HAVEIID;
        default:
            return FADF_HAVEVARTYPE;
    }
}

unsigned char* BlockOf(SAFEARRAY* psa) noexcept {
    return reinterpret_cast<unsigned char*>(psa) - kPrefix;
}

SAFEARRAYBOUND* Bounds(SAFEARRAY* psa) noexcept {
    return psa->rgsabound;
}

// Bound of dimension `dim` (1 = first given at creation).
SAFEARRAYBOUND& BoundOf(SAFEARRAY* psa, UINT dim) noexcept {
    return Bounds(psa)[psa->cDims - dim];
}

uint64_t ElementCount(SAFEARRAY* psa) noexcept {
    uint64_t n = 1;
    for (USHORT i = 0; i < psa->cDims; ++i) n *= Bounds(psa)[i].cElements;
    return n;
}

// Element count and byte size of a data block, or false when too large.
bool DataSize(SAFEARRAY* psa, uint64_t* count, uint64_t* bytes) noexcept {
    uint64_t n = 1;
    for (USHORT i = 0; i < psa->cDims; ++i) {
        // n stays at most kMaxDataBytes before each step, so this cannot wrap.
        n *= Bounds(psa)[i].cElements;
        if (n > kMaxDataBytes || n * psa->cbElements > kMaxDataBytes) return false;
    }
    *count = n;
    *bytes = n * psa->cbElements;
    return true;
}

// Writes the element type into a zeroed prefix: the IID of an interface
// array, otherwise the VARTYPE in its last four bytes.
void MarkType(unsigned char* block, VARTYPE vt) noexcept {
    if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
        const IID& iid = vt == VT_UNKNOWN ? IID_IUnknown : IID_IDispatch;
        std::memcpy(block, &iid, sizeof(IID));
    } else {
        const DWORD stored = vt;
        std::memcpy(block + kPrefix - sizeof(DWORD), &stored, sizeof(DWORD));
    }
}

// Allocates a descriptor (bounds left zero, no data).
SAFEARRAY* AllocateDescriptor(VARTYPE vt, UINT cDims) noexcept {
    const ULONG size = mv::oleaut::ValueSize(vt);
    if (size == 0 || cDims == 0 || cDims > std::numeric_limits<USHORT>::max()) return nullptr;
    const size_t bytes =
        kPrefix + offsetof(SAFEARRAY, rgsabound) + size_t{cDims} * sizeof(SAFEARRAYBOUND);
    auto* block = static_cast<unsigned char*>(std::calloc(1, bytes));
    if (!block) return nullptr;
    auto* psa = reinterpret_cast<SAFEARRAY*>(block + kPrefix);
    psa->cDims = static_cast<USHORT>(cDims);
    psa->fFeatures = FeaturesFor(vt);
    psa->cbElements = size;
    MarkType(block, vt);
    return psa;
}

bool AllocateData(SAFEARRAY* psa) noexcept {
    uint64_t count = 0, bytes = 0;
    if (!DataSize(psa, &count, &bytes)) return false;
    if (bytes == 0) return true;  // an empty array has no data block
    psa->pvData = std::calloc(1, bytes);
    return psa->pvData != nullptr;
}

void FreeDescriptor(SAFEARRAY* psa) noexcept {
    std::free(psa->pvData);
    std::free(BlockOf(psa));
}

unsigned char* ElementAt(SAFEARRAY* psa, uint64_t i) noexcept {
    return static_cast<unsigned char*>(psa->pvData) + i * psa->cbElements;
}

// Releases what elements [first, first + count) own and zeroes them.
void ClearElements(SAFEARRAY* psa, uint64_t first, uint64_t count) noexcept {
    if (count == 0) return;
    for (uint64_t i = first; i < first + count; ++i) {
        void* e = ElementAt(psa, i);
        if (psa->fFeatures & FADF_BSTR) {
            SysFreeString(*static_cast<BSTR*>(e));
        } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
            if (auto* p = *static_cast<IUnknown**>(e)) p->Release();
        } else if (psa->fFeatures & FADF_VARIANT) {
            VariantClear(static_cast<VARIANT*>(e));
        }
    }
    std::memset(ElementAt(psa, first), 0, count * psa->cbElements);
}

// Copies one element from `src` into the zeroed or owned slot `dst` of an
// array with the features of `psa`, releasing what `dst` held before.
HRESULT CopyElement(SAFEARRAY* psa, void* dst, const void* src) noexcept {
    if (psa->fFeatures & FADF_BSTR) {
        BSTR from = *static_cast<const BSTR*>(src);
        BSTR copy = nullptr;
        if (from) {
            copy = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(from), SysStringByteLen(from));
            if (!copy) return E_OUTOFMEMORY;
        }
        SysFreeString(*static_cast<BSTR*>(dst));
        *static_cast<BSTR*>(dst) = copy;
        return S_OK;
    }
    if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
        IUnknown* from = *static_cast<IUnknown* const*>(src);
        if (from) from->AddRef();
        if (auto* old = *static_cast<IUnknown**>(dst)) old->Release();
        *static_cast<IUnknown**>(dst) = from;
        return S_OK;
    }
    if (psa->fFeatures & FADF_VARIANT)
        return VariantCopy(static_cast<VARIANT*>(dst), static_cast<const VARIANT*>(src));
    std::memmove(dst, src, psa->cbElements);
    return S_OK;
}

// Position of an element in the data block, or false when an index is out
// of its dimension's bounds.
bool Offset(SAFEARRAY* psa, const LONG* rgIndices, uint64_t* out) noexcept {
    uint64_t offset = 0, stride = 1;
    for (UINT dim = 1; dim <= psa->cDims; ++dim) {
        const SAFEARRAYBOUND& b = BoundOf(psa, dim);
        const int64_t rel = int64_t{rgIndices[dim - 1]} - b.lLbound;
        if (rel < 0 || rel >= int64_t{b.cElements}) return false;
        offset += static_cast<uint64_t>(rel) * stride;
        stride *= b.cElements;
    }
    *out = offset;
    return true;
}

SAFEARRAY* Create(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* dims) noexcept {
    SAFEARRAY* psa = AllocateDescriptor(vt, cDims);
    if (!psa) return nullptr;
    for (UINT d = 1; d <= cDims; ++d) BoundOf(psa, d) = dims[d - 1];
    if (!AllocateData(psa)) {
        FreeDescriptor(psa);
        return nullptr;
    }
    return psa;
}

// Copies every element of `from` into `to`, which has the same shape.
HRESULT CopyAll(SAFEARRAY* from, SAFEARRAY* to) noexcept {
    const uint64_t n = ElementCount(from);
    for (uint64_t i = 0; i < n; ++i) {
        const HRESULT hr = CopyElement(to, ElementAt(to, i), ElementAt(from, i));
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

// Arrays nest in arrays (a Variant element owning an array) as deep as
// memory allows, so copying and destroying them walk the nesting in a loop,
// without recursion and without memory of their own (which may be what is
// short): an array the walk owns on the way down keeps its place, the index
// of its next element, in its lock count, 0 before and after, and the link
// to the level above in its prefix, which the walk puts back coming up.
struct Above {
    SAFEARRAY* array;   // the array above, the one being copied to or freed
    SAFEARRAY* source;  // copying: the array above that is copied
};
static_assert(sizeof(Above) <= kPrefix);

void LinkAbove(SAFEARRAY* psa, Above above) noexcept {
    std::memcpy(BlockOf(psa), &above, sizeof above);
}

Above LinkedAbove(SAFEARRAY* psa) noexcept {
    Above above;
    std::memcpy(&above, BlockOf(psa), sizeof above);
    return above;
}

// Frees an unlocked array and the arrays its Variant elements own, element
// by element and depth first, as destroying each element in turn would; an
// owned array that is locked stays where it is, as VariantClear leaves it.
void DestroyTree(SAFEARRAY* top) noexcept {
    SAFEARRAY* psa = top;
    while (psa) {
        SAFEARRAY* below = nullptr;
        if (psa->pvData && (psa->fFeatures & FADF_VARIANT)) {
            const uint64_t n = ElementCount(psa);
            for (uint64_t i = psa->cLocks; i < n && !below; ++i) {
                auto* e = reinterpret_cast<VARIANT*>(ElementAt(psa, i));
                SAFEARRAY* owned = mv::oleaut::OwnedArray(*e);
                if (owned && !owned->cLocks) {
                    below = owned;
                    e->vt = VT_EMPTY;
                    psa->cLocks = static_cast<ULONG>(i + 1);
                } else {
                    VariantClear(e);
                }
            }
        } else if (psa->pvData) {
            ClearElements(psa, 0, ElementCount(psa));
        }
        if (below) {
            LinkAbove(below, {psa, nullptr});
            psa = below;
            continue;
        }
        SAFEARRAY* above = psa == top ? nullptr : LinkedAbove(psa).array;
        FreeDescriptor(psa);
        psa = above;
    }
}

// A new array of the shape and element type of `psa`, its elements zeroed.
HRESULT CopyShape(SAFEARRAY* psa, SAFEARRAY** out) noexcept {
    VARTYPE vt = VT_EMPTY;
    const HRESULT hr = SafeArrayGetVartype(psa, &vt);
    if (FAILED(hr)) return hr;
    SAFEARRAY* copy = AllocateDescriptor(vt, psa->cDims);
    if (!copy) return E_OUTOFMEMORY;
    std::memcpy(Bounds(copy), Bounds(psa), size_t{psa->cDims} * sizeof(SAFEARRAYBOUND));
    if (!AllocateData(copy)) {
        FreeDescriptor(copy);
        return E_OUTOFMEMORY;
    }
    *out = copy;
    return S_OK;
}

// Copies every element of `source` into `copy`, made by CopyShape from it,
// and the arrays its Variant elements own in turn, element by element and
// depth first. On failure `copy` holds what was copied so far, for
// SafeArrayDestroy.
HRESULT CopyTree(SAFEARRAY* source, SAFEARRAY* copy) noexcept {
    SAFEARRAY* const top = copy;
    // Done with `copy`: back to the level above, false at the top.
    auto up = [&] {
        copy->cLocks = 0;
        if (copy == top) return false;
        const Above above = LinkedAbove(copy);
        VARTYPE vt = VT_EMPTY;
        SafeArrayGetVartype(source, &vt);  // read once already, by CopyShape
        std::memset(BlockOf(copy), 0, kPrefix);
        MarkType(BlockOf(copy), vt);
        copy = above.array, source = above.source;
        return true;
    };
    while (true) {
        HRESULT hr = S_OK;
        SAFEARRAY *below = nullptr, *belowSource = nullptr;
        if (source->fFeatures & FADF_VARIANT) {
            const uint64_t n = ElementCount(source);
            for (uint64_t i = copy->cLocks; i < n && !below && SUCCEEDED(hr); ++i) {
                const auto* from = reinterpret_cast<const VARIANT*>(ElementAt(source, i));
                auto* to = reinterpret_cast<VARIANT*>(ElementAt(copy, i));
                belowSource = mv::oleaut::OwnedArray(*from);
                if (!belowSource) {
                    hr = CopyElement(copy, to, from);
                    continue;
                }
                hr = CopyShape(belowSource, &below);
                if (FAILED(hr)) break;
                *to = *from;
                to->parray = below;
                copy->cLocks = static_cast<ULONG>(i + 1);
            }
        } else {
            hr = CopyAll(source, copy);
        }
        if (FAILED(hr)) {
            while (up()) {
            }
            return hr;
        }
        if (below) {
            LinkAbove(below, {copy, source});
            copy = below, source = belowSource;
        } else if (!up()) {
            return S_OK;
        }
    }
}

}  // namespace

ULONG mv::oleaut::ValueSize(VARTYPE vt) noexcept {
    switch (vt) {
        case VT_I1:
        case VT_UI1:
            return 1;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            return 2;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_ERROR:
            return 4;
        case VT_I8:
        case VT_UI8:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
            return 8;
        case VT_BSTR:
        case VT_UNKNOWN:
        case VT_DISPATCH:
            return sizeof(void*);
        case VT_VARIANT:
            return sizeof(VARIANT);
        case VT_DECIMAL:
            return sizeof(DECIMAL);
        default:
            return 0;
    }
}

extern "C" {

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) {
    if (!rgsabound) return nullptr;
    return Create(vt, cDims, rgsabound);
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
    const SAFEARRAYBOUND bound{cElements, lLbound};
    return Create(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
    if (!psa) return S_OK;
    if (psa->cLocks) return DISP_E_ARRAYISLOCKED;
    DestroyTree(psa);
    return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa) {
    if (!psa) return E_INVALIDARG;
    std::atomic_ref<ULONG> locks(psa->cLocks);
    ULONG n = locks.load();
    do {
        if (n == std::numeric_limits<ULONG>::max()) return E_UNEXPECTED;
    } while (!locks.compare_exchange_weak(n, n + 1));
    return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa) {
    if (!psa) return E_INVALIDARG;
    std::atomic_ref<ULONG> locks(psa->cLocks);
    ULONG n = locks.load();
    do {
        if (n == 0) return E_UNEXPECTED;
    } while (!locks.compare_exchange_weak(n, n - 1));
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
    if (!psa || !ppvData) return E_INVALIDARG;
    const HRESULT hr = SafeArrayLock(psa);
    if (FAILED(hr)) return hr;
    *ppvData = psa->pvData;
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) {
    return SafeArrayUnlock(psa);
}

HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, LONG* rgIndices, void** ppvData) {
    if (!psa || !rgIndices || !ppvData) return E_INVALIDARG;
    uint64_t at = 0;
    if (!Offset(psa, rgIndices, &at)) return DISP_E_BADINDEX;
    *ppvData = ElementAt(psa, at);
    return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
    if (!psa || !rgIndices || !pv) return E_INVALIDARG;
    uint64_t at = 0;
    if (!Offset(psa, rgIndices, &at)) return DISP_E_BADINDEX;
    SafeArrayLock(psa);
    const void* e = ElementAt(psa, at);
    HRESULT hr = S_OK;
    // The receiving storage is treated as uninitialised: nothing in it is
    // freed or released.
    if (psa->fFeatures & FADF_VARIANT) {
        VariantInit(static_cast<VARIANT*>(pv));
        hr = VariantCopy(static_cast<VARIANT*>(pv), static_cast<const VARIANT*>(e));
    } else {
        if (psa->fFeatures & (FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH))
            *static_cast<void**>(pv) = nullptr;
        hr = CopyElement(psa, pv, e);
    }
    SafeArrayUnlock(psa);
    return hr;
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
    if (!psa || !rgIndices) return E_INVALIDARG;
    uint64_t at = 0;
    if (!Offset(psa, rgIndices, &at)) return DISP_E_BADINDEX;
    // A BSTR or interface is passed as itself, not by its address; null is
    // then a legitimate value. Other types are read through pv.
    const bool byValue = psa->fFeatures & (FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH);
    if (!byValue && !pv) return E_INVALIDARG;
    SafeArrayLock(psa);
    const HRESULT hr = CopyElement(psa, ElementAt(psa, at), byValue ? &pv : pv);
    SafeArrayUnlock(psa);
    return hr;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
    if (!psa || !plLbound) return E_INVALIDARG;
    if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
    *plLbound = BoundOf(psa, nDim).lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
    if (!psa || !plUbound) return E_INVALIDARG;
    if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
    const SAFEARRAYBOUND& b = BoundOf(psa, nDim);
    *plUbound = static_cast<LONG>(int64_t{b.lLbound} + int64_t{b.cElements} - 1);
    return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* psa) {
    return psa ? psa->cDims : 0;
}

UINT SafeArrayGetElemsize(SAFEARRAY* psa) {
    return psa ? psa->cbElements : 0;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
    if (!psa || !pvt) return E_INVALIDARG;
    if (psa->fFeatures & FADF_HAVEIID) {
        *pvt = (psa->fFeatures & FADF_DISPATCH) ? VT_DISPATCH : VT_UNKNOWN;
        return S_OK;
    }
    if (psa->fFeatures & FADF_HAVEVARTYPE) {
        DWORD stored = 0;
        std::memcpy(&stored, BlockOf(psa) + kPrefix - sizeof(DWORD), sizeof(DWORD));
        *pvt = static_cast<VARTYPE>(stored);
        return S_OK;
    }
    return E_INVALIDARG;
}

HRESULT SafeArrayRedim(SAFEARRAY* psa, SAFEARRAYBOUND* psaboundNew) {
    if (!psa || !psaboundNew) return E_INVALIDARG;
    if (psa->cLocks) return DISP_E_ARRAYISLOCKED;
    const uint64_t oldCount = ElementCount(psa);
    const SAFEARRAYBOUND old = Bounds(psa)[0];
    Bounds(psa)[0] = *psaboundNew;
    uint64_t newCount = 0, newBytes = 0;
    void* fresh = nullptr;
    if (!DataSize(psa, &newCount, &newBytes) || (newBytes && !(fresh = std::calloc(1, newBytes)))) {
        Bounds(psa)[0] = old;
        return E_OUTOFMEMORY;
    }
    // Elements beyond the new end are released; the kept ones move as they
    // are and the added ones start zeroed (VT_EMPTY for VARIANTs).
    if (newCount < oldCount) ClearElements(psa, newCount, oldCount - newCount);
    const uint64_t kept = newCount < oldCount ? newCount : oldCount;
    if (kept) std::memcpy(fresh, psa->pvData, kept * psa->cbElements);
    std::free(psa->pvData);
    psa->pvData = fresh;
    return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) {
    if (!ppsaOut) return E_INVALIDARG;
    *ppsaOut = nullptr;
    if (!psa) return S_OK;
    SAFEARRAY* copy = nullptr;
    HRESULT hr = CopyShape(psa, &copy);
    if (FAILED(hr)) return hr;
    hr = CopyTree(psa, copy);
    if (FAILED(hr)) {
        SafeArrayDestroy(copy);
        return hr;
    }
    *ppsaOut = copy;
    return S_OK;
}

HRESULT SafeArrayCopyData(SAFEARRAY* psaSource, SAFEARRAY* psaTarget) {
    if (!psaSource || !psaTarget) return E_INVALIDARG;
    if (psaSource == psaTarget) return S_OK;
    if (psaSource->cDims != psaTarget->cDims || psaSource->cbElements != psaTarget->cbElements ||
        (psaSource->fFeatures & (FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH | FADF_VARIANT)) !=
            (psaTarget->fFeatures & (FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH | FADF_VARIANT)))
        return E_INVALIDARG;
    for (USHORT i = 0; i < psaSource->cDims; ++i) {
        const SAFEARRAYBOUND& a = Bounds(psaSource)[i];
        const SAFEARRAYBOUND& b = Bounds(psaTarget)[i];
        if (a.cElements != b.cElements || a.lLbound != b.lLbound) return E_INVALIDARG;
    }
    return CopyAll(psaSource, psaTarget);
}

}  // extern "C"
