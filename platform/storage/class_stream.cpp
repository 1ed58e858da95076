// An object's class identifier in front of its own stream data, and the
// save and load of a whole object that way.
#include "storage.h"

namespace {

// Reads exactly `cb` bytes; a stream that ends first is a read fault.
HRESULT ReadExactly(IStream* stream, void* pv, ULONG cb) {
    ULONG got = 0;
    HRESULT hr = stream->Read(pv, cb, &got);
    if (FAILED(hr)) return hr;
    return got == cb ? S_OK : STG_E_READFAULT;
}

}  // namespace

HRESULT WriteClassStm(IStream* pStm, REFCLSID rclsid) {
    if (!pStm) return E_INVALIDARG;
    uint8_t bytes[16];
    mv::GuidToBytes(rclsid, bytes);
    ULONG written = 0;
    HRESULT hr = pStm->Write(bytes, sizeof bytes, &written);
    if (FAILED(hr)) return hr;
    return written == sizeof bytes ? S_OK : STG_E_WRITEFAULT;
}

HRESULT ReadClassStm(IStream* pStm, CLSID* pclsid) {
    if (!pStm || !pclsid) return E_INVALIDARG;
    uint8_t bytes[16];
    if (HRESULT hr = ReadExactly(pStm, bytes, sizeof bytes); FAILED(hr)) return hr;
    *pclsid = mv::GuidFromBytes(bytes);
    return S_OK;
}

HRESULT OleSaveToStream(IPersistStream* pPStm, IStream* pStm) {
    if (!pPStm) return OLE_E_BLANK;
    if (!pStm) return E_INVALIDARG;
    CLSID clsid{};
    if (HRESULT hr = pPStm->GetClassID(&clsid); FAILED(hr)) return hr;
    if (HRESULT hr = WriteClassStm(pStm, clsid); FAILED(hr)) return hr;
    return pPStm->Save(pStm, TRUE);
}

HRESULT OleLoadFromStream(IStream* pStm, REFIID iidInterface, LPVOID* ppvObj) {
    if (!ppvObj) return E_INVALIDARG;
    *ppvObj = nullptr;
    if (!pStm) return E_INVALIDARG;
    CLSID clsid{};
    if (HRESULT hr = ReadClassStm(pStm, &clsid); FAILED(hr)) return hr;
    IPersistStream* persist = nullptr;
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_SERVER, IID_IPersistStream,
                                  reinterpret_cast<void**>(&persist));
    if (FAILED(hr)) return hr;
    if (!persist) return E_NOINTERFACE;
    hr = persist->Load(pStm);
    if (SUCCEEDED(hr)) hr = persist->QueryInterface(iidInterface, ppvObj);
    persist->Release();
    if (FAILED(hr)) *ppvObj = nullptr;
    return hr;
}
