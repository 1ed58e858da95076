// Data sets, their columns and the recipe connection: properties by name,
// the exact stored forms, damaged input, the column's type text, the column
// list and the record set a data set holds.
#include <gtest/gtest.h>

#include "child_objects_test_support.h"

namespace {

using namespace child_test;

TEST(DataSetChildren, PropertiesByNameStartAtTheirInitialValuesAndKeepWhatIsPut) {
    const mv::Variant text(u"Gr\u00FC\u00DFe \u6E29\u5EA6 \U0001F321");
    mv::Variant controlId;
    controlId.vt = VT_I2, controlId.iVal = -3;
    ExpectProperties(New<CMvDataSet>().get(), {{u"Name", "8:", text},
                                               {u"Description", "8:", text},
                                               {u"DataSetType", "3:1", mv::Variant(LONG{7})},
                                               {u"ConnectionName", "8:", text},
                                               {u"UserID", "8:", text},
                                               {u"Password", "8:", text},
                                               {u"Options", "3:0", mv::Variant(LONG{-5})},
                                               {u"QueryString", "8:", text},
                                               {u"StaticData", "3:0", mv::Variant(LONG{2})},
                                               {u"AdoConnected", "3:0", mv::Variant(LONG{1})}});
    ExpectProperties(New<CMvDataSetColumn>().get(),
                     {{u"Name", "8:", text},
                      {u"Type", "3:0", mv::Variant(LONG{65540})},
                      {u"AdoDataType", "3:0", mv::Variant(LONG{202})},
                      {u"TypeText", "8:Single", mv::Variant(u"Currency")}});  // 65540's low bits
    ExpectProperties(New<CMvDravikConnect>().get(), {{u"DravikSQLServer", "8:", text},
                                                     {u"DravikSQLDriver", "8:", text},
                                                     {u"DravikDataBase", "8:", text},
                                                     {u"DravikUser", "8:", text},
                                                     {u"DravikPassword", "8:", text},
                                                     {u"DravikControlID", "2:0", controlId}});
}

TEST(DataSetChildren, NullOutPointersAreFaultsAndFileNothing) {
    mv::ComPtr<IMvDataSet> set = As<IMvDataSet>(New<CMvDataSet>().get());
    mv::ComPtr<IMvDataSetColumn> column = As<IMvDataSetColumn>(New<CMvDataSetColumn>().get());
    mv::ComPtr<IMvDravikConnect> recipe = As<IMvDravikConnect>(New<CMvDravikConnect>().get());
    values_test::ExpectFaults({
        {"CMvDataSet::get_Name: E_UNEXPECTED\n", [&] { return set->get_Name(nullptr); }},
        {"CMvDataSet::AddDataSetColumn: E_UNEXPECTED\n",
         [&] { return set->AddDataSetColumn(mv::Bstr(u"A").get(), nullptr); }},
        {"CMvDataSet::get_AdoRecordSet: E_UNEXPECTED\n",
         [&] { return set->get_AdoRecordSet(nullptr); }},
        {"CMvDataSetColumn::get_TypeText: E_UNEXPECTED\n",
         [&] { return column->get_TypeText(nullptr); }},
        {"CMvDravikConnect::get_DravikControlID: E_UNEXPECTED\n",
         [&] { return recipe->get_DravikControlID(nullptr); }},
    });
    // The column that could not be handed out was not filed.
    mv::ComPtr<IMvObjCollection> columns;
    ASSERT_EQ(set->get_Columns(columns.Put()), S_OK);
    EXPECT_EQ(GetByName(columns.get(), u"Count"), "3:0");
}

// Name "Plant", *DataSetType 2, ConnectionName "DSN1", Password "pw",
// StaticData 1, then Columns holding one column (Name "Temp", Type 5).
const Bytes kDataSet =
    Hex("F8000000 0800 0C000000 50006C0061006E0074000000  D7000000 0300 02000000"
        "D3000000 0800 0A000000 44005300 4E0031000000  02010000 0800 06000000 700077000000"
        "17010000 0300 01000000  D4070000 01 63D92E84 50E9 D211 B90500805F712C95"
        "F8000000 0800 0A000000 540065006D0070000000  1C010000 0300 05000000 30F8FFFF 00 30F8FFFF");

void FillDataSet(IDispatch* object) {
    mv::ComPtr<IMvDataSet> set = As<IMvDataSet>(object);
    ASSERT_EQ(set->put_Name(mv::Bstr(u"Plant").get()), S_OK);
    ASSERT_EQ(set->put_DataSetType(2), S_OK);
    ASSERT_EQ(set->put_ConnectionName(mv::Bstr(u"DSN1").get()), S_OK);
    ASSERT_EQ(set->put_Password(mv::Bstr(u"pw").get()), S_OK);
    ASSERT_EQ(set->put_StaticData(1), S_OK);
    ASSERT_EQ(set->put_AdoConnected(1), S_OK);  // never stored
    mv::ComPtr<IMvDataSetColumn> column;
    ASSERT_EQ(set->AddDataSetColumn(mv::Bstr(u"Temp").get(), column.Put()), S_OK);
    ASSERT_EQ(column->put_Type(5), S_OK);
}

void FillRecipe(IDispatch* object) {
    mv::ComPtr<IMvDravikConnect> r = As<IMvDravikConnect>(object);
    ASSERT_EQ(r->put_DravikSQLServer(mv::Bstr(u"S").get()), S_OK);
    ASSERT_EQ(r->put_DravikDataBase(mv::Bstr(u"D").get()), S_OK);
    ASSERT_EQ(r->put_DravikPassword(mv::Bstr(u"p").get()), S_OK);
    ASSERT_EQ(r->put_DravikControlID(7), S_OK);
    ASSERT_EQ(r->EnableDravikConnect(), S_OK);  // never stored
}

TEST(DataSetChildren, StoredFormsAreTheGoldenOnesAndLoadBackWithoutRunState) {
    ServedChildClasses served;
    const std::u16string type =
        u"<DataSetType xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" dt:dt=\"i4\">";
    auto none = [](IDispatch*) {};
    ExpectStoredForms({
        {"new data set", &New<CMvDataSet>, none, Hex("D7000000 0300 01000000 D4070000 00 30F8FFFF"),
         type + u"1</DataSetType><Columns/>"},
        {"data set with a column", &New<CMvDataSet>, &FillDataSet, kDataSet,
         u"<Name>Plant</Name>" + type +
             u"2</DataSetType><ConnectionName>DSN1</ConnectionName><Password>pw</Password>"
             u"<StaticData>1</StaticData><Columns><DataSetColumn><Name>Temp</Name><Type>5</Type>"
             u"</DataSetColumn></Columns>"},
        {"new column", &New<CMvDataSetColumn>, none, Hex("30F8FFFF"), u""},
        {"new recipe connection", &New<CMvDravikConnect>, none, Hex("30F8FFFF"), u""},
        {"recipe connection", &New<CMvDravikConnect>, &FillRecipe,
         Hex("2D010000 0800 04000000 53000000  2F010000 0800 04000000 44000000"
             "31010000 0800 04000000 70000000  32010000 0200 0700  30F8FFFF"),
         u"<DravikSQLServer>S</DravikSQLServer><DravikDataBase>D</DravikDataBase>"
         u"<DravikPassword>p</DravikPassword><DravikControlID>7</DravikControlID>"},
    });
    mv::ComPtr<IDispatch> set = New<CMvDataSet>(), recipe = New<CMvDravikConnect>();
    ASSERT_EQ(LoadBytes(set.get(), kDataSet), S_OK);
    ASSERT_EQ(LoadBytes(recipe.get(), Hex("32010000 0200 0700 30F8FFFF")), S_OK);
    EXPECT_EQ(GetByName(set.get(), u"AdoConnected"), "3:0");
    EXPECT_EQ(As<IMvDravikConnect>(recipe.get())->TryDravikConnect(), S_FALSE);
}

TEST(DataSetChildren, DamagedInputFailsAndLeavesNothingBehind) {
    ServedChildClasses served;
    ExpectEveryCutFails<CMvDataSet>(kDataSet);
    Bytes foreign = kDataSet;
    foreign[83] ^= 0xFF;  // the column's class identifier: a class nobody serves
    EXPECT_TRUE(FAILED(LoadBytes(New<CMvDataSet>().get(), foreign)));
    // An element that names no property ends the XML load; what came first
    // stays.
    mv::ComPtr<IDispatch> set = New<CMvDataSet>();
    EXPECT_TRUE(FAILED(
        LoadXml(set.get(), u"<root><Name>A</Name><Bogus>1</Bogus><UserID>B</UserID></root>")));
    EXPECT_EQ(GetByName(set.get(), u"Name") + GetByName(set.get(), u"UserID"), "8:A8:");
}

TEST(DataSetColumn, TypeTextNamesTheLow16BitsAndRefusesOtherTexts) {
    mv::ComPtr<IMvDataSetColumn> column = As<IMvDataSetColumn>(New<CMvDataSetColumn>().get());
    for (auto [type, text] : {std::pair<LONG, std::u16string>{15, u"Byte"},
                              {16, u"16"},
                              {-1, u"-1"},
                              {65538, u"Short"}}) {
        ASSERT_EQ(column->put_Type(type), S_OK);
        mv::Bstr got;
        ASSERT_EQ(column->get_TypeText(got.Out()), S_OK);
        EXPECT_EQ(got.view(), text) << type;
    }
    // Type after putting each text over Type 7; 7 means refused.
    for (auto [text, type] : {std::pair<const char16_t*, LONG>{u"float", 5},
                              {u"BYTE", 15},
                              {u"", 7},
                              {nullptr, 7},
                              {u"5", 7},
                              {u" Float", 7}}) {
        SCOPED_TRACE(text ? mv::ToUtf8(text) : "null");
        ASSERT_EQ(column->put_Type(7), S_OK);
        EXPECT_EQ(column->put_TypeText(text ? mv::Bstr(text).get() : nullptr),
                  type == 7 ? E_FAIL : S_OK);
        const values_test::ErrorInfoText info = values_test::TakeErrorInfo();
        EXPECT_EQ(info.description, type == 7 ? u"Invalid text value for TypeText" : u"");
        EXPECT_EQ(info.source, type == 7 ? u"Morva.Calc.DataSetColumn.1" : u"");
        EXPECT_TRUE(type != 7 || info.iid == IID_IMvDataSetColumn);
        EXPECT_EQ(GetByName(column.get(), u"Type"), "3:" + std::to_string(type));
    }
}

TEST(DataSet, HoldsOneReferenceOnItsRecordSetAndLetsItGo) {
    // Collections stand in for record sets: any automation object will do.
    mv::ComPtr<IDispatch> a = New<CMvObjCollection>(), b = New<CMvObjCollection>();
    auto refs = [](IDispatch* d) { return d->AddRef(), d->Release(); };
    mv::ComPtr<IMvDataSet> set = As<IMvDataSet>(New<CMvDataSet>().get());
    ASSERT_EQ(set->put_AdoRecordSet(a.get()), S_OK);
    ASSERT_EQ(set->put_AdoRecordSet(a.get()), S_OK);  // the one it holds
    EXPECT_EQ(refs(a.get()), 2u);
    mv::ComPtr<IDispatch> held;
    ASSERT_EQ(set->get_AdoRecordSet(held.Put()), S_OK);
    EXPECT_EQ(held, a);
    held.Reset();
    ASSERT_EQ(set->put_AdoRecordSet(b.get()), S_OK);
    EXPECT_EQ(refs(a.get()) * 10 + refs(b.get()), 12u);
    ASSERT_EQ(set->put_AdoRecordSet(nullptr), S_OK);
    EXPECT_EQ(refs(b.get()), 1u);
    ASSERT_EQ(set->put_AdoRecordSet(b.get()), S_OK);
    set.Reset();  // the last release lets it go too
    EXPECT_EQ(refs(b.get()), 1u);
}

}  // namespace
