// Servers, record and field look-ups, map searches, names and messages.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "fixture.h"

namespace {

class HistorianRecords : public kh_test::HistorianTest {};

TEST_F(HistorianRecords, ServersAreFoundByAliasAndIndex) {
    KeldrinErrorBlock err{};
    EXPECT_EQ(DaLookupAlias("plant2__ac"), server_);
    EXPECT_EQ(DaLookupAlias("OTHER__AC"), 0);
    EXPECT_EQ(DaAddServer("NOWHERE 200 /ALIAS=NOWHERE__AC", &err), 0);
    EXPECT_EQ(err.ERRORCODE, KELDRIN_E_NOSERVER);
    EXPECT_EQ(DaAddServer(nullptr, &err), 0);
    EXPECT_EQ(DaSelectServer(static_cast<SHORT>(server_ + 5), &err), KELDRIN_E_NOSERVER);
    EXPECT_EQ(DaSetDefaultServer(server_, &err), KELDRIN_OK);

    struct Embed {
        SHORT index;
        LONG id;
        LONG expected;
    };
    const Embed embeds[] = {{3, 5, (3 << 21) | 5},
                            {1, static_cast<LONG>(0x7FE00005), (1 << 21) | 5},
                            {2, static_cast<LONG>(0x80000001), static_cast<LONG>(0x80400001)},
                            {0, 0x1234, 0x1234}};
    for (const auto& e : embeds) EXPECT_EQ(DaEmbedServerIndex(e.index, e.id), e.expected);
}

TEST_F(HistorianRecords, AShutDownClientFailsItsErrorBlockCallsUntilStartedAgain) {
    KeldrinErrorBlock err{};
    LONG id = 0;
    KeldrinTime now{};
    DaShutdown();
    EXPECT_EQ(KhSim_ApiStarted(), 0);
    EXPECT_EQ(DaSelectServer(server_, &err), KELDRIN_E_NOTSTARTED);
    EXPECT_EQ(DaAddServer("PLANT2 200 /ALIAS=PLANT2__AC", &err), 0);
    EXPECT_EQ(err.ERRORCODE, KELDRIN_E_NOTSTARTED);
    EXPECT_EQ(DECODNAM("TAG1", 4, &id, &err), KELDRIN_E_NOTSTARTED);
    EXPECT_EQ(GETDBXTIM(&now), KELDRIN_OK) << "time calls are unaffected";
    EXPECT_EQ(DaInitialize(0), 1);
    EXPECT_EQ(KhSim_ApiStarted(), 1);
    EXPECT_EQ(DaSelectServer(server_, &err), KELDRIN_OK);
    DaShutdown();
    KhSim_Reset();
    EXPECT_EQ(KhSim_ApiStarted(), 1) << "a reset starts it";
}

TEST_F(HistorianRecords, NamesMustHoldExactlyTheirLength) {
    LONG rec = KhSim_AddRecord("PLANT2", "TIC101", 0);
    struct Case {
        const char* name;
        SHORT length;
        SHORT code;
    };
    const Case cases[] = {
        {"TIC101", 6, KELDRIN_OK},         {"tic101", 6, KELDRIN_OK},
        {"TIC101  ", 8, KELDRIN_OK},       {"TIC101", 4, KELDRIN_E_BADARG},
        {"TIC101", 9, KELDRIN_E_BADARG},   {"TIC101", 0, KELDRIN_E_BADARG},
        {nullptr, 6, KELDRIN_E_BADARG},    {"   ", 3, KELDRIN_E_BADARG},
        {"TIC999", 6, KELDRIN_E_NORECORD},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name ? c.name : "(null)");
        KeldrinErrorBlock err{};
        LONG id = -5;
        EXPECT_EQ(DECODNAM(c.name, c.length, &id, &err), c.code);
        EXPECT_EQ(err.ERRORCODE, c.code);
        EXPECT_EQ(id, c.code == KELDRIN_OK ? rec : -5);
    }
    // Without a selected server no record call reaches a node.
    KhSim_Reset();
    KeldrinErrorBlock err{};
    LONG id = 0;
    EXPECT_EQ(DECODNAM("TIC101", 6, &id, &err), KELDRIN_E_NOTSELECTED);
}

TEST_F(HistorianRecords, FieldsResolveToTagsTypesAndStatusFields) {
    LONG rec = KhSim_AddRecord("PLANT2", "TIC101", 0);
    ASSERT_EQ(KhSim_AddField("PLANT2", rec, "F_CV", 0x20000, -16, 0x30000), 1);
    ASSERT_EQ(KhSim_AddField("PLANT2", rec, "F_ST", 0x30000, -3, 0), 1);
    EXPECT_EQ(KhSim_AddField("PLANT2", rec, "F_CV", 0x40000, -16, 0), 0);  // one tag per name
    KeldrinErrorBlock err{};
    LONG r = 0, f = 0;
    ASSERT_EQ(DECODRAF("TIC101 F_CV", 11, &r, &f, &err), KELDRIN_OK);
    EXPECT_EQ(r, rec);
    EXPECT_EQ(f, 0x20000);
    EXPECT_EQ(DECODRAF("TIC101 F_XX", 11, &r, &f, &err), KELDRIN_E_NOFIELD);
    EXPECT_EQ(DECODRAF("TIC101", 6, &r, &f, &err), KELDRIN_E_BADARG);
    EXPECT_EQ(DECODFT("f_st", 4, &f, &err), KELDRIN_OK);
    EXPECT_EQ(f, 0x30000);

    unsigned char info[KELDRIN_FIELDINFO_SIZE + 4];
    std::memset(info, 0xEE, sizeof info);
    LONG size = 0;
    ASSERT_EQ(FIELDDEFNINFO(rec, 0x20000, -1, info, &size, &err), KELDRIN_OK);
    EXPECT_EQ(info[20] | info[21] << 8 | info[22] << 16 | info[23] << 24, 0x30000);
    EXPECT_EQ(static_cast<SHORT>(info[42] | info[43] << 8), -16);
    EXPECT_EQ(size, 8);
    EXPECT_EQ(info[KELDRIN_FIELDINFO_SIZE], 0xEE);
    EXPECT_EQ(FIELDDEFNINFO(rec, 0x70000, -1, info, &size, &err), KELDRIN_E_NOFIELD);
    EXPECT_EQ(err.ERR1, rec);
    EXPECT_EQ(err.ERR2, 0x70000);
}

TEST_F(HistorianRecords, MapSearchReturnsBatchesOfTheCapacity) {
    LONG mapdef = KhSim_AddRecord("PLANT2", "MvMapDef", 0);
    LONG def = KhSim_AddRecord("PLANT2", "AnalogDef", 0);
    LONG other = KhSim_AddRecord("PLANT2", "DigitalDef", 0);
    std::vector<LONG> wanted;
    for (int i = 0; i < 13; ++i) {
        LONG map = KhSim_AddRecord("PLANT2", ("MAP" + std::to_string(i)).c_str(), mapdef);
        ASSERT_EQ(KhSim_AddField("PLANT2", map, "DEFN", 0x59200000, -1, 0), 1);
        // Every third map belongs to the other definition; the reference
        // carries a server index that the search ignores.
        LONG target = i % 3 == 2 ? other : DaEmbedServerIndex(4, def);
        KhSimValue v = kh_test::number(target);
        ASSERT_EQ(KhSim_SetValue("PLANT2", map, 0x59200000, &v), 1);
        if (i % 3 != 2) wanted.push_back(map);
    }
    const LONG search[9] = {0, 0, 0, 0, 1, 0x59200000, 1, 0, def & 0x1FFFFF};
    LONG cont = 0, records[10], count = -1;
    std::vector<LONG> got;
    do {
        GETRECORDLIST_LNAME(2, mapdef, 0, 1, 0, search, 10, &cont, records, 0, 0, 0, &count);
        got.insert(got.end(), records, records + count);
    } while (count == 10);
    EXPECT_EQ(got, wanted);

    // The long-name form needs 11.3; the plain form serves older servers.
    ASSERT_NO_FATAL_FAILURE(startOver("OLD", 2, "OLD 200 /ALIAS=OLD__AC"));
    LONG d = KhSim_AddRecord("OLD", "MvMapDef", 0);
    LONG m = KhSim_AddRecord("OLD", "M", d);
    ASSERT_EQ(KhSim_AddField("OLD", m, "DEFN", 0x59200000, -1, 0), 1);
    const LONG none[5] = {0, 0, 0, 0, 0};
    cont = 0;
    GETRECORDLIST_LNAME(2, d, 0, 1, 0, none, 10, &cont, records, 0, 0, 0, &count);
    EXPECT_EQ(count, 0);
    cont = 0;
    GETRECORDLIST(2, d, 0, 1, 0, none, 10, &cont, records, 0, 0, 0, &count);
    EXPECT_EQ(count, 1);
    cont = 0;
    GETRECORDLIST(2, d, 0, 1, 0, none, 0, &cont, records, 0, 0, 0, &count);
    EXPECT_EQ(count, 0);
    LONG major = 0, minor = 0;
    char text[8];
    KeldrinErrorBlock err{};
    ASSERT_EQ(GETDBVERSION(&err, &major, &minor, text, sizeof text), KELDRIN_OK);
    EXPECT_EQ(major, 11);
    EXPECT_EQ(minor, 2);
    EXPECT_STREQ(text, "Keldrin");  // cut to the buffer
}

TEST_F(HistorianRecords, NamesTextsAndMessagesStayInsideTheirBuffers) {
    LONG rec = KhSim_AddRecord("PLANT2", "TIC101", 0);
    ASSERT_EQ(KhSim_AddField("PLANT2", rec, "CONTROLLER_OUTPUT", 0x20000, -12, 0), 1);
    ASSERT_EQ(KhSim_AddField("PLANT2", rec, "UNITS", 0x30000, 10, 0), 1);
    KhSimValue units{};
    units.Text = "degC";
    ASSERT_EQ(KhSim_SetValue("PLANT2", rec, 0x30000, &units), 1);

    struct NameCase {
        bool longName;
        SHORT capacity;
        const char* expected;
    };
    const NameCase names[] = {
        {true, 40, "CONTROLLER_OUTPUT"}, {false, 40, "CONTROLLER_O"}, {true, 5, "CONTR"}};
    for (const auto& c : names) {
        char buf[48];
        std::memset(buf, '#', sizeof buf);
        SHORT len = c.capacity;
        auto fn = c.longName ? &GETNMFDB_LNAME : &GETNMFDB;
        ASSERT_EQ(fn(rec, 0x20000, buf, &len), KELDRIN_OK);
        EXPECT_EQ(std::string(buf, static_cast<size_t>(len)), c.expected);
        EXPECT_EQ(buf[len], '#');
    }
    SHORT len = 0;
    char buf[16];
    EXPECT_EQ(GETNMFDB_LNAME(rec, 0x20000, buf, &len), KELDRIN_E_BADARG);

    KeldrinErrorBlock err{};
    char text[65];
    std::memset(text, '#', sizeof text);
    ASSERT_EQ(RDBASCII(rec, 0x30000, text, 64, &len, &err), KELDRIN_OK);
    EXPECT_EQ(std::string(text, static_cast<size_t>(len)), "degC      ");
    ASSERT_EQ(RDBASCII(rec, 0x30000, text, 3, &len, &err), KELDRIN_OK);
    EXPECT_EQ(len, 3);

    const KeldrinErrorBlock blocks[] = {{KELDRIN_E_NORECORD, 0, 0, 0},
                                        {-32768, 0, -2147483647 - 1, -2147483647 - 1},
                                        {KELDRIN_E_NOTAVAILABLE, 0, 0, 0}};
    for (const auto& b : blocks) {
        char msg[100];
        std::memset(msg, '#', sizeof msg);
        SHORT mlen = -1;
        ERRMESS(&b, msg, &mlen);
        EXPECT_LE(mlen, 77);
        EXPECT_EQ(msg[mlen], '\0');
        EXPECT_EQ(msg[78], '#');
    }
    char msg[78];
    SHORT mlen = 0;
    ERRMESS(&blocks[2], msg, &mlen);
    EXPECT_STREQ(msg, "Keldrin Not Available.");
    ERRMESS(&blocks[0], msg, nullptr);  // a null length still gives the text
    EXPECT_STREQ(msg, "Record not found.");
}

// The model lives as long as the library is mapped: an exit handler of the
// process, registered before the model was first used, still finds the
// calls that a client made before DaShutdown and after.
TEST(HistorianLifetime, ExitHandlersStillFindTheCallRecord) {
    static int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::atexit([] {
            const LONG counts[2] = {KhSim_CallCount(KHSIM_API, "DaInitialize"),
                                    KhSim_CallCount(KHSIM_API, "DaShutdown")};
            (void)!::write(report[1], counts, sizeof counts);
        });
        KhSim_Reset();
        DaInitialize(0);
        DaShutdown();
        std::exit(0);
    }
    ::close(report[1]);
    LONG counts[2] = {0, 0};
    EXPECT_EQ(::read(report[0], counts, sizeof counts), static_cast<ssize_t>(sizeof counts));
    ::close(report[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(counts[0], 1);
    EXPECT_EQ(counts[1], 1);
}

}  // namespace
