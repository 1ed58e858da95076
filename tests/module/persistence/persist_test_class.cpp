#include "persist_test_class.h"

#include <cstdio>

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

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Le32(int32_t v) {
    auto u = static_cast<uint32_t>(v);
    return {uint8_t(u), uint8_t(u >> 8), uint8_t(u >> 16), uint8_t(u >> 24)};
}

Bytes ClassBytes(const CLSID& clsid) {
    uint8_t raw[16];
    mv::GuidToBytes(clsid, raw);
    return Bytes(raw, raw + 16);
}

mv::ComPtr<IXMLDOMDocument> ParseXml(std::u16string_view text) {
    mv::ComPtr<IXMLDOMDocument> doc;
    EXPECT_EQ(mv::CreateXmlDocument(doc.Put()), S_OK);
    VARIANT_BOOL ok = VARIANT_FALSE;
    EXPECT_EQ(doc->loadXML(mv::Bstr(text).get(), &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_TRUE);
    return doc;
}

mv::ComPtr<IXMLDOMNode> RootOf(IXMLDOMDocument* doc) {
    mv::ComPtr<IXMLDOMElement> root;
    EXPECT_EQ(doc->get_documentElement(root.Put()), S_OK);
    return mv::ComPtr<IXMLDOMNode>(root.get());
}

std::u16string XmlOf(IXMLDOMNode* node) {
    mv::Bstr xml;
    EXPECT_EQ(node->get_xml(xml.Out()), S_OK);
    return std::u16string(xml.view());
}

std::string Hex(const Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

std::string ReadWithOlefile(const std::string& path) {
    const std::string command =
        "/usr/bin/python3 -c \"import olefile,sys\n"
        "o=olefile.OleFileIO(sys.argv[1])\n"
        "for e in o.listdir(streams=True, storages=True):\n"
        "  n='/'.join(e)\n"
        "  print(n+'='+(o.openstream(n).read().hex() if o.get_type(n)==2 else 'storage'))\" '" +
        path + "' 2>&1";
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}
