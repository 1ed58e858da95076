#include "persist_test_class.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "frame/diagnostic_log.h"
#include "storage.h"

namespace {

constexpr PropertyMapEntry kTestMap[] = {
    MvPropertyRow(u"Name", kTestName),
    MvPropertyRow(u"Count", kTestCount),
    MvPropertyRow(u"Small", kTestSmall),
    MvPropertyRow(u"Ratio", kTestRatio),
    MvPropertyRow(u"When", kTestWhen),
    MvPropertyRow(u"Enabled", kTestEnabled),
    MvPropertyRow(u"*Kind", kTestKind),
    MvPropertyRow(u"*Value", kTestValue),
    MvPropertyRow(u"*Default", kTestDefault),
    MvPropertyRow(u"*Result", kTestResult),
    MvPropertyRow(u"Connection", kTestConnection),
    MvPropertyRow(u"Items", kTestItems),
    MvPropertyMapEnd(),
};

}  // namespace

const PropertyMapEntry* CPersistTestObject::GetPropertyMap() {
    return kTestMap;
}

HRESULT CPersistTestObject::FinalConstruct() {
    mv::ComPtr<mv::ComObject<CPersistTestCollection>> collection;
    if (HRESULT hr = mv::MakeComObject(&collection); FAILED(hr)) return hr;
    items = static_cast<IPersistTestCollection*>(collection.get());
    return S_OK;
}

HRESULT CPersistTestObject::get_Name(BSTR* p) {
    *p = name.get() ? SysAllocStringLen(name.get(), name.Length()) : nullptr;
    return S_OK;
}

HRESULT CPersistTestObject::put_Name(BSTR v) {
    name = mv::Bstr(v);
    return S_OK;
}

HRESULT CPersistTestCollection::get_Count(LONG* p) {
    *p = static_cast<LONG>(members.size());
    return S_OK;
}

HRESULT CPersistTestCollection::GetClassID(CLSID* pClassID) {
    *pClassID = CLSID_PersistTestCollection;
    return S_OK;
}

HRESULT CPersistTestCollection::Save(IStream* pStm, BOOL) {
    const BYTE follows = 1, end = 0;
    for (const auto& member : members) {
        mv::ComPtr<IPersistStream> persist;
        if (FAILED(member->QueryInterface(IID_IPersistStream, persist.PutVoid()))) continue;
        if (HRESULT hr = pStm->Write(&follows, 1, nullptr); FAILED(hr)) return hr;
        if (HRESULT hr = OleSaveToStream(persist.get(), pStm); FAILED(hr)) return hr;
    }
    return pStm->Write(&end, 1, nullptr);
}

HRESULT CPersistTestCollection::Load(IStream* pStm) {
    members.clear();
    for (;;) {
        BYTE flag = 0;
        ULONG got = 0;
        if (HRESULT hr = pStm->Read(&flag, 1, &got); FAILED(hr)) return hr;
        if (got != 1) return E_FAIL;
        if (!flag) return S_OK;
        mv::ComPtr<IDispatch> member;
        if (HRESULT hr = OleLoadFromStream(pStm, IID_IDispatch, member.PutVoid()); FAILED(hr))
            return hr;
        members.push_back(member);
    }
}

PersistTestClassRegistration::PersistTestClassRegistration() {
    mv::ComPtr<IUnknown> factory;
    mv::CreateClassFactory<CPersistTestObject>(IID_IUnknown, factory.PutVoid());
    CoRegisterClassObject(CLSID_PersistTestObject, factory.get(), CLSCTX_INPROC_SERVER,
                          REGCLS_MULTIPLEUSE, &objectCookie_);
    mv::CreateClassFactory<CPersistTestCollection>(IID_IUnknown, factory.PutVoid());
    CoRegisterClassObject(CLSID_PersistTestCollection, factory.get(), CLSCTX_INPROC_SERVER,
                          REGCLS_MULTIPLEUSE, &collectionCookie_);
}

PersistTestClassRegistration::~PersistTestClassRegistration() {
    CoRevokeClassObject(objectCookie_);
    CoRevokeClassObject(collectionCookie_);
}

mv::ComPtr<mv::ComObject<CPersistTestObject>> MakeTestObject() {
    mv::ComPtr<mv::ComObject<CPersistTestObject>> object;
    mv::MakeComObject(&object);
    return object;
}

CPersistTestCollection* ItemsOf(CPersistTestObject* object) {
    return static_cast<CPersistTestCollection*>(
        static_cast<IPersistTestCollection*>(static_cast<IDispatch*>(object->items.get())));
}

mv::ComPtr<IStream> NewStream(const Bytes& bytes) {
    mv::ComPtr<IStream> stream;
    CreateStreamOnHGlobal(nullptr, TRUE, stream.Put());
    if (!bytes.empty()) stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
    LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    return stream;
}

uint64_t StreamPosition(IStream* stream) {
    LARGE_INTEGER zero{};
    ULARGE_INTEGER position{};
    stream->Seek(zero, STREAM_SEEK_CUR, &position);
    return position.QuadPart;
}

Bytes StreamBytes(IStream* stream) {
    const uint64_t position = StreamPosition(stream);
    LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    Bytes out;
    uint8_t buffer[4096];
    for (ULONG got = 0; SUCCEEDED(stream->Read(buffer, sizeof buffer, &got)) && got;)
        out.insert(out.end(), buffer, buffer + got);
    LARGE_INTEGER back{};
    back.QuadPart = static_cast<LONGLONG>(position);
    stream->Seek(back, STREAM_SEEK_SET, nullptr);
    return out;
}

namespace {
std::string ReadLogFile(const std::string& path, uint64_t from) {
    std::ifstream in(path, std::ios::binary);
    std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (from > raw.size()) from = 0;  // the file was emptied at its size cap
    std::u16string text;
    for (size_t i = from; i + 1 < raw.size(); i += 2)
        text.push_back(static_cast<char16_t>(static_cast<uint8_t>(raw[i]) |
                                             static_cast<uint8_t>(raw[i + 1]) << 8));
    return mv::ToUtf8(text);
}
}  // namespace

LogWatch::LogWatch() {
    static const bool initialised = [] {
        g_DiagnosticLog.Initialize(nullptr, LogComponentMorvaCalc, u"", u"17.0.0.266");
        return true;
    }();
    (void)initialised;
    path_ = g_DiagnosticLog.CurrentFileName();
    std::error_code ec;
    auto size = std::filesystem::file_size(path_, ec);
    start_ = ec ? 0 : size;
}

std::string LogWatch::Text() const {
    return ReadLogFile(path_, start_);
}
