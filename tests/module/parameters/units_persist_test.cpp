// Units and unit types in their stored forms: the exact record stream of one
// unit, the XML element of one unit, a unit type carrying its units, and the
// unit-conversion table as a collection document.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "interfaces/IMvPersistFile.h"
#include "parameter_test_support.h"
#include "parameters/unit_conversion.h"
#include "xml.h"

namespace {

namespace fs = std::filesystem;
using namespace parameter_test;

struct UnitFields {
    std::u16string name;
    std::u16string description;
    double multiplier;
    double offset;
    friend bool operator==(const UnitFields&, const UnitFields&) = default;
};

UnitFields FieldsOf(IMvEngUnit* unit) {
    UnitFields f{u"", u"", -1, -1};
    mv::Bstr name, description;
    EXPECT_EQ(unit->get_Name(name.Out()), S_OK);
    EXPECT_EQ(unit->get_Description(description.Out()), S_OK);
    f.name = name.view(), f.description = description.view();
    EXPECT_EQ(unit->get_Multiplier(&f.multiplier), S_OK);
    EXPECT_EQ(unit->get_Offset(&f.offset), S_OK);
    return f;
}

void SetFields(IMvEngUnit* unit, const UnitFields& f) {
    ASSERT_EQ(unit->put_Name(mv::Bstr(f.name).get()), S_OK);
    ASSERT_EQ(unit->put_Description(mv::Bstr(f.description).get()), S_OK);
    ASSERT_EQ(unit->put_Multiplier(f.multiplier), S_OK);
    ASSERT_EQ(unit->put_Offset(f.offset), S_OK);
}

using Bytes = std::vector<uint8_t>;

Bytes Saved(IUnknown* object) {
    mv::ComPtr<IPersistStream> persist;
    EXPECT_EQ(object->QueryInterface(IID_IPersistStream, persist.PutVoid()), S_OK);
    mv::ComPtr<IStream> stream;
    EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.Put()), S_OK);
    EXPECT_EQ(persist->Save(stream.get(), FALSE), S_OK);
    LARGE_INTEGER zero{};
    ULARGE_INTEGER size{};
    stream->Seek(zero, STREAM_SEEK_END, &size);
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    Bytes out(size.QuadPart);
    ULONG got = 0;
    stream->Read(out.data(), static_cast<ULONG>(out.size()), &got);
    out.resize(got);
    return out;
}

HRESULT Load(IUnknown* object, const Bytes& bytes) {
    mv::ComPtr<IPersistStream> persist;
    EXPECT_EQ(object->QueryInterface(IID_IPersistStream, persist.PutVoid()), S_OK);
    mv::ComPtr<IStream> stream;
    EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.Put()), S_OK);
    stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
    LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    return persist->Load(stream.get());
}

TEST(EngUnitStreamTest, WritesTheExactRecordsOfSetProperties) {
    const Bytes kEnd = {0x30, 0xF8, 0xFF, 0xFF};
    const Bytes kDegFName = {0xF8, 0x00, 0x00, 0x00, 0x08, 0x00, 0x0A, 0x00, 0x00, 0x00,
                             0x64, 0x00, 0x65, 0x00, 0x67, 0x00, 0x46, 0x00, 0x00, 0x00};
    const Bytes kMultiplier18 = {0xF7, 0x00, 0x00, 0x00, 0x05, 0x00, 0xCD,
                                 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xFC, 0x3F};
    const Bytes kOffset32 = {0xFC, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00,
                             0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x40};
    const Bytes kDescriptionX = {0xDA, 0x00, 0x00, 0x00, 0x08, 0x00, 0x04,
                                 0x00, 0x00, 0x00, 0x78, 0x00, 0x00, 0x00};
    auto join = [](std::initializer_list<Bytes> parts) {
        Bytes out;
        for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
        return out;
    };
    struct Case {
        const char* what;
        UnitFields fields;
        Bytes bytes;
    } cases[] = {
        {"degF with its factors: 52 bytes",
         {u"degF", u"", 1.8, 32.0},
         join({kDegFName, kMultiplier18, kOffset32, kEnd})},
        {"a fresh unit: the name only", {u"degF", u"", 0.0, 0.0}, join({kDegFName, kEnd})},
        {"nothing set: the end marker only", {u"", u"", 0.0, 0.0}, kEnd},
        {"every row, in map order",
         {u"degF", u"x", 1.8, 32.0},
         join({kDegFName, kDescriptionX, kMultiplier18, kOffset32, kEnd})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto unit = NewUnit();
        SetFields(unit.get(), c.fields);
        const Bytes bytes = Saved(unit.get());
        EXPECT_EQ(bytes, c.bytes);
        auto loaded = NewUnit();
        ASSERT_EQ(Load(loaded.get(), bytes), S_OK);
        EXPECT_EQ(FieldsOf(loaded.get()), c.fields);
    }
    EXPECT_EQ(join({kDegFName, kMultiplier18, kOffset32, kEnd}).size(), 52u);
}

// Saves the object into a `root` element of a new document.
std::u16string SavedXml(IUnknown* object, const char16_t* root) {
    mv::ComPtr<IXMLDOMDocument> doc;
    mv::ComPtr<IXMLDOMElement> element;
    EXPECT_EQ(mv::CreateXmlDocument(doc.Put()), S_OK);
    EXPECT_EQ(doc->createElement(mv::Bstr(root).get(), element.Put()), S_OK);
    EXPECT_EQ(doc->putref_documentElement(element.get()), S_OK);
    mv::ComPtr<IMvPersistXML> persist;
    EXPECT_EQ(object->QueryInterface(IID_IMvPersistXML, persist.PutVoid()), S_OK);
    EXPECT_EQ(persist->SaveXML(element.get()), S_OK);
    mv::Bstr text;
    EXPECT_EQ(element->get_xml(text.Out()), S_OK);
    return std::u16string(text.view());
}

HRESULT LoadXml(IUnknown* object, const std::u16string& xml) {
    mv::ComPtr<IXMLDOMDocument> doc;
    EXPECT_EQ(mv::CreateXmlDocument(doc.Put()), S_OK);
    VARIANT_BOOL ok = VARIANT_FALSE;
    EXPECT_EQ(doc->loadXML(mv::Bstr(xml).get(), &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_TRUE);
    mv::ComPtr<IXMLDOMElement> root;
    EXPECT_EQ(doc->get_documentElement(root.Put()), S_OK);
    mv::ComPtr<IMvPersistXML> persist;
    EXPECT_EQ(object->QueryInterface(IID_IMvPersistXML, persist.PutVoid()), S_OK);
    return persist->LoadXML(root.get());
}

TEST(EngUnitXmlTest, WritesOnlyPropertiesOffTheirZeroAndReadsThemBack) {
    struct Case {
        const char* what;
        UnitFields fields;
        std::u16string xml;
    } cases[] = {
        {"mbar",
         {u"mbar", u"", 100.0, 0.0},
         u"<EngUnit><Name>mbar</Name><Multiplier>100</Multiplier></EngUnit>"},
        {"every row",
         {u"degF", u"Fahrenheit", 1.8, 32.0},
         u"<EngUnit><Name>degF</Name><Description>Fahrenheit</Description>"
         u"<Multiplier>1.8</Multiplier><Offset>32</Offset></EngUnit>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto unit = NewUnit();
        SetFields(unit.get(), c.fields);
        EXPECT_EQ(SavedXml(unit.get(), u"EngUnit"), c.xml);
        auto loaded = NewUnit();
        // Rows that are not in the element keep the new unit's values.
        ASSERT_EQ(loaded->put_Offset(5.0), S_OK);
        ASSERT_EQ(LoadXml(loaded.get(), c.xml), S_OK);
        UnitFields expected = c.fields;
        if (c.fields.offset == 0.0) expected.offset = 5.0;
        EXPECT_EQ(FieldsOf(loaded.get()), expected);
    }
}

TEST(EngUnitTypeStreamTest, CarriesItsUnitsInOrderIntoTheNewTypesCollection) {
    ServedUnitClasses served;
    auto type = NewUnitType(u"Pressure");
    ASSERT_EQ(type->put_Description(mv::Bstr(u"force per area").get()), S_OK);
    ASSERT_EQ(type->put_StandardUnit(mv::Bstr(u"Pa").get()), S_OK);
    const UnitFields units[] = {
        {u"Pa", u"pascal", 1.0, 0.0},
        {u"mbar", u"", 100.0, 0.0},
        {u"psig", u"gauge", 6894.757, 101325.0},
    };
    for (const UnitFields& f : units) {
        mv::ComPtr<IMvEngUnit> unit;
        ASSERT_EQ(type->AddUnit(mv::Bstr(f.name).get(), unit.Put()), S_OK);
        SetFields(unit.get(), f);
    }

    auto loaded = NewUnitType();
    mv::ComPtr<IMvObjCollection> before, after;
    ASSERT_EQ(loaded->get_Units(before.Put()), S_OK);
    const Bytes saved = Saved(type.get());
    ASSERT_EQ(Load(loaded.get(), saved), S_OK);
    // Everything comes back, in order, into the type's own collection.
    EXPECT_EQ(Saved(loaded.get()), saved);
    mv::Bstr description;
    EXPECT_EQ(loaded->get_Description(description.Out()), S_OK);
    EXPECT_EQ(description.view(), u"force per area");
    ASSERT_EQ(loaded->get_Units(after.Put()), S_OK);
    EXPECT_EQ(after.get(), before.get());
    // Each unit is filed under its own name again.
    for (const UnitFields& f : units) {
        mv::ComPtr<IMvEngUnit> byName;
        ASSERT_EQ(loaded->GetUnit(mv::Bstr(f.name).get(), byName.Put()), S_OK);
        EXPECT_EQ(FieldsOf(byName.get()), f);
    }
}

TEST(EngUnitTypeXmlTest, WritesItsUnitsAsEngUnitElementsAndLoadsThemBack) {
    ServedUnitClasses served;
    auto type = NewUnitType(u"Temperature");
    ASSERT_EQ(type->put_StandardUnit(mv::Bstr(u"K").get()), S_OK);
    AddUnits(type.get(), {{u"K", 1.0, 0.0}, {u"degC", 1.0, 273.15}});

    const std::u16string xml = SavedXml(type.get(), u"EngUnitType");
    EXPECT_EQ(xml,
              u"<EngUnitType><Name>Temperature</Name><StandardUnit>K</StandardUnit>"
              u"<Units><EngUnit><Name>K</Name><Multiplier>1</Multiplier></EngUnit>"
              u"<EngUnit><Name>degC</Name><Multiplier>1</Multiplier><Offset>273.15</Offset>"
              u"</EngUnit></Units></EngUnitType>");
    auto loaded = NewUnitType();
    ASSERT_EQ(LoadXml(loaded.get(), xml), S_OK);
    EXPECT_EQ(Saved(loaded.get()), Saved(type.get()));
}

TEST(ConversionsDocumentTest, UnitTypesRoundTripThroughBinConversionsMvc) {
    ServedUnitClasses served;
    auto temperature = NewUnitType(u"Temperature");
    AddUnits(temperature.get(),
             {{u"K", 1.0, 0.0}, {u"degC", 1.0, 273.15}, {u"degF", 5.0 / 9.0, 255.3722222222222}});
    auto length = NewUnitType(u"Length");
    AddUnits(length.get(), {{u"m", 1.0, 0.0}, {u"ft", 0.3048, 0.0}});
    auto table = TableOf({temperature.get(), length.get()});

    const fs::path bin = fs::path(getenv("MORVA_COMMON_APPDATA")) / "units_base" / "bin";
    fs::create_directories(bin);
    const mv::Bstr path((bin / "Conversions.mvc").string());
    mv::ComPtr<IMvPersistFile> file;
    ASSERT_EQ(table->QueryInterface(IID_IMvPersistFile, file.PutVoid()), S_OK);
    ASSERT_EQ(file->SaveToFile(path.get()), S_OK);

    auto loaded = NewCollection();
    mv::ComPtr<IMvPersistFile> loadedFile;
    ASSERT_EQ(loaded->QueryInterface(IID_IMvPersistFile, loadedFile.PutVoid()), S_OK);
    ASSERT_EQ(loadedFile->LoadFromFile(path.get()), S_OK);

    // The loaded table saves to the same bytes and converts as the original.
    EXPECT_EQ(Saved(loaded.get()), Saved(table.get()));
    MvSetUnitConvColl(loaded.get());
    const MvUnitFactors cToF =
        MvUnitConversionFactors(mv::Bstr(u"degc").get(), mv::Bstr(u"DEGF").get());
    const MvUnitFactors kToFt =
        MvUnitConversionFactors(mv::Bstr(u"K").get(), mv::Bstr(u"ft").get());
    MvSetUnitConvColl(nullptr);
    EXPECT_NEAR(cToF.multiplier, 1.8, 1e-12);
    EXPECT_NEAR(cToF.offset, 32.0, 1e-9);
    EXPECT_EQ(kToFt, kMvUnitTypesDiffer);
}

}  // namespace
