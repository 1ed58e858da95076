// The log file: exact bytes of its lines, its name, the size cap and what
// happens when it cannot be opened.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "../../support/failing_new.h"
#include "log_test_support.h"

namespace {

using logtest::FileBytes;
using logtest::kBom;
using logtest::LinePrefix;
using logtest::ReadBytes;
using logtest::ReadText;

class LogFileTest : public logtest::LogFixture {};

std::string g_debugOutput;

TEST_F(LogFileTest, LinesAreStoredAsUtf16WithByteOrderMarkAndCrLf) {
    struct Case {
        const char* name;
        std::u16string text, detail;
        std::string line;  // UTF-8 after the prefix; empty: a bare line end
    };
    const Case cases[] = {
        {"text and detail", u"CMvX::get_Y", u"Method - Start", "CMvX::get_Y: Method - Start\n"},
        {"empty detail gives no separator", u"Only text", u"", "Only text\n"},
        {"empty text is a bare line end", u"", u"detail is dropped", ""},
        {"line feeds inside become CR LF", u"two\nlines", u"x", "two\nlines: x\n"},
        {"text beyond ASCII", u"Gr\u00fc\u00dfe \U0001D11E", u"\u00e9", "Grüße 𝄞: é\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CDiagnosticLog log;
        InitializeModuleLog(log);
        std::filesystem::remove(DefaultFile());
        log.WriteLine(c.text, c.detail);
        EXPECT_EQ(ReadBytes(DefaultFile()),
                  kBom + (c.line.empty() ? std::string("\r\0\n\0", 4)
                                         : FileBytes(LinePrefix() + c.line)));
    }
}

TEST_F(LogFileTest, LaterLinesAreAppendedWithoutAnotherByteOrderMark) {
    CDiagnosticLog log;
    InitializeModuleLog(log);
    log.WriteLine(u"first", u"1");
    log.WriteLine(nullptr, nullptr);
    log.WriteLineA(u"second", "d\u00e9tail in UTF-8");
    log.WriteLineA(u"third", nullptr);
    EXPECT_EQ(ReadBytes(DefaultFile()),
              kBom + FileBytes(LinePrefix() + "first: 1\n\n" + LinePrefix() +
                               "second: d\u00e9tail in UTF-8\n" + LinePrefix() + "third\n"));
}

TEST_F(LogFileTest, FileNameJoinsHostComponentTagsAndThreadUser) {
    struct Case {
        const char* name;
        int component;
        std::u16string qualifier, version;
        const char* user;  // the calling thread's user; "" has none
        std::string file;  // after the host name
    };
    const Case cases[] = {
        {"this module", 1, u"", u"17.0.0.266", "alice", ".MorvaCalc.x86.17.0.0.266.alice.log"},
        {"qualifier tag", 1, u"Q", u"17.0.0.266", "alice", ".MorvaCalc.Q.x86.17.0.0.266.alice.log"},
        {"no version tag", 0, u"", u"", "alice", ".MvScheduler.x86.alice.log"},
        {"other component and user", 3, u"", u"1.2", "bob", ".MvFunctions.x86.1.2.bob.log"},
        {"component out of range", 4, u"", u"17.0.0.266", "alice", "..x86.17.0.0.266.alice.log"},
        {"no user name", 1, u"", u"17.0.0.266", "", ".MorvaCalc.x86.17.0.0.266.UnknownUser.log"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mv::SetThreadUserNameForTesting(c.user);
        CDiagnosticLog log;
        log.Initialize(nullptr, c.component, c.qualifier, c.version);
        const std::string expected = LogFolder() + HostName() + c.file;
        EXPECT_EQ(log.CurrentFileName(), expected);
        log.WriteLine(u"x");
        EXPECT_EQ(ReadText(expected), LinePrefix() + "x\n");
    }
}

// After a line is written, a file longer than LogSize units of 1,024,000
// bytes is emptied and the line written again.
TEST_F(LogFileTest, SizeCapEmptiesTheFileAndKeepsTheLastLine) {
    const std::string line = FileBytes(LinePrefix() + "capped: x\n");
    const uint64_t unit = 1024000;
    struct Case {
        const char* name;
        uint32_t logSize;
        uint64_t sizeBefore;  // bytes in the file before the line
        bool emptied;
    };
    const Case cases[] = {
        {"LogSize 0 empties at every line", 0, 2, true},
        {"a file that ends at the cap is kept", 1, unit - line.size(), false},
        {"one byte over the cap empties it", 1, unit - line.size() + 1, true},
        {"the cap scales with LogSize", 3, 2 * unit, false},
        {"a large LogSize does not wrap", 4195, 800000, false},  // 712,704 bytes in 32 bits
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetValue("MorvaCalc", "LogSize", REG_DWORD, Dword(c.logSize));
        CDiagnosticLog log;
        InitializeModuleLog(log);
        std::ofstream(DefaultFile(), std::ios::binary | std::ios::trunc) << kBom;
        std::filesystem::resize_file(DefaultFile(), c.sizeBefore);
        log.WriteLine(u"capped", u"x");
        if (c.emptied)
            EXPECT_EQ(ReadBytes(DefaultFile()), kBom + line);
        else
            EXPECT_EQ(std::filesystem::file_size(DefaultFile()), c.sizeBefore + line.size());
    }
}

// On a file system without its lock service a writer still empties the file
// each time a line takes it past the cap, and keeps every line since; a new
// file still starts with the mark.
TEST_F(LogFileTest, WithoutTheFileLockTheCapStillEmptiesTheFile) {
    const uint64_t cap = 1024000;
    const std::string padding(10000, 'x');
    SetValue("MorvaCalc", "LogSize", REG_DWORD, Dword(1));
    CDiagnosticLog log;
    InitializeModuleLog(log);  // the file is new
    MvLogFailLocksForTesting(ENOLCK);
    std::string expected = kBom;  // the file as one writer leaves it
    int emptyings = 0;
    for (int i = 0; emptyings < 3 && !HasFailure(); ++i) {
        const std::string number = std::to_string(i);
        const std::string line = FileBytes(LinePrefix() + number + ": " + padding + "\n");
        if (expected.size() + line.size() > cap) {
            expected = kBom;
            ++emptyings;
        }
        expected += line;
        log.WriteLineA(mv::ToUtf16(number), padding);
        EXPECT_EQ(std::filesystem::file_size(DefaultFile()), expected.size()) << "line " << i;
    }
    MvLogFailLocksForTesting(0);
    EXPECT_TRUE(HasFailure() || ReadBytes(DefaultFile()) == expected) << "a line is lost";
}

// The file stays open between lines; one removed or renamed away in between
// is followed: the next line starts a new file under the name.
TEST_F(LogFileTest, TheNextLineFollowsAFileRemovedOrRenamedAway) {
    for (bool rename : {false, true}) {
        SCOPED_TRACE(rename ? "renamed" : "removed");
        CDiagnosticLog log;
        InitializeModuleLog(log);
        std::filesystem::remove(DefaultFile());
        log.WriteLine(u"first");
        const std::string rotated = DefaultFile() + ".1";
        if (rename) {
            std::filesystem::rename(DefaultFile(), rotated);
        } else {
            std::filesystem::remove(DefaultFile());
        }
        log.WriteLine(u"second");
        EXPECT_EQ(ReadText(DefaultFile()), LinePrefix() + "second\n");
        if (rename) {
            EXPECT_EQ(ReadText(rotated), LinePrefix() + "first\n");
        }
        std::filesystem::remove(rotated);
    }
}

TEST_F(LogFileTest, OpenFailureLosesTheLineAndTellsTheDebugger) {
    mv::SetDebugOutputHookForTesting([](std::string_view text) { g_debugOutput += text; });
    CDiagnosticLog log;
    InitializeModuleLog(log);

    std::filesystem::create_directories(DefaultFile());  // a folder where the file should be
    g_debugOutput.clear();
    log.WriteLine(u"lost");
    EXPECT_EQ(g_debugOutput, "Failed to open file: 21");
    std::filesystem::remove(DefaultFile());

    std::ofstream(DefaultFile()) << 'x';
    MvLogFailNextOpenForTesting(EACCES);  // as a read-only file, also for the superuser
    g_debugOutput.clear();
    log.WriteLine(u"lost");
    EXPECT_EQ(g_debugOutput, "Failed to open file: Access Denied: 13");
    EXPECT_EQ(ReadBytes(DefaultFile()), "x");
    std::filesystem::remove(DefaultFile());

    g_debugOutput.clear();
    log.WriteLine(u"kept");  // the next line tries again
    EXPECT_EQ(g_debugOutput, "");
    EXPECT_EQ(ReadText(DefaultFile()), LinePrefix() + "kept\n");
    mv::SetDebugOutputHookForTesting(nullptr);
}

// The effective user's name is looked up when the module is loaded, not at a
// line: a line is often written because memory has run out, and the user
// database's code may then end the process. After a look-up that failed, a
// line goes to the file of an unknown user without a look-up of its own.
TEST_F(LogFileTest, ALineNeverLooksTheUserNameUp) {
    mv::SetThreadUserNameForTesting(nullptr);
    const pid_t pid = ::fork();  // a process whose look-up fails
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (mv::UserNameLookupsForTesting() != 0) ::_exit(2);  // looked up already
        CDiagnosticLog log;
        InitializeModuleLog(log);
        char name[256];
        DWORD size = sizeof name;
        bool found = false;
        {
            mv_test::FailingNew fail(1);
            found = GetUserNameA(name, &size);
        }
        log.WriteLine(u"no name");
        if (found || mv::UserNameLookupsForTesting() != 1) ::_exit(3);
        ::_exit(ReadText(DefaultFile("UnknownUser")) == LinePrefix() + "no name\n" ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "this process looked the name up already";
    EXPECT_NE(WEXITSTATUS(status), 3) << "the line looked the name up again";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the line is not in the unknown user's file";
}

// Lines go to the common application-data folder, however long its path;
// without one, to the folder of the module whose instance the log was given.
TEST_F(LogFileTest, LinesGoToTheApplicationDataFolderElseToTheModuleFolder) {
    const std::string deep = root_ + "/" + std::string(150, 'd') + "/" + std::string(150, 'e');
    std::filesystem::create_directories(deep);
    {
        logtest::ScopedEnv appdata("MORVA_COMMON_APPDATA", deep.c_str());
        CDiagnosticLog log;
        InitializeModuleLog(log);
        EXPECT_EQ(mv::ToUtf8(log.LogFolder()), deep + "/Morva/DiagnosticLogs/Morva Calc/");
    }

    const std::string library = root_ + "/module/libmvlogtest_noshutdown.so";
    std::filesystem::create_directories(root_ + "/module");
    std::filesystem::copy_file(
        std::string(getenv("MV_TEST_LIB_DIR")) + "/libmvlogtest_noshutdown.so", library);
    HMODULE module = LoadLibraryA(library.c_str());
    ASSERT_NE(module, nullptr);

    std::ofstream(root_ + "/file") << 'x';  // the folder can be neither used nor created
    logtest::ScopedEnv appdata("MORVA_COMMON_APPDATA", (root_ + "/file/appdata").c_str());
    CDiagnosticLog log;
    InitializeModuleLog(log, module);
    log.WriteLine(u"beside the module");
    FreeLibrary(module);

    EXPECT_EQ(log.LogFolder(), u"");
    EXPECT_EQ(mv::ToUtf8(log.HostProgramName()), HostName());
    EXPECT_EQ(ReadText(root_ + "/module/" + HostName() + ".MorvaCalc.x86.17.0.0.266.alice.log"),
              LinePrefix() + "beside the module\n");
}

}  // namespace
