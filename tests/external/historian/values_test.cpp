// Batched current-value reads and writes in the value-buffer layouts.
#include <cmath>
#include <cstring>
#include <vector>

#include "fixture.h"

namespace {

using kh_test::at;
using kh_test::kNone;
using kh_test::kT0;

// Little-endian encoders, independent of the library's own.
void put16(unsigned char* p, int v) {
    p[0] = v & 0xFF;
    p[1] = (v >> 8) & 0xFF;
}
void put32(unsigned char* p, uint64_t v) {
    for (int i = 0; i < 4; ++i) p[i] = (v >> (8 * i)) & 0xFF;
}
void put64(unsigned char* p, uint64_t v) {
    put32(p, v);
    put32(p + 4, v >> 32);
}
uint32_t get32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
int get16(const unsigned char* p) {
    return static_cast<int16_t>(p[0] | p[1] << 8);
}
template <class T>
uint64_t bitsOf(T v) {
    uint64_t u = 0;
    std::memcpy(&u, &v, sizeof v);
    return u;
}

// One row per type code: the field it is written to and where its parts lie.
struct Row {
    SHORT code;
    SHORT fieldType;
    char kind;  // d f l s: number; c: descriptor text; i: inline text; t: time;
                // 7: 4-byte seconds; u: microsecond time; p: pair
    int size, status, level, xts, xust;
};

const Row kRows[] = {
    {-24, 8, 'c', 20, 8, 10, -1, 12},   {-23, 8, 'c', 20, 8, 10, 12, -1},
    {-22, 8, 'c', 12, 8, 10, -1, -1},   {-21, -16, 'd', 24, 8, 10, -1, 12},
    {-20, -15, 'f', 16, 4, 6, -1, 8},   {-19, -14, 'l', 16, 4, 6, -1, 8},
    {-18, -13, 's', 16, 2, 4, -1, 8},   {-17, -8, 'u', 8, -1, -1, -1, -1},
    {-16, -16, 'd', 24, 8, 10, 12, -1}, {-15, -15, 'f', 16, 4, 6, 8, -1},
    {-14, -14, 'l', 16, 4, 6, 8, -1},   {-13, -13, 's', 16, 2, 4, 8, -1},
    {-12, -12, 'd', 16, 8, 10, -1, -1}, {-11, -11, 'f', 8, 4, 6, -1, -1},
    {-10, -10, 'l', 8, 4, 6, -1, -1},   {-9, -9, 's', 6, 2, 4, -1, -1},
    {-8, -8, 't', 8, -1, -1, -1, -1},   {-7, -8, '7', 4, -1, -1, -1, -1},
    {-8, -7, 't', 8, -1, -1, -1, -1},  // a 4-byte time field, read as -8
    {-6, -6, 'd', 8, -1, -1, -1, -1},   {-5, -5, 'f', 4, -1, -1, -1, -1},
    {-4, -4, 'l', 4, -1, -1, -1, -1},   {-3, -3, 's', 2, -1, -1, -1, -1},
    {-2, -2, 'p', 8, -1, -1, -1, -1},   {-1, -1, 'l', 4, -1, -1, -1, -1},
    {5, 5, 'i', 6, -1, -1, -1, -1},
};

constexpr int kTextAt = 40;
constexpr ULONG kStamp = kT0 - 600;

// Fills the slot at offset 0 of buf with a distinctive value of its kind.
void encode(const Row& r, unsigned char* p) {
    if (r.kind == 'd') put64(p, bitsOf(12.5));
    if (r.kind == 'f') put32(p, bitsOf(-2.25f));
    if (r.kind == 'l') put32(p, 123456u);
    if (r.kind == 's') put16(p, -321);
    if (r.kind == 'i') std::memcpy(p, "ABCDE ", 6);
    if (r.kind == 'p') put64(p, 7 | uint64_t{9} << 32);
    if (r.kind == 't' || r.kind == 'u' || r.kind == '7') put32(p, kT0 + 5);
    if (r.kind == 't' || r.kind == 'u') put32(p + 4, 42);
    if (r.kind == 'c') {
        put32(p, kTextAt);
        put16(p + 4, 8);
        std::memcpy(p + kTextAt, "ABC     ", 8);
    }
    if (r.status >= 0) put16(p + r.status, -3);
    if (r.level >= 0) put16(p + r.level, 1);
    if (r.xts >= 0) put32(p + r.xts, kStamp);
    if (r.xust >= 0) put32(p + r.xust, kStamp);
}

class HistorianValues : public kh_test::HistorianTest {
protected:
    void SetUp() override {
        HistorianTest::SetUp();
        rec_ = KhSim_AddRecord("PLANT2", "TIC101", 0);
        ASSERT_GT(rec_, 0);
    }
    LONG rec_ = 0;
};

TEST_F(HistorianValues, EveryTypeCodeRoundTripsThroughWriteAndRead) {
    LONG tag = 0x10000;
    for (const Row& r : kRows) {
        SCOPED_TRACE(r.code);
        tag += 0x10000;
        ASSERT_EQ(KhSim_AddField("PLANT2", rec_, ("F" + std::to_string(tag >> 16)).c_str(), tag,
                                 r.fieldType, 0),
                  1);
        unsigned char written[64] = {};
        encode(r, written);
        KeldrinRecField pair{rec_, tag};
        SHORT fail = -1;
        KeldrinErrorBlock err{};
        ASSERT_EQ(MWDBVALS(1, &pair, &r.code, written, &fail, &err), KELDRIN_OK);

        KhSimValue stored{};
        char text[16] = {};
        ASSERT_EQ(KhSim_GetValue("PLANT2", rec_, tag, &stored, text, sizeof text), 1);
        if (r.status >= 0) {
            EXPECT_EQ(stored.Status, -3);
        }
        if (r.level >= 0) {
            EXPECT_EQ(stored.Level, 1);
        }
        bool timed = r.xts >= 0 || r.xust >= 0;
        EXPECT_EQ(stored.Stamp.Seconds, timed ? kStamp : kT0);
        EXPECT_STREQ(text, r.kind == 'c' ? "ABC" : r.kind == 'i' ? "ABCDE" : "");
        const double numbers[] = {12.5, -2.25, 123456, -321};
        if (const char* k = std::strchr("dfls", r.kind); k && *k) {
            EXPECT_EQ(stored.Number, numbers[k - "dfls"]);
        }

        unsigned char read[64] = {};
        if (r.kind == 'c') {
            put32(read, kTextAt);
            put16(read + 4, 8);
        }
        ASSERT_EQ(MRDBVALS(1, &pair, &r.code, read, &fail, &err), KELDRIN_OK);
        EXPECT_EQ(0, std::memcmp(read, written, sizeof read));
        EXPECT_EQ(fail, -1);
    }
}

TEST_F(HistorianValues, SlotsFollowFromTheTypeCodes) {
    ASSERT_EQ(KhSim_AddField("PLANT2", rec_, "PV", 0x20000, -16, 0x30000), 1);
    ASSERT_EQ(KhSim_AddField("PLANT2", rec_, "DESC", 0x40000, 12, 0), 1);
    ASSERT_EQ(KhSim_AddField("PLANT2", rec_, "MODE", 0x50000, -3, 0), 1);
    KhSimValue pv = kh_test::number(3.5, at(kStamp), -1, 0);
    KhSimValue desc{};
    desc.Text = "Reactor feed";
    KhSimValue mode = kh_test::number(4);
    ASSERT_EQ(KhSim_SetValue("PLANT2", rec_, 0x20000, &pv), 1);
    ASSERT_EQ(KhSim_SetValue("PLANT2", rec_, 0x40000, &desc), 1);
    ASSERT_EQ(KhSim_SetValue("PLANT2", rec_, 0x50000, &mode), 1);
    const KeldrinRecField pairs[] = {{rec_, 0x20000}, {rec_, 0x40000}, {rec_, 0x50000}};

    struct Case {
        SHORT types[3];
        int desc, mode, text;  // positions
    };
    // Without times: 24 + 12 + 2 bytes of slots, text area at twice that.
    // With times: 24 + 20 + 16 bytes; the short slot is aligned to 4.
    const Case cases[] = {{{-16, -22, -3}, 24, 36, 76}, {{-21, -23, -18}, 24, 44, 120}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.types[1]);
        std::vector<unsigned char> buf(160, 0xEE);
        put32(&buf[c.desc], c.text);
        put16(&buf[c.desc + 4], 12);
        SHORT fail = 0;
        KeldrinErrorBlock err{};
        ASSERT_EQ(MRDBVALS(3, pairs, c.types, buf.data(), &fail, &err), KELDRIN_OK);
        EXPECT_EQ(get32(&buf[0]) | uint64_t(get32(&buf[4])) << 32, bitsOf(3.5));
        EXPECT_EQ(get16(&buf[8]), -1);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(&buf[c.text]), 12), "Reactor feed");
        EXPECT_EQ(get16(&buf[c.mode]), 4);
        EXPECT_EQ(get32(&buf[12]), kStamp);  // XTS or XUST seconds
        EXPECT_EQ(buf[c.text + 12], 0xEE);   // nothing past the characters
    }
}

TEST_F(HistorianValues, BadRequestsFailWithoutTouchingTheBuffer) {
    ASSERT_EQ(KhSim_AddField("PLANT2", rec_, "PV", 0x20000, -16, 0), 1);
    ASSERT_EQ(KhSim_AddField("PLANT2", rec_, "BIG", 0x30000, -6, 0), 1);
    KhSimValue big = kh_test::number(1e6);
    ASSERT_EQ(KhSim_SetValue("PLANT2", rec_, 0x30000, &big), 1);
    const KeldrinRecField good{rec_, 0x20000};
    struct Case {
        const char* name;
        SHORT count;
        KeldrinRecField pair;
        SHORT type;
        bool nullPairs, nullBuffer;
        SHORT code;
        SHORT failIndex;
    };
    const Case cases[] = {
        {"zero_count", 0, good, -16, false, false, KELDRIN_E_BADARG, 9},
        {"negative_count", -1, good, -16, false, false, KELDRIN_E_BADARG, 9},
        {"null_pairs", 1, good, -16, true, false, KELDRIN_E_BADARG, 9},
        {"null_buffer", 1, good, -16, false, true, KELDRIN_E_BADARG, 9},
        {"unknown_record", 1, {999, 0x20000}, -16, false, false, KELDRIN_E_NORECORD, 0},
        {"unknown_field", 1, {rec_, 0x70000}, -16, false, false, KELDRIN_E_NOFIELD, 0},
        {"text_code_on_number", 1, good, -22, false, false, KELDRIN_E_TYPE, 0},
        {"code_zero", 1, good, 0, false, false, KELDRIN_E_TYPE, 0},
        {"code_below_table", 1, good, -25, false, false, KELDRIN_E_TYPE, 0},
        {"too_big_for_short", 1, {rec_, 0x30000}, -3, false, false, KELDRIN_E_RANGE, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        unsigned char buf[32];
        std::memset(buf, 0xEE, sizeof buf);
        SHORT fail = 9;
        KeldrinErrorBlock err{};
        EXPECT_EQ(MRDBVALS(c.count, c.nullPairs ? nullptr : &c.pair, &c.type,
                           c.nullBuffer ? nullptr : buf, &fail, &err),
                  c.code);
        EXPECT_EQ(err.ERRORCODE, c.code);
        EXPECT_EQ(fail, c.failIndex);
        for (unsigned char b : buf) ASSERT_EQ(b, 0xEE);
        EXPECT_EQ(MWDBVALS(c.count, c.nullPairs ? nullptr : &c.pair, &c.type,
                           c.nullBuffer ? nullptr : buf, &fail, &err),
                  c.code == KELDRIN_E_RANGE ? SHORT{KELDRIN_OK} : c.code);
    }
}

TEST_F(HistorianValues, AFailingEntryWritesNothingOfItsBatch) {
    ASSERT_EQ(KhSim_AddField("PLANT2", rec_, "PV", 0x20000, -12, 0), 1);
    ASSERT_EQ(KhSim_AddField("PLANT2", rec_, "MODE", 0x30000, -3, 0), 1);
    KhSimValue old = kh_test::number(1.0);
    ASSERT_EQ(KhSim_SetValue("PLANT2", rec_, 0x20000, &old), 1);
    const KeldrinRecField pairs[] = {{rec_, 0x20000}, {rec_, 0x30000}};
    const SHORT types[] = {-6, -6};  // 70000 does not fit the 16-bit field
    unsigned char buf[16] = {};
    double a = 5.0, b = 70000.0;
    std::memcpy(buf, &a, 8);
    std::memcpy(buf + 8, &b, 8);
    SHORT fail = -1;
    KeldrinErrorBlock err{};
    EXPECT_EQ(MWDBVALS(2, pairs, types, buf, &fail, &err), KELDRIN_E_RANGE);
    EXPECT_EQ(fail, 1);
    EXPECT_EQ(err.ERR1, rec_);
    EXPECT_EQ(err.ERR2, 0x30000);
    KhSimValue now{};
    ASSERT_EQ(KhSim_GetValue("PLANT2", rec_, 0x20000, &now, nullptr, 0), 1);
    EXPECT_EQ(now.Number, 1.0);
}

TEST_F(HistorianValues, SpecialValuesKeepTheirClass) {
    for (SHORT cls : {KELDRIN_CLASS_NOVALUE, KELDRIN_CLASS_BAD, KELDRIN_CLASS_OVERRANGE}) {
        EXPECT_EQ(DSPECTYP(DSPECGET(cls)), cls);
        EXPECT_EQ(RSPECTYP(RSPECGET(cls)), cls);
    }
    EXPECT_EQ(DSPECTYP(10.0), KELDRIN_CLASS_NUMBER);
    EXPECT_EQ(RSPECTYP(-0.5f), KELDRIN_CLASS_NUMBER);
    EXPECT_EQ(DSPECTYP(INFINITY), KELDRIN_CLASS_BAD);
    EXPECT_EQ(DSPECTYP(std::nan("")), KELDRIN_CLASS_BAD);

    // A field holding "no value" reads as the special value of its class,
    // and a special value written stays special.
    ASSERT_EQ(KhSim_AddField("PLANT2", rec_, "PV", 0x20000, -15, 0), 1);
    KhSimValue none{};
    none.IsSpecial = 1;
    none.SpecialClass = KELDRIN_CLASS_NOVALUE;
    none.Stamp = kNone;
    ASSERT_EQ(KhSim_SetValue("PLANT2", rec_, 0x20000, &none), 1);
    const KeldrinRecField pair{rec_, 0x20000};
    const SHORT type = -11;
    unsigned char buf[8] = {};
    KeldrinErrorBlock err{};
    ASSERT_EQ(MRDBVALS(1, &pair, &type, buf, nullptr, &err), KELDRIN_OK);
    float f;
    std::memcpy(&f, buf, 4);
    EXPECT_EQ(RSPECTYP(f), KELDRIN_CLASS_NOVALUE);

    f = RSPECGET(KELDRIN_CLASS_OVERRANGE);
    std::memcpy(buf, &f, 4);
    ASSERT_EQ(MWDBVALS(1, &pair, &type, buf, nullptr, &err), KELDRIN_OK);
    KhSimValue stored{};
    ASSERT_EQ(KhSim_GetValue("PLANT2", rec_, 0x20000, &stored, nullptr, 0), 1);
    EXPECT_EQ(stored.IsSpecial, 1);
    EXPECT_EQ(stored.SpecialClass, KELDRIN_CLASS_OVERRANGE);
}

}  // namespace
