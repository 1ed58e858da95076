// The main of every test program. It gives each test process its own
// application-data folder and registry file (so parallel test processes never
// share one), tells tests where the built libraries and their sources are,
// and sets the sanitizers' defaults, which must be known before main runs.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

extern "C" {
const char* __asan_default_options() { return "detect_leaks=1:strict_string_checks=1"; }
const char* __lsan_default_options() {
    return "suppressions=" MV_TEST_PROJECT_DIR "/tests/lsan.supp:print_suppressions=0";
}
const char* __ubsan_default_options() { return "print_stacktrace=1:halt_on_error=1"; }
const char* __tsan_default_options() {
    return "halt_on_error=1:second_deadlock_stack=1:suppressions=" MV_TEST_PROJECT_DIR
           "/tests/tsan.supp";
}
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);

    std::string appdata;
    if (!getenv("MORVA_COMMON_APPDATA")) {
        std::string pattern = std::string(MV_TEST_BINARY_DIR) + "/appdata-XXXXXX";
        if (mkdtemp(pattern.data())) {
            appdata = pattern;
            setenv("MORVA_COMMON_APPDATA", appdata.c_str(), 1);
        }
    }
    if (!getenv("MORVA_REGISTRY") && getenv("MORVA_COMMON_APPDATA")) {
        std::string reg = std::string(getenv("MORVA_COMMON_APPDATA")) + "/Morva/registry.reg";
        setenv("MORVA_REGISTRY", reg.c_str(), 1);
    }
    setenv("MV_TEST_LIB_DIR", MV_TEST_LIB_DIR, 0);
    setenv("MV_TEST_SOURCE_DIR", MV_TEST_SOURCE_DIR, 0);

    int result = RUN_ALL_TESTS();
    if (!appdata.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(appdata, ec);
    }
    return result;
}
