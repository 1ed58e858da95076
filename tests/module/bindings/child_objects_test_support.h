// Shared by the tests of the calculation's child classes (data sets, their
// columns, the recipe connection, automation-method descriptions): stored
// forms written and read back, properties reached by name through IDispatch,
// and the classes served by identifier so that collections can recreate
// their members.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "../persistence/persist_test_class.h"
#include "bindings/data_set.h"
#include "bindings/data_set_column.h"
#include "bindings/dravik_connect.h"
#include "executors/calc_ole_arg.h"
#include "executors/calc_ole_method.h"
#include "persistence/obj_collection.h"

namespace child_test {

using Bytes = std::vector<uint8_t>;

// A new object of class T as its primary interface.
template <class T>
mv::ComPtr<IDispatch> New() {
    mv::ComPtr<IDispatch> object;
    EXPECT_EQ(mv::CreateComObject<T>(nullptr, IID_IDispatch, object.PutVoid()), S_OK);
    return object;
}

template <class Itf>
mv::ComPtr<Itf> As(IUnknown* object) {
    mv::ComPtr<Itf> out;
    EXPECT_EQ(object->QueryInterface(mv::IidOf<Itf>::value, out.PutVoid()), S_OK);
    return out;
}

inline Bytes Saved(IUnknown* object) {
    mv::ComPtr<IStream> stream = NewStream();
    EXPECT_EQ(As<IPersistStream>(object)->Save(stream.get(), TRUE), S_OK);
    return StreamBytes(stream.get());
}

inline HRESULT LoadBytes(IUnknown* object, const Bytes& bytes) {
    mv::ComPtr<IStream> stream = NewStream(bytes);
    return As<IPersistStream>(object)->Load(stream.get());
}

// The object's XML form under a <root> element.
inline std::u16string SavedXml(IUnknown* object) {
    mv::ComPtr<IXMLDOMDocument> doc = ParseXml(u"<root/>");
    mv::ComPtr<IXMLDOMNode> root = RootOf(doc.get());
    EXPECT_EQ(As<IMvPersistXML>(object)->SaveXML(root.get()), S_OK);
    return XmlOf(root.get());
}

inline HRESULT LoadXml(IUnknown* object, std::u16string_view xml) {
    mv::ComPtr<IXMLDOMDocument> doc = ParseXml(xml);
    return As<IMvPersistXML>(object)->LoadXML(RootOf(doc.get()).get());
}

// A property read by name; "vt:text" so that rows compare type and value.
inline std::string Shown(const VARIANT& v) {
    mv::Variant text;
    if (v.vt != VT_EMPTY && FAILED(VariantChangeType(&text, const_cast<VARIANT*>(&v), 0, VT_BSTR)))
        return "unprintable";
    return std::to_string(v.vt) + ":" + (v.vt == VT_EMPTY ? "" : mv::ToUtf8(text.bstrVal));
}
inline std::string GetByName(IDispatch* object, const char16_t* name) {
    mv::Variant value;
    EXPECT_EQ(mv::DispGetPropertyByName(object, name, &value), S_OK) << mv::ToUtf8(name);
    return Shown(value);
}

// One property of a class: its initial value and a value put through
// IDispatch that must read back as it was put.
struct PropertyRow {
    const char16_t* name;
    std::string initial;  // as Shown() prints it
    mv::Variant put;
};
inline void ExpectProperties(IDispatch* object, const std::vector<PropertyRow>& rows) {
    for (const PropertyRow& row : rows) {
        SCOPED_TRACE(mv::ToUtf8(row.name));
        EXPECT_EQ(GetByName(object, row.name), row.initial);
        EXPECT_EQ(mv::DispPutPropertyByName(object, row.name, row.put), S_OK);
        EXPECT_EQ(GetByName(object, row.name), Shown(row.put));
    }
}

// One stored form of an object: the object, built as the row wants it, must
// save exactly `bytes` (and `xml` under <root>), and a new object of its
// class that loads them must save them again.
struct StoredRow {
    const char* what;
    std::function<mv::ComPtr<IDispatch>()> make;  // a new object of the class
    std::function<void(IDispatch*)> fill;
    Bytes bytes;
    std::u16string xml;
};
inline void ExpectStoredForms(const std::vector<StoredRow>& rows) {
    for (const StoredRow& row : rows) {
        SCOPED_TRACE(row.what);
        mv::ComPtr<IDispatch> object = row.make();
        row.fill(object.get());
        EXPECT_EQ(Saved(object.get()), row.bytes);
        EXPECT_EQ(SavedXml(object.get()),
                  row.xml.empty() ? u"<root/>" : u"<root>" + row.xml + u"</root>");

        mv::ComPtr<IDispatch> fromStream = row.make();
        mv::ComPtr<IStream> stream = NewStream(row.bytes);
        EXPECT_EQ(As<IPersistStream>(fromStream.get())->Load(stream.get()), S_OK);
        EXPECT_EQ(StreamPosition(stream.get()), row.bytes.size());
        EXPECT_EQ(Saved(fromStream.get()), row.bytes);

        mv::ComPtr<IDispatch> fromXml = row.make();
        EXPECT_EQ(LoadXml(fromXml.get(), u"<root>" + row.xml + u"</root>"), S_OK);
        EXPECT_EQ(Saved(fromXml.get()), row.bytes);
    }
}

// Serves the child classes by class identifier while it lives.
struct ServedChildClasses {
    values_test::ServedClass column =
        values_test::ServedClass::Of<CMvDataSetColumn>(CLSID_MvDataSetColumn);
    values_test::ServedClass argument =
        values_test::ServedClass::Of<CMvCalcOLEArg>(CLSID_MvCalcOLEArg);
};

}  // namespace child_test
