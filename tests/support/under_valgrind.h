// Runs some of the calling test program's own tests again in a child
// process under valgrind, where the program's main thread runs on a stack
// that valgrind made and grows itself.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace mv::test {

// Runs the tests that `filter` names (a --gtest_filter pattern) under
// valgrind's memcheck and expects them to pass and memcheck to find no
// error. Skips where valgrind cannot run this program (a sanitized build)
// or is not installed.
inline void PassUnderValgrind([[maybe_unused]] const std::string& filter) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "valgrind cannot run a sanitized program";
#else
    std::string self(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", self.data(), self.size());
    ASSERT_GT(n, 0);
    self.resize(static_cast<size_t>(n));
    const std::string filterArgument = "--gtest_filter=" + filter;
    constexpr int kNotStarted = 127, kMemcheckErrors = 99;
    std::fflush(nullptr);  // nothing buffered is written twice
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const char* argv[] = {"valgrind",
                              "-q",
                              "--leak-check=no",
                              "--error-exitcode=99",  // kMemcheckErrors
                              self.c_str(),
                              filterArgument.c_str(),
                              nullptr};
        ::execvp(argv[0], const_cast<char* const*>(argv));
        ::_exit(kNotStarted);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    if (WEXITSTATUS(status) == kNotStarted) GTEST_SKIP() << "valgrind is not installed";
    EXPECT_NE(WEXITSTATUS(status), kMemcheckErrors) << "memcheck found errors in " << filter;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the tests failed under valgrind: " << filter;
#endif
}

}  // namespace mv::test
