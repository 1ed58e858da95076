// The older client library: the same model as keldrin_api for the local
// node and injected faults (attaching is tested through the module's loader).
#include <cstring>
#include <sstream>
#include <stdexcept>

#include <dlfcn.h>
#include "fixture.h"
#include "keldcore.h"

namespace {

const std::string kOlderLibraryPath = std::string(KH_TEST_DLL_DIR) + "/libkeldcore.so";

// The older client library, opened from its build folder by path.
class OlderLibrary {
public:
    OlderLibrary() : handle_(dlopen(kOlderLibraryPath.c_str(), RTLD_NOW | RTLD_LOCAL)) {}
    ~OlderLibrary() {
        if (handle_) dlclose(handle_);
    }
    bool loaded() const { return handle_ != nullptr; }
    template <typename Fn>
    Fn get(const char* name) const {
        return reinterpret_cast<Fn>(dlsym(handle_, name));
    }

private:
    void* handle_;
};

class HistorianOlderLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        KhSim_Reset();
        ASSERT_TRUE(lib_.loaded()) << kOlderLibraryPath;
        ASSERT_GT(KhSim_AddServer("CTRL01", 10, 2, 1), 0);
        rec_ = KhSim_AddRecord("CTRL01", "FIC200", 0);
        ASSERT_EQ(KhSim_AddField("CTRL01", rec_, "PV", 0x20000, -12, 0), 1);
        KhSimValue v = kh_test::number(41.5);
        ASSERT_EQ(KhSim_SetValue("CTRL01", rec_, 0x20000, &v), 1);
    }
    void TearDown() override { KhSim_Reset(); }

    double readThrough(PFN_DECODNAM decodnam, PFN_MRDBVALS mrdbvals) {
        KeldrinErrorBlock err{};
        LONG id = 0;
        EXPECT_EQ(decodnam("FIC200", 6, &id, &err), KELDRIN_OK);
        KeldrinRecField pair{id, 0x20000};
        SHORT type = -12;
        unsigned char buf[16] = {};
        EXPECT_EQ(mrdbvals(1, &pair, &type, buf, nullptr, &err), KELDRIN_OK);
        double d;
        std::memcpy(&d, buf, 8);
        return d;
    }

    OlderLibrary lib_;
    LONG rec_ = 0;
};

TEST_F(HistorianOlderLibrary, ExportsEveryLookedUpEntryPoint) {
    std::istringstream names(
        "REFRESHUSERCONTEXT INIKELD ENDKELD TS2DSPDT DSPDT2TS XTS2DSPDT DSPDT2XTS DECODNAM "
        "DECODFT DECODRAF FIELDDEFNINFO MRDBVALS MWDBVALS XTSPLUSDT DATE2ASCII ASCII2DATE "
        "CALCDELXTM GETDBXTIM XTS2XUST XUST2XTS FLDINFO ERRMESS RHISKDDATA WHISKDDAT "
        "GETNMFDB_LNAME RHISKDAGGR DEFINID GETRECORDLIST_LNAME KeldrinRegisterShutdownCallback "
        "KeldrinInit DBMAPPED DB2SHRT XTS2ASCII GETDBVERSION RHISKDINTERPOLATE USTS2ASCII");
    for (std::string n; names >> n;) EXPECT_NE(lib_.get<void*>(n.c_str()), nullptr) << n;
    EXPECT_EQ(lib_.get<PFN_KELDCORE_UNSUPPORTED>("WHISKDDAT")(), KELDRIN_E_NOTSUPPORTED);
}

TEST_F(HistorianOlderLibrary, SeesTheSameRecordsAsTheClientLibrary) {
    KeldrinErrorBlock err{};
    SHORT index = static_cast<SHORT>(DaAddServer("CTRL01 200 /ALIAS=CTRL01__AC", &err));
    ASSERT_GT(index, 0);
    ASSERT_EQ(DaSelectServer(index, &err), KELDRIN_OK);
    auto decodnam = lib_.get<PFN_DECODNAM>("DECODNAM");
    auto mrdbvals = lib_.get<PFN_MRDBVALS>("MRDBVALS");
    ASSERT_NE(decodnam, &DECODNAM);  // two libraries, two entry points
    EXPECT_EQ(readThrough(decodnam, mrdbvals), 41.5);
    EXPECT_EQ(readThrough(&DECODNAM, &MRDBVALS), 41.5);

    // A write through the older library is seen through the client library.
    KeldrinRecField pair{rec_, 0x20000};
    SHORT type = -6;
    double v = -7.25;
    unsigned char buf[8];
    std::memcpy(buf, &v, 8);
    ASSERT_EQ(lib_.get<PFN_MWDBVALS>("MWDBVALS")(1, &pair, &type, buf, nullptr, &err), KELDRIN_OK);
    EXPECT_EQ(readThrough(&DECODNAM, &MRDBVALS), -7.25);
    EXPECT_EQ(KhSim_CallCount(KHSIM_KELDCORE, "MWDBVALS"), 1);
    EXPECT_EQ(KhSim_CallCount(KHSIM_API, "MWDBVALS"), 0);
    EXPECT_EQ(KhSim_CallCount(KHSIM_BOTH, "MRDBVALS"), 3);
}

TEST_F(HistorianOlderLibrary, ServesOnlyTheLocalNode) {
    KhSim_Reset();
    ASSERT_GT(KhSim_AddServer("PLANT2", 11, 3, 0), 0);
    KeldrinErrorBlock err{};
    LONG id = 0;
    EXPECT_EQ(lib_.get<PFN_DECODNAM>("DECODNAM")("X", 1, &id, &err), KELDRIN_E_NOSERVER);
    EXPECT_EQ(lib_.get<PFN_DEFINID>("DEFINID")(1), 0);
}

TEST_F(HistorianOlderLibrary, InjectedFaultsHitOnlyTheNamedLibraryAndCall) {
    auto mwdbvals = lib_.get<PFN_MWDBVALS>("MWDBVALS");
    auto decodnam = lib_.get<PFN_DECODNAM>("DECODNAM");
    KeldrinRecField pair{rec_, 0x20000};
    SHORT type = -6;
    unsigned char buf[8] = {};
    KeldrinErrorBlock err{};
    KhSim_ThrowInCall(KHSIM_KELDCORE, "MWDBVALS", 1);
    EXPECT_THROW(mwdbvals(1, &pair, &type, buf, nullptr, &err), std::exception);
    EXPECT_EQ(mwdbvals(1, &pair, &type, buf, nullptr, &err), KELDRIN_OK);  // once only

    KhSim_FailCall(KHSIM_KELDCORE, "DECODNAM", -40, 1, 12, -1);
    LONG id = 0;
    for (int i = 0; i < 2; ++i) {
        err = KeldrinErrorBlock{};
        EXPECT_EQ(decodnam("FIC200", 6, &id, &err), -40);
        EXPECT_EQ(err.ERR1, 1);
        EXPECT_EQ(err.ERR2, 12);
    }
    EXPECT_EQ(id, 0);
    KhSim_FailCall(KHSIM_KELDCORE, "DECODNAM", 0, 0, 0, 0);
    EXPECT_EQ(decodnam("FIC200", 6, &id, &err), KELDRIN_OK);
    EXPECT_EQ(id, rec_);

    // Time calls without an error block answer the injected code.
    KhSim_FailCall(KHSIM_BOTH, "GETDBXTIM", -30, 0, 0, 1);
    KeldrinTime t = kh_test::kNone;
    EXPECT_EQ(lib_.get<PFN_GETDBXTIM>("GETDBXTIM")(&t), -30);
    EXPECT_EQ(GETDBXTIM(&t), -30);
    EXPECT_EQ(t.Seconds, KELDRIN_TIME_NONE_WORD);
}

}  // namespace
