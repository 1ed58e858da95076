// Running external programs from a command text, without a shell.
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

#include "sys.h"

extern char** environ;

namespace mv {

std::vector<std::string> SplitCommandLine(std::string_view line) {
    std::vector<std::string> args;
    size_t i = 0;
    auto isBlank = [](char c) { return c == ' ' || c == '\t'; };

    // The program name: backslashes are literal, quotes only delimit.
    while (i < line.size() && isBlank(line[i])) ++i;
    if (i >= line.size()) return args;
    std::string program;
    if (line[i] == '"') {
        ++i;
        while (i < line.size() && line[i] != '"') program += line[i++];
        if (i < line.size()) ++i;  // the closing quote
    }
    while (i < line.size() && !isBlank(line[i])) {
        if (line[i] != '"') program += line[i];
        ++i;
    }
    args.push_back(std::move(program));

    // The arguments.
    for (;;) {
        while (i < line.size() && isBlank(line[i])) ++i;
        if (i >= line.size()) break;
        std::string arg;
        bool quoted = false;
        while (i < line.size() && (quoted || !isBlank(line[i]))) {
            if (line[i] == '\\') {
                size_t run = 0;
                while (i < line.size() && line[i] == '\\') {
                    ++run;
                    ++i;
                }
                if (i < line.size() && line[i] == '"') {
                    arg.append(run / 2, '\\');
                    if (run % 2 == 1) {
                        arg += '"';
                        ++i;
                    }
                    // An even run leaves the quote to toggle grouping below.
                } else {
                    arg.append(run, '\\');
                }
            } else if (line[i] == '"') {
                quoted = !quoted;
                ++i;
            } else {
                arg += line[i++];
            }
        }
        args.push_back(std::move(arg));
    }
    return args;
}

int RunCommandText(std::string_view text) {
    std::string line(text);
    if (!line.empty() && line.front() == '"') {
        line.erase(0, 1);
        const size_t last = line.rfind('"');
        if (last != std::string::npos) line.erase(last, 1);
    }
    const std::vector<std::string> args = SplitCommandLine(line);
    if (args.empty() || args.front().empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return -1;
    }
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
    if (rc != 0) {
        SetLastError(rc == ENOENT ? ERROR_FILE_NOT_FOUND : Win32ErrorFromErrno(rc));
        return -1;
    }
    int status = 0;
    pid_t waited;
    do {
        waited = waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited < 0) {
        SetLastError(Win32ErrorFromErrno(errno));
        return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace mv
