// The stand-in's entry points, loaded by name as the module loads them.
#pragma once

#include <gtest/gtest.h>

#include "corvex_sim.h"
#include "sys.h"

namespace corvex_test {

class CorvexFixture : public ::testing::Test {
protected:
    void SetUp() override {
        CorvexSim_Reset();
        ASSERT_EQ(CorvexSim_SetLibrary(CORVEXSIM_FULL), 1);
        lib_ = LoadLibraryA("corvex.dll");
        ASSERT_NE(lib_, nullptr);
    }
    void TearDown() override {
        if (lib_) FreeLibrary(lib_);
        CorvexSim_Reset();
    }
    template <typename Fn>
    Fn Get(const char* name) const {
        return reinterpret_cast<Fn>(GetProcAddress(lib_, name));
    }

    HMODULE lib_ = nullptr;
};

}  // namespace corvex_test
