// Shared set-up of the historian tests: a fresh model, a fixed clock and a
// helper to seed values.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "keldrin_sim.h"

namespace kh_test {

constexpr KeldrinTime kNone{KELDRIN_TIME_NONE_WORD, KELDRIN_TIME_NONE_WORD};

// 2024-03-15 10:00:00 UTC.
constexpr ULONG kT0 = 1710496800u;

inline KeldrinTime at(ULONG seconds, ULONG micro = 0) {
    return KeldrinTime{seconds, micro};
}

inline KhSimValue number(double v, KeldrinTime stamp = at(kT0), SHORT status = -1,
                         SHORT level = 0) {
    KhSimValue out{};
    out.Number = v;
    out.Status = status;
    out.Level = level;
    out.Stamp = stamp;
    return out;
}

// Sets TZ for the life of the object and restores it after.
class ScopedTz {
public:
    explicit ScopedTz(const char* tz) {
        if (const char* old = std::getenv("TZ")) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTz() {
        old_ ? setenv("TZ", old_->c_str(), 1) : unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> old_;
};

// A fresh historian with one remote node "PLANT2" (version 11.3) connected
// and selected on this thread, and a fixed clock.
class HistorianTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(startOver("PLANT2", 3, "PLANT2 200 /ALIAS=PLANT2__AC /FATAL /T=5"));
        KeldrinTime now = at(kT0);
        KhSim_SetClock(&now);
    }
    // Empties the model, then connects one node of version 11.<minor> and
    // selects it on this thread.
    void startOver(const char* node, LONG minor, const char* connect) {
        KhSim_Reset();
        ASSERT_GT(KhSim_AddServer(node, 11, minor, 0), 0);
        KeldrinErrorBlock err{};
        server_ = static_cast<SHORT>(DaAddServer(connect, &err));
        ASSERT_GT(server_, 0);
        ASSERT_EQ(DaSelectServer(server_, &err), KELDRIN_OK);
    }
    void TearDown() override { KhSim_Reset(); }

    SHORT server_ = 0;
};

}  // namespace kh_test
