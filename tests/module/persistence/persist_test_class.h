// A small persistable class for the persistence tests, shaped like the
// module's engine classes: a dual interface with a dispatch table, a
// property map with plain rows, `*` rows, an object-valued row and a child
// collection, IPersistStream over that map, IMvCalcName and a document file
// bound to a letter.
//
// Its child collection is a minimal collection with the collection stream
// (per member 01, class identifier, member stream; 00 ends) and a document
// bound to "L".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "com.h"
#include "interfaces/IMvCalcName.h"
#include "persistence/persist_file.h"
#include "persistence/persist_stream.h"
#include "values_test_support.h"
#include "xml.h"

MV_DEFINE_GUID(CLSID_PersistTestObject, 0x5E1D0A01, 0x7C3B, 0x4F21, 0x9A, 0x10, 0x11, 0x22, 0x33,
               0x44, 0x55, 0x01);
MV_DEFINE_GUID(CLSID_PersistTestCollection, 0x5E1D0A02, 0x7C3B, 0x4F21, 0x9A, 0x10, 0x11, 0x22,
               0x33, 0x44, 0x55, 0x02);
MV_DEFINE_GUID(IID_IPersistTestObject, 0x5E1D0A11, 0x7C3B, 0x4F21, 0x9A, 0x10, 0x11, 0x22, 0x33,
               0x44, 0x55, 0x11);
MV_DEFINE_GUID(IID_IPersistTestCollection, 0x5E1D0A12, 0x7C3B, 0x4F21, 0x9A, 0x10, 0x11, 0x22, 0x33,
               0x44, 0x55, 0x12);

// DISPIDs of the test object's properties.
enum : DISPID {
    kTestValue = 0,  // "*Value" (VARIANT)
    kTestName = 1,
    kTestCount = 2,
    kTestSmall = 3,
    kTestRatio = 4,
    kTestWhen = 5,
    kTestEnabled = 6,
    kTestKind = 7,          // "*Kind" (LONG)
    kTestDefault = 216,     // "*Default" (VARIANT)
    kTestResult = 290,      // "*Result" (VARIANT)
    kTestConnection = 307,  // object-valued row
    kTestItems = 2001,      // child collection
};

struct IPersistTestObject : IDispatch {
    virtual HRESULT get_Value(VARIANT* p) = 0;
    virtual HRESULT put_Value(VARIANT v) = 0;
    virtual HRESULT get_Name(BSTR* p) = 0;
    virtual HRESULT put_Name(BSTR v) = 0;
    virtual HRESULT get_Count(LONG* p) = 0;
    virtual HRESULT put_Count(LONG v) = 0;
    virtual HRESULT get_Small(SHORT* p) = 0;
    virtual HRESULT put_Small(SHORT v) = 0;
    virtual HRESULT get_Ratio(DOUBLE* p) = 0;
    virtual HRESULT put_Ratio(DOUBLE v) = 0;
    virtual HRESULT get_When(DATE* p) = 0;
    virtual HRESULT put_When(DATE v) = 0;
    virtual HRESULT get_Enabled(VARIANT_BOOL* p) = 0;
    virtual HRESULT put_Enabled(VARIANT_BOOL v) = 0;
    virtual HRESULT get_Kind(LONG* p) = 0;
    virtual HRESULT put_Kind(LONG v) = 0;
    virtual HRESULT get_Default(VARIANT* p) = 0;
    virtual HRESULT put_Default(VARIANT v) = 0;
    virtual HRESULT get_Result(VARIANT* p) = 0;
    virtual HRESULT put_Result(VARIANT v) = 0;
    virtual HRESULT get_Connection(IDispatch** p) = 0;
    virtual HRESULT putref_Connection(IDispatch* v) = 0;
    virtual HRESULT get_Items(IDispatch** p) = 0;

protected:
    ~IPersistTestObject() = default;
};
MV_IID_OF(IPersistTestObject, IID_IPersistTestObject);

MV_DISPATCH_TABLE(IPersistTestObject,
                  mv::PropGet<&IPersistTestObject::get_Value>(kTestValue, u"Value"),
                  mv::PropPut<&IPersistTestObject::put_Value>(kTestValue, u"Value"),
                  mv::PropGet<&IPersistTestObject::get_Name>(kTestName, u"Name"),
                  mv::PropPut<&IPersistTestObject::put_Name>(kTestName, u"Name"),
                  mv::PropGet<&IPersistTestObject::get_Count>(kTestCount, u"Count"),
                  mv::PropPut<&IPersistTestObject::put_Count>(kTestCount, u"Count"),
                  mv::PropGet<&IPersistTestObject::get_Small>(kTestSmall, u"Small"),
                  mv::PropPut<&IPersistTestObject::put_Small>(kTestSmall, u"Small"),
                  mv::PropGet<&IPersistTestObject::get_Ratio>(kTestRatio, u"Ratio"),
                  mv::PropPut<&IPersistTestObject::put_Ratio>(kTestRatio, u"Ratio"),
                  mv::PropGet<&IPersistTestObject::get_When, VT_DATE>(kTestWhen, u"When"),
                  mv::PropPut<&IPersistTestObject::put_When, VT_DATE>(kTestWhen, u"When"),
                  mv::PropGet<&IPersistTestObject::get_Enabled, VT_BOOL>(kTestEnabled, u"Enabled"),
                  mv::PropPut<&IPersistTestObject::put_Enabled, VT_BOOL>(kTestEnabled, u"Enabled"),
                  mv::PropGet<&IPersistTestObject::get_Kind>(kTestKind, u"Kind"),
                  mv::PropPut<&IPersistTestObject::put_Kind>(kTestKind, u"Kind"),
                  mv::PropGet<&IPersistTestObject::get_Default>(kTestDefault, u"Default"),
                  mv::PropPut<&IPersistTestObject::put_Default>(kTestDefault, u"Default"),
                  mv::PropGet<&IPersistTestObject::get_Result>(kTestResult, u"Result"),
                  mv::PropPut<&IPersistTestObject::put_Result>(kTestResult, u"Result"),
                  mv::PropGet<&IPersistTestObject::get_Connection>(kTestConnection, u"Connection"),
                  mv::PropPutRef<&IPersistTestObject::putref_Connection>(kTestConnection,
                                                                         u"Connection"),
                  mv::PropGet<&IPersistTestObject::get_Items>(kTestItems, u"Items"))

// The minimal collection: members in order, the collection stream, a
// document bound to "L".
struct IPersistTestCollection : IDispatch {
    virtual HRESULT get_Count(LONG* p) = 0;

protected:
    ~IPersistTestCollection() = default;
};
MV_IID_OF(IPersistTestCollection, IID_IPersistTestCollection);
MV_DISPATCH_TABLE(IPersistTestCollection,
                  mv::PropGet<&IPersistTestCollection::get_Count>(2, u"Count"))

class CPersistTestCollection : public mv::ComObjectRoot<CPersistTestCollection>,
                               public mv::DispatchImpl<IPersistTestCollection>,
                               public IPersistStream,
                               public IMvPersistFileImpl<CPersistTestCollection, 'L'> {
public:
    using InterfaceMap =
        mv::Interfaces<IPersistTestCollection, mv::Via<IDispatch, IPersistTestCollection>,
                       IPersistStream, IMvPersistFile>;
    static constexpr const char* kMvClassName = "CMvObjCollection";

    HRESULT get_Count(LONG* p) override;
    HRESULT GetClassID(CLSID* pClassID) override;
    HRESULT IsDirty() override { return S_OK; }
    HRESULT Load(IStream* pStm) override;
    HRESULT Save(IStream* pStm, BOOL fClearDirty) override;
    HRESULT GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }

    std::vector<mv::ComPtr<IDispatch>> members;
};

class CPersistTestObject : public mv::ComObjectRoot<CPersistTestObject>,
                           public mv::DispatchImpl<IPersistTestObject>,
                           public IMvPersistStreamImpl<CPersistTestObject>,
                           public IMvCalcName,
                           public IMvPersistFileImpl<CPersistTestObject, 'F'> {
public:
    using InterfaceMap = mv::Interfaces<IPersistTestObject, mv::Via<IDispatch, IPersistTestObject>,
                                        IPersistStream, IMvCalcName, IMvPersistFile>;
    static constexpr const char* kMvClassName = "CPersistTestObject";
    static const PropertyMapEntry* GetPropertyMap();
    static const CLSID& GetObjectCLSID() { return CLSID_PersistTestObject; }

    HRESULT FinalConstruct();

    HRESULT get_Value(VARIANT* p) override { return VariantCopy(p, &value); }
    HRESULT put_Value(VARIANT v) override { return VariantCopy(&value, &v); }
    HRESULT get_Name(BSTR* p) override;
    HRESULT put_Name(BSTR v) override;
    HRESULT get_Count(LONG* p) override { return *p = count, S_OK; }
    HRESULT put_Count(LONG v) override { return count = v, S_OK; }
    HRESULT get_Small(SHORT* p) override { return *p = small, S_OK; }
    HRESULT put_Small(SHORT v) override { return small = v, S_OK; }
    HRESULT get_Ratio(DOUBLE* p) override { return *p = ratio, S_OK; }
    HRESULT put_Ratio(DOUBLE v) override { return ratio = v, S_OK; }
    HRESULT get_When(DATE* p) override { return *p = when, S_OK; }
    HRESULT put_When(DATE v) override { return when = v, S_OK; }
    HRESULT get_Enabled(VARIANT_BOOL* p) override { return *p = enabled, S_OK; }
    HRESULT put_Enabled(VARIANT_BOOL v) override { return enabled = v, S_OK; }
    HRESULT get_Kind(LONG* p) override { return *p = kind, S_OK; }
    HRESULT put_Kind(LONG v) override { return kind = v, S_OK; }
    HRESULT get_Default(VARIANT* p) override { return VariantCopy(p, &defaultValue); }
    HRESULT put_Default(VARIANT v) override { return VariantCopy(&defaultValue, &v); }
    HRESULT get_Result(VARIANT* p) override { return VariantCopy(p, &result); }
    HRESULT put_Result(VARIANT v) override { return VariantCopy(&result, &v); }
    HRESULT get_Connection(IDispatch** p) override { return connection.CopyTo(p); }
    HRESULT putref_Connection(IDispatch* v) override { return connection = v, S_OK; }
    HRESULT get_Items(IDispatch** p) override { return items.CopyTo(p); }

    // IMvCalcName: the Name property.
    HRESULT get_ObjectName(BSTR* p) override { return get_Name(p); }
    HRESULT put_ObjectName(BSTR v) override { return put_Name(v); }

    mv::Variant value;
    mv::Bstr name;
    LONG count = 0;
    SHORT small = 0;
    DOUBLE ratio = 0;
    DATE when = 0;
    VARIANT_BOOL enabled = VARIANT_FALSE;
    LONG kind = 0;
    mv::Variant defaultValue;
    mv::Variant result;
    mv::ComPtr<IDispatch> connection;
    mv::ComPtr<IDispatch> items;  // a CPersistTestCollection
};

// Serves both classes from the process's class table for its lifetime, so
// that nested objects and collection members can be created by class.
struct PersistTestClassRegistration {
    values_test::ServedClass object =
        values_test::ServedClass::Of<CPersistTestObject>(CLSID_PersistTestObject);
    values_test::ServedClass collection =
        values_test::ServedClass::Of<CPersistTestCollection>(CLSID_PersistTestCollection);
};

// A new test object and its concrete class.
mv::ComPtr<mv::ComObject<CPersistTestObject>> MakeTestObject();
// The test object's child collection.
CPersistTestCollection* ItemsOf(CPersistTestObject* object);

// ---------------------------------------------------------------------------
// Helpers of the persistence tests
// ---------------------------------------------------------------------------
using Bytes = std::vector<uint8_t>;

// A memory stream holding `bytes`, positioned at its start.
mv::ComPtr<IStream> NewStream(const Bytes& bytes = {});
// Everything the stream holds, whatever its position.
Bytes StreamBytes(IStream* stream);
// The stream's position.
uint64_t StreamPosition(IStream* stream);

Bytes Cat(std::initializer_list<Bytes> parts);
// A 32-bit number, little-endian.
Bytes Le32(int32_t v);
// A class identifier as a stream holds it.
Bytes ClassBytes(const CLSID& clsid);

// The bytes in lower-case hexadecimal.
std::string Hex(const Bytes& bytes);
// "<stream path>=<hex>" per line (or "=storage" for a storage), as the
// independent compound-file reader sees the file.
std::string ReadWithOlefile(const std::string& path);

// A parsed XML text (failures are test failures) and its root element.
mv::ComPtr<IXMLDOMDocument> ParseXml(std::u16string_view text);
mv::ComPtr<IXMLDOMNode> RootOf(IXMLDOMDocument* doc);
std::u16string XmlOf(IXMLDOMNode* node);

using LogWatch = values_test::LogCapture;
