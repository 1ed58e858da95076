// Document files: one stream under the root of a compound file.
#include "persistence/persist_file.h"

#include <string>
#include <string_view>

#include "frame/tls_slots.h"
#include "frame/trace.h"
#include "storage.h"

namespace {

constexpr DWORD kCreateFileMode = STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_READWRITE;  // 0x1012
constexpr DWORD kCreateStreamMode = STGM_SHARE_EXCLUSIVE | STGM_READWRITE;              // 0x12
constexpr DWORD kOpenMode = STGM_SHARE_EXCLUSIVE | STGM_READ;                           // 0x10
constexpr const OLECHAR* kOlderStreamName = u"vorn";

// Documents in the base folder's bin folder whose absence is normal. Takes
// no memory: it runs on the failure road, which must not fail for lack of it.
bool IsQuietDocument(std::u16string_view name) {
    for (std::u16string_view file : {u"Schedules.mvc", u"Conversions.mvc"}) {
        if (!name.ends_with(file)) continue;
        const std::u16string_view folder = name.substr(0, name.size() - file.size());
        for (std::u16string_view bin : {u"bin\\", u"bin/"})
            if (folder.ends_with(bin)) return true;
    }
    return false;
}

bool ReportsFileErrors() {
    if (g_tlsReportFileErrors == TLS_OUT_OF_INDEXES) return false;
    return TlsGetValue(g_tlsReportFileErrors) == reinterpret_cast<LPVOID>(1);
}

}  // namespace

HRESULT MvPersistFile_SaveToFile(IUnknown* object, char letter, BSTR fileName) {
    if (!object) return E_POINTER;
    const OLECHAR* name = fileName ? fileName : u"";
    mv::ComPtr<IStorage> storage;
    HRESULT hr = StgCreateDocfile(name, kCreateFileMode, 0, storage.Put());
    if (FAILED(hr)) return hr;
    if (!storage) return E_UNEXPECTED;

    const OLECHAR streamName[2] = {static_cast<OLECHAR>(static_cast<unsigned char>(letter)), 0};
    mv::ComPtr<IStream> stream;
    hr = storage->CreateStream(streamName, kCreateStreamMode, 0, 0, stream.Put());
    mv::ComPtr<IPersistStream> persist;
    if (SUCCEEDED(hr)) hr = object->QueryInterface(IID_IPersistStream, persist.PutVoid());
    if (SUCCEEDED(hr) && !persist) hr = E_NOINTERFACE;
    if (SUCCEEDED(hr)) hr = persist->Save(stream.get(), FALSE);
    // A failed save never replaces the document: the new file is thrown away
    // and the old one stays as it was.
    if (FAILED(hr)) mv::StgAbandon(storage.get());
    persist.Reset();
    stream.Reset();
    // Finishing the document puts it in place of the target; a failure there
    // (the disk filled up, the rename was refused) is the save's failure.
    if (SUCCEEDED(hr)) hr = storage->Commit(STGC_DEFAULT);
    storage.Reset();
    return hr;
}

HRESULT MvPersistFile_LoadFromFile(IUnknown* object, char letter, const char* logText,
                                   BSTR fileName) {
    if (!object) return E_POINTER;
    const OLECHAR* name = fileName ? fileName : u"";

    mv::ComPtr<IStorage> storage;
    HRESULT hr = StgOpenStorage(name, nullptr, kOpenMode, nullptr, 0, storage.Put());
    if (SUCCEEDED(hr) && !storage) hr = E_UNEXPECTED;
    if (FAILED(hr)) {
        if (!IsQuietDocument(name) && ReportsFileErrors())
            MvLogFailure(logText, hr, {"StgOpenStorage: Failed to open file \"", name, "\""});
        return hr;
    }

    const OLECHAR streamName[2] = {static_cast<OLECHAR>(static_cast<unsigned char>(letter)), 0};
    mv::ComPtr<IStream> stream;
    hr = storage->OpenStream(streamName, nullptr, kOpenMode, 0, stream.Put());
    if (FAILED(hr)) hr = storage->OpenStream(kOlderStreamName, nullptr, kOpenMode, 0, stream.Put());
    if (SUCCEEDED(hr) && !stream) hr = E_UNEXPECTED;
    if (FAILED(hr)) {
        const char letterText[2] = {letter, 0};
        MvLogFailure(logText, hr,
                     {"pStorage->OpenStream: Failed to open stream ", letterText, " in file \"",
                      name, "\".  File is wrong type."});
        return hr;
    }

    mv::ComPtr<IPersistStream> persist;
    hr = object->QueryInterface(IID_IPersistStream, persist.PutVoid());
    if (SUCCEEDED(hr) && !persist) hr = E_NOINTERFACE;
    if (FAILED(hr)) return hr;
    hr = persist->Load(stream.get());
    if (FAILED(hr))
        MvLogFailure(logText, hr, {"pPersist->Load: Failed to load file \"", name, "\""});
    persist.Reset();
    stream.Reset();
    storage.Reset();
    return hr;
}
