// A calculation's record stream, document file and XML form: golden bytes
// and text written by hand from the property map, read back whole.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <new>

#include "../../support/failing_new.h"
#include "../bindings/child_objects_test_support.h"
#include "calculation_test_support.h"
#include "frame/tls_slots.h"

namespace calculation_test {
namespace {

using mv_test::FailingNew;

const Bytes kEnd = Le32(-2000);
const Bytes kEmpty = {0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00};  // VT_EMPTY

Bytes TextBytes(std::u16string_view text) {
    Bytes out = Cat({{0x08, 0x00}, Le32(static_cast<int32_t>(text.size() * 2 + 2))});
    for (char16_t c : text) out.insert(out.end(), {uint8_t(c & 0xFF), uint8_t(c >> 8)});
    return Cat({out, {0x00, 0x00}});
}
Bytes LongBytes(int32_t v) {
    return Cat({{0x03, 0x00}, Le32(v)});
}
Bytes Record(DISPID id, const Bytes& value) {
    return Cat({Le32(id), value});
}
Bytes Member(const CLSID& clsid, const Bytes& stream) {
    return Cat({{0x01}, ClassBytes(clsid), stream});
}

using child_test::Saved;

Calculation Loaded(const Bytes& bytes) {
    auto calc = NewCalculation();
    auto stream = NewStream(bytes);
    EXPECT_EQ(static_cast<IPersistStream*>(calc.get())->Load(stream.get()), S_OK);
    return calc;
}

// The "ReturnValue" parameter of a new calculation.
const Bytes kReturnValue =
    Cat({Record(216, kEmpty), Record(248, TextBytes(u"ReturnValue")), Record(256, LongBytes(6)),
         Record(284, LongBytes(12)), Record(0, kEmpty), kEnd});

class CalculationPersist : public testing::Test {
protected:
    ServedClasses served_;
};

TEST_F(CalculationPersist, NewCalculationWritesValueKindReturnValueAndEmptyCollections) {
    auto calc = NewCalculation();
    const Bytes expected =
        Cat({Record(290, kEmpty), Record(231, LongBytes(4)),
             Record(2001, Cat({Member(CLSID_MvParameter, kReturnValue), {0x00}})),
             Record(2002, {0x00}), Record(2003, {0x00}), Record(2009, {0x00}), kEnd});
    EXPECT_EQ(Saved(calc->GetUnknown()), expected);
    auto loaded = Loaded(expected);
    EXPECT_EQ(Saved(loaded->GetUnknown()), expected);
}

TEST_F(CalculationPersist, FullCalculationWritesItsRecordsInMapOrderAndLoadsBackWhole) {
    auto calc = NewCalculation();
    calc->put_Description(mv::Bstr(u"Mix").get());
    calc->put_FormulaType(mvcNoExecuteMethodDefined);
    mv::ComPtr<IMvParameter> temp;
    calc->AddParameter(mv::Bstr(u"Temp").get(), temp.Put());
    temp->put_ParameterType(mvcInput);
    temp->put_BindingType(mvcKeldrin);
    temp->put_RecordName(mv::Bstr(u"TIC101").get());
    mv::ComPtr<IMvDataSet> set;
    calc->AddDataSet(mv::Bstr(u"Set").get(), set.Put());
    mv::ComPtr<IMvDataSetColumn> column;
    ASSERT_EQ(set->AddDataSetColumn(mv::Bstr(u"Col").get(), column.Put()), S_OK);
    mv::ComPtr<IMvCalcOLEMethod> method;
    calc->AddOLEMethod(mv::Bstr(u"Run").get(), method.Put());
    for (const char16_t* name : {u"A", u"B"}) {
        mv::ComPtr<IMvCalcOLEArg> arg;
        ASSERT_EQ(method->AddArgument(mv::Bstr(name).get(), arg.Put()), S_OK);
    }
    calc->CreateDravikConnect();
    mv::ComPtr<IMvDravikConnect> recipe;
    calc->get_DravikConnect(recipe.Put());
    calc->put_EnableStoreAndForward(VARIANT_TRUE);

    // The children's own streams are pinned by their classes' tests.
    const Bytes tempBytes =
        Cat({Record(203, LongBytes(1)), Record(216, kEmpty), Record(248, TextBytes(u"Temp")),
             Record(256, LongBytes(1)), Record(262, TextBytes(u"TIC101")),
             Record(284, LongBytes(12)), Record(0, kEmpty), kEnd});
    EXPECT_EQ(Saved(temp.get()), tempBytes);
    const Bytes expected = Cat({
        Record(307, Cat({{0x09, 0x00}, ClassBytes(CLSID_MvDravikConnect), Saved(recipe.get())})),
        Record(218, TextBytes(u"Mix")),
        Record(290, kEmpty),
        Record(231, LongBytes(0)),
        Record(2001, Cat({Member(CLSID_MvParameter, kReturnValue),
                          Member(CLSID_MvParameter, tempBytes),
                          {0x00}})),
        Record(2002, Cat({Member(CLSID_MvDataSet, Saved(set.get())), {0x00}})),
        Record(2003, {0x00}),
        Record(2009, Cat({Member(CLSID_MvCalcOLEMethod, Saved(method.get())), {0x00}})),
        Record(310, {0x0B, 0x00, 0xFF, 0xFF}),
        kEnd,
    });
    ASSERT_EQ(Saved(calc->GetUnknown()), expected);

    // Loaded into a new calculation, every field saves the same bytes again;
    // the kind stays 0 and the children are there by name.
    auto loaded = Loaded(expected);
    EXPECT_EQ(Saved(loaded->GetUnknown()), expected);
    LONG kind = -1;
    loaded->get_FormulaType(&kind);
    EXPECT_EQ(kind, 0);
    EXPECT_EQ(loaded->GetDataSet(mv::Bstr(u"set").get(), set.Put()), S_OK);
    EXPECT_EQ(loaded->GetOLEMethod(mv::Bstr(u"run").get(), method.Put()), S_OK);

    // The document holds the one stream "C", as an independent reader sees.
    const std::string path =
        (std::filesystem::path(std::getenv("MORVA_COMMON_APPDATA")) / "Calc1.mvc").string();
    mv::Bstr file(mv::ToUtf16(path));
    ASSERT_EQ(static_cast<IMvPersistFile*>(calc.get())->SaveToFile(file.get()), S_OK);
    EXPECT_EQ(ReadWithOlefile(path), "C=" + Hex(expected) + "\n");
    auto fromFile = NewCalculation();
    ASSERT_EQ(static_cast<IMvPersistFile*>(fromFile.get())->LoadFromFile(file.get()), S_OK);
    EXPECT_EQ(Saved(fromFile->GetUnknown()), expected);
}

TEST_F(CalculationPersist, DamagedStreamsFailWithoutACrash) {
    const Bytes whole = Saved(NewCalculation()->GetUnknown());
    // Cut inside the parameter collection, and a member of an unknown class.
    const Bytes cut(whole.begin(), whole.begin() + 40);
    MV_DEFINE_GUID(kUnknownClass, 0x1, 0x2, 0x3, 4, 5, 6, 7, 8, 9, 10, 11);
    const Bytes unknown = Cat({Record(2001, Member(kUnknownClass, kEnd)), {0x00}, kEnd});
    for (const Bytes& bytes : {cut, unknown}) {
        values_test::LogCapture log;
        auto calc = NewCalculation();
        auto stream = NewStream(bytes);
        EXPECT_TRUE(FAILED(static_cast<IPersistStream*>(calc.get())->Load(stream.get())));
    }
}

// A document whose parameters cannot all be filed, for lack of memory to
// grow the parameter collection, fails to load on every road: a caller that
// saves back only what loaded never writes a document with parameters lost.
TEST_F(CalculationPersist, ALoadThatCannotFileEveryParameterFails) {
    constexpr int kParameters = 2500;
    // Above the whole record stream (the file road reads it in one piece),
    // below what the collection needs to file the last thousand members.
    constexpr std::size_t kFailingFrom = 300000;
    auto document = NewCalculation();
    for (int i = 0; i < kParameters; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "P%d", i);
        Param(document.get(), mv::ToUtf16(name).c_str(), true);
    }
    const Bytes bytes = Saved(document->GetUnknown());
    ASSERT_LT(bytes.size(), kFailingFrom);
    const std::string path =
        (std::filesystem::path(std::getenv("MORVA_COMMON_APPDATA")) / "Many.mvc").string();
    const mv::Bstr file(mv::ToUtf16(path));
    ASSERT_EQ(static_cast<IMvPersistFile*>(document.get())->SaveToFile(file.get()), S_OK);
    auto stream = NewStream(bytes);
    auto xml = ParseXml(child_test::SavedXml(document->GetUnknown()));
    auto xmlRoot = RootOf(xml.get());
    const struct {
        const char* road;
        std::function<HRESULT(CMvCalculation*)> load;
    } roads[] = {
        {"stream", [&](CMvCalculation* calc) { return calc->Load(stream.get()); }},
        {"xml", [&](CMvCalculation* calc) { return calc->LoadXML(xmlRoot.get()); }},
        {"file",
         [&](CMvCalculation* calc) {
             return static_cast<IMvPersistFile*>(calc)->LoadFromFile(file.get());
         }},
    };
    for (const auto& road : roads) {
        SCOPED_TRACE(road.road);
        values_test::LogCapture log;
        auto calc = NewCalculation();
        HRESULT hr;
        {
            FailingNew failing(kFailingFrom);
            hr = road.load(calc.get());
        }
        EXPECT_EQ(hr, E_OUTOFMEMORY);
        if (SUCCEEDED(hr)) static_cast<IMvPersistFile*>(calc.get())->SaveToFile(file.get());
    }
    auto reloaded = NewCalculation();
    ASSERT_EQ(static_cast<IMvPersistFile*>(reloaded.get())->LoadFromFile(file.get()), S_OK);
    EXPECT_EQ(Saved(reloaded->GetUnknown()), bytes);
}

TEST_F(CalculationPersist, XmlFormIsOneElementPerWrittenRowAndLoadsBack) {
    constexpr const char16_t* kDt = u" xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" dt:dt=";
    auto typed = [&](std::u16string name, std::u16string type, std::u16string text) {
        return u"<" + name + kDt + u"\"" + type + u"\">" + text + u"</" + name + u">";
    };
    auto calc = NewCalculation();
    calc->put_Name(mv::Bstr(u"A & B").get());
    const std::u16string expected =
        u"<Calc>" + typed(u"Value", u"char", u"") + typed(u"FormulaType", u"i4", u"4") +
        u"<Name>A &amp; B</Name><Parameters><Parameter>" + typed(u"Default", u"char", u"") +
        u"<Name>ReturnValue</Name><ParameterType>6</ParameterType>" + typed(u"Type", u"i4", u"12") +
        typed(u"Value", u"char", u"") +
        u"</Parameter></Parameters><DataSets/><FormulaRefs/><OleMethods/></Calc>";
    auto doc = ParseXml(u"<Calc/>");
    auto root = RootOf(doc.get());
    ASSERT_EQ(static_cast<IMvPersistXML*>(calc.get())->SaveXML(root.get()), S_OK);
    EXPECT_EQ(XmlOf(root.get()), expected);

    auto copy = ParseXml(expected);
    auto loaded = NewCalculation();
    ASSERT_EQ(static_cast<IMvPersistXML*>(loaded.get())->LoadXML(RootOf(copy.get()).get()), S_OK);
    EXPECT_EQ(TextOf(loaded.get(), &IMvCalculation::get_Name), "A & B");
    EXPECT_EQ(Saved(loaded->GetUnknown()), Saved(calc->GetUnknown()));
}

TEST_F(CalculationPersist, TheRecipeConnectionKeepsItsSettingsInTheXmlForm) {
    auto calc = NewCalculation();
    calc->CreateDravikConnect();
    mv::ComPtr<IMvDravikConnect> recipe;
    calc->get_DravikConnect(recipe.Put());
    recipe->put_DravikSQLServer(mv::Bstr(u"srv").get());
    recipe->put_DravikSQLDriver(mv::Bstr(u"drv").get());
    recipe->put_DravikDataBase(mv::Bstr(u"db").get());
    recipe->put_DravikUser(mv::Bstr(u"usr").get());
    recipe->put_DravikPassword(mv::Bstr(u"pw").get());
    recipe->put_DravikControlID(7);
    const std::u16string xml = child_test::SavedXml(calc->GetUnknown());
    EXPECT_EQ(xml.find(u"<root><DravikConnect><DravikSQLServer>srv</DravikSQLServer>"
                       u"<DravikSQLDriver>drv</DravikSQLDriver><DravikDataBase>db</DravikDataBase>"
                       u"<DravikUser>usr</DravikUser><DravikPassword>pw</DravikPassword>"
                       u"<DravikControlID>7</DravikControlID></DravikConnect><Value"),
              0u)
        << mv::ToUtf8(xml);

    // Loaded into a calculation that holds a connection: a new one with the
    // saved settings, the old one untouched.
    auto loaded = NewCalculation();
    loaded->CreateDravikConnect();
    mv::ComPtr<IMvDravikConnect> before, after;
    loaded->get_DravikConnect(before.Put());
    ASSERT_EQ(child_test::LoadXml(loaded->GetUnknown(), xml), S_OK);
    loaded->get_DravikConnect(after.Put());
    ASSERT_NE(after.get(), nullptr);
    EXPECT_NE(after.get(), before.get());
    EXPECT_EQ(Saved(after.get()), Saved(recipe.get()));
    EXPECT_EQ(Saved(loaded->GetUnknown()), Saved(calc->GetUnknown()));

    // An empty element, as documents were saved before, brings no connection.
    auto old = NewCalculation();
    ASSERT_EQ(
        child_test::LoadXml(old->GetUnknown(), u"<Calc><DravikConnect/><Name>X</Name></Calc>"),
        S_OK);
    old->get_DravikConnect(after.Put());
    EXPECT_EQ(after.get(), nullptr);
    EXPECT_EQ(TextOf(old.get(), &IMvCalculation::get_Name), "X");
}

// A formula that doubles the input "In" into "ReturnValue".
void DoubleTheInput(CMvCalculation&, const ParamInfoTable& table) {
    double in = 0.0;
    IMvParameter* result = nullptr;
    for (const ParamInfo& record : table.Records) {
        if (record.Name == "In") in = NumberIn(record.Parameter.get());
        if (record.Name == "ReturnValue") result = record.Parameter.get();
    }
    if (result) result->put_Value(parameter_test::Typed(VT_R8, in * 2));
}

// Runs of calculations whose parameters were loaded or replaced after they
// had run.
class CalculationReload : public CalculationPersist {
protected:
    void SetUp() override {
        AllocateTlsSlots();
        MvSetFormulaExecutor(mvcEXE_Execute_Method, &DoubleTheInput);
    }
    void TearDown() override {
        MvSetFormulaExecutor(mvcEXE_Execute_Method, nullptr);
        FreeTlsSlots();
    }
    // A calculation of one input "In" holding `value` at `level`.
    static Calculation Doubling(double value, SHORT level) {
        auto calc = NewCalculation();
        calc->put_FormulaType(mvcEXE_Execute_Method);
        auto in = Param(calc.get(), u"In", true);
        in->put_ParameterType(mvcInput);
        in->put_Value(parameter_test::Typed(VT_R8, value));
        in->put_Level(level);
        return calc;
    }
    static void ExpectResult(CMvCalculation* calc, IMvParameter* returnValue, double value,
                             SHORT level) {
        SHORT got = -9;
        calc->get_Level(&got);
        EXPECT_EQ(got, level);
        parameter_test::ExpectSame(Get(calc, u"Value"), parameter_test::Typed(VT_R8, value));
        ASSERT_NE(returnValue, nullptr);
        EXPECT_EQ(NumberIn(returnValue), value);
        returnValue->get_Level(&got);
        EXPECT_EQ(got, level);
    }
};

TEST_F(CalculationReload, EachLoadRoadRunsTheLoadedParameters) {
    const std::string path =
        (std::filesystem::path(std::getenv("MORVA_COMMON_APPDATA")) / "Reload.mvc").string();
    const mv::Bstr file(mv::ToUtf16(path));
    auto document = Doubling(5.0, 2);
    ASSERT_EQ(static_cast<IMvPersistFile*>(document.get())->SaveToFile(file.get()), S_OK);
    const struct {
        const char* road;
        std::function<HRESULT(IUnknown*)> load;
    } roads[] = {
        {"stream",
         [&](IUnknown* calc) {
             return child_test::LoadBytes(calc, Saved(document->GetUnknown()));
         }},
        {"xml",
         [&](IUnknown* calc) {
             return child_test::LoadXml(calc, child_test::SavedXml(document->GetUnknown()));
         }},
        {"file",
         [&](IUnknown* calc) {
             return child_test::As<IMvPersistFile>(calc)->LoadFromFile(file.get());
         }},
    };
    for (const auto& road : roads) {
        SCOPED_TRACE(road.road);
        auto calc = Doubling(1.0, 0);
        ASSERT_EQ(calc->Calculate(), S_OK);
        ExpectResult(calc.get(), Param(calc.get(), u"ReturnValue").get(), 2.0, 0);
        ASSERT_EQ(road.load(calc->GetUnknown()), S_OK);
        // The load let go of the run's table and of the old "ReturnValue":
        // the formula alone already works on what the document brought.
        EXPECT_EQ(calc->ParamInfoSnapshot(), nullptr);
        ASSERT_EQ(calc->Execute(), S_OK);
        parameter_test::ExpectSame(Get(calc.get(), u"Value"), parameter_test::Typed(VT_R8, 10.0));
        ASSERT_EQ(calc->Calculate(), S_OK);
        ExpectResult(calc.get(), Param(calc.get(), u"ReturnValue").get(), 10.0, 2);
    }

    // A load that fails halfway has let the old parameters go as well.
    values_test::LogCapture log;
    const Bytes whole = Saved(document->GetUnknown());
    auto calc = Doubling(1.0, 0);
    ASSERT_EQ(calc->Calculate(), S_OK);
    EXPECT_TRUE(
        FAILED(child_test::LoadBytes(calc->GetUnknown(), Bytes(whole.begin(), whole.end() - 8))));
    EXPECT_EQ(calc->ParamInfoSnapshot(), nullptr);
}

TEST_F(CalculationReload, AReturnValueReplacedThroughTheCollectionReceivesTheResult) {
    // Replaced between two runs, and removed before a run that goes without
    // one, then added.
    for (bool runWithout : {false, true}) {
        SCOPED_TRACE(runWithout);
        auto calc = Doubling(3.0, 1);
        ASSERT_EQ(calc->Calculate(), S_OK);
        mv::ComPtr<IMvObjCollection> parameters;
        calc->get_Parameters(parameters.Put());
        ASSERT_EQ(parameters->Remove(mv::Bstr(u"ReturnValue").get()), S_OK);
        if (runWithout) {
            ASSERT_EQ(calc->Calculate(), S_OK);
        }
        auto fresh = Param(calc.get(), u"ReturnValue", true);
        ASSERT_NE(fresh.get(), nullptr);
        fresh->put_ParameterType(mvcReturnValue);
        ASSERT_EQ(calc->Calculate(), S_OK);
        ExpectResult(calc.get(), fresh.get(), 6.0, 1);
    }
}

// A run after any change of the names in Parameters looks "ReturnValue" up
// again: the result goes to the member filed under that name now, never to
// one that was let go or renamed away.
TEST_F(CalculationReload, EveryChangeOfTheNamesIsSeenByTheNextRun) {
    const struct {
        const char* road;
        std::function<void(IMvObjCollection*)> change;
        double old;    // then in the first "ReturnValue" (-1: emptied as an output)
        double spare;  // and in the parameter "Spare"
        double value;  // the calculation's Value
    } roads[] = {
        {"renamed away, another renamed in",
         [](IMvObjCollection* parameters) {
             ASSERT_EQ(parameters->Rename(mv::Bstr(u"ReturnValue").get(), mv::Bstr(u"Old").get()),
                       S_OK);
             ASSERT_EQ(parameters->Rename(mv::Bstr(u"Spare").get(), mv::Bstr(u"ReturnValue").get()),
                       S_OK);
         },
         -1.0, 8.0, 8.0},
        {"removed",
         [](IMvObjCollection* parameters) {
             ASSERT_EQ(parameters->Remove(mv::Bstr(u"ReturnValue").get()), S_OK);
         },
         6.0, -1.0, 6.0},
        {"emptied", [](IMvObjCollection* parameters) { ASSERT_EQ(parameters->RemoveAll(), S_OK); },
         6.0, -1.0, 6.0},
        {"filed again",
         [](IMvObjCollection* parameters) {
             mv::ComPtr<IDispatch> same;
             ASSERT_EQ(parameters->ItemByName(mv::Bstr(u"ReturnValue").get(), same.Put()), S_OK);
             ASSERT_EQ(parameters->Remove(mv::Bstr(u"ReturnValue").get()), S_OK);
             ASSERT_EQ(parameters->Add(mv::Bstr(u"ReturnValue").get(), same.get()), S_OK);
         },
         8.0, -1.0, 8.0},
        {"another added",
         [](IMvObjCollection* parameters) {
             mv::ComPtr<IMvParameter> more = parameter_test::NewParameter();
             more->put_Name(mv::Bstr(u"More").get());
             ASSERT_EQ(parameters->Add(mv::Bstr(u"More").get(), more.get()), S_OK);
         },
         8.0, -1.0, 8.0},
    };
    for (const auto& road : roads) {
        SCOPED_TRACE(road.road);
        auto calc = Doubling(3.0, 0);
        auto spare = Param(calc.get(), u"Spare", true);
        spare->put_ParameterType(mvcReturnValue);
        auto old = Param(calc.get(), u"ReturnValue");
        // Two runs: the second finds the first one's look-up still good.
        for (int run = 0; run < 2; ++run) ASSERT_EQ(calc->Calculate(), S_OK);
        ASSERT_EQ(NumberIn(old.get()), 6.0);
        mv::ComPtr<IMvObjCollection> parameters;
        calc->get_Parameters(parameters.Put());
        road.change(parameters.get());
        Param(calc.get(), u"In", road.road == std::string("emptied"))
            ->put_Value(parameter_test::Typed(VT_R8, 4.0));
        ASSERT_EQ(calc->Calculate(), S_OK);
        EXPECT_EQ(NumberIn(old.get()), road.old);
        EXPECT_EQ(NumberIn(spare.get()), road.spare);
        parameter_test::ExpectSame(Get(calc.get(), u"Value"),
                                   parameter_test::Typed(VT_R8, road.value));
    }
}

}  // namespace
}  // namespace calculation_test
