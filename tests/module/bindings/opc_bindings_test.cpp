// OPC bindings in whole runs: inputs read from two servers with their local
// time stamps and qualities, outputs written when changed and outside the
// sandbox, and what a failing server leaves behind.
#include <cctype>
#include <map>

#include "../environment/environment_test_support.h"
#include "../parameters/parameter_test_support.h"
#include "bindings/opc_bindings.h"
#include "calculation/calculation.h"
#include "frame/app_globals.h"
#include "frame/opc_registry.h"
#include "opc_test_support.h"
#include "sources/opc_servers.h"

namespace {

using opctest::kRemote;
using opctest::Stamp;

// The formula of the test calculations: output "OUT" gets 42 unless the
// run's flag says to leave it unchanged.
inline std::atomic<bool> g_setOutput{true};
void Formula(CMvCalculation&, const ParamInfoTable& table) {
    for (const ParamInfo& r : table.Records)
        if (r.Name == "OUT" && g_setOutput) r.Parameter->put_Value(mv::Variant(42.0));
}

class OpcRun : public envtest::EnvironmentTest {
protected:
    void SetUp() override {
        EnvironmentTest::SetUp();
        opctest::StartOpcWorld();
        MvSetFormulaExecutor(1, &Formula);
        g_setOutput = true;
        char name[64] = {};
        DWORD size = sizeof name;
        ASSERT_TRUE(GetComputerNameA(name, &size));
        local_ = name;
        for (char& c : local_) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    void TearDown() override {
        MvSetFormulaExecutor(1, nullptr);
        opctest::StopOpcWorld();
        EnvironmentTest::TearDown();
        setenv("TZ", "UTC", 1);
        tzset();
    }
    mv::ComPtr<IMvCalculation> Calc() {
        auto calc = NewCalculation("CALC");
        calc->put_FormulaType(1);
        return calc;
    }
    static mv::ComPtr<IMvParameter> Opc(IMvCalculation* calc, const char* name, LONG direction,
                                        const char* source, const char* item) {
        mv::ComPtr<IMvParameter> p;
        EXPECT_EQ(calc->AddParameter(envtest::B(name).get(), p.Put()), S_OK);
        p->put_ParameterType(direction);
        p->put_BindingType(mvcOPC);
        p->put_NodeName(envtest::B(source).get());
        p->put_RecordName(envtest::B(item).get());
        return p;
    }
    static std::string Error(IMvCalculation* calc) {
        mv::Bstr text;
        calc->get_ErrorText(text.Out());
        return text.Utf8();
    }
    static double Number(IMvParameter* p) {
        mv::Variant v;
        p->get_Value(&v);
        return v.vt == VT_R8 ? v.dblVal : -999.0;
    }
    static std::pair<SHORT, SHORT> Quality(IMvParameter* p) {
        SHORT status = 0, level = 0;
        p->get_Status(&status);
        p->get_Level(&level);
        return {status, level};
    }
    std::string local_;
};

TEST(OpcQuality, OnlyTheClassBitsCount) {
    struct Row {
        WORD quality;
        SHORT status, level;
    } rows[] = {{0xC0, -1, 0}, {0xD8, -1, 0}, {0x40, -3, 1}, {0x1C, -6, 2},
                {0x80, -6, 2}, {0x00, -6, 2}, {0x57, -3, 1}, {0xFFC3, -1, 0}};
    for (const Row& r : rows) {
        SHORT status = 0, level = 0;
        MapOpcQuality(r.quality, &status, &level);
        EXPECT_EQ(std::pair(status, level), std::pair(r.status, r.level)) << r.quality;
    }
}

// Inputs on this computer and a remote node, read in two time zones; the
// output written only when changed and outside the sandbox; one group and
// each item added once over several runs.
TEST_F(OpcRun, ReadsBothServersAndWritesChangedOutputs) {
    opctest::AddOpcSource("OPC1", local_, "-1");
    opctest::AddOpcSource("OPC2", kRemote);
    const WORD qualities[] = {0xC0, 0xD8, 0x40, 0x1C};
    const FILETIME stamp{0x19BA4000, 0x01DB5BE0};  // 2025-01-01 00:00:00 UTC
    for (int i = 0; i < 4; ++i) {
        const std::string node = i < 2 ? opcsim::kLocalNode : kRemote;
        opcsim::SetItem(node, "I" + std::to_string(i), mv::Variant(double(i + 1)), qualities[i],
                        stamp);
    }
    opcsim::SetItem(kRemote, "W", mv::Variant(0.0), 0xC0, Stamp(1));
    auto calc = Calc();
    std::vector<mv::ComPtr<IMvParameter>> in;
    for (int i = 0; i < 4; ++i)
        in.push_back(Opc(calc.get(), ("IN" + std::to_string(i)).c_str(), mvcInput,
                         i < 2 ? "OPC1" : "OPC2", ("I" + std::to_string(i)).c_str()));
    auto out = Opc(calc.get(), "OUT", mvcOutput, "OPC2", "W");

    struct Zone {
        const char* tz;
        DATE expected;  // 2025-01-01 00:00:00 UTC in local time
    } zones[] = {{"UTC0", 45658.0}, {"EST5", 45658.0 - 5.0 / 24}};
    for (const Zone& z : zones) {
        setenv("TZ", z.tz, 1);
        tzset();
        ASSERT_EQ(calc->Calculate(), S_OK);
        EXPECT_EQ(Error(calc.get()), "");
        const std::pair<SHORT, SHORT> expected[] = {{-1, 0}, {-1, 0}, {-3, 1}, {-6, 2}};
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(Number(in[i].get()), i + 1.0);
            EXPECT_EQ(Quality(in[i].get()), expected[i]) << i;
            DATE date = 0.0;
            in[i]->get_TimeStamp(&date);
            EXPECT_NEAR(date, z.expected, 1e-6) << z.tz;
        }
    }
    mv::Variant written = opcsim::ItemValue(kRemote, "W");
    EXPECT_EQ(written.vt == VT_R8 ? written.dblVal : -1.0, 42.0);
    const int writes = opcsim::Count(kRemote).writes;
    EXPECT_GE(writes, 1);

    g_setOutput = false;  // unchanged: nothing written
    out->put_Changed(0);
    ASSERT_EQ(calc->Calculate(), S_OK);
    EXPECT_EQ(opcsim::Count(kRemote).writes, writes);
    g_setOutput = true;  // sandbox: nothing written
    calc->put_SandBoxMode(1);
    ASSERT_EQ(calc->Calculate(), S_OK);
    EXPECT_EQ(opcsim::Count(kRemote).writes, writes);

    auto groups = opcsim::Groups();
    ASSERT_EQ(groups.size(), 2u);
    for (const auto& g : groups) {
        EXPECT_EQ(g.name, "MORVACALC");
        EXPECT_EQ(g.active, g.node == opcsim::kLocalNode ? TRUE : FALSE);
        EXPECT_EQ(g.updateRate, 1000u);
        EXPECT_EQ(g.clientHandle, 1234u);
    }
    std::map<std::string, int> added;
    for (const auto& item : opcsim::AddedItems()) ++added[item.itemId];
    EXPECT_EQ(added,
              (std::map<std::string, int>{{"I0", 1}, {"I1", 1}, {"I2", 1}, {"I3", 1}, {"W", 1}}));
    EXPECT_EQ(opctest::g_pauses, 2);
}

// Each row: a failure on the remote server (the second data source); the
// run's error text, whether the first server's input was updated, and
// whether the remote server is still kept.
TEST_F(OpcRun, FailuresGiveTheirTextsAndDropTheFailedServer) {
    struct Row {
        const char* name;
        const char* badStatus;
        void (*arrange)();
        const char* text;
        bool kept;
        SHORT level;  // the remote input's level afterwards
    } rows[] = {
        {"read fails", nullptr, [] { opcsim::SetFailure(kRemote, opcsim::Call::Read, E_FAIL); },
         "Failed to read from OPC server: Unspecified error\r\n", false, 0},
        {"read throws", nullptr, [] { opcsim::SetThrows(kRemote, opcsim::Call::Read, true); },
         "Unexpected error reading from OPC Server", false, 0},
        {"whole-call failure with -1", "-1",
         [] { opcsim::SetFailure(kRemote, opcsim::Call::Read, E_FAIL); },
         "Failed to read from OPC server: Unspecified error\r\n", false, 0},
        {"item fails", nullptr, [] { opcsim::SetItemErrors(kRemote, "B", E_FAIL, S_OK); },
         "Failed to read OPC item B: ", false, 0},
        {"item fails with -1", "-1", [] { opcsim::SetItemErrors(kRemote, "B", E_FAIL, S_OK); }, "",
         true, 2},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        opctest::StopOpcWorld();
        opctest::StartOpcWorld();
        DestroyOPCServers();  // no server of the row before
        CreateOPCServers();
        opctest::AddOpcSource("OPC1", local_);
        opctest::AddOpcSource("OPC2", kRemote, nullptr, r.badStatus);
        opcsim::SetItem(opcsim::kLocalNode, "A", mv::Variant(7.0), 0xC0, Stamp(1));
        opcsim::SetItem(kRemote, "B", mv::Variant(8.0), 0xC0, Stamp(1));
        auto calc = Calc();
        auto a = Opc(calc.get(), "A", mvcInput, "OPC1", "A");
        auto b = Opc(calc.get(), "B", mvcInput, "OPC2", "B");
        r.arrange();
        ASSERT_EQ(calc->Calculate(), S_OK);
        const std::string error = Error(calc.get());
        EXPECT_EQ(error.substr(0, std::string(r.text).size()), r.text);
        if (!*r.text) {
            EXPECT_EQ(error, "");
        }
        EXPECT_EQ(Number(a.get()), 7.0);
        EXPECT_EQ(Number(b.get()) == 8.0, r.kept && r.level == 0);
        EXPECT_EQ(Quality(b.get()).second, r.level);
        EXPECT_EQ(g_OPCServers->Find("OPC2") != nullptr, r.kept);
        // The next run connects the dropped server again.
        opcsim::SetThrows(kRemote, opcsim::Call::Read, false);
        opcsim::SetFailure(kRemote, opcsim::Call::Read, S_OK);
        opcsim::SetItemErrors(kRemote, "B", S_OK, S_OK);
        ASSERT_EQ(calc->Calculate(), S_OK);
        EXPECT_EQ(opcsim::Count(kRemote).creations, r.kept ? 1 : 2);
        EXPECT_NE(g_OPCServers->Find("OPC2"), nullptr);
    }
}

// A Global Interface Table that holds what it is given and refuses, from
// registration number `refuseFrom` on (counting from 1), with E_OUTOFMEMORY.
class RefusingGit : public mv::ComObjectRoot<RefusingGit>, public IGlobalInterfaceTable {
public:
    using InterfaceMap = mv::Interfaces<IGlobalInterfaceTable>;
    HRESULT RegisterInterfaceInGlobal(IUnknown* unknown, REFIID, DWORD* cookie) override {
        if (++registrations >= refuseFrom) return E_OUTOFMEMORY;
        held[*cookie = registrations] = mv::ComPtr<IUnknown>(unknown);
        return S_OK;
    }
    HRESULT RevokeInterfaceFromGlobal(DWORD cookie) override {
        return held.erase(cookie) ? S_OK : E_INVALIDARG;
    }
    HRESULT GetInterfaceFromGlobal(DWORD cookie, REFIID riid, void** out) override {
        auto it = held.find(cookie);
        return it == held.end() ? E_INVALIDARG : it->second->QueryInterface(riid, out);
    }
    DWORD refuseFrom = 1;
    DWORD registrations = 0;
    std::map<DWORD, mv::ComPtr<IUnknown>> held;
};

// The server's registration (1) or the group's (2) refused: the run's
// earlier error gives way to the registration's text.
TEST_F(OpcRun, ARefusedRegistrationGivesItsText) {
    opctest::AddOpcSource("OPC2", kRemote);
    opcsim::SetItem(kRemote, "B", mv::Variant(8.0), 0xC0, Stamp(1));
    for (DWORD refuseFrom : {1u, 2u}) {
        SCOPED_TRACE(refuseFrom);
        DestroyOPCServers();
        CreateOPCServers();
        mv::ComPtr<mv::ComObject<RefusingGit>> git;
        ASSERT_EQ(mv::MakeComObject(&git), S_OK);
        git->refuseFrom = refuseFrom;
        IGlobalInterfaceTable* saved = g_pGIT;
        g_pGIT = mv::ComPtr<IGlobalInterfaceTable>(git.get()).Detach();
        auto calc = Calc();
        mv::ComPtr<IMvParameter> missing;
        ASSERT_EQ(calc->AddParameter(envtest::B("C").get(), missing.Put()), S_OK);
        missing->put_ParameterType(mvcInput);
        missing->put_BindingType(mvcCalculation);
        missing->put_CalculationName(envtest::B("NOSUCH").get());
        Opc(calc.get(), "B", mvcInput, "OPC2", "B");
        ASSERT_EQ(calc->Calculate(), S_OK);
        EXPECT_EQ(Error(calc.get()), "Failed to register OPC server interface: (8007000e)");
        EXPECT_EQ(g_OPCServers->Find("OPC2"), nullptr);
        EXPECT_TRUE(git->held.empty()) << "the failed server's registrations are revoked";
        g_pGIT->Release();
        g_pGIT = saved;
    }
}

// A write answered S_FALSE without failed items counts as success; a
// refused write drops the server with the write's text.
TEST_F(OpcRun, WriteAnsweredWithSuccessCodeCountsAsSuccess) {
    opctest::AddOpcSource("OPC2", kRemote);
    opcsim::SetItem(kRemote, "W", mv::Variant(0.0), 0xC0, Stamp(1));
    auto calc = Calc();
    Opc(calc.get(), "OUT", mvcOutput, "OPC2", "W");
    opcsim::SetFailure(kRemote, opcsim::Call::Write, S_FALSE);
    ASSERT_EQ(calc->Calculate(), S_OK);
    EXPECT_EQ(Error(calc.get()), "");
    EXPECT_NE(g_OPCServers->Find("OPC2"), nullptr);
    opcsim::SetFailure(kRemote, opcsim::Call::Write, E_FAIL);
    ASSERT_EQ(calc->Calculate(), S_OK);
    EXPECT_EQ(Error(calc.get()).rfind("Failed to write to OPC server: ", 0), 0u)
        << Error(calc.get());
    EXPECT_EQ(g_OPCServers->Find("OPC2"), nullptr);
}

// A value that cannot be copied for lack of memory fails the run: the
// output is not written as Empty, nor the input left with its old value.
TEST_F(OpcRun, AValueThatCannotBeCopiedFailsTheRun) {
    opctest::AddOpcSource("OPC2", kRemote);
    opcsim::SetItem(kRemote, "W", mv::Variant(5.0), 0xC0, Stamp(1));
    for (LONG direction : {mvcOutput, mvcInput}) {
        SCOPED_TRACE(direction);
        auto calc = Calc();
        auto p = parameter_test::NewShortOfMemoryParameter();
        p->put_Name(envtest::B("OUT").get());
        p->put_ParameterType(direction);
        p->put_BindingType(mvcOPC);
        p->put_NodeName(envtest::B("OPC2").get());
        p->put_RecordName(envtest::B("W").get());
        (direction == mvcOutput ? p->failReads : p->failStores) = true;
        mv::ComPtr<IMvObjCollection> parameters;
        calc->get_Parameters(parameters.Put());
        ASSERT_EQ(parameters->Add(envtest::B("OUT").get(), p.get()), S_OK);
        const int writes = opcsim::Count(kRemote).writes;
        ASSERT_EQ(calc->Calculate(), S_OK);
        EXPECT_NE(Error(calc.get()), "");
        EXPECT_EQ(opcsim::Count(kRemote).writes, writes);
    }
}

}  // namespace
