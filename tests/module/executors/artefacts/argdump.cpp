// Writes its arguments (without the program name), one a line, to the file
// that the environment variable ARGDUMP_FILE names. Exits 0, or 2 when it
// cannot write.
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    const char* path = std::getenv("ARGDUMP_FILE");
    std::FILE* out = path ? std::fopen(path, "w") : nullptr;
    if (!out) return 2;
    for (int i = 1; i < argc; ++i) std::fprintf(out, "%s\n", argv[i]);
    return std::fclose(out) == 0 ? 0 : 2;
}
