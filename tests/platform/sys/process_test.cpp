#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sys.h"

namespace {

TEST(SplitCommandLine, FollowsTheWindowsQuotingRules) {
    using Args = std::vector<std::string>;
    const struct {
        const char* line;
        Args args;
    } cases[] = {
        {R"(prog a b)", {"prog", "a", "b"}},
        {R"(  prog   a	b  )", {"prog", "a", "b"}},
        {R"("C:\Program Files\x.exe" -t5.5)", {R"(C:\Program Files\x.exe)", "-t5.5"}},
        {R"(C:\Tools\Blend.exe -t5.5 /mode:fast)",
         {R"(C:\Tools\Blend.exe)", "-t5.5", "/mode:fast"}},
        {R"(p "a b" c)", {"p", "a b", "c"}},
        {R"(p a" "b)", {"p", "a b"}},
        {R"(p "")", {"p", ""}},
        {R"(p a\\b)", {"p", R"(a\\b)"}},
        {R"(p a\"b)", {"p", R"(a"b)"}},
        {R"(p a\\"b c")", {"p", R"(a\b c)"}},
        {R"(p a\\\"b)", {"p", R"(a\"b)"}},
        {R"(p a\\\\"b")", {"p", R"(a\\b)"}},
        {R"(p \)", {"p", R"(\)"}},
        {R"(p "unterminated arg)", {"p", "unterminated arg"}},
        // Inside a group "" is a literal quote; in the program name a quote
        // only toggles grouping.
        {R"(prog "a""b")", {"prog", R"(a"b)"}},
        {R"(prog "a ""b c"" d")", {"prog", R"(a "b c" d)"}},
        {R"(pr"o g" -t5)", {"pro g", "-t5"}},
        {R"(p a""b "" """")", {"p", "ab", "", R"(")"}},
        {R"(p "a\\""b")", {"p", R"(a\"b)"}},
        {"", {}},
        {"   ", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(mv::SplitCommandLine(c.line), c.args) << c.line;
}

// Writes a script that records its arguments, one a line, into a file.
class RunCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = mv::JoinPath(std::getenv("MORVA_COMMON_APPDATA"), "process");
        std::filesystem::remove_all(folder_);
        ASSERT_TRUE(mv::CreateDirectories(folder_));
        script_ = mv::JoinPath(folder_, "record args.sh");
        output_ = mv::JoinPath(folder_, "args.txt");
        std::ofstream(script_) << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '"
                               << output_ << "'\nexit 7\n";
        chmod(script_.c_str(), 0755);
    }
    std::vector<std::string> RecordedArgs() const {
        std::ifstream in(output_);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    std::string folder_, script_, output_;
};

TEST_F(RunCommandTest, PassesArgumentsWithoutAShell) {
    const std::string marker = mv::JoinPath(folder_, "pwned");
    const struct {
        std::string tail;
        std::vector<std::string> args;
    } cases[] = {
        {"", {}},
        {" -t5.5 /mode:fast", {"-t5.5", "/mode:fast"}},
        {" a;touch " + marker, {"a;touch", marker}},
        {" $(touch " + marker + ")", {"$(touch", marker + ")"}},
        {" x && touch " + marker, {"x", "&&", "touch", marker}},
        {" `id` | cat > " + marker, {"`id`", "|", "cat", ">", marker}},
        {R"( a\\b \"q\")", {R"(a\\b)", R"("q")"}},
        {" 'single' *", {"'single'", "*"}},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(output_);
        // The module's form: one pair of quotes around program and arguments;
        // the program path holds a blank, so it is quoted once more inside.
        const std::string text = "\"\"" + script_ + "\"" + c.tail + "\"";
        EXPECT_EQ(mv::RunCommandText(text), 7) << text;
        EXPECT_EQ(RecordedArgs(), c.args) << text;
        EXPECT_FALSE(std::filesystem::exists(marker)) << text;
    }
}

TEST(RunCommand, ReturnsExitCodesAndFailsCleanly) {
    const struct {
        const char* text;
        int code;
    } cases[] = {
        {"\"/bin/true\"", 0},
        {"\"/bin/false\"", 1},
        {"\"true\"", 0},
        {"/bin/sh -c \"exit 3\"", 3},
        {"/bin/sh -c \"exit 127\"", 127},
        {"sh -c \"exit 126\"", 126},
        {"\"/bin/sh -c \"kill -9 $$\"\"", 128 + 9},
        {"\"/no/such/program arg\"", -1},
        {"\"no-such-program-anywhere\"", -1},
        {"\"\"", -1},
        {"", -1},
    };
    for (const auto& c : cases) EXPECT_EQ(mv::RunCommandText(c.text), c.code) << c.text;
    SetLastError(0);
    EXPECT_EQ(mv::RunCommandText("\"/no/such/program\""), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
