// A parameter with every persisted property set, created by its ProgID,
// saved and loaded again: through the record stream, through a collection
// document that holds it, and through the XML form. Every persisted property
// comes back as saved, except for the differences each form is known for.
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "frame/dll_exports.h"
#include "frame/registration.h"
#include "interfaces/IMvObjCollection.h"
#include "interfaces/IMvPersistFile.h"
#include "interfaces/IMvPersistXML.h"
#include "parameter_test_support.h"
#include "persistence/property_map.h"
#include "xml.h"

namespace parameter_test {
namespace {

enum class Form { Stream, Document, Xml };

constexpr double kThird = 1.0 / 3.0;
// 2020-05-17 13:45:30.250 as an automation date.
constexpr double kWhen = 43968.0 + (13 * 3600 + 45 * 60 + 30.25) / 86400.0;
constexpr double kWhenWholeSeconds = 43968.0 + (13 * 3600 + 45 * 60 + 30) / 86400.0;

class ParameterRoundTripTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(MvRegisterClasses("/opt/morva/libMvMorvaCalc.so"), S_OK);
        MvComModuleInit();
        for (const CLSID& clsid : {CLSID_MvParameter, CLSID_MvObjCollection}) {
            mv::ComPtr<IUnknown> factory;
            ASSERT_EQ(DllGetClassObject(clsid, IID_IClassFactory, factory.PutVoid()), S_OK);
            served_.emplace_back(clsid, factory.get());
        }
    }

    static mv::ComPtr<IMvParameter> Create() {
        CLSID clsid{};
        EXPECT_EQ(CLSIDFromProgID(u"Morva.Calc.Parameter.1", &clsid), S_OK);
        mv::ComPtr<IMvParameter> p;
        EXPECT_EQ(
            CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IMvParameter, p.PutVoid()),
            S_OK);
        return p;
    }

    // Every row of the property map holds a value other than its zero.
    static mv::ComPtr<IMvParameter> Filled() {
        auto p = Create();
        auto text = [](const char16_t* s) { return mv::Bstr(s); };
        p->put_BindingType(mvcKeldrin);
        p->put_CalculationName(text(u"Other calc").get());
        p->put_ColumnName(text(u"Col").get());
        p->put_DataSetName(text(u"Set <1> & \"2\"").get());
        mv::Variant byteDefault;
        byteDefault.vt = VT_UI1;
        byteDefault.bVal = 200;
        p->put_Default(byteDefault);
        p->put_Description(text(u"Temp\u00e9rature line one").get());
        p->put_EXE_RuntimeArgument(text(u"/t").get());
        p->put_Field_ID(0x00050000);
        p->put_FieldName(text(u"CV").get());
        p->put_FieldType(3);
        p->put_GroupNumber(200);
        p->put_HistoryField_ID(0x00060000);
        p->put_HistoryFieldName(text(u"HIST").get());
        p->put_ItemID(17);
        p->put_ItemName(text(u"Item").get());
        p->put_Level(2);
        p->put_Name(text(u"Temperature").get());
        p->put_NodeName(text(u"server1").get());
        p->put_ParameterID(18);
        p->put_ParameterName(text(u"RecipeParam").get());
        p->put_ParameterType(mvcInputOutput);
        p->put_Record_ID(4711);
        p->put_RecordName(text(u"TIC101").get());
        p->put_RowNumber(5);
        p->put_Source(text(u"historian").get());
        p->put_SpreadSheetColumn(2);
        p->put_SpreadSheetMethod(text(u"Macro").get());
        p->put_SpreadSheetName(text(u"Book.xls").get());
        p->put_SpreadSheetRow(3);
        p->put_Status(mvcQSTATUS_GOOD);
        p->put_StatusField_ID(0x00070000);
        p->put_TimeStamp(kWhen);
        p->put_Type(mvcFloat);
        p->put_UnitConversionMultiplier(kThird);
        p->put_UnitConversionOffset(-17.75);
        p->put_Use_QT_Format(1);
        p->put_Value(mv::Variant(98.625));
        p->put_BoundUnits(text(u"degC").get());
        p->put_Units(text(u"degF").get());
        p->put_Extrapolate(VARIANT_TRUE);
        p->put_Interpolate(1);
        p->put_DataSource(text(u"MDSA1").get());
        p->put_Level(2);  // after the status: the saved level disagrees with it
        return p;
    }

    // The parameter's record stream, positioned at its start.
    static mv::ComPtr<IStream> Saved(IMvParameter* source) {
        mv::ComPtr<IStream> stream;
        EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.Put()), S_OK);
        mv::ComPtr<IPersistStream> save;
        EXPECT_EQ(source->QueryInterface(IID_IPersistStream, save.PutVoid()), S_OK);
        EXPECT_EQ(save->Save(stream.get(), TRUE), S_OK);
        LARGE_INTEGER zero{};
        stream->Seek(zero, STREAM_SEEK_SET, nullptr);
        return stream;
    }

    static mv::ComPtr<IMvParameter> ThroughStream(IMvParameter* source) {
        mv::ComPtr<IStream> stream = Saved(source);
        auto loaded = Create();
        mv::ComPtr<IPersistStream> load;
        EXPECT_EQ(loaded->QueryInterface(IID_IPersistStream, load.PutVoid()), S_OK);
        EXPECT_EQ(load->Load(stream.get()), S_OK);
        return loaded;
    }

    static mv::ComPtr<IMvParameter> ThroughDocument(IMvParameter* source) {
        const std::string path =
            (std::filesystem::path(std::getenv("MORVA_COMMON_APPDATA")) / "Parameters.mvc")
                .string();
        mv::Bstr file(mv::ToUtf16(path));
        {
            auto collection = NewCollection();
            EXPECT_EQ(collection->Add(mv::Bstr(u"Temperature").get(), source), S_OK);
            mv::ComPtr<IMvPersistFile> doc;
            EXPECT_EQ(collection->QueryInterface(IID_IMvPersistFile, doc.PutVoid()), S_OK);
            EXPECT_EQ(doc->SaveToFile(file.get()), S_OK);
        }
        auto loaded = NewCollection();
        mv::ComPtr<IMvPersistFile> doc;
        EXPECT_EQ(loaded->QueryInterface(IID_IMvPersistFile, doc.PutVoid()), S_OK);
        EXPECT_EQ(doc->LoadFromFile(file.get()), S_OK);
        LONG count = 0;
        loaded->get_Count(&count);
        EXPECT_EQ(count, 1);
        mv::ComPtr<IDispatch> item;
        EXPECT_EQ(loaded->ItemByName(mv::Bstr(u"temperature").get(), item.Put()), S_OK);
        mv::ComPtr<IMvParameter> p;
        if (item) {
            EXPECT_EQ(item->QueryInterface(IID_IMvParameter, p.PutVoid()), S_OK);
        }
        return p;
    }

    static mv::ComPtr<IMvParameter> ThroughXml(IMvParameter* source) {
        mv::ComPtr<IXMLDOMDocument> doc;
        EXPECT_EQ(mv::CreateXmlDocument(doc.Put()), S_OK);
        VARIANT_BOOL ok = VARIANT_FALSE;
        EXPECT_EQ(doc->loadXML(mv::Bstr(u"<Parameter/>").get(), &ok), S_OK);
        mv::ComPtr<IXMLDOMElement> root;
        EXPECT_EQ(doc->get_documentElement(root.Put()), S_OK);
        mv::ComPtr<IMvPersistXML> save;
        EXPECT_EQ(source->QueryInterface(IID_IMvPersistXML, save.PutVoid()), S_OK);
        EXPECT_EQ(save->SaveXML(root.get()), S_OK);
        // Loaded from the text, as a document read from a file would be.
        mv::Bstr xml;
        root->get_xml(xml.Out());
        mv::ComPtr<IXMLDOMDocument> copy;
        EXPECT_EQ(mv::CreateXmlDocument(copy.Put()), S_OK);
        EXPECT_EQ(copy->loadXML(xml.get(), &ok), S_OK);
        EXPECT_EQ(ok, VARIANT_TRUE);
        mv::ComPtr<IXMLDOMElement> copyRoot;
        EXPECT_EQ(copy->get_documentElement(copyRoot.Put()), S_OK);
        auto loaded = Create();
        mv::ComPtr<IMvPersistXML> load;
        EXPECT_EQ(loaded->QueryInterface(IID_IMvPersistXML, load.PutVoid()), S_OK);
        EXPECT_EQ(load->LoadXML(copyRoot.get()), S_OK);
        return loaded;
    }

    // Compares every row of the map; `expected` overrides the saved value
    // where the form is known to change it.
    struct Difference {
        DISPID id;
        mv::Variant value;
        double tolerance = 0.0;  // relative, for doubles
    };
    static void ExpectLoadedAsSaved(IMvParameter* saved, IMvParameter* loaded,
                                    const std::vector<Difference>& differences) {
        for (const PropertyMapEntry* row = CMvParameter::GetPropertyMap(); row->pclsidPropPage;
             ++row) {
            SCOPED_TRACE(mv::ToUtf8(row->szDesc));
            mv::Variant want = DispGet(saved, row->dispid);
            double tolerance = 0.0;
            for (const Difference& d : differences)
                if (d.id == row->dispid) want = d.value, tolerance = d.tolerance;
            ExpectSame(DispGet(loaded, row->dispid), want, tolerance);
        }
        LONG changed = 0;
        loaded->get_Changed(&changed);
        EXPECT_EQ(changed, 1);
        mv::ComPtr<IUnknown> info;
        loaded->get_SampleInfo(info.Put());
        EXPECT_FALSE(info);
    }

    std::vector<values_test::ServedClass> served_;
};

TEST_F(ParameterRoundTripTest, EveryPersistedPropertyComesBackInEachForm) {
    auto saved = Filled();
    // Not kept in any form: the sample-information pointer.
    mv::ComPtr<IMvParameter> other = Create();
    saved->put_SampleInfo(other.get());
    // Loading Status after Level re-derives the level from the status.
    const Difference level{DISPID_MvParameter_Level, Typed(VT_I2, mvcQLEVEL_GOOD)};
    struct Case {
        Form form;
        std::vector<Difference> differences;
    } cases[] = {
        {Form::Stream, {level}},
        {Form::Document, {level}},
        {Form::Xml,
         {level,
          // A byte is written as a plain string and read back as one.
          {DISPID_MvParameter_Default, mv::Variant(u"200")},
          // Dates keep whole seconds; doubles 15 significant digits.
          {DISPID_MvParameter_TimeStamp, Typed(VT_DATE, kWhenWholeSeconds), 1e-12},
          {DISPID_MvParameter_UnitConversionMultiplier, mv::Variant(kThird), 1e-14}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.form));
        mv::ComPtr<IMvParameter> loaded = c.form == Form::Stream     ? ThroughStream(saved.get())
                                          : c.form == Form::Document ? ThroughDocument(saved.get())
                                                                     : ThroughXml(saved.get());
        ASSERT_TRUE(loaded);
        ExpectLoadedAsSaved(saved.get(), loaded.get(), c.differences);
    }
    saved->put_SampleInfo(nullptr);
}

// A new parameter writes only its starred rows; a property given a value
// other than its zero stands at its place in the map order.
TEST_F(ParameterRoundTripTest, StreamHoldsStarredRowsAndNonZeroRowsInMapOrder) {
    using Bytes = std::vector<BYTE>;
    const Bytes emptyDefault = {0xD8, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0};
    const Bytes type = {0x1C, 0x01, 0, 0, 3, 0, 12, 0, 0, 0};
    const Bytes emptyValue = {0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0};
    const Bytes end = {0x30, 0xF8, 0xFF, 0xFF};
    const Bytes level = {0xF4, 0, 0, 0, 2, 0, 1, 0};
    const Bytes name = {0xF8, 0, 0, 0, 8, 0, 4, 0, 0, 0, 'A', 0, 0, 0};
    const Bytes status = {0x18, 0x01, 0, 0, 2, 0, 0xFD, 0xFF};
    auto cat = [](std::initializer_list<Bytes> parts) {
        Bytes all;
        for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
        return all;
    };
    struct Case {
        const char* what;
        bool named;  // Name "A" and Status -3, which sets Level 1
        Bytes expected;
    } cases[] = {
        {"new", false, cat({emptyDefault, type, emptyValue, end})},
        {"named", true, cat({emptyDefault, level, name, status, type, emptyValue, end})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto p = Create();
        if (c.named) {
            p->put_Name(mv::Bstr(u"A").get());
            p->put_Status(mvcQSTATUS_SUSPECT);
        }
        mv::ComPtr<IStream> stream = Saved(p.get());
        Bytes got(c.expected.size() + 1);
        ULONG read = 0;
        stream->Read(got.data(), static_cast<ULONG>(got.size()), &read);
        got.resize(read);
        EXPECT_EQ(got, c.expected);
    }
}

// Values that a form does not keep: the stream form writes no object or
// array value (the loaded parameter keeps its empty one), and the XML form
// writes an infinite double whose narrowing to a single fails, so it comes
// back as the double.
TEST_F(ParameterRoundTripTest, ValuesThatAFormDoesNotKeep) {
    mv::ComPtr<IMvParameter> object = Create();
    SAFEARRAYBOUND bound{2, 0};
    struct Case {
        const char* what;
        Form form;
        mv::Variant value;
        VARTYPE loadedType;
    } cases[] = {
        {"object", Form::Stream,
         [&] {
             mv::Variant v;
             v.vt = VT_DISPATCH;
             v.pdispVal = object.get();
             object->AddRef();
             return v;
         }(),
         VT_EMPTY},
        {"array", Form::Stream,
         [&] {
             mv::Variant v;
             v.vt = VT_ARRAY | VT_I4;
             v.parray = SafeArrayCreate(VT_I4, 1, &bound);
             return v;
         }(),
         VT_EMPTY},
        {"infinity", Form::Xml, mv::Variant(HUGE_VAL), VT_R8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto saved = Create();
        saved->put_Value(c.value);
        auto loaded = c.form == Form::Stream ? ThroughStream(saved.get()) : ThroughXml(saved.get());
        mv::Variant got;
        loaded->get_Value(&got);
        EXPECT_EQ(got.vt, c.loadedType);
        if (c.loadedType == VT_R8) {
            EXPECT_EQ(got.dblVal, c.value.dblVal);
        }
    }
}

}  // namespace
}  // namespace parameter_test
