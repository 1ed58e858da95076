// The caches under many threads: runs of cached calculations while formulas
// are replaced, environment objects come and go, libraries are rewritten
// with reload on and the unit collection is replaced; and look-ups held at
// the library's gate while another thread changes the world under them. A
// deadlock fails the test through the watchdog instead of hanging it.
#include <thread>

#include "environment_test_support.h"
#include "interfaces/IMvFormulaRef.h"

namespace {

using namespace envtest;

TEST_F(EnvironmentTest, EightFirstTemporaryLibraryCallsAtOnceGetOneLibrary) {
    auto env = NewEnvironment();
    const int before = Libraries().created;
    std::vector<mv::ComPtr<IMvFormulaLibrary>> got(8);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (auto& slot : got)
        threads.emplace_back([&] {
            ++ready;
            while (ready < 8) std::this_thread::yield();
            EXPECT_EQ(env->CreateTemporaryLibrary(slot.Put()), S_OK);
        });
    WithinLimit(std::chrono::seconds(60), [&] {
        for (auto& t : threads) t.join();
    });
    EXPECT_LE(Libraries().created - before, 1) << "created once per process";
    for (auto& library : got) EXPECT_EQ(library, got[0]);
    EXPECT_EQ(Library(env.get(), ""), got[0]) << "the empty name is the temporary library";
}

TEST_F(EnvironmentTest, RunsOfCachedCalculationsSurviveReplacementsReleasesAndReloads) {
    for (const char* name : {"C0", "C1", "C2"}) WriteCalc(name);
    WriteLibrary("Lib1.mvc");
    auto env = NewEnvironment();
    env->put_EnableStaleLibraryReload(VARIANT_TRUE);
    constexpr int kRounds = 60;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            const std::string name = "C" + std::to_string(t % 3);
            for (int i = 0; i < kRounds; ++i) {
                mv::ComPtr<IMvCalculation> calc;
                if (FAILED(env->GetCalcObject(B(name).get(), nullptr, calc.Put()))) ++failures;
                if (calc && FAILED(calc->Calculate())) ++failures;
            }
        });
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) env->ReplaceFormula(B("Lib1").get(), B("F").get());
    });
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) NewEnvironment();  // created and released at once
    });
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) {
            SetLibraryTime("Lib1.mvc", 1000000 + i);
            CMvCalcEnvironment::ReloadLibrary(B("Lib1").get());
            Library(env.get(), "Lib1");
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i)
            env->SetUnitConvColl(i % 2 ? nullptr
                                       : Create<IMvObjCollection>(CLSID_MvObjCollection).get());
    });
    WithinLimit(std::chrono::seconds(120), [&] {
        for (auto& t : threads) t.join();
    });
    EXPECT_EQ(failures, 0);
    EXPECT_TRUE(Get(env.get(), "C0"));
}

// A look-up held at the library's GetFormula while another thread's stale
// check drops the library: what it found is the old library's formula and
// is never kept, neither by a reference's fetch nor by a new reference.
TEST_F(EnvironmentTest, AFormulaFoundWhileItsLibraryIsDroppedIsNotKept) {
    Serve(CLSID_MvFormulaRef);  // the documents hold references
    auto env = NewEnvironment();
    env->put_EnableStaleLibraryReload(VARIANT_TRUE);
    const struct {
        const char* window;
        bool referenced;  // whether the user already has the reference
    } rows[] = {{"fetch", true}, {"creation", false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.window);
        const std::string library = std::string("Lib") + row.window;
        WriteLibrary(library + ".mvc");
        SetLibraryTime(library + ".mvc", 1000000);
        AddFormula("Flow");
        auto addReference = [&](IMvCalculation* c) {
            mv::ComPtr<IDispatch> added;
            c->AddFormulaRef(B("Flow").get(), B(library).get(), added.Put());
        };
        const std::string checkerName = library + "Checker", userName = library + "User";
        WriteCalc(checkerName, addReference);
        WriteCalc(userName, [&](IMvCalculation* c) {
            if (row.referenced) addReference(c);
        });
        auto checker = Get(env.get(), checkerName.c_str());
        auto user = Get(env.get(), userName.c_str());
        ASSERT_TRUE(checker && user);
        ASSERT_TRUE(Library(env.get(), library.c_str()));  // its time is recorded

        Libraries().gate.Arm();
        mv::ComPtr<IMvCalculation> old;
        std::thread looker([&] {
            LONG count = 0;
            EXPECT_EQ(user->GetFormula(B("Flow").get(), old.Put(), &count), S_OK);
        });
        Libraries().gate.AwaitArrival();
        AddFormula("Flow");  // the rewritten file's formula
        mv::ComPtr<IMvCalculation> rewritten;
        {
            std::lock_guard guard(Libraries().lock);
            rewritten = Libraries().formulas["Flow"];
        }
        SetLibraryTime(library + ".mvc", 2000000);
        mv::ComPtr<IDispatch> checked;
        EXPECT_EQ(checker->GetFormulaRef(B("Flow").get(), checked.Put()), S_OK);
        Libraries().gate.Open();
        WithinLimit(std::chrono::seconds(60), [&] { looker.join(); });
        EXPECT_TRUE(old);

        mv::ComPtr<IDispatch> found;
        mv::ComPtr<IMvFormulaRef> reference;
        ASSERT_EQ(user->GetFormulaRef(B("Flow").get(), found.Put()), S_OK);
        ASSERT_EQ(found.As(&reference), S_OK);
        mv::ComPtr<IMvCalculation> held;
        reference->get_Formula(held.Put());
        EXPECT_EQ(held, rewritten) << "the next use runs the rewritten formula";
        fs::remove(base_ / "Lib" / (library + ".mvc"));
    }
}

// Two first look-ups of one name in one calculation: the second adds the
// reference while the first is still looking; the first then takes that
// reference and its formula instead of failing to add its own.
TEST_F(EnvironmentTest, AFirstLookUpThatLosesTheAddTakesTheOtherThreadsReference) {
    WriteLibrary("Lib1.mvc");
    AddFormula("Flow");
    auto env = NewEnvironment();
    auto calc = NewCalculation("Caller");
    Libraries().gate.Arm();
    mv::ComPtr<IMvCalculation> first;
    LONG firstCount = -1;
    std::thread looker(
        [&] { EXPECT_EQ(calc->GetFormula(B("Flow").get(), first.Put(), &firstCount), S_OK); });
    Libraries().gate.AwaitArrival();
    mv::ComPtr<IMvCalculation> second;
    LONG secondCount = -1;
    EXPECT_EQ(calc->GetFormula(B("Flow").get(), second.Put(), &secondCount), S_OK);
    Libraries().gate.Open();
    WithinLimit(std::chrono::seconds(60), [&] { looker.join(); });
    ASSERT_TRUE(second);
    EXPECT_EQ(secondCount, 1);
    EXPECT_EQ(first, second);
    EXPECT_EQ(firstCount, 1);
    mv::ComPtr<IMvObjCollection> references;
    LONG count = 0;
    calc->get_FormulaRefs(references.Put());
    references->get_Count(&count);
    EXPECT_EQ(count, 1);
}

}  // namespace
