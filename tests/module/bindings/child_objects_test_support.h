// Shared by the tests of the calculation's child classes (data sets, their
// columns, the recipe connection, automation-method descriptions): objects,
// their stored forms, properties by name and the classes served by
// identifier so that collections can recreate their members.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "../persistence/persist_test_class.h"
#include "executors/calc_ole_arg.h"
#include "executors/calc_ole_method.h"
#include "persistence/obj_collection.h"
#include "sources/data_set.h"
#include "sources/data_set_column.h"
#include "sources/dravik_connect.h"

namespace child_test {

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

// Bytes written as hexadecimal text; blanks are for the reader.
inline Bytes Hex(std::string_view text) {
    Bytes out;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] != ' ') out.push_back(std::stoi(std::string(text.substr(i++, 2)), nullptr, 16));
    return out;
}

inline Bytes Saved(IUnknown* object) {
    mv::ComPtr<IStream> stream = NewStream();
    EXPECT_EQ(As<IPersistStream>(object)->Save(stream.get(), TRUE), S_OK);
    return StreamBytes(stream.get());
}

inline HRESULT LoadBytes(IUnknown* object, const Bytes& bytes) {
    return As<IPersistStream>(object)->Load(NewStream(bytes).get());
}

inline std::u16string SavedXml(IUnknown* object) {
    mv::ComPtr<IXMLDOMDocument> doc = ParseXml(u"<root/>");
    EXPECT_EQ(As<IMvPersistXML>(object)->SaveXML(RootOf(doc.get()).get()), S_OK);
    return XmlOf(RootOf(doc.get()).get());
}
inline HRESULT LoadXml(IUnknown* object, std::u16string_view xml) {
    mv::ComPtr<IXMLDOMDocument> doc = ParseXml(xml);
    return As<IMvPersistXML>(object)->LoadXML(RootOf(doc.get()).get());
}

// "vt:text": a comparison sees type and value.
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

// A property's initial value (as Shown prints it) and a value put through
// IDispatch that must read back unchanged.
struct PropertyRow {
    const char16_t* name;
    std::string initial;
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

// An object built by `make` and `fill` saves exactly `bytes` and, under
// <root>, `xml`; new objects that load either save the same bytes again.
struct StoredRow {
    const char* what;
    std::function<mv::ComPtr<IDispatch>()> make;
    std::function<void(IDispatch*)> fill;
    Bytes bytes;
    std::u16string xml;
};
inline void ExpectStoredForms(const std::vector<StoredRow>& rows) {
    for (const StoredRow& row : rows) {
        SCOPED_TRACE(row.what);
        mv::ComPtr<IDispatch> object = row.make();
        row.fill(object.get());
        const std::u16string xml = row.xml.empty() ? u"<root/>" : u"<root>" + row.xml + u"</root>";
        EXPECT_EQ(Saved(object.get()), row.bytes);
        EXPECT_EQ(SavedXml(object.get()), xml);
        mv::ComPtr<IDispatch> fromStream = row.make(), fromXml = row.make();
        EXPECT_EQ(LoadBytes(fromStream.get(), row.bytes), S_OK);
        EXPECT_EQ(Saved(fromStream.get()), row.bytes);
        EXPECT_EQ(LoadXml(fromXml.get(), xml), S_OK);
        EXPECT_EQ(Saved(fromXml.get()), row.bytes);
    }
}

// Every cut of a stream fails the load (a leak would fail the run).
template <class T>
void ExpectEveryCutFails(const Bytes& bytes) {
    for (std::size_t cut = 0; cut < bytes.size(); ++cut)
        EXPECT_TRUE(FAILED(LoadBytes(New<T>().get(), Bytes(bytes.begin(), bytes.begin() + cut))))
            << "cut at " << cut;
}

struct ServedChildClasses {
    values_test::ServedClass column =
        values_test::ServedClass::Of<CMvDataSetColumn>(CLSID_MvDataSetColumn);
    values_test::ServedClass argument =
        values_test::ServedClass::Of<CMvCalcOLEArg>(CLSID_MvCalcOLEArg);
};

}  // namespace child_test
