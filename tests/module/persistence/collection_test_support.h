// Members for the named collection's tests: a small collectible class that
// keeps its name, saves it as its stream and XML form, and can be told to
// fail; a member with IDispatch alone; and a persistable member without a
// name. The collectible class is served under the parameter's class
// identifier, which the XML class-name table calls "Parameter".
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "comobj.h"
#include "interfaces/IMvCalcName.h"
#include "interfaces/IMvObjCollection.h"
#include "interfaces/IMvPersistXML.h"
#include "persistence/obj_collection.h"
#include "storage.h"
#include "values_test_support.h"

namespace collection_test {

MV_DEFINE_GUID(IID_ITestMember, 0x5B0F0C61, 0x2D3E, 0x4C1A, 0x9E, 0x11, 0x4A, 0x52, 0x01, 0x7C,
               0x33, 0x10);
// Persistable but nameless members are served under this class.
MV_DEFINE_GUID(CLSID_TestNameless, 0x5B0F0C62, 0x2D3E, 0x4C1A, 0x9E, 0x11, 0x4A, 0x52, 0x01, 0x7C,
               0x33, 0x10);

struct ITestMember : IDispatch {
    virtual HRESULT get_Name(BSTR* p) = 0;
    virtual HRESULT put_Name(BSTR v) = 0;

protected:
    ~ITestMember() = default;
};

}  // namespace collection_test

MV_IID_OF(collection_test::ITestMember, collection_test::IID_ITestMember);
namespace collection_test {
MV_DISPATCH_TABLE(ITestMember, mv::PropGet<&ITestMember::get_Name>(1, u"Name"),
                  mv::PropPut<&ITestMember::put_Name>(1, u"Name"))

// Counts live members, so that tests see every reference given back.
inline std::atomic<int> g_liveMembers{0};

// The common state and accessors of the test members.
class MemberBase : public mv::DispatchImpl<ITestMember> {
public:
    MemberBase() { ++g_liveMembers; }
    virtual ~MemberBase() { --g_liveMembers; }

    HRESULT get_Name(BSTR* p) override {
        if (!p) return E_POINTER;
        if (onName_) onName_();
        std::lock_guard<std::mutex> guard(mutex_);
        if (FAILED(getResult_)) return getResult_;
        *p = SysAllocStringLen(name_.data(), static_cast<UINT>(name_.size()));
        return S_OK;
    }
    HRESULT put_Name(BSTR v) override {
        if (onName_) onName_();
        std::lock_guard<std::mutex> guard(mutex_);
        if (FAILED(putResult_)) return putResult_;
        name_.assign(v ? v : u"", SysStringLen(v));
        return putResult_;
    }

    std::u16string name() {
        std::lock_guard<std::mutex> guard(mutex_);
        return name_;
    }
    void SetGetResult(HRESULT hr) { getResult_ = hr; }
    void SetPutResult(HRESULT hr) { putResult_ = hr; }
    // Runs before every get or put of the name (set it before sharing the
    // member between threads).
    void OnName(std::function<void()> hook) { onName_ = std::move(hook); }

    // Stream form: a 32-bit byte count, then the name's UTF-16LE bytes.
    HRESULT SaveName(IStream* stream) {
        std::u16string n = name();
        std::vector<BYTE> bytes;
        uint32_t count = static_cast<uint32_t>(n.size() * 2);
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<BYTE>(count >> (8 * i)));
        for (char16_t c : n) {
            bytes.push_back(static_cast<BYTE>(c & 0xFF));
            bytes.push_back(static_cast<BYTE>(c >> 8));
        }
        return stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
    }
    HRESULT LoadName(IStream* stream) {
        BYTE head[4];
        ULONG read = 0;
        if (FAILED(stream->Read(head, 4, &read)) || read != 4) return E_FAIL;
        uint32_t count = head[0] | head[1] << 8 | head[2] << 16 | uint32_t(head[3]) << 24;
        if (count % 2 || count > 4096) return E_FAIL;
        std::vector<BYTE> bytes(count);
        if (count && (FAILED(stream->Read(bytes.data(), count, &read)) || read != count))
            return E_FAIL;
        std::u16string n;
        for (uint32_t i = 0; i < count; i += 2)
            n.push_back(static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8));
        std::lock_guard<std::mutex> guard(mutex_);
        name_ = n;
        return S_OK;
    }

private:
    std::mutex mutex_;
    std::u16string name_;
    HRESULT getResult_ = S_OK;
    HRESULT putResult_ = S_OK;
    std::function<void()> onName_;
};

// IPersistStream of a test member: its name, served under T::ClassId().
template <class T>
class NameStream : public IPersistStream {
public:
    HRESULT GetClassID(CLSID* id) override {
        *id = T::ClassId();
        return S_OK;
    }
    HRESULT IsDirty() override { return S_OK; }
    HRESULT Load(IStream* stream) override { return static_cast<T*>(this)->LoadName(stream); }
    HRESULT Save(IStream* stream, BOOL) override { return static_cast<T*>(this)->SaveName(stream); }
    HRESULT GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }
};

// A collectible member: IMvCalcName, IPersistStream and IMvPersistXML.
class CTestMember : public mv::ComObjectRoot<CTestMember>,
                    public MemberBase,
                    public IMvCalcName,
                    public NameStream<CTestMember>,
                    public IMvPersistXML {
public:
    using InterfaceMap = mv::Interfaces<ITestMember, mv::Via<IDispatch, ITestMember>, IMvCalcName,
                                        IPersistStream, IMvPersistXML>;
    static CLSID ClassId() { return CLSID_MvParameter; }
    HRESULT get_ObjectName(BSTR* p) override { return get_Name(p); }
    HRESULT put_ObjectName(BSTR v) override { return put_Name(v); }

    // XML form: the name as the element's text.
    HRESULT SaveXML(IXMLDOMNode* node) override {
        mv::Bstr text(name());
        return node->put_text(text.get());
    }
    HRESULT LoadXML(IXMLDOMNode* node) override {
        mv::Bstr text;
        HRESULT hr = node->get_text(text.Out());
        if (FAILED(hr)) return hr;
        if (text.view() == u"fail") return E_FAIL;
        return put_Name(text.get());
    }
};

// A member with IDispatch alone.
class CBareMember : public mv::ComObjectRoot<CBareMember>, public MemberBase {
public:
    using InterfaceMap = mv::Interfaces<ITestMember, mv::Via<IDispatch, ITestMember>>;
};

// A persistable member without IMvCalcName.
class CNamelessMember : public mv::ComObjectRoot<CNamelessMember>,
                        public MemberBase,
                        public NameStream<CNamelessMember>,
                        public IMvPersistXML {
public:
    using InterfaceMap =
        mv::Interfaces<ITestMember, mv::Via<IDispatch, ITestMember>, IPersistStream, IMvPersistXML>;
    static CLSID ClassId() { return CLSID_TestNameless; }
    HRESULT SaveXML(IXMLDOMNode*) override { return S_OK; }
    HRESULT LoadXML(IXMLDOMNode*) override { return S_OK; }
};

// A new member of class T with the given name, one reference owned.
template <class T>
mv::ComPtr<mv::ComObject<T>> MakeMember(std::u16string_view name) {
    mv::ComPtr<mv::ComObject<T>> member;
    EXPECT_EQ(mv::MakeComObject<T>(&member), S_OK);
    mv::Bstr n(name);
    member->put_Name(n.get());
    return member;
}

inline IDispatch* AsDispatch(ITestMember* member) {
    return member;
}

inline mv::ComPtr<mv::ComObject<CMvObjCollection>> MakeCollection() {
    mv::ComPtr<mv::ComObject<CMvObjCollection>> collection;
    EXPECT_EQ(mv::MakeComObject<CMvObjCollection>(&collection), S_OK);
    return collection;
}

// The collection's enumerator, null when it cannot be had.
inline mv::ComPtr<IEnumVARIANT> NewEnum(IMvObjCollection* collection) {
    mv::ComPtr<IUnknown> unknown;
    mv::ComPtr<IEnumVARIANT> items;
    EXPECT_EQ(collection->get__NewEnum(unknown.Put()), S_OK);
    if (unknown) {
        EXPECT_EQ(unknown.As(&items), S_OK);
    }
    return items;
}

using values_test::TakeErrorText;

// Serves CTestMember under CLSID_MvParameter and CNamelessMember under
// CLSID_TestNameless in the process's class table for the fixture's life.
struct ServedMembers {
    values_test::ServedClass member = values_test::ServedClass::Of<CTestMember>(CLSID_MvParameter);
    values_test::ServedClass nameless =
        values_test::ServedClass::Of<CNamelessMember>(CLSID_TestNameless);
};

// How often `needle` occurs in `haystack`.
inline int Occurrences(const std::string& haystack, const std::string& needle) {
    int n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + needle.size()))
        ++n;
    return n;
}

}  // namespace collection_test
