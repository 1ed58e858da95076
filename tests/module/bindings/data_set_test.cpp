// Data sets, their columns and the recipe connection: properties by name,
// the exact stored forms, damaged input, the column's type text, the
// column list and the record set a data set holds.
#include <gtest/gtest.h>

#include "child_objects_test_support.h"

namespace {

using namespace child_test;
using values_test::ExpectFaults;
using values_test::TakeErrorInfo;

const char16_t* const kMultiByte = u"Gr\u00FC\u00DFe \u6E29\u5EA6 \U0001F321";

TEST(DataSetChildren, PropertiesByNameStartAtTheirInitialValuesAndKeepWhatIsPut) {
    const mv::Variant text(kMultiByte);
    ExpectProperties(New<CMvDataSet>().get(), {
                                                  {u"Name", "8:", text},
                                                  {u"Description", "8:", text},
                                                  {u"DataSetType", "3:1", mv::Variant(LONG{7})},
                                                  {u"ConnectionName", "8:", text},
                                                  {u"UserID", "8:", text},
                                                  {u"Password", "8:", text},
                                                  {u"Options", "3:0", mv::Variant(LONG{-5})},
                                                  {u"QueryString", "8:", text},
                                                  {u"StaticData", "3:0", mv::Variant(LONG{2})},
                                                  {u"AdoConnected", "3:0", mv::Variant(LONG{1})},
                                              });
    ExpectProperties(
        New<CMvDataSetColumn>().get(),
        {
            {u"Name", "8:", text},
            {u"Type", "3:0", mv::Variant(LONG{65540})},
            {u"AdoDataType", "3:0", mv::Variant(LONG{202})},
            {u"TypeText", "8:Single", mv::Variant(u"Currency")},  // 65540: its low 16 bits
        });
    mv::Variant controlId;
    controlId.vt = VT_I2, controlId.iVal = -3;
    ExpectProperties(New<CMvDravikConnect>().get(), {
                                                        {u"DravikSQLServer", "8:", text},
                                                        {u"DravikSQLDriver", "8:", text},
                                                        {u"DravikDataBase", "8:", text},
                                                        {u"DravikUser", "8:", text},
                                                        {u"DravikPassword", "8:", text},
                                                        {u"DravikControlID", "2:0", controlId},
                                                    });
}

TEST(DataSetChildren, ANullTextStoresTheEmptyTextAndNullOutPointersAreFaults) {
    mv::ComPtr<IMvDataSet> set = As<IMvDataSet>(New<CMvDataSet>().get());
    mv::ComPtr<IMvDataSetColumn> column = As<IMvDataSetColumn>(New<CMvDataSetColumn>().get());
    mv::ComPtr<IMvDravikConnect> recipe = As<IMvDravikConnect>(New<CMvDravikConnect>().get());
    ASSERT_EQ(set->put_QueryString(mv::Bstr(u"select 1").get()), S_OK);
    ASSERT_EQ(set->put_QueryString(nullptr), S_OK);
    ASSERT_EQ(recipe->put_DravikSQLServer(nullptr), S_OK);
    mv::Bstr query, server;
    ASSERT_EQ(set->get_QueryString(query.Out()), S_OK);
    ASSERT_EQ(recipe->get_DravikSQLServer(server.Out()), S_OK);
    ASSERT_NE(query.get(), nullptr);
    ASSERT_NE(server.get(), nullptr);
    EXPECT_EQ(query.Length() + server.Length(), 0u);

    ExpectFaults({
        {"CMvDataSet::get_Name: E_UNEXPECTED\n", [&] { return set->get_Name(nullptr); }},
        {"CMvDataSet::get_StaticData: E_UNEXPECTED\n",
         [&] { return set->get_StaticData(nullptr); }},
        {"CMvDataSet::get_Columns: E_UNEXPECTED\n", [&] { return set->get_Columns(nullptr); }},
        {"CMvDataSet::AddDataSetColumn: E_UNEXPECTED\n",
         [&] { return set->AddDataSetColumn(mv::Bstr(u"A").get(), nullptr); }},
        {"CMvDataSet::get_AdoRecordSet: E_UNEXPECTED\n",
         [&] { return set->get_AdoRecordSet(nullptr); }},
        {"CMvDataSetColumn::get_TypeText: E_UNEXPECTED\n",
         [&] { return column->get_TypeText(nullptr); }},
        {"CMvDataSetColumn::get_AdoDataType: E_UNEXPECTED\n",
         [&] { return column->get_AdoDataType(nullptr); }},
        {"CMvDravikConnect::get_DravikUser: E_UNEXPECTED\n",
         [&] { return recipe->get_DravikUser(nullptr); }},
        {"CMvDravikConnect::get_DravikControlID: E_UNEXPECTED\n",
         [&] { return recipe->get_DravikControlID(nullptr); }},
    });
    // A column that could not be handed out was not filed.
    mv::ComPtr<IMvObjCollection> columns;
    ASSERT_EQ(set->get_Columns(columns.Put()), S_OK);
    LONG count = -1;
    EXPECT_EQ(columns->get_Count(&count), S_OK);
    EXPECT_EQ(count, 0);
}

// The data set of the stored-form rows: every kind of row, one column.
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

const Bytes kEnd = {0x30, 0xF8, 0xFF, 0xFF};

// Name "Plant", *DataSetType 2, ConnectionName "DSN1", Password "pw",
// StaticData 1, then Columns: one column (Name "Temp", Type 5).
const Bytes kDataSetBytes = {
    0xF8, 0x00, 0x00, 0x00, 0x08, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x50,
    0x00, 0x6C, 0x00, 0x61, 0x00, 0x6E, 0x00, 0x74, 0x00, 0x00, 0x00,  // Name
    0xD7, 0x00, 0x00, 0x00, 0x03, 0x00, 0x02, 0x00, 0x00, 0x00,        // *DataSetType
    0xD3, 0x00, 0x00, 0x00, 0x08, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x44,
    0x00, 0x53, 0x00, 0x4E, 0x00, 0x31, 0x00, 0x00, 0x00,  // ConnectionName
    0x02, 0x01, 0x00, 0x00, 0x08, 0x00, 0x06, 0x00, 0x00, 0x00, 0x70,
    0x00, 0x77, 0x00, 0x00, 0x00,                                // Password
    0x17, 0x01, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00,  // StaticData
    0xD4, 0x07, 0x00, 0x00,                                      // Columns
    0x01, 0x63, 0xD9, 0x2E, 0x84, 0x50, 0xE9, 0xD2, 0x11, 0xB9, 0x05,
    0x00, 0x80, 0x5F, 0x71, 0x2C, 0x95,  // a member of class MvDataSetColumn
    0xF8, 0x00, 0x00, 0x00, 0x08, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x54,
    0x00, 0x65, 0x00, 0x6D, 0x00, 0x70, 0x00, 0x00, 0x00,        // its Name
    0x1C, 0x01, 0x00, 0x00, 0x03, 0x00, 0x05, 0x00, 0x00, 0x00,  // its Type
    0x30, 0xF8, 0xFF, 0xFF,                                      // its end
    0x00,                                                        // no further member
    0x30, 0xF8, 0xFF, 0xFF,
};

constexpr const char16_t* kDt = u" xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" dt:dt=";

TEST(DataSetChildren, StoredFormsAreTheGoldenOnesAndLoadBack) {
    ServedChildClasses served;
    const std::u16string dataSetType = std::u16string(u"<DataSetType") + kDt + u"\"i4\">";
    ExpectStoredForms({
        {"new data set: its type and an empty column list",
         &New<CMvDataSet>,
         [](IDispatch*) {},
         {0xD7, 0x00, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0xD4, 0x07, 0x00, 0x00, 0x00,
          0x30, 0xF8, 0xFF, 0xFF},
         dataSetType + u"1</DataSetType><Columns/>"},
        {"data set with a column", &New<CMvDataSet>, &FillDataSet, kDataSetBytes,
         u"<Name>Plant</Name>" + dataSetType +
             u"2</DataSetType><ConnectionName>DSN1</ConnectionName><Password>pw</Password>"
             u"<StaticData>1</StaticData><Columns><DataSetColumn><Name>Temp</Name><Type>5</Type>"
             u"</DataSetColumn></Columns>"},
        {"new column", &New<CMvDataSetColumn>, [](IDispatch*) {}, kEnd, u""},
        {"column with a type only",
         &New<CMvDataSetColumn>,
         [](IDispatch* o) { ASSERT_EQ(As<IMvDataSetColumn>(o)->put_Type(5), S_OK); },
         {0x1C, 0x01, 0x00, 0x00, 0x03, 0x00, 0x05, 0x00, 0x00, 0x00, 0x30, 0xF8, 0xFF, 0xFF},
         u"<Type>5</Type>"},
        {"new recipe connection", &New<CMvDravikConnect>, [](IDispatch*) {}, kEnd, u""},
        {"recipe connection with three texts and the control identifier",
         &New<CMvDravikConnect>,
         [](IDispatch* o) {
             mv::ComPtr<IMvDravikConnect> r = As<IMvDravikConnect>(o);
             ASSERT_EQ(r->put_DravikSQLServer(mv::Bstr(u"S").get()), S_OK);
             ASSERT_EQ(r->put_DravikDataBase(mv::Bstr(u"D").get()), S_OK);
             ASSERT_EQ(r->put_DravikPassword(mv::Bstr(u"p").get()), S_OK);
             ASSERT_EQ(r->put_DravikControlID(7), S_OK);
             ASSERT_EQ(r->EnableDravikConnect(), S_OK);  // never stored
         },
         {0x2D, 0x01, 0x00, 0x00, 0x08, 0x00, 0x04, 0x00, 0x00, 0x00, 0x53, 0x00, 0x00, 0x00,
          0x2F, 0x01, 0x00, 0x00, 0x08, 0x00, 0x04, 0x00, 0x00, 0x00, 0x44, 0x00, 0x00, 0x00,
          0x31, 0x01, 0x00, 0x00, 0x08, 0x00, 0x04, 0x00, 0x00, 0x00, 0x70, 0x00, 0x00, 0x00,
          0x32, 0x01, 0x00, 0x00, 0x02, 0x00, 0x07, 0x00, 0x30, 0xF8, 0xFF, 0xFF},
         u"<DravikSQLServer>S</DravikSQLServer><DravikDataBase>D</DravikDataBase>"
         u"<DravikPassword>p</DravikPassword><DravikControlID>7</DravikControlID>"},
    });
}

TEST(DataSetChildren, ALoadedObjectStartsUnconnectedAndWithoutItsRunState) {
    ServedChildClasses served;
    mv::ComPtr<IDispatch> set = New<CMvDataSet>();
    ASSERT_EQ(As<IMvDataSet>(set.get())->put_AdoConnected(1), S_OK);
    ASSERT_EQ(LoadBytes(set.get(), kDataSetBytes), S_OK);
    // Loading sets what the stream holds and nothing else.
    EXPECT_EQ(GetByName(set.get(), u"AdoConnected"), "3:1");
    mv::ComPtr<IDispatch> fresh = New<CMvDataSet>();
    ASSERT_EQ(LoadBytes(fresh.get(), kDataSetBytes), S_OK);
    EXPECT_EQ(GetByName(fresh.get(), u"AdoConnected"), "3:0");
    mv::ComPtr<IDispatch> recordSet;
    EXPECT_EQ(As<IMvDataSet>(fresh.get())->get_AdoRecordSet(recordSet.Put()), S_OK);
    EXPECT_EQ(recordSet, nullptr);

    mv::ComPtr<IMvDravikConnect> recipe = As<IMvDravikConnect>(New<CMvDravikConnect>().get());
    EXPECT_EQ(recipe->TryDravikConnect(), S_FALSE);
    EXPECT_EQ(recipe->EnableDravikConnect(), S_OK);
    EXPECT_EQ(recipe->TryDravikConnect(), S_OK);
    mv::ComPtr<IMvDravikConnect> loaded = As<IMvDravikConnect>(New<CMvDravikConnect>().get());
    ASSERT_EQ(LoadBytes(loaded.get(), Saved(recipe.get())), S_OK);
    EXPECT_EQ(loaded->TryDravikConnect(), S_FALSE);
    EXPECT_EQ(recipe->DisableDravikConnect(), S_OK);
    EXPECT_EQ(recipe->TryDravikConnect(), S_FALSE);
}

TEST(DataSetChildren, DamagedInputFailsAndLeavesNothingBehind) {
    ServedChildClasses served;
    // Every cut of the stream, inside the column list too, fails the load.
    for (std::size_t cut = 0; cut < kDataSetBytes.size(); ++cut) {
        SCOPED_TRACE(cut);
        Bytes part(kDataSetBytes.begin(), kDataSetBytes.begin() + cut);
        EXPECT_TRUE(FAILED(LoadBytes(New<CMvDataSet>().get(), part)));
    }
    // A column of a class nobody serves.
    Bytes foreign = kDataSetBytes;
    foreign[83] ^= 0xFF;  // first byte of the member's class identifier
    EXPECT_TRUE(FAILED(LoadBytes(New<CMvDataSet>().get(), foreign)));
    // An element that names no property ends the XML load; what came first
    // stays.
    mv::ComPtr<IDispatch> set = New<CMvDataSet>();
    EXPECT_TRUE(FAILED(LoadXml(set.get(),
                               u"<root><Name>A</Name><Bogus>1</Bogus>"
                               u"<UserID>late</UserID></root>")));
    EXPECT_EQ(GetByName(set.get(), u"Name"), "8:A");
    EXPECT_EQ(GetByName(set.get(), u"UserID"), "8:");
}

TEST(DataSetColumn, TypeTextNamesTheLow16BitsAndRefusesOtherTexts) {
    mv::ComPtr<IMvDataSetColumn> column = As<IMvDataSetColumn>(New<CMvDataSetColumn>().get());
    const struct {
        LONG type;
        const char16_t* text;
    } reads[] = {{0, u"Empty"}, {15, u"Byte"}, {16, u"16"}, {-1, u"-1"}, {65538, u"Short"}};
    for (const auto& r : reads) {
        ASSERT_EQ(column->put_Type(r.type), S_OK);
        mv::Bstr text;
        ASSERT_EQ(column->get_TypeText(text.Out()), S_OK);
        EXPECT_EQ(text.view(), r.text) << r.type;
    }
    const struct {
        const char16_t* text;  // null for a null BSTR
        LONG type;             // -1: refused, Type stays 7
    } puts[] = {{u"float", 5}, {u"BYTE", 15},   {u"", -1},      {nullptr, -1},
                {u"5", -1},    {u" Float", -1}, {u"Floats", -1}};
    for (const auto& p : puts) {
        SCOPED_TRACE(p.text ? mv::ToUtf8(p.text) : "null");
        ASSERT_EQ(column->put_Type(7), S_OK);
        mv::Bstr text = p.text ? mv::Bstr(p.text) : mv::Bstr();
        LONG type = 0;
        if (p.type < 0) {
            EXPECT_EQ(column->put_TypeText(text.get()), E_FAIL);
            values_test::ErrorInfoText info = TakeErrorInfo();
            EXPECT_EQ(info.description, u"Invalid text value for TypeText");
            EXPECT_EQ(info.source, u"Morva.Calc.DataSetColumn.1");
            EXPECT_EQ(info.iid, IID_IMvDataSetColumn);
            ASSERT_EQ(column->get_Type(&type), S_OK);
            EXPECT_EQ(type, 7);
        } else {
            EXPECT_EQ(column->put_TypeText(text.get()), S_OK);
            ASSERT_EQ(column->get_Type(&type), S_OK);
            EXPECT_EQ(type, p.type);
        }
    }
}

TEST(DataSet, ColumnsAreFiledOnceByNameInAnyCaseUnderTheirFirstName) {
    mv::ComPtr<IMvDataSet> set = As<IMvDataSet>(New<CMvDataSet>().get());
    mv::ComPtr<IMvDataSetColumn> first;
    ASSERT_EQ(set->AddDataSetColumn(mv::Bstr(u"Temp").get(), first.Put()), S_OK);
    mv::ComPtr<IMvDataSetColumn> second = first;
    EXPECT_EQ(set->AddDataSetColumn(mv::Bstr(u"TEMP").get(), second.Put()), E_FAIL);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(values_test::TakeErrorText(), u"Add: Item is already in collection");
    mv::Bstr name;
    ASSERT_EQ(first->get_Name(name.Out()), S_OK);
    EXPECT_EQ(name.view(), u"Temp");

    // A renamed column is still found under the name it was filed by.
    ASSERT_EQ(first->put_Name(mv::Bstr(u"Pressure").get()), S_OK);
    mv::ComPtr<IMvObjCollection> columns;
    ASSERT_EQ(set->get_Columns(columns.Put()), S_OK);
    LONG index = 0;
    EXPECT_EQ(columns->IndexFromName(mv::Bstr(u"temp").get(), &index), S_OK);
    EXPECT_EQ(index, 1);
    LONG count = 0;
    EXPECT_EQ(columns->get_Count(&count), S_OK);
    EXPECT_EQ(count, 1);
}

TEST(DataSet, HoldsOneReferenceOnItsRecordSetAndLetsItGo) {
    // Collections stand in for record sets: any automation object will do.
    mv::ComPtr<IDispatch> a = New<CMvObjCollection>();
    mv::ComPtr<IDispatch> b = New<CMvObjCollection>();
    auto refs = [](IDispatch* d) {
        d->AddRef();
        return d->Release();
    };
    mv::ComPtr<IMvDataSet> set = As<IMvDataSet>(New<CMvDataSet>().get());
    ASSERT_EQ(set->put_AdoRecordSet(a.get()), S_OK);
    EXPECT_EQ(refs(a.get()), 2u);
    ASSERT_EQ(set->put_AdoRecordSet(a.get()), S_OK);  // the same one again
    EXPECT_EQ(refs(a.get()), 2u);
    mv::ComPtr<IDispatch> held;
    ASSERT_EQ(set->get_AdoRecordSet(held.Put()), S_OK);
    EXPECT_EQ(held, a);
    held.Reset();
    ASSERT_EQ(set->put_AdoRecordSet(b.get()), S_OK);
    EXPECT_EQ(refs(a.get()), 1u);
    EXPECT_EQ(refs(b.get()), 2u);
    ASSERT_EQ(set->put_AdoRecordSet(nullptr), S_OK);
    EXPECT_EQ(refs(b.get()), 1u);
    ASSERT_EQ(set->put_AdoRecordSet(b.get()), S_OK);
    set.Reset();  // the last release lets it go too
    EXPECT_EQ(refs(b.get()), 1u);
}

TEST(DataSetChildren, ErrorInformationAndTheMembersLeftForLater) {
    mv::ComPtr<IDispatch> set = New<CMvDataSet>();
    mv::ComPtr<IDispatch> column = New<CMvDataSetColumn>();
    mv::ComPtr<IDispatch> recipe = New<CMvDravikConnect>();
    EXPECT_EQ(As<ISupportErrorInfo>(set.get())->InterfaceSupportsErrorInfo(IID_IMvDataSet), S_OK);
    EXPECT_EQ(As<ISupportErrorInfo>(set.get())->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
    EXPECT_EQ(As<ISupportErrorInfo>(column.get())->InterfaceSupportsErrorInfo(IID_IMvDataSetColumn),
              S_OK);
    mv::ComPtr<ISupportErrorInfo> none;
    EXPECT_EQ(recipe->QueryInterface(IID_ISupportErrorInfo, none.PutVoid()), E_NOINTERFACE);

    mv::Variant value;
    SHORT level = 0, status = 0;
    EXPECT_EQ(As<IMvDataSet>(set.get())->get_Data(&value), E_NOTIMPL);
    EXPECT_EQ(As<IMvDataSet>(set.get())->put_Data(value), E_NOTIMPL);
    EXPECT_EQ(As<IMvDataSet>(set.get())->GetDS_Values(0, 0, 5, 0, 0, &value, &level, &status),
              E_NOTIMPL);
    mv::ComPtr<IMvDravikConnect> r = As<IMvDravikConnect>(recipe.get());
    mv::ComPtr<IDispatch> connection;
    mv::Bstr error;
    EXPECT_EQ(r->get_DravikDataConnection(connection.Put()), E_NOTIMPL);
    EXPECT_EQ(r->put_DravikDataConnection(nullptr), E_NOTIMPL);
    EXPECT_EQ(r->DravikOpenConnection(error.Out()), E_NOTIMPL);
}

}  // namespace
