// The historian batch buffer: layouts byte for byte, every type code read
// and written through the stand-in, and local times across DST changes.
#include <cstring>

#include "keldrin_bindings_test_support.h"

namespace keldtest {
namespace {

class KeldrinValues : public KeldrinWorld {
protected:
    void SetUp() override {
        KeldrinWorld::SetUp();
        ASSERT_GT(KhSim_AddServer("NODEA", 11, 3, 0), 0);
        KeldrinErrorBlock err{};
        ASSERT_EQ(DaSetDefaultServer(static_cast<SHORT>(ConnectKeldrinNode("NODEA", &err, nullptr)),
                                     &err),
                  0);
    }

    // One field read through the client into the definition.
    static void ReadOne(BindingDefinition& d, const KeldrinRecField& pair, SHORT type,
                        bool timeForm) {
        SHORT types[1] = {type};
        void* slot[1] = {};
        BYTE* buffer = LayoutKeldrinValueBuffer(1, types, slot, timeForm);
        ASSERT_NE(buffer, nullptr);
        KeldrinErrorBlock err{};
        SHORT failIndex = -1;
        ASSERT_EQ(MRDBVALS(1, &pair, types, buffer, &failIndex, &err), 0);
        StoreKeldrinValue(d, types[0], static_cast<BYTE*>(slot[0]), buffer,
                          TlsExecutionBufferSize());
    }
    // The definition's value written to one field through the client.
    static void WriteOne(const BindingDefinition& d, const KeldrinRecField& pair, SHORT type,
                         const KeldrinUst* storeTime) {
        SHORT types[1] = {type};
        void* slot[1] = {};
        BYTE* buffer = LayoutKeldrinValueBuffer(1, types, slot, storeTime != nullptr);
        ASSERT_NE(buffer, nullptr);
        PutKeldrinValue(d, types[0], static_cast<BYTE*>(slot[0]), buffer, storeTime);
        KeldrinErrorBlock err{};
        SHORT failIndex = -1;
        ASSERT_EQ(MWDBVALS(1, &pair, types, buffer, &failIndex, &err), 0);
    }
};

LONG Offset(const BYTE* buffer, void* slot) {
    return static_cast<LONG>(static_cast<BYTE*>(slot) - buffer);
}

TEST_F(KeldrinValues, LayoutsPlaceSlotsDescriptorsAndTheStringArea) {
    SHORT types[3] = {-16, 12, -3};
    void* values[3] = {};
    BYTE* buffer = LayoutKeldrinValueBuffer(3, types, values, false);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(Offset(buffer, values[0]), 0);
    EXPECT_EQ(Offset(buffer, values[1]), 24);
    EXPECT_EQ(Offset(buffer, values[2]), 36);
    EXPECT_EQ(types[1], -22);
    const BYTE descriptor[6] = {76, 0, 0, 0, 12, 0};
    EXPECT_EQ(std::memcmp(buffer + 24, descriptor, 6), 0);

    SHORT flagged[4] = {-12, 5, -9, -11};
    void* slots[4] = {};
    buffer = LayoutKeldrinValueBuffer(4, flagged, slots, true);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ((std::vector<SHORT>(flagged, flagged + 4)), (std::vector<SHORT>{-21, -23, -18, -20}));
    EXPECT_EQ(Offset(buffer, slots[1]), 24);
    EXPECT_EQ(Offset(buffer, slots[2]), 44);
    EXPECT_EQ(Offset(buffer, slots[3]), 60);
    const BYTE text[6] = {152, 0, 0, 0, 6, 0};  // 2 x 76 slot bytes, length made even
    EXPECT_EQ(std::memcmp(buffer + 24, text, 6), 0);

    SHORT refused[1] = {-17};
    EXPECT_EQ(LayoutKeldrinValueBuffer(1, refused, slots, false), nullptr);
}

// One row per type code: the field's type, what is stored, what a read
// gives (as the field asks for it) and what a write of `written` stores.
struct TypeRow {
    SHORT type;
    double stored;
    VARTYPE readAs;
    double written;
    bool stamped;  // the read slot carries the value's own time
};

TEST_F(KeldrinValues, EveryTypeCodeReadsAndWritesThroughTheClient) {
    const TypeRow rows[] = {
        {-16, 1.5, VT_R8, 2.5, true}, {-15, 1.5, VT_R4, 2.5, true},
        {-14, 7, VT_I4, 9, true},     {-13, 7, VT_I2, 9, true},
        {-12, 1.5, VT_R8, 2.5, true}, {-11, 1.5, VT_R4, 2.5, true},
        {-10, 7, VT_I4, 9, true},     {-9, 7, VT_I2, 9, true},
        {-6, 1.5, VT_R8, 2.5, false}, {-5, 1.5, VT_R4, 2.5, false},
        {-4, 7, VT_I4, 9, false},     {-3, 7, VT_I2, 9, false},
        {-1, 7, VT_I4, 9, false},     {8, 0, VT_BSTR, 0, true},
        {32767, 0, VT_BSTR, 0, true},  // the widest character field
    };
    LONG tag = 0x10000;
    for (const TypeRow& row : rows) {
        SCOPED_TRACE(row.type);
        tag += 0x10000;
        KhSimValue seed = Seeded(row.stored, 1, 3, 1700000000);
        seed.Text = "ABC";
        LONG record = Field("NODEA", ("REC" + std::to_string(tag)).c_str(),
                            ("F" + std::to_string(tag)).c_str(), tag, row.type, &seed);
        KeldrinRecField pair{record, tag};
        BindingDefinition d;
        d.FieldType = row.type;
        ASSERT_NO_FATAL_FAILURE(ReadOne(d, pair, row.type, true));
        ASSERT_EQ(d.Value.vt, row.readAs);
        if (row.readAs == VT_BSTR) {
            EXPECT_EQ(mv::ToUtf8(d.Value.bstrVal), "ABC");
        } else {
            mv::Variant number;
            ASSERT_EQ(number.ChangeType(VT_R8, &d.Value), S_OK);
            EXPECT_EQ(number.dblVal, row.stored);
        }
        const bool hasQuality = row.type >= 1 || (row.type >= -16 && row.type <= -9);
        EXPECT_EQ(d.Level, hasQuality ? 1 : -1);
        EXPECT_EQ(d.Status, hasQuality ? 3 : -2);
        EXPECT_EQ(d.Time, row.stamped ? 1700000000u : ~uint64_t{0});

        VariantClear(&d.Value);
        if (row.readAs == VT_BSTR) {
            d.Value.vt = VT_BSTR;
            d.Value.bstrVal = SysAllocString(u"XYZW");
        } else {
            d.Value.vt = VT_R8;
            d.Value.dblVal = row.written;
        }
        d.Level = 2;
        d.Status = 4;
        KeldrinUst store{1700000100, 0};
        ASSERT_NO_FATAL_FAILURE(WriteOne(
            d, pair,
            row.type >= -16 && row.type <= -13 ? static_cast<SHORT>(row.type + 4) : row.type,
            &store));
        KhSimValue back{};
        char text[16] = {};
        ASSERT_EQ(KhSim_GetValue("NODEA", record, tag, &back, text, sizeof text), 1);
        if (row.readAs == VT_BSTR)
            EXPECT_STREQ(text, "XYZW");
        else
            EXPECT_EQ(back.Number, row.written);
        if (hasQuality) {
            EXPECT_EQ(back.Level, 2);
            EXPECT_EQ(back.Status, 4);
            EXPECT_EQ(back.Stamp.Seconds, 1700000100u);
        }
    }
}

// A parameter whose Use_QT_Format is 1 takes its times in the microsecond
// form, read and written back unchanged; a time that form cannot convert
// leaves the value or the time stamp empty.
TEST_F(KeldrinValues, MicrosecondTimesRoundTripOrStayEmpty) {
    auto qt = parameter_test::NewParameter();
    ASSERT_EQ(qt->put_Use_QT_Format(1), S_OK);
    const KeldrinTime time{1700000000, 250000};
    const DATE date = 25569.0 + (1700000000 + 0.25) / 86400.0;
    struct Row {
        const char* what;
        SHORT type;
        KeldrinTime held;  // the field's time, and the stamp of its value
        bool conversionFails;
        VARTYPE value, stamp;
    } rows[] = {
        {"time field", -8, time, false, VT_DATE, VT_R8},
        {"time field holding no time", -8, kNoKeldrinTime, false, VT_EMPTY, VT_R8},
        {"stamped number", -16, time, false, VT_R8, VT_DATE},
        {"stamp the client cannot convert", -16, time, true, VT_R8, VT_EMPTY},
    };
    LONG tag = 0x100000;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        tag += 0x10000;
        KhSimValue seed = Seeded(1.5, 1, 3);
        seed.Time = seed.Stamp = row.held;
        const std::string name = std::to_string(tag);
        LONG record =
            Field("NODEA", (name + "R").c_str(), (name + "F").c_str(), tag, row.type, &seed);
        KeldrinRecField pair{record, tag};
        // The read itself converts no time through the entry point.
        if (row.conversionFails) KhSim_FailCall(KHSIM_API, "XTS2XUST", KELDRIN_E_BADTIME, 0, 0, 1);
        BindingDefinition d;
        d.FieldType = row.type;
        d.Parameter = qt.get();
        ASSERT_NO_FATAL_FAILURE(ReadOne(d, pair, row.type, false));
        EXPECT_EQ(d.Value.vt, row.value);
        EXPECT_EQ(d.TimeStamp.vt, row.stamp);
        if (row.value == VT_DATE) {
            EXPECT_DOUBLE_EQ(d.Value.date, date);
        }
        if (row.stamp == VT_DATE) {
            EXPECT_DOUBLE_EQ(d.TimeStamp.date, date);
        }
        if (row.value != VT_DATE && row.stamp != VT_DATE) continue;

        KhSimValue other = seed;
        other.Time = other.Stamp = KeldrinTime{1600000000, 0};
        ASSERT_EQ(KhSim_SetValue("NODEA", record, tag, &other), 1);
        ASSERT_NO_FATAL_FAILURE(WriteOne(d, pair, row.type, nullptr));
        KhSimValue back{};
        char text[16] = {};
        ASSERT_EQ(KhSim_GetValue("NODEA", record, tag, &back, text, sizeof text), 1);
        const KeldrinTime written = row.type == -8 ? back.Time : back.Stamp;
        EXPECT_EQ(written.Seconds, time.Seconds);
        EXPECT_EQ(written.Micro, time.Micro);
    }
}

// A value read again with the same time takes its stamp without a client
// call; anything that changes how the time converts, or a conversion that
// failed, converts it again. Each row: what the second read changes.
TEST_F(KeldrinValues, AStampIsConvertedAgainOnlyWhenItsTimeOrFormChanges) {
    const KeldrinTime first{1700000000, 250000}, later{1700003600, 500000};
    struct Row {
        const char* what;
        bool laterTime, universal, local, failFirst, zone;
        LONG qt;
        bool converts;
    } rows[] = {
        {"nothing", false, false, false, false, false, 0, false},
        {"the time", true, false, false, false, false, 0, true},
        {"the microsecond form", false, false, false, false, false, 1, true},
        {"the library", false, false, true, false, false, 0, true},
        {"the slot's time form", false, true, false, false, false, 0, true},
        {"nothing after a failed conversion", false, false, false, true, false, 0, true},
        {"the process's time zone", false, false, false, false, true, 0, true},
    };
    LONG tag = 0x200000;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        auto parameter = parameter_test::NewParameter();
        BindingDefinition d;
        d.Parameter = parameter.get();
        KeldrinRecField pairs[2] = {};
        for (SHORT k = 0; k < 2; ++k) {  // the same time in both forms of slot
            tag += 0x10000;
            KhSimValue seed = Seeded(1.5, 1, 3);
            seed.Stamp = first;
            const std::string name = std::to_string(tag);
            pairs[k] = {Field("NODEA", (name + "R").c_str(), (name + "F").c_str(), tag,
                              k == 0 ? -16 : -12, &seed),
                        tag};
        }
        if (row.failFirst) KhSim_FailCall(KHSIM_BOTH, "XTS2DSPDT", KELDRIN_E_BADTIME, 0, 0, 1);
        ASSERT_NO_FATAL_FAILURE(ReadOne(d, pairs[0], -16, true));

        const KeldrinTime time = row.laterTime ? later : first;
        if (row.laterTime) {
            KhSimValue next = Seeded(1.5, 1, 3);
            next.Stamp = time;
            ASSERT_EQ(KhSim_SetValue("NODEA", pairs[0].RecordId, pairs[0].FieldId, &next), 1);
        }
        parameter->put_Use_QT_Format(row.qt);
        d.IsLocal = row.local ? 1 : 0;
        if (row.zone) {
            setenv("TZ", "Europe/Berlin", 1);
            tzset();
        }
        LONG calls = 0;
        for (const char* call : {"XTS2DSPDT", "XTS2XUST", "XUST2XTS"})
            calls -= KhSim_CallCount(KHSIM_BOTH, call);
        ASSERT_NO_FATAL_FAILURE(
            ReadOne(d, pairs[row.universal ? 1 : 0], row.universal ? -12 : -16, true));
        for (const char* call : {"XTS2DSPDT", "XTS2XUST", "XUST2XTS"})
            calls += KhSim_CallCount(KHSIM_BOTH, call);
        EXPECT_EQ(calls > 0, row.converts) << calls;

        VARIANT expected = KeldrinTimeToVariant(row.local, time, row.qt);
        setenv("TZ", "UTC", 1);
        tzset();
        EXPECT_EQ(d.TimeStamp.vt, expected.vt);
        EXPECT_EQ(d.TimeStamp.date, expected.date);
        EXPECT_EQ(d.Time, (uint64_t{time.Micro} << 32) | time.Seconds);
    }
}

// Reads of a text and a number, in turn, into one definition: each leaves
// its own value alone, the earlier one freed (the leak check sees a text
// left behind).
TEST_F(KeldrinValues, AReadReplacesTheDefinitionsEarlierValue) {
    KhSimValue seed = Seeded(2.5, 1, 3, 1700000000);
    seed.Text = "ABC";
    const KeldrinRecField text{Field("NODEA", "TEXTR", "TEXTF", 0x300000, 8, &seed), 0x300000};
    const KeldrinRecField number{Field("NODEA", "NUMR", "NUMF", 0x310000, -16, &seed), 0x310000};
    struct Row {
        const KeldrinRecField* pair;
        SHORT type;
        VARTYPE vt;
    } rows[] = {
        {&text, 8, VT_BSTR}, {&text, 8, VT_BSTR}, {&number, -16, VT_R8}, {&text, 8, VT_BSTR}};
    BindingDefinition d;
    for (const Row& row : rows) {
        d.FieldType = row.type;
        ASSERT_NO_FATAL_FAILURE(ReadOne(d, *row.pair, row.type, true));
        ASSERT_EQ(d.Value.vt, row.vt);
        if (row.vt == VT_BSTR) {
            EXPECT_EQ(mv::ToUtf8(d.Value.bstrVal), "ABC");
        } else {
            EXPECT_EQ(d.Value.dblVal, 2.5);
        }
    }
}

TEST_F(KeldrinValues, LocalTimesRoundTripAcrossBothDstChanges) {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    // Either side of 2024-03-31 01:00 UTC and 2024-10-27 01:00 UTC.
    for (ULONG seconds :
         {1711846800u - 1800u, 1711846800u + 1800u, 1729990800u - 7200u, 1729990800u + 3600u}) {
        SCOPED_TRACE(seconds);
        VARIANT date = KeldrinTimeToVariant(false, KeldrinTime{seconds, 0}, 0);
        KeldrinTime back{};
        ASSERT_EQ(VariantToKeldrinTime(false, &back, date, nullptr, 0), S_OK);
        EXPECT_EQ(back.Seconds, seconds);
        EXPECT_EQ(back.Micro, 0u);
    }
    setenv("TZ", "UTC", 1);
    tzset();
}

TEST_F(KeldrinValues, WritesConvertUnitsAndKeepEmptyValuesApart) {
    BindingDefinition d;
    d.UnitConversionMultiplier = 2.0;
    d.UnitConversionOffset = 5.0;
    SHORT s = -1;
    EXPECT_EQ(VariantToShort(&s, d), S_OK);
    EXPECT_EQ(s, 5);  // an empty integer is written as the offset
    d.Value.vt = VT_I4;
    d.Value.lVal = 7;
    d.UnitConversionOffset = 1.5;
    EXPECT_EQ(VariantToShort(&s, d), S_OK);
    EXPECT_EQ(s, 15);
    d.Value.lVal = 100000;
    LONG l = 0;
    EXPECT_EQ(VariantToLong(&l, d), S_OK);
    EXPECT_EQ(l, 200001);
    d.UnitConversionMultiplier = 1e30;  // saturates instead of overflowing
    EXPECT_EQ(VariantToLong(&l, d), S_OK);
    EXPECT_EQ(l, 2147483647);
    VariantClear(&d.Value);
    double x = 0.0;
    EXPECT_EQ(VariantToDouble(&x, d), S_OK);
    EXPECT_NE(DSPECTYP(x), KELDRIN_CLASS_NUMBER);
    d.Value.vt = VT_BSTR;
    d.Value.bstrVal = SysAllocString(u"not a number");
    EXPECT_NE(VariantToDouble(&x, d), S_OK);
    EXPECT_EQ(x, 0.0);
    char chars[4];
    EXPECT_EQ(VariantToPaddedChars(chars, 4, d.Value), S_OK);
    EXPECT_EQ(std::string(chars, 4), "not ");
    // A character that does not fit whole leaves its place blank.
    for (auto [text, width, padded] :
         {std::tuple{u"abc\u00e9\u00e9", 4, "abc "}, std::tuple{u"\u00e9\u00e9", 3, "\u00e9 "},
          std::tuple{u"a\u20ac", 3, "a  "}}) {
        EXPECT_EQ(VariantToPaddedChars(chars, width, mv::Variant(text)), S_OK);
        EXPECT_EQ(std::string(chars, static_cast<size_t>(width)), padded);
    }
    VARIANT text = KeldrinCharsToVariant("ABC   ", 6);
    EXPECT_EQ(mv::ToUtf8(text.bstrVal), "ABC");
    VariantClear(&text);
}

}  // namespace
}  // namespace keldtest
