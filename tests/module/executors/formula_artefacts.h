// Where the formula test artefacts are built (see artefacts/CMakeLists.txt).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace formula_test {

constexpr const char* kTestFormulas = "MvTestFormulas.dll";

inline std::filesystem::path BuildDir() {
    const char* lib = std::getenv("MV_TEST_LIB_DIR");
    return std::filesystem::path(lib && *lib ? lib : MV_TEST_LIB_DIR).parent_path();
}
inline std::string FormulasDir() {
    return (BuildDir() / "formulas").string();
}
inline std::string ArgdumpPath() {
    return (BuildDir() / "bin" / "argdump").string();
}

}  // namespace formula_test
