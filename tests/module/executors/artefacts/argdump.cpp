// Writes its arguments, one a line, to the file that ARGDUMP_FILE names.
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    const char* path = std::getenv("ARGDUMP_FILE");
    std::FILE* out = path ? std::fopen(path, "w") : nullptr;
    if (!out) return 2;
    for (int i = 1; i < argc; ++i) std::fprintf(out, "%s\n", argv[i]);
    return std::fclose(out) == 0 ? 0 : 2;
}
