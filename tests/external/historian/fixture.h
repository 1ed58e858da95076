// Shared set-up of the historian tests: a fresh model, a fixed clock and a
// helper to seed values.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
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
        const char* old = std::getenv("TZ");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTz() {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    ScopedTz(const ScopedTz&) = delete;
    ScopedTz& operator=(const ScopedTz&) = delete;

private:
    bool had_ = false;
    std::string old_;
};

// A fresh historian with one remote node "PLANT2" (version 11.3) connected
// and selected on this thread, and a fixed clock.
class HistorianTest : public ::testing::Test {
protected:
    void SetUp() override {
        KhSim_Reset();
        KeldrinTime now = at(kT0);
        KhSim_SetClock(&now);
        ASSERT_GT(KhSim_AddServer("PLANT2", 11, 3, 0), 0);
        KeldrinErrorBlock err{};
        server_ = static_cast<SHORT>(DaAddServer("PLANT2 200 /ALIAS=PLANT2__AC /FATAL /T=5", &err));
        ASSERT_GT(server_, 0);
        ASSERT_EQ(DaSelectServer(server_, &err), KELDRIN_OK);
    }
    void TearDown() override { KhSim_Reset(); }

    SHORT server_ = 0;
};

}  // namespace kh_test
