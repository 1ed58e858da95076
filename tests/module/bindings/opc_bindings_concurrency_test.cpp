// Calculations on several threads bound to one OPC data source while its
// server keeps failing reads: each failure drops the shared server, the next
// run connects again, and no run reads through a server already freed.
#include <thread>

#include "../environment/environment_test_support.h"
#include "calculation/calculation.h"
#include "opc_test_support.h"

namespace {

using opctest::kRemote;

class OpcRunConcurrency : public envtest::EnvironmentTest {
protected:
    void SetUp() override {
        EnvironmentTest::SetUp();
        opctest::StartOpcWorld();
        MvSetFormulaExecutor(1, [](CMvCalculation&, const ParamInfoTable&) {});
    }
    void TearDown() override {
        MvSetFormulaExecutor(1, nullptr);
        opctest::StopOpcWorld();
        EnvironmentTest::TearDown();
    }
};

TEST_F(OpcRunConcurrency, RunsShareOneSourceAndReconnectAfterFailedReads) {
    opcsim::SetItem(kRemote, "A", mv::Variant(3.0), OPC_QUALITY_GOOD, opctest::Stamp(1));
    opcsim::SetReadFailureEvery(kRemote, 7, E_ABORT);
    opctest::AddOpcSource("OPC2", kRemote);
    constexpr int kThreads = 8;
    constexpr int kRuns = 500;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            auto calc = NewCalculation("CALC");
            calc->put_FormulaType(1);
            mv::ComPtr<IMvParameter> p;
            ASSERT_EQ(calc->AddParameter(envtest::B("IN").get(), p.Put()), S_OK);
            p->put_ParameterType(mvcInput);
            p->put_BindingType(mvcOPC);
            p->put_NodeName(envtest::B("OPC2").get());
            p->put_RecordName(envtest::B("A").get());
            for (int i = 0; i < kRuns; ++i) {
                p->put_Value(mv::Variant(0.0));
                ASSERT_EQ(calc->Calculate(), S_OK);
                mv::Bstr text;
                calc->get_ErrorText(text.Out());
                mv::Variant v;
                p->get_Value(&v);
                if (text.Utf8().empty()) {
                    EXPECT_EQ(v.dblVal, 3.0);
                    continue;
                }
                EXPECT_EQ(text.Utf8(), "Failed to read from OPC server: Operation aborted\r\n");
                EXPECT_EQ(v.dblVal, 0.0);
                ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    const opcsim::Counters n = opcsim::Count(kRemote);
    EXPECT_EQ(n.reads, kThreads * kRuns);
    EXPECT_EQ(failures, n.reads / 7);
    // Each failure drops at most one server: one connection more at most.
    EXPECT_LE(n.creations, failures + 1);
    EXPECT_EQ(opctest::g_pauses, n.creations);
}

}  // namespace
