#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "frame/diagnostic_log.h"
#include "historian_support.h"
#include "log_test_support.h"

namespace {

using histtest::HistorianTest;
using histtest::State;

std::string Text(const KeldrinErrorBlock& e) {
    return std::to_string(e.ERRORCODE) + "/" + std::to_string(e.ERR1) + "/" +
           std::to_string(e.ERR2);
}

// A caller's block that still reads as success if a call leaves it alone.
constexpr KeldrinErrorBlock kZeroedBlock = {0, 0, 1234, 5678};

struct ErrorBlockCall {
    const char* name;
    std::function<SHORT(KeldrinErrorBlock*)> call;
    void (*drop)();
};

// Every call with an error block goes through one guard: a few of them, of
// each shape of arguments, stand for all.
// clang-format off
#define ERROR_BLOCK_CALL(name, ...)                                                  \
    ErrorBlockCall{#name, [=](KeldrinErrorBlock* e) { return L_##name(__VA_ARGS__, e); }, \
                   [] { g_pFn##name = nullptr; }}
// clang-format on
std::vector<ErrorBlockCall> ErrorBlockCalls(LONG record) {
    static LONG id;
    static SHORT failIndex;
    static const KeldrinRecField pairs[] = {{1, 5}};
    static const SHORT types[] = {-1};
    static char buffer[16];
    static const KeldrinUst begin = {0, 0}, end = {100, 0}, period = {10, 0};
    static const LONG fields[] = {5};
    static SHORT historyTypes[] = {-1};
    static SHORT codes[4];
    static KeldrinUst times[4];
    static char samples[64];
    static void* const buffers[] = {samples};
    static LONG returned;
    static SHORT more;
    return {
        ERROR_BLOCK_CALL(DECODNAM, "TAG1", 4, &id),
        ERROR_BLOCK_CALL(MRDBVALS, 1, pairs, types, buffer, &failIndex),
        ERROR_BLOCK_CALL(RHISKDINTERPOLATE, 2, 0, 0, 0, record, 5 | 1, &begin, &end, &period, 1,
                         fields, historyTypes, 4, codes, times, buffers, &returned, &more),
        ERROR_BLOCK_CALL(REFRESHUSERCONTEXT, 0),
    };
}
#undef ERROR_BLOCK_CALL

TEST_F(HistorianTest, ErrorBlockCallsReportNotAvailableWheneverTheOlderLibraryCannotServe) {
    const State states[] = {State::NeverLoaded, State::Absent, State::NotAttached,
                            State::MissingEntry, State::Throws};
    for (const ErrorBlockCall& row : ErrorBlockCalls(record_)) {
        for (State state : states) {
            SCOPED_TRACE(std::string(row.name) + ", " + histtest::Name(state));
            Enter(state, row.name, row.drop);
            KeldrinErrorBlock err = kZeroedBlock;
            EXPECT_EQ(row.call(&err), KELDRIN_E_NOTAVAILABLE);
            EXPECT_EQ(Text(err), "-74/0/0");
            // Nothing falls back to keldrin_api for a call with an error block.
            EXPECT_EQ(ApiCalls(row.name), 0);
            EXPECT_EQ(OlderCalls(row.name), state == State::Throws ? 1 : 0);
        }
    }
}

TEST_F(HistorianTest, ErrorBlockCallsReachTheLocalDatabaseWhenAttached) {
    Enter(State::Attached, "DECODNAM");
    LONG id = 0;
    KeldrinErrorBlock err = {99, 0, 99, 99};
    EXPECT_EQ(L_DECODNAM("TAG1", 4, &id, &err), KELDRIN_OK);
    EXPECT_EQ(Text(err), "0/0/0");
    EXPECT_EQ(id, record_);
    EXPECT_EQ(OlderCalls("DECODNAM"), 1);
    EXPECT_EQ(ApiCalls("DECODNAM"), 0);

    // The library's own failures pass through unchanged.
    err = kZeroedBlock;
    EXPECT_EQ(L_DECODNAM("NOSUCH", 6, &id, &err), KELDRIN_E_NORECORD);
    EXPECT_EQ(err.ERRORCODE, KELDRIN_E_NORECORD);

    SHORT value = 0;
    err = kZeroedBlock;
    EXPECT_EQ(L_DB2SHRT(record_, 5, &value, &err), KELDRIN_OK);
    EXPECT_EQ(value, 42);
}

// One time call: runs it from fixed starting outputs and renders the result
// and the outputs.
struct TimeCall {
    const char* name;
    std::function<std::string()> run;
    void (*drop)();
    const char* served;  // what a call that ran gives
    const char* thrown;  // what a call whose entry point threw gives
};

std::string Render(SHORT rc, const KeldrinTime& t) {
    return std::to_string(rc) + " " + std::to_string(t.Seconds) + "." + std::to_string(t.Micro);
}

// The time calls share one guard; those with a result of their own, the
// one that attaches without asking DBMAPPED, and a few of the rest stand for
// all.
std::vector<TimeCall> TimeCalls() {
    return {
        {"CALCDELXTM",
         [] {
             KeldrinTime a{1000, 0}, b{990, 500000};
             return std::to_string(L_CALCDELXTM(&a, &b));
         },
         [] { g_pFnCALCDELXTM = nullptr; }, "95.000000", "0.000000"},
        {"XTSPLUSDT",
         [] {
             KeldrinTime t{1000, 0};
             double tenths = 15;
             return Render(L_XTSPLUSDT(&t, &tenths), t);
         },
         [] { g_pFnXTSPLUSDT = nullptr; }, "0 1001.500000", "-74 1000.0"},
        {"XTS2XUST",
         [] {
             KeldrinTime t{3000000000u, 250};
             KeldrinUst u{7, 7};
             SHORT rc = L_XTS2XUST(&t, &u);
             return std::to_string(rc) + " " + std::to_string(u.Seconds) + "." +
                    std::to_string(u.Micro);
         },
         [] { g_pFnXTS2XUST = nullptr; }, "0 3000000000.250", "-74 7.7"},
        {"GETDBXTIM",
         [] {
             KeldrinTime t{7, 7};
             return Render(L_GETDBXTIM(&t), t);
         },
         [] { g_pFnGETDBXTIM = nullptr; }, "0 1234567.89", "-74 7.7"},
        {"XTS2ASCII",
         [] {
             KeldrinTime t{86400 + 3600, 0};
             char text[32] = "untouched";
             SHORT length = -1;
             SHORT rc = L_XTS2ASCII(&t, text, 21, &length);
             return std::to_string(rc) + " " + std::to_string(length) + " " + text;
         },
         [] { g_pFnXTS2ASCII = nullptr; }, "0 20 02-JAN-1970 01:00:00", "-74 -1 untouched"},
    };
}

TEST_F(HistorianTest, TimeCallsFallBackToTheClientApiWheneverTheOlderLibraryCannotServe) {
    const KeldrinTime clock{1234567, 89};
    const State states[] = {State::NeverLoaded,  State::Absent,   State::NotAttached,
                            State::MissingEntry, State::Attached, State::Throws};
    for (const TimeCall& row : TimeCalls()) {
        for (State state : states) {
            SCOPED_TRACE(std::string(row.name) + ", " + histtest::Name(state));
            Enter(state, row.name, row.drop);
            KhSim_SetClock(&clock);
            std::string result = row.run();
            bool older = state == State::Attached || state == State::Throws;
            EXPECT_EQ(result, state == State::Throws ? row.thrown : row.served);
            EXPECT_EQ(ApiCalls(row.name), older ? 0 : 1);
            EXPECT_EQ(OlderCalls(row.name), older ? 1 : 0);
        }
    }
}

TEST_F(HistorianTest, ErrorMessageTextFollowsTheLibraryState) {
    struct Case {
        State state;
        SHORT code;
        const char* text;
    } const cases[] = {
        {State::NeverLoaded, KELDRIN_E_NORECORD, "Keldrin Not Available."},
        {State::Absent, KELDRIN_E_NORECORD, "Keldrin Not Available."},
        {State::NotAttached, KELDRIN_E_NORECORD, "Keldrin Not Available."},
        {State::MissingEntry, KELDRIN_E_NORECORD, "Keldrin Not Available."},
        {State::Throws, KELDRIN_E_NORECORD, "Caught Error while Calling Keldcore API Function."},
        {State::Attached, KELDRIN_E_NORECORD, "Record not found."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(histtest::Name(c.state));
        Enter(c.state, "ERRMESS", [] { g_pFnERRMESS = nullptr; });
        KeldrinErrorBlock err = {c.code, 0, 0, 0};
        char text[78];
        std::memset(text, 'x', sizeof(text));
        SHORT length = -1;
        L_ERRMESS(&err, text, &length);
        EXPECT_STREQ(text, c.text);
        EXPECT_EQ(length, static_cast<SHORT>(std::strlen(c.text)));

        // Without a length the fixed texts are not written.
        if (c.state != State::Attached) {
            Enter(c.state, "ERRMESS", [] { g_pFnERRMESS = nullptr; });
            std::memset(text, 'x', sizeof(text));
            L_ERRMESS(&err, text, nullptr);
            EXPECT_EQ(text[0], 'x');
        }
    }
}

TEST_F(HistorianTest, OtherCallsZeroTheirOutputsOnlyWhereTheirFallBackSaysSo) {
    struct Outputs {
        LONG major = -1, minor = -1;
        SHORT nameLength = -1;
        LONG count = -1;
        LONG definition = -1;
        std::string Text() const {
            return std::to_string(major) + " " + std::to_string(minor) + " " +
                   std::to_string(nameLength) + " " + std::to_string(count) + " " +
                   std::to_string(definition);
        }
    };
    auto run = [this] {
        Outputs o;
        KeldrinErrorBlock err{};
        char text[128] = {};
        L_GETDBVERSION(&err, &o.major, &o.minor, text, sizeof(text));
        char name[40];
        o.nameLength = sizeof(name);
        SHORT capacity = o.nameLength;
        L_GETNMFDB_LNAME(record_, 5, name, &o.nameLength);
        if (o.nameLength == capacity) o.nameLength = -1;  // untouched
        const LONG search[5] = {0, 0, 0, 0, 0};
        LONG continuation = 0;
        LONG records[8];
        L_GETRECORDLIST_LNAME(0, definition_, 0, 0, 0, search, 8, &continuation, records, 0, 0, 0,
                              &o.count);
        o.definition = L_DEFINID(record_);
        return o.Text();
    };
    void (*dropAll)() = [] {
        g_pFnGETDBVERSION = nullptr;
        g_pFnGETNMFDB_LNAME = nullptr;
        g_pFnGETRECORDLIST_LNAME = nullptr;
        g_pFnDEFINID = nullptr;
    };
    struct Case {
        State state;
        const char* outputs;
    } const cases[] = {
        {State::NeverLoaded, "-1 -1 -1 -1 0"}, {State::Absent, "-1 -1 -1 -1 0"},
        {State::NotAttached, "0 0 0 0 0"},     {State::MissingEntry, "-1 -1 -1 -1 0"},
        {State::Attached, "11 3 5 1 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(histtest::Name(c.state));
        Enter(c.state, nullptr, dropAll);
        EXPECT_EQ(run(), c.outputs);
    }

    // Entry points that throw, one at a time.
    struct Thrown {
        const char* name;
        const char* outputs;
    } const thrown[] = {
        {"GETDBVERSION", "0 0 5 1 1"},
        {"GETNMFDB_LNAME", "11 3 -1 1 1"},
        {"GETRECORDLIST_LNAME", "11 3 5 0 1"},
        {"DEFINID", "11 3 5 1 0"},
    };
    for (const Thrown& t : thrown) {
        SCOPED_TRACE(t.name);
        Enter(State::Throws, t.name);
        EXPECT_EQ(run(), t.outputs);
    }
}

TEST_F(HistorianTest, LoaderRecordsTheComputerNameAndNeverRetriesAFailedLoad) {
    Enter(State::Absent);
    char expected[16] = {};
    DWORD size = sizeof(expected);
    ASSERT_TRUE(GetComputerNameA(expected, &size));
    EXPECT_STREQ(g_szComputerName, expected);
    EXPECT_EQ(g_bKeldcoreLoadTried, 1);

    // The library appears later: the module goes on without it.
    KhSim_SetOlderLibraryPresent(1);
    LoadKeldcoreLibrary();
    EXPECT_EQ(g_hKeldcore.load(), nullptr);
    EXPECT_EQ(g_pFnDECODNAM, nullptr);
}

TEST_F(HistorianTest, LoaderAttachesOnceAndKeepsTheLibraryInTheMapOfLoadedDlls) {
    KhSim_SetOlderLibraryPresent(1);
    KhSim_SetAttachAnswers(0, 1);
    LoadKeldcoreLibrary();
    ASSERT_NE(g_hKeldcore.load(), nullptr);
    EXPECT_EQ(KhSim_CallCount(KHSIM_KELDCORE, "DBMAPPED"), 1);
    EXPECT_EQ(KhSim_CallCount(KHSIM_KELDCORE, "KeldrinInit"), 1);
    EXPECT_EQ(g_bKeldcoreInitialized, 1);

    // A second load does nothing; the library is in the map of loaded DLLs.
    LoadKeldcoreLibrary();
    EXPECT_EQ(KhSim_CallCount(KHSIM_KELDCORE, "KeldrinInit"), 1);
    std::lock_guard guard(g_csLoadedDlls);
    ASSERT_EQ(g_mapLoadedDlls.count("keldcore.dll"), 1u);
    EXPECT_EQ(g_mapLoadedDlls["keldcore.dll"], g_hKeldcore.load());
}

TEST_F(HistorianTest, AttachCheckRunsOnEveryCallAndAfterTheShutdownCallback) {
    struct Case {
        LONG dbmapped, init;
        SHORT code;      // of the DECODNAM after the load
        LONG initCalls;  // KeldrinInit calls by that DECODNAM
    } const cases[] = {
        {1, 0, KELDRIN_OK, 0},
        {0, 1, KELDRIN_OK, 1},
        {0, 0, KELDRIN_E_NOTAVAILABLE, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.dbmapped) + " " + std::to_string(c.init));
        Enter(State::NeverLoaded);
        KhSim_SetOlderLibraryPresent(1);
        KhSim_SetAttachAnswers(c.dbmapped, c.init);
        LoadKeldcoreLibrary();
        LONG before = KhSim_CallCount(KHSIM_KELDCORE, "KeldrinInit");
        LONG id = 0;
        KeldrinErrorBlock err = kZeroedBlock;
        EXPECT_EQ(L_DECODNAM("TAG1", 4, &id, &err), c.code);
        EXPECT_EQ(err.ERRORCODE, c.code);
        EXPECT_EQ(KhSim_CallCount(KHSIM_KELDCORE, "KeldrinInit") - before, c.initCalls);
    }

    // Attached through KeldrinInit; the database shuts down between calls.
    Enter(State::NeverLoaded);
    KhSim_SetOlderLibraryPresent(1);
    KhSim_SetAttachAnswers(0, 1);
    LoadKeldcoreLibrary();
    EXPECT_EQ(KhSim_FireShutdown(0), 1);
    EXPECT_EQ(KhSim_CallCount(KHSIM_KELDCORE, "ENDKELD"), 1);
    EXPECT_EQ(g_bKeldcoreInitialized, 0);
    KhSim_SetAttachAnswers(0, 0);
    LONG id = 0;
    KeldrinErrorBlock err = kZeroedBlock;
    EXPECT_EQ(L_DECODNAM("TAG1", 4, &id, &err), KELDRIN_E_NOTAVAILABLE);
    KhSim_SetAttachAnswers(0, 1);
    LONG before = KhSim_CallCount(KHSIM_KELDCORE, "KeldrinInit");
    EXPECT_EQ(L_DECODNAM("TAG1", 4, &id, &err), KELDRIN_OK);
    EXPECT_EQ(KhSim_CallCount(KHSIM_KELDCORE, "KeldrinInit") - before, 1);
    // The library's callback is the module's own.
    EXPECT_EQ(KhSim_FireShutdown(0), 1);
    EXPECT_EQ(g_bKeldcoreInitialized, 0);
}

TEST_F(HistorianTest, AttachEntryPointsThatThrowNeverEscapeTheCall) {
    // A throwing DBMAPPED counts as a database not mapped (KeldrinInit then
    // decides), a throwing KeldrinInit as a failed attach.
    struct Case {
        const char* name;
        SHORT code;
    } const cases[] = {{"DBMAPPED", KELDRIN_OK}, {"KeldrinInit", KELDRIN_E_NOTAVAILABLE}};
    for (const Case& c : cases) {
        const char* name = c.name;
        SCOPED_TRACE(name);
        Enter(State::NeverLoaded);
        KhSim_SetOlderLibraryPresent(1);
        KhSim_SetAttachAnswers(0, 1);
        KhSim_ThrowInCall(KHSIM_KELDCORE, name, -1);
        LoadKeldcoreLibrary();
        ASSERT_NE(g_hKeldcore.load(), nullptr);
        LONG id = 0;
        KeldrinErrorBlock err = kZeroedBlock;
        EXPECT_EQ(L_DECODNAM("TAG1", 4, &id, &err), c.code);
        KhSim_ThrowInCall(KHSIM_KELDCORE, name, 0);
    }
}

TEST_F(HistorianTest, TimeTextAttachesThroughKeldrinInitWithoutAskingDbmapped) {
    Enter(State::NotAttached);
    LONG mapped = KhSim_CallCount(KHSIM_KELDCORE, "DBMAPPED");
    LONG init = KhSim_CallCount(KHSIM_KELDCORE, "KeldrinInit");
    KhSim_SetAttachAnswers(1, 1);
    KeldrinTime t{0, 0};
    char text[21] = {};
    SHORT length = 0;
    EXPECT_EQ(L_XTS2ASCII(&t, text, 20, &length), KELDRIN_OK);
    EXPECT_EQ(KhSim_CallCount(KHSIM_KELDCORE, "DBMAPPED"), mapped);
    EXPECT_EQ(KhSim_CallCount(KHSIM_KELDCORE, "KeldrinInit"), init + 1);
    EXPECT_EQ(KhSim_CallCount(KHSIM_KELDCORE, "XTS2ASCII"), 1);
    EXPECT_EQ(g_bKeldcoreInitialized, 1);
}

TEST_F(HistorianTest, RefreshUserContextThatThrowsLogsTheBlockAsTheCallLeftIt) {
    Enter(State::Throws, "REFRESHUSERCONTEXT");
    KeldrinErrorBlock err = {-3, 0, 70000, -8};
    EXPECT_EQ(L_REFRESHUSERCONTEXT(1, &err), KELDRIN_E_NOTAVAILABLE);
    EXPECT_EQ(Text(err), "-74/0/0");
    const std::string log = logtest::ReadText(g_DiagnosticLog.CurrentFileName());
    EXPECT_NE(log.find(" L_REFRESHUSERCONTEXT: E_FAIL\n"), std::string::npos);
    EXPECT_NE(log.find(" L_REFRESHUSERCONTEXT: L_REFRESHUSERCONTEXT : caught exception after "
                       "g_pFnREFRESHUSERCONTEXT ERRORCODE = -3 ERR1 = 70000 ERR2 = -8\n"),
              std::string::npos);
}

TEST_F(HistorianTest, ClientLibraryStartsOnceAndStopsOnce) {
    struct Case {
        bool starts;
        int flag;
        LONG shutdowns;
    } const cases[] = {{true, 1, 1}, {false, 0, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.starts);
        KhSim_Reset();
        if (!c.starts) KhSim_FailCall(KHSIM_API, "DaInitialize", 0, 0, 0, 1);
        InitKeldrinClient();
        EXPECT_EQ(g_bDaInitialized, c.flag);
        ShutdownKeldrinClient();
        ShutdownKeldrinClient();
        EXPECT_EQ(KhSim_CallCount(KHSIM_API, "DaShutdown"), c.shutdowns);
        EXPECT_EQ(g_bDaInitialized, 0);
    }
}

}  // namespace
