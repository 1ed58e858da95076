// The binary record stream: the VARIANT stream form, the zero test and the
// save and load of an object's records through its IDispatch.
#include "persistence/persist_stream.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "frame/diagnostic_log.h"
#include "frame/trace.h"
#include "storage.h"

namespace {

// ---------------------------------------------------------------------------
// Exact reads and writes
// ---------------------------------------------------------------------------
HRESULT WriteBytes(IStream* stream, const void* data, ULONG size) {
    ULONG written = 0;
    HRESULT hr = stream->Write(data, size, &written);
    if (FAILED(hr)) return hr;
    return written == size ? S_OK : STG_E_WRITEFAULT;
}

// A stream that ends early (or answers S_FALSE) fails with E_FAIL: nothing
// is ever taken from missing data.
// (Stream: IStream, or MvReadAheadStream, whose reads are then inlined.)
template <class Stream>
HRESULT ReadBytes(Stream* stream, void* data, ULONG size) {
    ULONG got = 0;
    HRESULT hr = stream->Read(data, size, &got);
    if (FAILED(hr)) return hr;
    if (hr == S_FALSE || got != size) return E_FAIL;
    return S_OK;
}

HRESULT WriteLittleEndian(IStream* stream, uint64_t bits, ULONG size) {
    uint8_t bytes[8];
    for (ULONG i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(bits >> (8 * i));
    return WriteBytes(stream, bytes, size);
}

template <class Stream>
HRESULT ReadLittleEndian(Stream* stream, ULONG size, uint64_t* bits) {
    uint8_t bytes[8];
    if (HRESULT hr = ReadBytes(stream, bytes, size); FAILED(hr)) return hr;
    uint64_t v = 0;
    for (ULONG i = 0; i < size; ++i) v |= static_cast<uint64_t>(bytes[i]) << (8 * i);
    *bits = v;
    return S_OK;
}

HRESULT WriteDispid(IStream* stream, DISPID id) {
    return WriteLittleEndian(stream, static_cast<uint32_t>(id), 4);
}

template <class Stream>
HRESULT ReadDispid(Stream* stream, DISPID* id) {
    uint64_t bits = 0;
    HRESULT hr = ReadLittleEndian(stream, 4, &bits);
    if (SUCCEEDED(hr)) *id = static_cast<DISPID>(static_cast<uint32_t>(bits));
    return hr;
}

// ---------------------------------------------------------------------------
// Numbers: the payload size of a type, and its raw bits
// ---------------------------------------------------------------------------
ULONG NumberSize(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
        case VT_UI1:
            return 1;
        case VT_I2:
        case VT_BOOL:
        case VT_UI2:
            return 2;
        case VT_I4:
        case VT_R4:
        case VT_ERROR:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
            return 4;
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_I8:
        case VT_UI8:
            return 8;
        default:
            return 0;
    }
}

uint64_t NumberBits(const VARIANT& v) {
    switch (v.vt) {
        case VT_I1:
            return static_cast<uint8_t>(v.cVal);
        case VT_UI1:
            return v.bVal;
        case VT_I2:
            return static_cast<uint16_t>(v.iVal);
        case VT_BOOL:
            return static_cast<uint16_t>(v.boolVal);
        case VT_UI2:
            return v.uiVal;
        case VT_I4:
            return static_cast<uint32_t>(v.lVal);
        case VT_R4:
            return std::bit_cast<uint32_t>(v.fltVal);
        case VT_ERROR:
            return static_cast<uint32_t>(v.scode);
        case VT_UI4:
            return v.ulVal;
        case VT_INT:
            return static_cast<uint32_t>(v.intVal);
        case VT_UINT:
            return v.uintVal;
        case VT_R8:
            return std::bit_cast<uint64_t>(v.dblVal);
        case VT_CY:
            return static_cast<uint64_t>(v.cyVal.int64);
        case VT_DATE:
            return std::bit_cast<uint64_t>(v.date);
        case VT_I8:
            return static_cast<uint64_t>(v.llVal);
        default:  // VT_UI8
            return v.ullVal;
    }
}

void SetNumberBits(VARIANT* v, VARTYPE vt, uint64_t bits) {
    switch (vt) {
        case VT_I1:
            v->cVal = static_cast<CHAR>(static_cast<uint8_t>(bits));
            break;
        case VT_UI1:
            v->bVal = static_cast<BYTE>(bits);
            break;
        case VT_I2:
            v->iVal = static_cast<SHORT>(static_cast<uint16_t>(bits));
            break;
        case VT_BOOL:
            v->boolVal = static_cast<VARIANT_BOOL>(static_cast<uint16_t>(bits));
            break;
        case VT_UI2:
            v->uiVal = static_cast<USHORT>(bits);
            break;
        case VT_I4:
            v->lVal = static_cast<LONG>(static_cast<uint32_t>(bits));
            break;
        case VT_R4:
            v->fltVal = std::bit_cast<FLOAT>(static_cast<uint32_t>(bits));
            break;
        case VT_ERROR:
            v->scode = static_cast<SCODE>(static_cast<uint32_t>(bits));
            break;
        case VT_UI4:
            v->ulVal = static_cast<ULONG>(bits);
            break;
        case VT_INT:
            v->intVal = static_cast<INT>(static_cast<uint32_t>(bits));
            break;
        case VT_UINT:
            v->uintVal = static_cast<UINT>(bits);
            break;
        case VT_R8:
            v->dblVal = std::bit_cast<DOUBLE>(bits);
            break;
        case VT_CY:
            v->cyVal.int64 = static_cast<LONGLONG>(bits);
            break;
        case VT_DATE:
            v->date = std::bit_cast<DATE>(bits);
            break;
        case VT_I8:
            v->llVal = static_cast<LONGLONG>(bits);
            break;
        default:  // VT_UI8
            v->ullVal = bits;
            break;
    }
    v->vt = vt;
}

// ---------------------------------------------------------------------------
// Objects: class identifier, then the object's own stream
// ---------------------------------------------------------------------------
HRESULT WriteObject(IStream* stream, IUnknown* object) {
    if (!object) return WriteClassStm(stream, CLSID_NULL);
    mv::ComPtr<IPersistStream> persist;
    HRESULT hr = object->QueryInterface(IID_IPersistStream, persist.PutVoid());
    if (SUCCEEDED(hr) && persist) return OleSaveToStream(persist.get(), stream);
    mv::ComPtr<IPersistStreamInit> init;
    hr = object->QueryInterface(IID_IPersistStreamInit, init.PutVoid());
    if (FAILED(hr) || !init) return FAILED(hr) ? hr : E_NOINTERFACE;
    CLSID clsid{};
    if (hr = init->GetClassID(&clsid); FAILED(hr)) return hr;
    if (hr = WriteClassStm(stream, clsid); FAILED(hr)) return hr;
    return init->Save(stream, TRUE);
}

HRESULT ReadObject(IStream* stream, VARTYPE vt, VARIANT* value) {
    uint8_t bytes[16];
    if (HRESULT hr = ReadBytes(stream, bytes, sizeof bytes); FAILED(hr)) return hr;
    CLSID clsid = mv::GuidFromBytes(bytes);
    value->vt = vt;
    value->punkVal = nullptr;
    if (IsEqualGUID(clsid, CLSID_NULL)) return S_OK;  // a null reference
    // A class that cannot be created fails the load: its bytes cannot be
    // skipped, so going on would misread the rest of the stream.
    mv::ComPtr<IUnknown> object;
    HRESULT hr =
        CoCreateInstance(clsid, nullptr, CLSCTX_SERVER,
                         vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown, object.PutVoid());
    if (FAILED(hr)) return hr;
    if (!object) return E_NOINTERFACE;
    mv::ComPtr<IPersistStream> persist;
    hr = object->QueryInterface(IID_IPersistStream, persist.PutVoid());
    if (SUCCEEDED(hr) && persist) {
        hr = persist->Load(stream);
    } else {
        mv::ComPtr<IPersistStreamInit> init;
        hr = object->QueryInterface(IID_IPersistStreamInit, init.PutVoid());
        if (SUCCEEDED(hr) && !init) hr = E_NOINTERFACE;
        if (SUCCEEDED(hr)) hr = init->Load(stream);
    }
    if (FAILED(hr)) return hr;
    value->punkVal = object.Detach();
    return S_OK;
}

// ---------------------------------------------------------------------------
// Text: 32-bit byte count, UTF-16LE characters, 00 00
// ---------------------------------------------------------------------------
HRESULT WriteText(IStream* stream, BSTR text) {
    ULONG count = text ? SysStringByteLen(text) + sizeof(OLECHAR) : 0;
    if (text && SysStringByteLen(text) > kMvMaxTextStreamBytes - sizeof(OLECHAR))
        return E_ACCESSDENIED;  // no reader would take it back
    if (HRESULT hr = WriteLittleEndian(stream, count, 4); FAILED(hr)) return hr;
    if (!text) return S_OK;
    std::u16string_view chars(text, SysStringLen(text));
    std::string bytes;
    bytes.reserve(count);
    for (char16_t c : chars) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    if (SysStringByteLen(text) % 2) bytes.push_back(reinterpret_cast<const char*>(text)[count - 3]);
    bytes.append(2, '\0');
    return WriteBytes(stream, bytes.data(), count);
}

template <class Stream>
HRESULT ReadText(Stream* stream, BSTR* text) {
    *text = nullptr;
    uint64_t bits = 0;
    if (HRESULT hr = ReadLittleEndian(stream, 4, &bits); FAILED(hr)) return hr;
    ULONG count = static_cast<ULONG>(bits);
    if (count == 0) return S_OK;
    if (count == 1) return E_FAIL;
    if (count > kMvMaxTextStreamBytes) return E_ACCESSDENIED;
    // The bytes go straight into the string, terminator included; the
    // characters are little-endian, and an odd byte count keeps its last
    // byte, as a string of that byte length does.
    const ULONG byteLength = count - sizeof(OLECHAR);
    BSTR read = SysAllocStringByteLen(nullptr, byteLength);
    if (!read) return E_OUTOFMEMORY;
    auto* bytes = reinterpret_cast<uint8_t*>(read);
    HRESULT hr = ReadBytes(stream, bytes, count);
    if (SUCCEEDED(hr) && (bytes[count - 1] != 0 || bytes[count - 2] != 0)) hr = E_FAIL;
    if (FAILED(hr)) {
        SysFreeString(read);
        return hr;
    }
    if constexpr (std::endian::native != std::endian::little) {
        for (ULONG i = 0; i + 1 < byteLength; i += 2)
            read[i / 2] = static_cast<OLECHAR>(bytes[i] | bytes[i + 1] << 8);
    }
    *text = read;
    return S_OK;
}

constexpr const char* kSave = "MvPersistStream_Save";
constexpr const char* kLoad = "MvPersistStream_Load";

HRESULT GetProperty(IDispatch* disp, DISPID id, VARIANT* value) {
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    return disp->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, value,
                        nullptr, nullptr);
}

HRESULT PutProperty(IDispatch* disp, DISPID id, VARIANT& value) {
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{&value, &named, 1, 1};
    HRESULT hr = E_FAIL;
    if (value.vt == VT_UNKNOWN || value.vt == VT_DISPATCH || (value.vt & (VT_ARRAY | VT_BYREF)))
        hr = disp->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUTREF, &params,
                          nullptr, nullptr, nullptr);
    if (FAILED(hr))
        hr = disp->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params, nullptr,
                          nullptr, nullptr);
    return hr;
}

}  // namespace

// ---------------------------------------------------------------------------
// The VARIANT stream form
// ---------------------------------------------------------------------------
HRESULT MvVariant_WriteToStream(IStream* stream, const VARIANT& value) {
    if (!stream) return E_INVALIDARG;
    if (HRESULT hr = WriteLittleEndian(stream, value.vt, 2); FAILED(hr)) return hr;
    if (ULONG size = NumberSize(value.vt))
        return WriteLittleEndian(stream, NumberBits(value), size);
    if (value.vt == VT_DISPATCH || value.vt == VT_UNKNOWN)
        return WriteObject(stream, value.punkVal);
    if (value.vt == VT_BSTR) return WriteText(stream, value.bstrVal);
    mv::Variant text;
    HRESULT hr =
        VariantChangeTypeEx(&text, &value, LOCALE_USER_DEFAULT, VARIANT_NOVALUEPROP, VT_BSTR);
    if (FAILED(hr)) return hr;
    return WriteText(stream, text.bstrVal);
}

namespace {

template <class Stream>
HRESULT ReadVariant(Stream* stream, VARIANT* value) {
    if (value->vt != VT_EMPTY) VariantClear(value);
    uint64_t tagBits = 0;
    if (HRESULT hr = ReadLittleEndian(stream, 2, &tagBits); FAILED(hr)) return hr;
    VARTYPE vt = static_cast<VARTYPE>(tagBits);
    if (ULONG size = NumberSize(vt)) {
        uint64_t bits = 0;
        if (HRESULT hr = ReadLittleEndian(stream, size, &bits); FAILED(hr)) return hr;
        SetNumberBits(value, vt, bits);
        return S_OK;
    }
    if (vt == VT_DISPATCH || vt == VT_UNKNOWN) return ReadObject(stream, vt, value);
    BSTR text = nullptr;
    if (HRESULT hr = ReadText(stream, &text); FAILED(hr)) return hr;
    value->vt = VT_BSTR;
    value->bstrVal = text;
    if (vt == VT_BSTR) return S_OK;
    if (vt == VT_EMPTY) {
        VariantClear(value);
        return S_OK;
    }
    mv::Variant converted;
    HRESULT hr = VariantChangeType(&converted, value, 0, vt);
    VariantClear(value);
    if (FAILED(hr)) return hr;
    *value = converted.Detach();
    return S_OK;
}

}  // namespace

HRESULT MvVariant_ReadFromStream(IStream* stream, VARIANT* value) {
    if (!stream || !value) return E_INVALIDARG;
    return ReadVariant(stream, value);
}

bool MvPersist_IsZeroValue(const VARIANT& value) noexcept {
    switch (value.vt) {
        case VT_I2:
            return value.iVal == 0;
        case VT_I4:
            return value.lVal == 0;
        case VT_R4:
            return value.fltVal == 0.0f;
        case VT_R8:
            return value.dblVal == 0.0;
        case VT_DATE:
            return value.date == 0.0;
        case VT_BSTR:
            return !value.bstrVal || value.bstrVal[0] == 0;
        case VT_DISPATCH:
            return value.pdispVal == nullptr;
        case VT_BOOL:
            return value.boolVal == 0;
        default:
            return false;
    }
}

// ---------------------------------------------------------------------------
// The record stream
// ---------------------------------------------------------------------------
HRESULT MvPersistStream_Save(IStream* stream, const PropertyMapEntry* map, IUnknown* object) {
    mv::ComPtr<IDispatch> disp;
    HRESULT hr = object ? object->QueryInterface(IID_IDispatch, disp.PutVoid()) : E_POINTER;
    if (SUCCEEDED(hr) && !disp) hr = E_NOINTERFACE;
    if (FAILED(hr)) {
        MvLogFailure(kSave, hr, "QueryInterface: Failed while QueryInterface of IID_IDispatch!");
        return hr;
    }
    if (!stream) return E_INVALIDARG;
    for (int row = 0; map && map[row].pclsidPropPage; ++row) {
        const PropertyMapEntry& entry = map[row];
        if (!entry.szDesc) {
            MvLogFailure(kSave, E_FAIL, MvLogNumberText("pMap[%lld].szDesc is NULL.", row));
            continue;
        }
        const DISPID id = entry.dispid;
        mv::Variant value;
        if (hr = GetProperty(disp.get(), id, &value); FAILED(hr)) {
            MvLogFailure(
                kSave, hr,
                MvLogNumberText("CComDispatchDriver::GetProperty : Failed to get current value of "
                                "property #%lld.",
                                id));
            return hr;
        }
        if (id > MV_DISPID_CHILD_LIMIT) {
            if (value.vt != VT_DISPATCH) continue;
            mv::ComPtr<IPersistStream> child;
            HRESULT qi = value.pdispVal
                             ? value.pdispVal->QueryInterface(IID_IPersistStream, child.PutVoid())
                             : E_POINTER;
            if (FAILED(qi) || !child) {
                MvLogFailure(kSave, FAILED(qi) ? qi : E_NOINTERFACE,
                             MvLogNumberText(
                                 "QueryInterface: Failed to get IID_IPersistStream of collection "
                                 "#%lld.",
                                 id));
                continue;
            }
            if (hr = WriteDispid(stream, id); FAILED(hr)) {
                MvLogFailure(
                    kSave, hr,
                    MvLogNumberText("pStm->Write: Unable to write dispid %lld to stream!", id));
                return hr;
            }
            if (hr = child->Save(stream, FALSE); FAILED(hr)) {
                MvLogFailure(kSave, hr, "pStm->Save : Unable to write NULL to stream!");
                return hr;
            }
            continue;
        }
        if (value.vt & VT_ARRAY) continue;
        if ((id == 0 || id == 290) && (value.vt == VT_DISPATCH || value.vt == VT_NULL)) continue;
        if (entry.szDesc[0] != u'*' && MvPersist_IsZeroValue(value)) continue;
        if (hr = WriteDispid(stream, id); FAILED(hr)) {
            MvLogFailure(
                kSave, hr,
                MvLogNumberText("pStm->Write : Unable to write dispid %lld to stream!", id));
            return hr;
        }
        if (hr = MvVariant_WriteToStream(stream, value); FAILED(hr)) {
            MvLogFailure(kSave, hr, "var.WriteToStream : Unable to write value to stream!");
            return hr;
        }
    }
    if (hr = WriteDispid(stream, MV_DISPID_NULL); FAILED(hr)) {
        MvLogFailure(kSave, hr, "pStm->Write : Unable to write MV_DISPID_NULL to stream!");
        return hr;
    }
    return S_OK;
}

// ---------------------------------------------------------------------------
// Reading ahead
// ---------------------------------------------------------------------------
MvReadAheadStream::MvReadAheadStream(IStream* stream) : stream_(stream) {
    ULARGE_INTEGER position{};
    seekable_ = stream && SUCCEEDED(stream->Seek(LARGE_INTEGER{0}, STREAM_SEEK_CUR, &position));
}

MvReadAheadStream::~MvReadAheadStream() {
    GiveBack();
}

HRESULT MvReadAheadStream::GiveBack() {
    if (at_ == end_) return S_OK;
    const LONGLONG back = static_cast<LONGLONG>(end_ - at_);
    at_ = end_ = 0;
    return stream_->Seek(LARGE_INTEGER{-back}, STREAM_SEEK_CUR, nullptr);
}

HRESULT MvReadAheadStream::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ISequentialStream) ||
        IsEqualIID(riid, IID_IStream)) {
        *ppv = static_cast<IStream*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

HRESULT MvReadAheadStream::ReadMore(void* pv, ULONG cb, ULONG* pcbRead) {
    if (pcbRead) *pcbRead = 0;
    if (!pv && cb) return STG_E_INVALIDPOINTER;
    auto* out = static_cast<BYTE*>(pv);
    ULONG done = 0;
    while (done < cb) {
        if (at_ == end_) {
            at_ = end_ = 0;
            ULONG got = 0;
            // A read as large as a piece goes straight to the caller.
            const bool direct = cb - done >= kPiece;
            HRESULT hr = direct ? stream_->Read(out + done, cb - done, &got)
                                : stream_->Read(piece_, kPiece, &got);
            if (direct)
                done += got;
            else
                end_ = got;
            if (FAILED(hr)) {
                if (pcbRead) *pcbRead = done;
                return hr;
            }
            if (got == 0 || direct) break;
        }
        const ULONG take = std::min(cb - done, end_ - at_);
        std::memcpy(out + done, piece_ + at_, take);
        at_ += take;
        done += take;
    }
    if (pcbRead) *pcbRead = done;
    return S_OK;
}

HRESULT MvReadAheadStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten) {
    if (HRESULT hr = GiveBack(); FAILED(hr)) return hr;
    return stream_->Write(pv, cb, pcbWritten);
}
HRESULT MvReadAheadStream::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) {
    if (HRESULT hr = GiveBack(); FAILED(hr)) return hr;
    return stream_->Seek(move, origin, position);
}
HRESULT MvReadAheadStream::SetSize(ULARGE_INTEGER size) {
    if (HRESULT hr = GiveBack(); FAILED(hr)) return hr;
    return stream_->SetSize(size);
}
HRESULT MvReadAheadStream::CopyTo(IStream* to, ULARGE_INTEGER cb, ULARGE_INTEGER* read,
                                  ULARGE_INTEGER* written) {
    if (HRESULT hr = GiveBack(); FAILED(hr)) return hr;
    return stream_->CopyTo(to, cb, read, written);
}
HRESULT MvReadAheadStream::Commit(DWORD flags) {
    if (HRESULT hr = GiveBack(); FAILED(hr)) return hr;
    return stream_->Commit(flags);
}
HRESULT MvReadAheadStream::Revert() {
    if (HRESULT hr = GiveBack(); FAILED(hr)) return hr;
    return stream_->Revert();
}
HRESULT MvReadAheadStream::LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb, DWORD type) {
    if (HRESULT hr = GiveBack(); FAILED(hr)) return hr;
    return stream_->LockRegion(offset, cb, type);
}
HRESULT MvReadAheadStream::UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb, DWORD type) {
    if (HRESULT hr = GiveBack(); FAILED(hr)) return hr;
    return stream_->UnlockRegion(offset, cb, type);
}
HRESULT MvReadAheadStream::Stat(STATSTG* stat, DWORD flag) {
    if (HRESULT hr = GiveBack(); FAILED(hr)) return hr;
    return stream_->Stat(stat, flag);
}
HRESULT MvReadAheadStream::Clone(IStream** clone) {
    if (HRESULT hr = GiveBack(); FAILED(hr)) return hr;
    return stream_->Clone(clone);
}

namespace {
// The loads this thread has open, one inside another.
thread_local int t_loadNesting = 0;
}  // namespace

MvLoadNestingScope::MvLoadNestingScope() {
    ++t_loadNesting;
}
MvLoadNestingScope::~MvLoadNestingScope() {
    --t_loadNesting;
}
bool MvLoadNestingScope::TooDeep() const {
    return t_loadNesting > kMvMaxLoadNesting;
}

namespace {

// Applies the records up to the end marker to the object.
template <class Stream>
HRESULT LoadRecords(Stream* stream, IDispatch* disp) {
    HRESULT hr = S_OK;
    mv::Variant value;
    DISPID id = 0;
    if (hr = ReadDispid(stream, &id); FAILED(hr)) {
        MvLogFailure(kLoad, hr, "var.ReadFromStream : Failed to read a dispatch id from stream!");
        return hr;
    }
    while (id != MV_DISPID_NULL) {
        if (id > MV_DISPID_CHILD_LIMIT) {
            if (hr = GetProperty(disp, id, &value); FAILED(hr)) {
                MvLogFailure(kLoad, hr,
                             MvLogNumberText(
                                 "CComDispatchDriver::GetProperty : Failed to get dispatch id of "
                                 "collection #%lld.",
                                 id));
                return hr;
            }
            if (value.vt == VT_DISPATCH) {
                mv::ComPtr<IPersistStream> child;
                hr = value.pdispVal
                         ? value.pdispVal->QueryInterface(IID_IPersistStream, child.PutVoid())
                         : E_POINTER;
                if (SUCCEEDED(hr) && !child) hr = E_NOINTERFACE;
                if (FAILED(hr)) {
                    MvLogFailure(kLoad, hr,
                                 MvLogNumberText(
                                     "QueryInterface: Failed to get a IID_IPersistStream pointer "
                                     "for collection #%lld.",
                                     id));
                    return hr;
                }
                if (hr = child->Load(stream); FAILED(hr)) {
                    MvLogFailure(kLoad, hr,
                                 MvLogNumberText(
                                     "pPersist->Load: Failed to load persisted data of collection "
                                     "#%lld.",
                                     id));
                    return hr;
                }
            }
        } else {
            if (hr = ReadVariant(stream, &value); FAILED(hr)) {
                MvLogFailure(
                    kLoad, hr,
                    MvLogNumberText("var.ReadFromStream: Failed to read persisted data of property "
                                    "#%lld.",
                                    id));
                return hr;
            }
            if (HRESULT put = PutProperty(disp, id, value); FAILED(put)) {
                MvLogFailure(
                    kLoad, put,
                    MvLogNumberText("CComDispatchDriver::GetProperty : Failed to assign value to "
                                    "property %lld.",
                                    id));
                // A value that could not be taken for lack of memory was not
                // refused: the object would pass for loaded without it.
                if (put == E_OUTOFMEMORY) return put;
            }
        }
        value.Clear();
        if (hr = ReadDispid(stream, &id); FAILED(hr)) {
            MvLogFailure(kLoad, hr, "var.ReadFromStream : Failed to read from stream!");
            return hr;
        }
    }
    return S_OK;
}

}  // namespace

HRESULT MvPersistStream_Load(IStream* stream, IUnknown* object) {
    MvLoadNestingScope nesting;
    // Refused without a line of its own: the enclosing load logs the failed
    // value or collection.
    if (nesting.TooDeep()) return E_FAIL;
    mv::ComPtr<IDispatch> disp;
    HRESULT hr = object ? object->QueryInterface(IID_IDispatch, disp.PutVoid()) : E_POINTER;
    if (SUCCEEDED(hr) && !disp) hr = E_NOINTERFACE;
    if (FAILED(hr)) {
        MvLogFailure(kLoad, hr, "QueryInterface : Failed on QueryInterface of IID_IDispatch!");
        return hr;
    }
    if (!stream) return E_INVALIDARG;
    // Records are many small reads: read ahead, unless an enclosing load
    // already does.
    auto* reader = dynamic_cast<MvReadAheadStream*>(stream);
    std::optional<MvReadAheadStream> ahead;
    if (!reader && ahead.emplace(stream).get() != stream) reader = &*ahead;
    hr = reader ? LoadRecords(reader, disp.get()) : LoadRecords(stream, disp.get());
    if (SUCCEEDED(hr) && ahead) hr = ahead->GiveBack();
    return hr;
}
