// The record stream of an object: exact bytes written for each kind of row,
// what a reader makes of well-formed and damaged streams, and the zero test.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "persist_test_class.h"
#include "storage.h"

namespace {

using TestObject = mv::ComPtr<mv::ComObject<CPersistTestObject>>;

const Bytes kEnd = {0x30, 0xF8, 0xFF, 0xFF};
const Bytes kEmptyText = {0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00};  // VT_EMPTY

std::vector<PropertyMapEntry> MapOf(std::initializer_list<PropertyMapEntry> rows) {
    std::vector<PropertyMapEntry> map(rows);
    map.push_back(MvPropertyMapEnd());
    return map;
}

Bytes SaveWith(CPersistTestObject* object, const std::vector<PropertyMapEntry>& map,
               HRESULT* hr = nullptr) {
    auto stream = NewStream();
    HRESULT result = MvPersistStream_Save(stream.get(), map.data(), object->GetUnknown());
    if (hr) *hr = result;
    return StreamBytes(stream.get());
}

Bytes SaveWhole(CPersistTestObject* object) {
    auto stream = NewStream();
    EXPECT_EQ(S_OK, object->Save(stream.get(), TRUE));
    return StreamBytes(stream.get());
}

class StreamRecords : public testing::Test {
protected:
    PersistTestClassRegistration classes_;
};

// ---------------------------------------------------------------------------
// Golden bytes, one row at a time
// ---------------------------------------------------------------------------
struct RowCase {
    const char* what;
    PropertyMapEntry row;
    std::function<void(CPersistTestObject&)> set;
    Bytes expected;
};

TEST_F(StreamRecords, EachRowIsWrittenAsDispidTagAndPayload) {
    const std::vector<RowCase> cases = {
        {"text", MvPropertyRow(u"Name", kTestName), [](auto& o) { o.name = mv::Bstr(u"degF"); },
         Cat({Le32(1),
              {0x08, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x64, 0x00, 0x65, 0x00, 0x67, 0x00, 0x46, 0x00,
               0x00, 0x00}})},
        {"32-bit", MvPropertyRow(u"Count", kTestCount), [](auto& o) { o.count = -2; },
         Cat({Le32(2), {0x03, 0x00, 0xFE, 0xFF, 0xFF, 0xFF}})},
        {"16-bit", MvPropertyRow(u"Small", kTestSmall), [](auto& o) { o.small = 0x1234; },
         Cat({Le32(3), {0x02, 0x00, 0x34, 0x12}})},
        {"double", MvPropertyRow(u"Ratio", kTestRatio), [](auto& o) { o.ratio = 1.8; },
         Cat({Le32(4), {0x05, 0x00, 0xCD, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xFC, 0x3F}})},
        {"date", MvPropertyRow(u"When", kTestWhen), [](auto& o) { o.when = 2.5; },
         Cat({Le32(5), {0x07, 0x00, 0, 0, 0, 0, 0, 0, 0x04, 0x40}})},
        {"boolean", MvPropertyRow(u"Enabled", kTestEnabled),
         [](auto& o) { o.enabled = VARIANT_TRUE; }, Cat({Le32(6), {0x0B, 0x00, 0xFF, 0xFF}})},
        {"zero text without star",
         MvPropertyRow(u"Name", kTestName),
         [](auto& o) { o.name = mv::Bstr(u""); },
         {}},
        {"null object", MvPropertyRow(u"Connection", kTestConnection), [](auto&) {}, {}},
        {"star row holding zero", MvPropertyRow(u"*Kind", kTestKind), [](auto&) {},
         Cat({Le32(7), {0x03, 0x00, 0, 0, 0, 0}})},
        {"star row holding VT_EMPTY", MvPropertyRow(u"*Default", kTestDefault), [](auto&) {},
         Cat({Le32(216), kEmptyText})},
        {"star row holding a 32-bit value", MvPropertyRow(u"*Value", kTestValue),
         [](auto& o) { o.value = mv::Variant(LONG{5}); },
         Cat({Le32(0), {0x03, 0x00, 0x05, 0x00, 0x00, 0x00}})},
        {"decimal goes as text under its own tag", MvPropertyRow(u"*Default", kTestDefault),
         [](auto& o) {
             mv::Variant source(2.5);
             VariantChangeType(&o.defaultValue, &source, 0, VT_DECIMAL);
         },
         Cat({Le32(216), {0x0E, 0x00, 0x08, 0x00, 0x00, 0x00, '2', 0, '.', 0, '5', 0, 0, 0}})},
        {"VT_NULL in DISPID 0 is left out",
         MvPropertyRow(u"*Value", kTestValue),
         [](auto& o) { o.value.vt = VT_NULL; },
         {}},
        {"VT_NULL in DISPID 290 is left out",
         MvPropertyRow(u"*Result", kTestResult),
         [](auto& o) { o.result.vt = VT_NULL; },
         {}},
        {"an object in DISPID 0 is left out",
         MvPropertyRow(u"*Value", kTestValue),
         [](auto& o) {
             o.value.vt = VT_DISPATCH;
             o.value.pdispVal = MakeTestObject().Detach();
         },
         {}},
        {"an array is never written",
         MvPropertyRow(u"*Default", kTestDefault),
         [](auto& o) {
             o.defaultValue.vt = VT_ARRAY | VT_I4;
             o.defaultValue.parray = SafeArrayCreateVector(VT_I4, 0, 2);
         },
         {}},
        {"empty child collection", MvPropertyRow(u"Items", kTestItems), [](auto&) {},
         Cat({Le32(2001), {0x00}})},
    };
    for (const RowCase& c : cases) {
        SCOPED_TRACE(c.what);
        TestObject object = MakeTestObject();
        c.set(*object.get());
        HRESULT hr = E_FAIL;
        Bytes bytes = SaveWith(object.get(), MapOf({c.row}), &hr);
        EXPECT_EQ(S_OK, hr);
        EXPECT_EQ(Cat({c.expected, kEnd}), bytes);
    }
}

TEST_F(StreamRecords, NestedObjectIsItsClassFollowedByItsOwnStream) {
    TestObject inner = MakeTestObject();
    inner->count = 9;
    TestObject outer = MakeTestObject();
    outer->connection = static_cast<IPersistTestObject*>(inner.get());
    Bytes bytes = SaveWith(outer.get(), MapOf({MvPropertyRow(u"Connection", kTestConnection)}));
    EXPECT_EQ(Cat({Le32(307),
                   {0x09, 0x00},
                   ClassBytes(CLSID_PersistTestObject),
                   SaveWhole(inner.get()),
                   kEnd}),
              bytes);
}

TEST_F(StreamRecords, CollectionOfTwoMembersIsFlaggedClassTaggedAndClosed) {
    TestObject first = MakeTestObject(), second = MakeTestObject();
    first->name = mv::Bstr(u"A");
    second->name = mv::Bstr(u"B");
    TestObject owner = MakeTestObject();
    ItemsOf(owner.get())->members = {static_cast<IPersistTestObject*>(first.get()),
                                     static_cast<IPersistTestObject*>(second.get())};
    Bytes bytes = SaveWith(owner.get(), MapOf({MvPropertyRow(u"Items", kTestItems)}));
    EXPECT_EQ(Cat({Le32(2001),
                   {0x01},
                   ClassBytes(CLSID_PersistTestObject),
                   SaveWhole(first.get()),
                   {0x01},
                   ClassBytes(CLSID_PersistTestObject),
                   SaveWhole(second.get()),
                   {0x00},
                   kEnd}),
              bytes);

    TestObject loaded = MakeTestObject();
    auto stream = NewStream(bytes);
    ASSERT_EQ(S_OK, loaded->Load(stream.get()));
    auto& members = ItemsOf(loaded.get())->members;
    ASSERT_EQ(2u, members.size());
    mv::Variant name;
    ASSERT_EQ(S_OK, mv::DispGetProperty(members[1].get(), kTestName, &name));
    EXPECT_EQ(u"B", std::u16string_view(name.bstrVal));
}

// ---------------------------------------------------------------------------
// Round trip and reader rules
// ---------------------------------------------------------------------------
TEST_F(StreamRecords, EveryPropertyComesBackAfterASaveAndLoad) {
    TestObject source = MakeTestObject();
    // The longest text a reader takes back (524,287 characters).
    std::u16string longest = u"Füllstand ✓";
    longest.resize(524287, u'y');
    source->name = mv::Bstr(longest);
    source->count = -123456;
    source->small = -7;
    source->ratio = -0.1;
    source->when = 36526.75;
    source->enabled = VARIANT_TRUE;
    source->kind = 4;
    source->value = mv::Variant(u"text value");
    source->defaultValue = mv::Variant(std::numeric_limits<double>::infinity());
    source->result = mv::Variant(true);
    TestObject nested = MakeTestObject();
    nested->ratio = 3.25;
    source->connection = static_cast<IPersistTestObject*>(nested.get());

    auto stream = NewStream();
    ASSERT_EQ(S_OK, source->Save(stream.get(), FALSE));
    LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    TestObject copy = MakeTestObject();
    ASSERT_EQ(S_OK, copy->Load(stream.get()));

    EXPECT_EQ(source->name.view(), copy->name.view());
    EXPECT_EQ(-123456, copy->count);
    EXPECT_EQ(-7, copy->small);
    EXPECT_EQ(-0.1, copy->ratio);
    EXPECT_EQ(36526.75, copy->when);
    EXPECT_EQ(VARIANT_TRUE, copy->enabled);
    EXPECT_EQ(4, copy->kind);
    ASSERT_EQ(VT_BSTR, copy->value.vt);
    EXPECT_EQ(u"text value", std::u16string_view(copy->value.bstrVal));
    ASSERT_EQ(VT_R8, copy->defaultValue.vt);
    EXPECT_TRUE(std::isinf(copy->defaultValue.dblVal));
    ASSERT_EQ(VT_BOOL, copy->result.vt);
    EXPECT_EQ(VARIANT_TRUE, copy->result.boolVal);
    ASSERT_TRUE(copy->connection);
    mv::Variant ratio;
    ASSERT_EQ(S_OK, mv::DispGetProperty(copy->connection.get(), kTestRatio, &ratio));
    EXPECT_EQ(3.25, ratio.dblVal);
    EXPECT_EQ(StreamPosition(stream.get()), StreamBytes(stream.get()).size());
}

TEST_F(StreamRecords, SaveAndLoadWorkAtTheStreamPositionAndStopAfterTheEndMarker) {
    TestObject source = MakeTestObject();
    source->count = 3;
    auto stream = NewStream({0xAA, 0xBB});
    LARGE_INTEGER two{};
    two.QuadPart = 2;
    stream->Seek(two, STREAM_SEEK_SET, nullptr);
    ASSERT_EQ(S_OK, source->Save(stream.get(), FALSE));
    const uint8_t trailer = 0xCC;
    stream->Write(&trailer, 1, nullptr);
    const Bytes all = StreamBytes(stream.get());

    stream->Seek(two, STREAM_SEEK_SET, nullptr);
    TestObject copy = MakeTestObject();
    ASSERT_EQ(S_OK, copy->Load(stream.get()));
    EXPECT_EQ(3, copy->count);
    EXPECT_EQ(all.size() - 1, StreamPosition(stream.get()));
}

struct LoadCase {
    const char* what;
    Bytes stream;
    HRESULT expected;
    std::function<void(CPersistTestObject&)> check;
    const char* logged;  // a message the log must hold, or null
};

TEST_F(StreamRecords, ReaderAcceptsWhatTheRulesAllowAndRefusesDamage) {
    auto text = [](uint32_t count, Bytes payload) {
        return Cat({Le32(kTestName), {0x08, 0x00}, Le32(static_cast<int32_t>(count)), payload});
    };
    const std::vector<LoadCase> cases = {
        {"end marker alone", kEnd, S_OK, [](auto& o) { EXPECT_EQ(0, o.count); }, nullptr},
        {"any order, last value wins",
         Cat({Le32(kTestCount),
              {3, 0, 1, 0, 0, 0},
              Le32(kTestSmall),
              {2, 0, 5, 0},
              Le32(kTestCount),
              {3, 0, 2, 0, 0, 0},
              kEnd}),
         S_OK,
         [](auto& o) {
             EXPECT_EQ(2, o.count);
             EXPECT_EQ(5, o.small);
         },
         nullptr},
        {"VT_EMPTY text comes back empty", Cat({Le32(kTestValue), kEmptyText, kEnd}), S_OK,
         [](auto& o) { EXPECT_EQ(VT_EMPTY, o.value.vt); }, nullptr},
        {"text under another tag is converted back",
         Cat({Le32(kTestValue), {0x0E, 0x00}, Le32(6), {'4', 0, '2', 0, 0, 0}, kEnd}), S_OK,
         [](auto& o) {
             mv::Variant number;
             ASSERT_EQ(VT_DECIMAL, o.value.vt);
             ASSERT_EQ(S_OK, VariantChangeType(&number, &o.value, 0, VT_I4));
             EXPECT_EQ(42, number.lVal);
         },
         nullptr},
        {"byte count 0 is a null text", Cat({text(0, {}), kEnd}), S_OK,
         [](auto& o) { EXPECT_EQ(nullptr, o.name.get()); }, nullptr},
        {"null class identifier is a null reference",
         Cat({Le32(kTestConnection), {0x09, 0x00}, ClassBytes(CLSID_NULL), kEnd}), S_OK,
         [](auto& o) { EXPECT_FALSE(o.connection); }, nullptr},
        {"unknown plain DISPID is consumed and skipped",
         Cat({Le32(77), {3, 0, 9, 9, 9, 9}, Le32(kTestCount), {3, 0, 4, 0, 0, 0}, kEnd}), S_OK,
         [](auto& o) { EXPECT_EQ(4, o.count); },
         "MvPersistStream_Load: CComDispatchDriver::GetProperty : Failed to assign value to "
         "property 77."},
        {"unknown child DISPID fails", Cat({Le32(2005), {0x00}, kEnd}), DISP_E_MEMBERNOTFOUND,
         nullptr,
         "MvPersistStream_Load: CComDispatchDriver::GetProperty : Failed to get dispatch id of "
         "collection #2005."},
        {"empty stream",
         {},
         E_FAIL,
         nullptr,
         "MvPersistStream_Load: var.ReadFromStream : Failed to read a dispatch id from stream!"},
        {"ends inside the first DISPID", {0x01, 0x00}, E_FAIL, nullptr, nullptr},
        {"ends before the end marker", Cat({Le32(kTestCount), {3, 0, 8, 0, 0, 0}}), E_FAIL,
         [](auto& o) { EXPECT_EQ(8, o.count); },
         "MvPersistStream_Load: var.ReadFromStream : Failed to read from stream!"},
        {"ends inside a tag", Cat({Le32(kTestCount), {3}}), E_FAIL, nullptr,
         "MvPersistStream_Load: var.ReadFromStream: Failed to read persisted data of property "
         "#2."},
        {"ends inside a number", Cat({Le32(kTestRatio), {5, 0, 1, 2, 3}}), E_FAIL,
         [](auto& o) { EXPECT_EQ(0.0, o.ratio); }, nullptr},
        {"ends inside a text", text(10, {'a', 0, 'b', 0}), E_FAIL,
         [](auto& o) { EXPECT_EQ(nullptr, o.name.get()); }, nullptr},
        {"byte count 1", Cat({text(1, {0}), kEnd}), E_FAIL, nullptr, nullptr},
        {"byte count above the limit", Cat({text(0x100002, {}), kEnd}), E_ACCESSDENIED, nullptr,
         nullptr},
        {"terminator that is not 00 00", Cat({text(4, {'a', 0, 'b', 0}), kEnd}), E_FAIL, nullptr,
         nullptr},
        {"unregistered class identifier fails",
         Cat({Le32(kTestConnection),
              {0x09, 0x00},
              ClassBytes({0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}}),
              kEnd}),
         REGDB_E_CLASSNOTREG, nullptr, nullptr},
        {"collection ends where a flag is expected", Cat({Le32(kTestItems)}), E_FAIL, nullptr,
         "pPersist->Load: Failed to load persisted data of collection #2001."},
    };
    for (const LoadCase& c : cases) {
        SCOPED_TRACE(c.what);
        LogWatch log;
        TestObject object = MakeTestObject();
        auto stream = NewStream(c.stream);
        EXPECT_EQ(c.expected, object->Load(stream.get()));
        EXPECT_LE(StreamPosition(stream.get()), c.stream.size());
        if (c.check) c.check(*object.get());
        if (c.logged) {
            EXPECT_NE(std::string::npos, log.Text().find(c.logged)) << log.Text();
        }
    }
}

// ---------------------------------------------------------------------------
// Save failures
// ---------------------------------------------------------------------------
// A compound-file stream opened for reading: every write to it fails.
struct ReadOnlyStream {
    mv::ComPtr<IStorage> storage;
    mv::ComPtr<IStream> stream;
};

ReadOnlyStream OpenReadOnlyStream() {
    const std::u16string path =
        mv::ToUtf16(std::string(getenv("MORVA_COMMON_APPDATA")) + "/read_only_stream.mvc");
    ReadOnlyStream out;
    {
        mv::ComPtr<IStorage> created;
        EXPECT_EQ(S_OK, StgCreateDocfile(path.c_str(), 0x1012, 0, created.Put()));
        mv::ComPtr<IStream> stream;
        EXPECT_EQ(S_OK, created->CreateStream(u"S", 0x12, 0, 0, stream.Put()));
    }
    EXPECT_EQ(S_OK, StgOpenStorage(path.c_str(), nullptr, 0x10, nullptr, 0, out.storage.Put()));
    EXPECT_EQ(S_OK, out.storage->OpenStream(u"S", nullptr, 0x10, 0, out.stream.Put()));
    return out;
}

TEST_F(StreamRecords, SaveFailuresAreLoggedAndReturnedAndKeepWhatWasWritten) {
    struct SaveCase {
        const char* what;
        PropertyMapEntry row;
        std::function<void(CPersistTestObject&)> set;
        bool readOnly;  // every write fails
        HRESULT expected;
        Bytes written;  // what stays in a memory stream
        const char* logged;
    };
    const std::vector<SaveCase> cases = {
        {"VT_NULL in another star row", MvPropertyRow(u"*Default", kTestDefault),
         [](auto& o) { o.defaultValue.vt = VT_NULL; }, false, DISP_E_TYPEMISMATCH,
         Cat({Le32(216), {0x01, 0x00}}), "var.WriteToStream : Unable to write value to stream!"},
        {"text one character too long", MvPropertyRow(u"Name", kTestName),
         [](auto& o) { o.name = mv::Bstr(std::u16string(524288, u'x')); }, false, E_ACCESSDENIED,
         Cat({Le32(1), {0x08, 0x00}}), "var.WriteToStream : Unable to write value to stream!"},
        {"a member that cannot be saved", MvPropertyRow(u"Items", kTestItems),
         [](auto& o) {
             TestObject member = MakeTestObject();
             member->defaultValue.vt = VT_NULL;
             ItemsOf(&o)->members = {static_cast<IPersistTestObject*>(member.get())};
         },
         false, DISP_E_TYPEMISMATCH,
         Cat({Le32(2001),
              {0x01},
              ClassBytes(CLSID_PersistTestObject),
              Le32(kTestKind),
              {0x03, 0x00, 0, 0, 0, 0},
              Le32(kTestValue),
              kEmptyText,
              Le32(216),
              {0x01, 0x00}}),
         "pStm->Save : Unable to write NULL to stream!"},
        {"an object without a stream interface", MvPropertyRow(u"*Default", kTestDefault),
         [](auto& o) {
             mv::ComPtr<IEnumVARIANT> enumerator;
             ASSERT_EQ(S_OK, mv::CreateEnumVariant(nullptr, 0, enumerator.Put()));
             o.defaultValue.vt = VT_UNKNOWN;
             o.defaultValue.punkVal = enumerator.Detach();
         },
         false, E_NOINTERFACE, Cat({Le32(216), {0x0D, 0x00}}),
         "var.WriteToStream : Unable to write value to stream!"},
        {"plain DISPID",
         MvPropertyRow(u"Count", kTestCount),
         [](auto& o) { o.count = 1; },
         true,
         STG_E_ACCESSDENIED,
         {},
         "pStm->Write : Unable to write dispid 2 to stream!"},
        {"child DISPID",
         MvPropertyRow(u"Items", kTestItems),
         [](auto&) {},
         true,
         STG_E_ACCESSDENIED,
         {},
         "pStm->Write: Unable to write dispid 2001 to stream!"},
        {"end marker",
         MvPropertyRow(u"Count", kTestCount),
         [](auto&) {},
         true,
         STG_E_ACCESSDENIED,
         {},
         "pStm->Write : Unable to write MV_DISPID_NULL to stream!"},
    };
    for (const SaveCase& c : cases) {
        SCOPED_TRACE(c.what);
        LogWatch log;
        TestObject object = MakeTestObject();
        c.set(*object.get());
        const auto map = MapOf({c.row});
        if (c.readOnly) {
            ReadOnlyStream target = OpenReadOnlyStream();
            EXPECT_EQ(c.expected,
                      MvPersistStream_Save(target.stream.get(), map.data(), object->GetUnknown()));
        } else {
            HRESULT hr = S_OK;
            EXPECT_EQ(c.written, SaveWith(object.get(), map, &hr));
            EXPECT_EQ(c.expected, hr);
        }
        EXPECT_NE(std::string::npos,
                  log.Text().find(std::string("MvPersistStream_Save: ") + c.logged))
            << log.Text();
    }
}

// An object inside an object, or a member inside a member's collection, as
// deep as `levels`.
Bytes NestedStream(bool throughMembers, int levels) {
    const Bytes open =
        throughMembers
            ? Cat({Le32(kTestItems), {0x01}, ClassBytes(CLSID_PersistTestObject)})
            : Cat({Le32(kTestConnection), {0x09, 0x00}, ClassBytes(CLSID_PersistTestObject)});
    const Bytes close = throughMembers ? Cat({{0x00}, kEnd}) : kEnd;
    Bytes stream;
    for (int i = 0; i < levels; ++i) stream.insert(stream.end(), open.begin(), open.end());
    stream.insert(stream.end(), kEnd.begin(), kEnd.end());
    for (int i = 0; i < levels; ++i) stream.insert(stream.end(), close.begin(), close.end());
    return stream;
}

TEST_F(StreamRecords, NestingDeeperThanTheLimitFailsInsteadOfExhaustingTheStack) {
    struct NestingCase {
        const char* what;
        bool throughMembers;
        int levels;
        HRESULT expected;
    };
    const std::vector<NestingCase> cases = {
        {"objects at the limit", false, kMvMaxLoadNesting - 1, S_OK},
        {"objects one beyond", false, kMvMaxLoadNesting, E_FAIL},
        {"members at the limit", true, kMvMaxLoadNesting - 1, S_OK},
        {"members far beyond", true, 20000, E_FAIL},
    };
    for (const NestingCase& c : cases) {
        SCOPED_TRACE(c.what);
        TestObject object = MakeTestObject();
        auto stream = NewStream(NestedStream(c.throughMembers, c.levels));
        EXPECT_EQ(c.expected, object->Load(stream.get()));
    }
}

TEST_F(StreamRecords, RowWithoutANameIsLoggedAndPassedOver) {
    LogWatch log;
    TestObject object = MakeTestObject();
    object->count = 1;
    auto map = MapOf({MvPropertyRow(nullptr, kTestName), MvPropertyRow(u"Count", kTestCount)});
    HRESULT hr = E_FAIL;
    EXPECT_EQ(Cat({Le32(2), {3, 0, 1, 0, 0, 0}, kEnd}), SaveWith(object.get(), map, &hr));
    EXPECT_EQ(S_OK, hr);
    EXPECT_NE(std::string::npos, log.Text().find("MvPersistStream_Save: pMap[0].szDesc is NULL."));
}

// ---------------------------------------------------------------------------
// The zero test
// ---------------------------------------------------------------------------
TEST(PersistZeroValue, OnlyTheListedTypesHaveAZero) {
    auto make = [](VARTYPE vt, auto setter) {
        mv::Variant v;
        v.vt = vt;
        setter(v);
        return v;
    };
    struct ZeroCase {
        const char* what;
        mv::Variant value;
        bool zero;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<ZeroCase> cases = {
        {"I2 0", make(VT_I2, [](auto& v) { v.iVal = 0; }), true},
        {"I4 0", mv::Variant(LONG{0}), true},
        {"R4 -0", make(VT_R4, [](auto& v) { v.fltVal = -0.0f; }), true},
        {"R8 -0", mv::Variant(-0.0), true},
        {"R8 NaN", mv::Variant(nan), false},
        {"DATE 0", mv::Variant::Date(0.0), true},
        {"BSTR null", make(VT_BSTR, [](auto& v) { v.bstrVal = nullptr; }), true},
        {"BSTR empty", mv::Variant(u""), true},
        {"BSTR text", mv::Variant(u"a"), false},
        {"DISPATCH null", make(VT_DISPATCH, [](auto& v) { v.pdispVal = nullptr; }), true},
        {"BOOL false", mv::Variant(false), true},
        {"BOOL true", mv::Variant(true), false},
        {"EMPTY", mv::Variant(), false},
        {"NULL", make(VT_NULL, [](auto&) {}), false},
        {"CY 0", make(VT_CY, [](auto& v) { v.cyVal.int64 = 0; }), false},
        {"I8 0", make(VT_I8, [](auto& v) { v.llVal = 0; }), false},
        {"UNKNOWN null", make(VT_UNKNOWN, [](auto& v) { v.punkVal = nullptr; }), false},
    };
    for (const ZeroCase& c : cases) EXPECT_EQ(c.zero, MvPersist_IsZeroValue(c.value)) << c.what;
}

}  // namespace
