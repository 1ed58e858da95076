// Running external programs from a command text, without a shell.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "sys.h"

extern char** environ;

namespace mv {
namespace {

// The files to try for a program, in order: the name itself when it holds a
// "/", else the name in each folder of PATH (an empty entry is the current
// folder), as the shell's search goes.
std::vector<std::string> ProgramCandidates(const std::string& program) {
    if (program.find('/') != std::string::npos) return {program};
    const char* path = std::getenv("PATH");
    const std::string folders = path ? path : "/bin:/usr/bin";
    std::vector<std::string> candidates;
    for (size_t start = 0;;) {
        const size_t colon = folders.find(':', start);
        const std::string folder = folders.substr(start, colon - start);
        candidates.push_back(folder.empty() ? program : folder + "/" + program);
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    return candidates;
}

pid_t WaitFor(pid_t pid, int* status) {
    pid_t waited;
    do {
        waited = waitpid(pid, status, 0);
    } while (waited < 0 && errno == EINTR);
    return waited;
}

// Starts the first candidate that the system will run. The child reports a
// failed start through a pipe that a successful exec closes, so the answer
// does not depend on how the C library spawns (some environments report a
// program that never ran as started). Returns 0 with the child's id, or the
// errno of the start: that of a file found but refused (EACCES) before that
// of none found.
int StartProgram(const std::vector<std::string>& candidates, char* const* argv, pid_t* pid) {
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return errno;
    const pid_t child = fork();
    if (child < 0) {
        const int error = errno;
        close(report[0]);
        close(report[1]);
        return error;
    }
    if (child == 0) {
        // Only async-signal-safe calls from here on.
        int error = ENOENT;
        for (const std::string& file : candidates) {
            execve(file.c_str(), argv, environ);
            if (errno == EACCES)
                error = EACCES;
            else if (errno != ENOENT && errno != ENOTDIR) {
                error = errno;
                break;
            }
        }
        (void)!write(report[1], &error, sizeof error);
        _exit(127);
    }
    close(report[1]);
    int error = 0;
    ssize_t got;
    do {
        got = read(report[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    if (got == static_cast<ssize_t>(sizeof error)) {
        int status = 0;
        (void)WaitFor(child, &status);
        return error != 0 ? error : ENOENT;
    }
    *pid = child;
    return 0;
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view line) {
    std::vector<std::string> args;
    size_t i = 0;
    auto isBlank = [](char c) { return c == ' ' || c == '\t'; };

    // The program name: backslashes are literal, each quote toggles grouping.
    while (i < line.size() && isBlank(line[i])) ++i;
    if (i >= line.size()) return args;
    std::string program;
    for (bool quoted = false; i < line.size() && (quoted || !isBlank(line[i])); ++i) {
        if (line[i] == '"')
            quoted = !quoted;
        else
            program += line[i];
    }
    args.push_back(std::move(program));

    // The arguments.
    for (;;) {
        while (i < line.size() && isBlank(line[i])) ++i;
        if (i >= line.size()) break;
        std::string arg;
        bool quoted = false;
        while (i < line.size()) {
            size_t backslashes = 0;
            while (i < line.size() && line[i] == '\\') {
                ++backslashes;
                ++i;
            }
            bool literal = true;
            if (i < line.size() && line[i] == '"') {
                if (backslashes % 2 == 0) {
                    // Inside a group "" is one literal quote; any other
                    // unescaped quote toggles grouping.
                    if (quoted && i + 1 < line.size() && line[i + 1] == '"')
                        ++i;
                    else
                        literal = false;
                    if (!literal) quoted = !quoted;
                }
                backslashes /= 2;
            }
            arg.append(backslashes, '\\');
            if (i >= line.size() || (!quoted && isBlank(line[i]))) break;
            if (literal) arg += line[i];
            ++i;
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
    const int rc = StartProgram(ProgramCandidates(args.front()), argv.data(), &pid);
    if (rc != 0) {
        SetLastError(rc == ENOENT ? ERROR_FILE_NOT_FOUND : Win32ErrorFromErrno(rc));
        return -1;
    }
    int status = 0;
    if (WaitFor(pid, &status) < 0) {
        SetLastError(Win32ErrorFromErrno(errno));
        return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace mv
