// Shared set-up of the historian access tests: the older client library in
// one of its states, over a stand-in historian with one local node.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include "frame/diagnostic_log.h"
#include "frame/keldrin_client.h"
#include "frame/loaded_dlls.h"
#include "keldrin_sim.h"

namespace histtest {

// What the guarded calls find.
enum class State {
    NeverLoaded,   // no loader has run
    Absent,        // the loader ran without the library on the search path
    NotAttached,   // loaded; DBMAPPED and KeldrinInit answer 0
    Attached,      // loaded and attached
    MissingEntry,  // attached, but the call's entry point was not found
    Throws,        // attached, and the call's entry point throws once
};

inline const char* Name(State s) {
    static const char* const names[] = {"never loaded", "absent",        "not attached",
                                        "attached",     "entry missing", "entry throws"};
    return names[static_cast<int>(s)];
}

inline constexpr char kLocalNode[] = "LOCALNODE";

// Forgets the loaded library (and frees it) and the historian's contents.
inline void ForgetEverything() {
    ResetKeldcoreLoader();
    CalcUnloadLibrary();
    KhSim_Reset();
    KhSim_SetOlderLibraryPresent(0);
}

class HistorianTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        // Error lines go to this test process's own application-data folder.
        g_DiagnosticLog.Initialize(nullptr, LogComponentMorvaCalc, LogText(),
                                   LogText(u"17.0.0.266"));
        ForgetEverything();
        Seed();
    }
    void TearDown() override { ForgetEverything(); }

    // One local node (version 11.3) with the definition record TAGDEF (1) and
    // the record TAG1 (2) of that definition, whose field VALUE (tag 5) holds
    // the number 42.
    void Seed() {
        ASSERT_GT(KhSim_AddServer(kLocalNode, 11, 3, 1), 0);
        definition_ = KhSim_AddRecord(kLocalNode, "TAGDEF", 0);
        ASSERT_EQ(definition_, 1);
        record_ = KhSim_AddRecord(kLocalNode, "TAG1", definition_);
        ASSERT_GT(record_, 0);
        ASSERT_EQ(KhSim_AddField(kLocalNode, record_, "VALUE", 5, -1, 0), 1);
        KhSim_SetValue(kLocalNode, record_, 5, &Number(42));
    }

    static const KhSimValue& Number(double v) {
        static KhSimValue value;
        value = KhSimValue{};
        value.Number = v;
        value.Stamp = {0xFFFFFFFFu, 0};
        return value;
    }

    // Starts from scratch and puts the older library into `state`;
    // `callName` is the entry point that MissingEntry removes (through
    // `drop`) or Throws makes throw.
    void Enter(State state, const char* callName = nullptr, void (*drop)() = nullptr) {
        ResetKeldcoreLoader();
        CalcUnloadLibrary();
        KhSim_SetAttachAnswers(1, 1);
        KhSim_ThrowInCall(KHSIM_BOTH, callName ? callName : "", 0);
        switch (state) {
            case State::NeverLoaded:
                break;
            case State::Absent:
                KhSim_SetOlderLibraryPresent(0);
                LoadKeldcoreLibrary();
                ASSERT_EQ(g_hKeldcore.load(), nullptr);
                break;
            case State::NotAttached:
                KhSim_SetOlderLibraryPresent(1);
                KhSim_SetAttachAnswers(0, 0);
                LoadKeldcoreLibrary();
                ASSERT_NE(g_hKeldcore.load(), nullptr);
                break;
            case State::Attached:
            case State::MissingEntry:
            case State::Throws:
                KhSim_SetOlderLibraryPresent(1);
                LoadKeldcoreLibrary();
                ASSERT_NE(g_hKeldcore.load(), nullptr);
                if (state == State::MissingEntry && drop) {
                    EnterCriticalSection(&g_csKeldcore);
                    drop();
                    LeaveCriticalSection(&g_csKeldcore);
                }
                if (state == State::Throws && callName)
                    KhSim_ThrowInCall(KHSIM_KELDCORE, callName, 1);
                break;
        }
        // Counts from here on concern the call under test only.
        counts_ = {KhSim_CallCount(KHSIM_API, callName ? callName : ""),
                   KhSim_CallCount(KHSIM_KELDCORE, callName ? callName : "")};
    }

    // Calls of `name` since Enter, in keldrin_api and in the older library.
    LONG ApiCalls(const char* name) const {
        return KhSim_CallCount(KHSIM_API, name) - counts_.first;
    }
    LONG OlderCalls(const char* name) const {
        return KhSim_CallCount(KHSIM_KELDCORE, name) - counts_.second;
    }

    LONG definition_ = 0;
    LONG record_ = 0;
    std::pair<LONG, LONG> counts_{0, 0};
};

}  // namespace histtest
