#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "../../support/bounded_run.h"
#include "../../support/failing_new.h"
#include "../../support/registry_probe.h"
#include "sys.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary);
    out << text;
}

std::vector<uint8_t> Bytes(std::u16string_view s) {
    std::vector<uint8_t> out;
    for (char16_t c : s) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    return out;
}

class RegistryFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::path(::testing::TempDir()) /
               ("mvreg_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        file_ = dir_ / "sub" / "registry.reg";
        mv::RegistryUseFile(file_.string());
        diagnostics_.clear();
        mv::RegistrySetDiagnosticHook([this](std::string_view l) { diagnostics_.emplace_back(l); });
    }
    void TearDown() override {
        mv::RegistrySetDiagnosticHook({});
        mv::RegistryUseFile("");
        fs::remove_all(dir_);
    }
    // Forces the next read to parse the file again.
    void Reread() {
        mv::RegistryUseFile((dir_ / "other.reg").string());
        mv::RegistryUseFile(file_.string());
    }
    HKEY Create(HKEY root, const char* path) {
        HKEY k = nullptr;
        EXPECT_EQ(RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
                  ERROR_SUCCESS);
        return k;
    }

    fs::path dir_, file_;
    std::vector<std::string> diagnostics_;
};

struct StoredValue {
    const char* name;
    DWORD type;
    std::vector<uint8_t> data;
    const char* line;  // how the file writes it; null when not checked
};

// Writes each value through the wide function.
void SetValues(HKEY k, const std::vector<StoredValue>& values) {
    for (const auto& v : values) {
        ASSERT_EQ(RegSetValueExW(k, mv::ToUtf16(v.name).c_str(), 0, v.type, v.data.data(),
                                 static_cast<DWORD>(v.data.size())),
                  ERROR_SUCCESS)
            << v.name;
    }
}

TEST_F(RegistryFile, ValuesKeepTypeAndBytesThroughTheFile) {
    const std::vector<StoredValue> values = {
        {"", REG_SZ, Bytes(u"default\0"s), "@=\"default\""},
        {"Quoted", REG_SZ, Bytes(u"a\\b\"c\0"s), "\"Quoted\"=\"a\\\\b\\\"c\""},
        {"Accents", REG_SZ, Bytes(u"d\u00e9j\u00e0 \u20ac\0"s), nullptr},
        {"Count", REG_DWORD, {0x0a, 0, 0, 0}, "\"Count\"=dword:0000000a"},
        {"Big", REG_DWORD, {0x78, 0x56, 0x34, 0xf2}, "\"Big\"=dword:f2345678"},
        {"Path", REG_EXPAND_SZ, Bytes(u"%A%\0"s), "\"Path\"=hex(2):25,00,41,00,25,00,00,00"},
        {"Blob", REG_BINARY, {1, 0xff, 0}, "\"Blob\"=hex:01,ff,00"},
        {"Empty", REG_BINARY, {}, "\"Empty\"=hex:"},
        {"None", REG_NONE, {9}, "\"None\"=hex(0):09"},
        {"Multi", REG_MULTI_SZ, Bytes(u"a\0b\0\0"s), nullptr},
        {"Lines", REG_SZ, Bytes(u"one\r\ntwo\0"s), nullptr},  // cannot be quoted
        {"NoEnd", REG_SZ, Bytes(u"x"s), nullptr},
        {"Short", REG_DWORD, {1, 2}, "\"Short\"=hex(4):01,02"},
        {"Odd \"name\" \\", REG_SZ, Bytes(u"v\0"s), "\"Odd \\\"name\\\" \\\\\"=\"v\""},
    };
    HKEY k = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Morva\\Test");
    SetValues(k, values);
    RegCloseKey(k);

    std::string text = ReadFile(file_);
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\r\n\r\n", 0), 0u);
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Morva\\Test]\r\n"), std::string::npos);
    for (const auto& v : values) {
        if (v.line) {
            EXPECT_NE(text.find(std::string(v.line) + "\r\n"), std::string::npos) << v.line;
        }
    }

    Reread();
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\MORVA\\test", 0, KEY_READ, &k),
              ERROR_SUCCESS);
    for (const auto& v : values) {
        DWORD type = 99, size = 0;
        std::u16string name = mv::ToUtf16(v.name);
        ASSERT_EQ(RegQueryValueExW(k, name.c_str(), nullptr, &type, nullptr, &size), ERROR_SUCCESS)
            << v.name;
        std::vector<uint8_t> data(size);
        ASSERT_EQ(RegQueryValueExW(k, name.c_str(), nullptr, &type, data.data(), &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(type, v.type) << v.name;
        EXPECT_EQ(data, v.data) << v.name;
    }
    // Values enumerate in the order first written.
    char name[64];
    DWORD cch = sizeof name;
    ASSERT_EQ(RegEnumValueA(k, 1, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Quoted");
    RegCloseKey(k);
}

TEST_F(RegistryFile, ReadsAHandWrittenExport) {
    WriteFile(file_,
              "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
              "\r\n"
              "; a comment\n"
              "[HKEY_CLASSES_ROOT\\Mv.Thing]\n"
              "@=\"Thing\"\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\mv.thing\\CLSID]\r\n"
              "@=\"{00000000-0000-0000-0000-000000000001}\"\r\n"
              "[HKEY_CURRENT_USER\\Software\\X]\n"
              "\"Long\" = hex:01,02,\\\n"
              "  03,04\n"
              "\"D\"=dword:1\n");
    struct Case {
        HKEY root;
        const char* key;
        const char* value;
        std::string expected;
    };
    const Case cases[] = {
        {HKEY_CLASSES_ROOT, "MV.THING", nullptr, std::string("Thing\0", 6)},
        {HKEY_CLASSES_ROOT, "Mv.Thing\\clsid", "",
         std::string("{00000000-0000-0000-0000-000000000001}\0", 39)},
        {HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\Mv.Thing", nullptr, std::string("Thing\0", 6)},
        {HKEY_CURRENT_USER, "Software\\X", "long", std::string("\1\2\3\4", 4)},
        {HKEY_CURRENT_USER, "Software\\X", "d", std::string("\1\0\0\0", 4)},
    };
    for (const auto& c : cases) {
        HKEY k = nullptr;
        ASSERT_EQ(RegOpenKeyExA(c.root, c.key, 0, KEY_READ, &k), ERROR_SUCCESS) << c.key;
        char buf[64];
        DWORD size = sizeof buf;
        ASSERT_EQ(
            RegQueryValueExA(k, c.value, nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size),
            ERROR_SUCCESS)
            << c.key;
        EXPECT_EQ(std::string(buf, size), c.expected) << c.key;
        RegCloseKey(k);
    }
    // The key keeps the case it was first written with.
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, nullptr, 0, KEY_READ, &k), ERROR_SUCCESS);
    char name[32];
    DWORD cch = sizeof name;
    ASSERT_EQ(RegEnumKeyExA(k, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Mv.Thing");
    RegCloseKey(k);
}

// "\\A\\k\\k..." naming a key `levels` deep below where it starts.
std::string Levels(size_t levels) {
    std::string path = "\\A";
    for (size_t i = 1; i < levels; ++i) path += "\\k";
    return path;
}

TEST_F(RegistryFile, ACorruptFileReadsEmptyRefusesWritesAndIsKept) {
    const char* header = "Windows Registry Editor Version 5.00\n\n";
    const std::string files[] = {
        std::string(header) + "[HKEY_LOCAL_MACHINE" + Levels(513) + "]\n",
        std::string(header) + "[HKEY_CLASSES_ROOT" + Levels(511) + "]\n",
        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n",
        std::string(header) + "\"v\"=\"before any key\"\n",
        std::string(header) + "[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"bad \\n escape\"\n",
        std::string(header) + "[HKEY_NOWHERE\\A]\n",
        std::string(header) + "[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:xyz\n",
        std::string(header) + "[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:1,2\n",
        std::string(header) + "[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:01,\\\n",
        std::string(header) + "[HKEY_LOCAL_MACHINE\\A\n",
        std::string(header) + "[HKEY_LOCAL_MACHINE\\A]\njunk\n",
        // A name holding NUL: enumerated, it would open another key or value.
        std::string(header) + "[HKEY_LOCAL_MACHINE\\A\0B]\n"s,
        std::string(header) + "[HKEY_LOCAL_MACHINE\\A]\n\"v\0w\"=dword:00000001\n"s,
    };
    int n = 0;
    for (const auto& text : files) {
        file_ = dir_ / ("corrupt" + std::to_string(n++) + ".reg");
        WriteFile(file_, text);
        mv::RegistryUseFile(file_.string());
        diagnostics_.clear();
        HKEY k = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "A", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND)
            << text;
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "B", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &k, nullptr),
                  ERROR_BADDB)
            << text;
        DWORD v = 1;
        EXPECT_EQ(
            RegSetValueExA(HKEY_LOCAL_MACHINE, "x", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4),
            ERROR_BADDB);
        EXPECT_EQ(ReadFile(file_), text);
        EXPECT_EQ(diagnostics_.size(), 1u) << text;
    }
}

// A key lies at most 512 levels below its root, HKEY_CLASSES_ROOT being two
// below HKEY_LOCAL_MACHINE: the file holds and writes such keys, and a
// deeper one can neither be read from the file nor created.
TEST_F(RegistryFile, KeysLieAtMost512LevelsBelowTheirRoot) {
    const char* header = "Windows Registry Editor Version 5.00\r\n\r\n";
    const struct {
        const char* root;
        HKEY key;
        size_t levels;  // below `root`
        bool parses;
    } rows[] = {
        {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE, 512, true},
        {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE, 513, false},
        {"HKEY_CURRENT_USER", HKEY_CURRENT_USER, 512, true},
        {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT, 510, true},
        {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT, 511, false},
    };
    int n = 0;
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.root) + " " + std::to_string(r.levels));
        const std::string path = Levels(r.levels).substr(1);
        const std::string text = std::string(header) + "[" + r.root + "\\" + path + "]\r\n";
        // A file of its own: a corrupt one is reported once.
        file_ = dir_ / ("deep" + std::to_string(n++) + ".reg");
        WriteFile(file_, text);
        Reread();
        diagnostics_.clear();
        HKEY k = nullptr;
        const DWORD v = 7;
        if (!r.parses) {
            EXPECT_EQ(RegOpenKeyExA(r.key, "A", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
            EXPECT_EQ(
                RegSetValueExA(r.key, "x", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4),
                ERROR_BADDB);
            EXPECT_EQ(ReadFile(file_), text);
            ASSERT_EQ(diagnostics_.size(), 1u);
            EXPECT_EQ(diagnostics_[0], "registry: " + file_.string() +
                                           " line 3 does not parse; the store reads as empty and "
                                           "refuses writes");
            continue;
        }
        // The deepest key takes a value, and the file written keeps it.
        ASSERT_EQ(RegOpenKeyExA(r.key, path.c_str(), 0, KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExA(k, "x", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4),
                  ERROR_SUCCESS);
        RegCloseKey(k);
        Reread();
        DWORD read = 0, size = sizeof read;
        ASSERT_EQ(RegOpenKeyExA(r.key, path.c_str(), 0, KEY_READ, &k), ERROR_SUCCESS);
        EXPECT_EQ(RegQueryValueExA(k, "x", nullptr, nullptr, reinterpret_cast<BYTE*>(&read), &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(read, v);
        RegCloseKey(k);
        EXPECT_TRUE(diagnostics_.empty());
    }

    // Creation counts the levels of the key it starts from.
    file_ = dir_ / "created.reg";
    WriteFile(file_, header);
    Reread();
    diagnostics_.clear();
    HKEY middle = Create(HKEY_LOCAL_MACHINE, Levels(500).substr(1).c_str());
    ASSERT_NE(middle, nullptr);
    const struct {
        HKEY from;
        size_t levels;
        LONG rc;
    } creations[] = {
        {HKEY_LOCAL_MACHINE, 513, ERROR_INVALID_PARAMETER},
        {HKEY_CLASSES_ROOT, 511, ERROR_INVALID_PARAMETER},
        {middle, 13, ERROR_INVALID_PARAMETER},
        {middle, 12, ERROR_SUCCESS},
        {HKEY_CLASSES_ROOT, 510, ERROR_SUCCESS},
        {HKEY_CURRENT_USER, 512, ERROR_SUCCESS},
    };
    for (const auto& c : creations) {
        SCOPED_TRACE(c.levels);
        const std::string before = ReadFile(file_);
        HKEY k = nullptr;
        EXPECT_EQ(RegCreateKeyExA(c.from, Levels(c.levels).substr(1).c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &k, nullptr),
                  c.rc);
        if (c.rc != ERROR_SUCCESS) {
            EXPECT_EQ(k, nullptr);
            EXPECT_EQ(ReadFile(file_), before);
        }
        if (k) RegCloseKey(k);
    }
    RegCloseKey(middle);
    Reread();
    EXPECT_TRUE(diagnostics_.empty());
}

// Store files whose key paths run tens of thousands of levels deep: each is
// a file that does not parse, in a child process, so that a fault ends the
// child and fails the test rather than ending the whole suite.
TEST_F(RegistryFile, StoreFilesWithFarTooDeepKeysEndNoProcess) {
    for (const size_t levels : {50000u, 200000u}) {
        SCOPED_TRACE(levels);
        const std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE" +
                                 Levels(levels) + "]\r\n\"v\"=dword:00000001\r\n";
        WriteFile(file_, text);
        EXPECT_EXIT(
            {
                Reread();
                diagnostics_.clear();
                HKEY k = nullptr;
                const DWORD v = 1;
                // A write by this process; then the store replaced by another.
                const bool refused =
                    RegOpenKeyExA(HKEY_LOCAL_MACHINE, "A", 0, KEY_READ, &k) ==
                        ERROR_FILE_NOT_FOUND &&
                    RegSetValueExA(HKEY_LOCAL_MACHINE, "x", 0, REG_DWORD,
                                   reinterpret_cast<const BYTE*>(&v), 4) == ERROR_BADDB &&
                    RegCreateKeyExA(HKEY_LOCAL_MACHINE, "B", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                    &k, nullptr) == ERROR_BADDB;
                mv::RegistryUseFile((dir_ / "other.reg").string());
                const bool reported =
                    diagnostics_.size() == 1 &&
                    diagnostics_[0].find(" line 3 does not parse;") != std::string::npos;
                std::_Exit(!refused ? 2 : !reported ? 3 : ReadFile(file_) != text ? 4 : 0);
            },
            ::testing::ExitedWithCode(0), "");
    }
}

// Another program may rewrite the file in place, keeping its size and
// (within the clock's granularity, or on purpose) its time: the next read
// still sees it.
TEST_F(RegistryFile, ARewriteInPlaceIsSeenByTheNextRead) {
    const std::string before =
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=\"one\"\r\n";
    struct Case {
        const char* what;
        const char* from;  // replaced by `to`, of the same length
        const char* to;
        const char* value;  // null: the key is gone (the file no longer parses)
    };
    const Case cases[] = {
        {"a value changed", "\"one\"", "\"two\"", "two"},
        {"corrupted", "\"one\"", "*junk", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(file_, before);
        Reread();
        auto value = [] {
            HKEY k = nullptr;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "A", 0, KEY_READ, &k) != ERROR_SUCCESS)
                return std::string("(no key)");
            char data[16] = {};
            DWORD size = sizeof data;
            RegQueryValueExA(k, "v", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
            RegCloseKey(k);
            return std::string(data);
        };
        ASSERT_EQ(value(), "one");
        std::string after = before;
        after.replace(after.find(c.from), std::strlen(c.from), c.to);
        struct stat was {};
        ASSERT_EQ(::stat(file_.c_str(), &was), 0);
        std::fstream(file_, std::ios::in | std::ios::out | std::ios::binary) << after;
        const timespec times[2] = {was.st_atim, was.st_mtim};
        ASSERT_EQ(::utimensat(AT_FDCWD, file_.c_str(), times, 0), 0);
        EXPECT_EQ(value(), c.value ? c.value : "(no key)");
    }
}

TEST_F(RegistryFile, QueriesReportSizesAndMissingThings) {
    HKEY k = Create(HKEY_CURRENT_USER, "Software\\Q");
    const char* text = "d\xC3\xA9j\xC3\xA0";  // 4 characters, 6 bytes of UTF-8
    ASSERT_EQ(RegSetValueExA(k, "S", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 7),
              ERROR_SUCCESS);
    struct Case {
        const char* what;
        bool wide;
        DWORD bufSize;  // 0: null data pointer
        LONG rc;
        DWORD size;
    };
    const Case cases[] = {
        {"narrow size", false, 0, ERROR_SUCCESS, 7},
        {"wide size", true, 0, ERROR_SUCCESS, 10},
        {"narrow short", false, 6, ERROR_MORE_DATA, 7},
        {"wide short", true, 9, ERROR_MORE_DATA, 10},
        {"narrow exact", false, 7, ERROR_SUCCESS, 7},
        {"wide exact", true, 10, ERROR_SUCCESS, 10},
    };
    for (const auto& c : cases) {
        std::vector<BYTE> buf(c.bufSize ? c.bufSize : 1);
        DWORD size = c.bufSize, type = 0;
        LONG rc =
            c.wide
                ? RegQueryValueExW(k, u"s", nullptr, &type, c.bufSize ? buf.data() : nullptr, &size)
                : RegQueryValueExA(k, "s", nullptr, &type, c.bufSize ? buf.data() : nullptr, &size);
        EXPECT_EQ(rc, c.rc) << c.what;
        EXPECT_EQ(size, c.size) << c.what;
        EXPECT_EQ(type, REG_SZ) << c.what;
        if (rc == ERROR_SUCCESS && c.bufSize && !c.wide) {
            EXPECT_STREQ(reinterpret_cast<char*>(buf.data()), text);
        }
    }
    DWORD size = 4;
    BYTE b[4];
    EXPECT_EQ(RegQueryValueExA(k, "missing", nullptr, nullptr, b, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(k, "S", nullptr, nullptr, b, nullptr), ERROR_INVALID_PARAMETER);
    HKEY none = nullptr;
    EXPECT_EQ(RegOpenKeyExA(k, "Nope", 0, KEY_READ, &none), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(
        RegQueryValueExA(reinterpret_cast<HKEY>(&size), "S", nullptr, nullptr, nullptr, &size),
        ERROR_INVALID_HANDLE);
    RegCloseKey(k);
}

TEST_F(RegistryFile, KeysDeleteAsThePlatformDoes) {
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, "T\\b\\deep"));
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, "T\\A"));
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, "T\\c"));
    HKEY t = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "T", 0, KEY_READ, &t), ERROR_SUCCESS);
    // Subkeys enumerate by name, ignoring case.
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        char name[16];
        DWORD cch = sizeof name;
        LONG rc = RegEnumKeyExA(t, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(rc, ERROR_SUCCESS);
        EXPECT_EQ(cch, std::strlen(name));
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"A", "b", "c"}));
    char tiny[1];
    DWORD cch = 1;
    EXPECT_EQ(RegEnumKeyExA(t, 0, tiny, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);

    HKEY deep = nullptr;
    ASSERT_EQ(RegOpenKeyExA(t, "B\\Deep", 0, KEY_READ, &deep), ERROR_SUCCESS);
    struct Step {
        const char* what;
        LONG (*op)();
        LONG rc;
    };
    const Step steps[] = {
        {"key with subkeys", [] { return RegDeleteKeyA(HKEY_LOCAL_MACHINE, "T\\b"); },
         ERROR_ACCESS_DENIED},
        {"leaf", [] { return RegDeleteKeyA(HKEY_LOCAL_MACHINE, "t\\a"); }, ERROR_SUCCESS},
        {"leaf again", [] { return RegDeleteKeyA(HKEY_LOCAL_MACHINE, "T\\A"); },
         ERROR_FILE_NOT_FOUND},
        {"tree", [] { return RegDeleteTreeA(HKEY_LOCAL_MACHINE, "T\\B"); }, ERROR_SUCCESS},
        {"tree again", [] { return RegDeleteTreeA(HKEY_LOCAL_MACHINE, "T\\B"); },
         ERROR_FILE_NOT_FOUND},
    };
    for (const auto& s : steps) EXPECT_EQ(s.op(), s.rc) << s.what;
    DWORD v = 1;
    EXPECT_EQ(RegQueryValueExA(deep, "x", nullptr, nullptr, nullptr, &v), ERROR_KEY_DELETED);
    RegCloseKey(deep);
    Reread();
    HKEY c = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "T\\c", 0, KEY_READ, &c), ERROR_SUCCESS);
    RegCloseKey(c);
    EXPECT_EQ(RegDeleteTreeA(t, nullptr), ERROR_SUCCESS);  // empties T itself
    cch = 16;
    char name[16];
    EXPECT_EQ(RegEnumKeyExA(t, 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    RegCloseKey(t);
}

TEST_F(RegistryFile, HandlesKeepTheirAccess) {
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, "R"));
    HKEY ro = nullptr, wo = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "R", 0, KEY_READ, &ro), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "R", 0, KEY_SET_VALUE, &wo), ERROR_SUCCESS);
    DWORD v = 5, size = 4;
    EXPECT_EQ(RegSetValueExA(ro, "v", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegSetValueExA(wo, "v", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(wo, "v", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegQueryValueExA(ro, "v", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(ro, "v"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(wo, "v"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(wo, "v"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(ro), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(ro), ERROR_INVALID_HANDLE);
    RegCloseKey(wo);
}

TEST_F(RegistryFile, NamesWithLineBreaksAreRefused) {
    DWORD v = 1;
    HKEY k = nullptr;
    EXPECT_EQ(
        RegSetValueExA(HKEY_LOCAL_MACHINE, "a\nb", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4),
        ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "a\r\nb", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &k, nullptr),
              ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryFile, TheMemoryStoreLeavesTheFileAlone) {
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, "OnDisk"));
    std::string before = ReadFile(file_);
    mv::RegistryUseMemoryStore(true);
    HKEY k = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "OnDisk", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, "InMemory"));
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "InMemory", 0, KEY_READ, &k), ERROR_SUCCESS);
    RegCloseKey(k);
    EXPECT_EQ(ReadFile(file_), before);
    mv::RegistryUseMemoryStore(false);
    mv::RegistryUseFile(file_.string());
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "InMemory", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
}

// The subkeys of a key in name order, ignoring case.
std::vector<std::string> SubkeysOf(HKEY root, const char* path) {
    HKEY k = nullptr;
    std::vector<std::string> names;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &k) != ERROR_SUCCESS) return names;
    for (DWORD i = 0;; ++i) {
        char name[64];
        DWORD cch = sizeof name;
        if (RegEnumKeyExA(k, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.push_back(name);
    }
    RegCloseKey(k);
    return names;
}

std::string SwapCase(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        } else if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return s;
}

// Whatever order keys are created or written in, they enumerate and are
// written in name order with letters folded to lower case (so "_" comes
// before letters), and are found under any case.
TEST_F(RegistryFile, SubkeysKeepNameOrderIgnoringCaseAndAreFoundUnderAnyCase) {
    const std::vector<std::string> created = {"b", "ab", "Z", "_x", "AA", "a_", "A"};
    const std::vector<std::string> sorted = {"_x", "A", "a_", "AA", "ab", "b", "Z"};
    for (const auto& name : created)
        RegCloseKey(Create(HKEY_LOCAL_MACHINE, ("T\\" + name).c_str()));
    EXPECT_EQ(SubkeysOf(HKEY_LOCAL_MACHINE, "T"), sorted);
    const std::string text = ReadFile(file_);
    size_t previous = 0;
    for (const auto& name : sorted) {
        const size_t at = text.find("[HKEY_LOCAL_MACHINE\\T\\" + name + "]\r\n");
        ASSERT_NE(at, std::string::npos) << name;
        EXPECT_GT(at, previous) << name;
        previous = at;
    }
    for (const auto& name : sorted) {
        HKEY k = nullptr;
        EXPECT_EQ(
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, ("t\\" + SwapCase(name)).c_str(), 0, KEY_READ, &k),
            ERROR_SUCCESS)
            << name;
        RegCloseKey(k);
    }
    HKEY none = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "T\\a_x", 0, KEY_READ, &none),
              ERROR_FILE_NOT_FOUND);

    // A file written by hand in another order reads the same.
    std::string scrambled = "Windows Registry Editor Version 5.00\r\n\r\n";
    for (const auto& name : created) scrambled += "[HKEY_LOCAL_MACHINE\\T\\" + name + "]\r\n\r\n";
    WriteFile(file_, scrambled);
    Reread();
    EXPECT_EQ(SubkeysOf(HKEY_LOCAL_MACHINE, "T"), sorted);

    // Thousands of siblings, created in a scrambled order in one batch.
    const int count = 3000;
    ASSERT_EQ(mv::RegistryBatch([&] {
                  for (int i = 0; i < count; ++i) {
                      const std::string name = "Many\\Key" + std::to_string(i * 7919 % count);
                      RegCloseKey(Create(HKEY_LOCAL_MACHINE, name.c_str()));
                  }
              }),
              ERROR_SUCCESS);
    Reread();
    const std::vector<std::string> many = SubkeysOf(HKEY_LOCAL_MACHINE, "many");
    ASSERT_EQ(many.size(), static_cast<size_t>(count));
    EXPECT_TRUE(std::is_sorted(many.begin(), many.end(), [](const auto& a, const auto& b) {
        return mv::CompareNoCase(a, b) < 0;
    }));
    for (int i = 0; i < count; i += 7) {
        HKEY k = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, ("MANY\\KEY" + std::to_string(i)).c_str(), 0,
                                KEY_READ, &k),
                  ERROR_SUCCESS)
            << i;
        RegCloseKey(k);
    }
}

// Strings go through the file quoted when the quoted form carries them
// exactly, in hex otherwise, and come back byte for byte; the narrow
// functions store UTF-8 text as UTF-16.
TEST_F(RegistryFile, StringsComeBackByteForByteWhicheverFormTheFileGivesThem) {
    const std::vector<StoredValue> values = {
        {"Plain", REG_SZ, Bytes(u"plain text\0"s), "\"Plain\"=\"plain text\""},
        {"Nothing", REG_SZ, Bytes(u"\0"s), "\"Nothing\"=\"\""},
        {"Del", REG_SZ, Bytes(u"\x7F\0"s), "\"Del\"=\"\x7F\""},
        {"FirstWide", REG_SZ, Bytes(u"\x80\0"s), "\"FirstWide\"=\"\xC2\x80\""},
        {"NulInside", REG_SZ, Bytes(u"a\0b\0"s), "\"NulInside\"=hex(1):61,00,00,00,62,00,00,00"},
        {"Return", REG_SZ, Bytes(u"a\rb\0"s), "\"Return\"=hex(1):61,00,0d,00,62,00,00,00"},
        {"Feed", REG_SZ, Bytes(u"\n\0"s), "\"Feed\"=hex(1):0a,00,00,00"},
        {"Unpaired", REG_SZ, Bytes(u"\xD800\0"s), "\"Unpaired\"=hex(1):00,d8,00,00"},
        {"Odd", REG_SZ, {'a', 0, 'b'}, "\"Odd\"=hex(1):61,00,62"},
        {"Escapes", REG_SZ, Bytes(u"\"\\\0"s), "\"Escapes\"=\"\\\"\\\\\""},
    };
    HKEY k = Create(HKEY_LOCAL_MACHINE, "Strings");
    SetValues(k, values);
    struct Narrow {
        const char* name;
        DWORD type;
        std::string utf8;  // as the narrow call passes it
        std::u16string stored;
    };
    const Narrow narrow[] = {
        {"NarrowPlain", REG_SZ, "plain\0"s, u"plain\0"s},
        {"NarrowAccents", REG_SZ, "d\xC3\xA9j\xC3\xA0\0"s, u"d\u00e9j\u00e0\0"s},
        {"NarrowEmpty", REG_SZ, "\0"s, u"\0"s},
        {"NarrowUnended", REG_SZ, "ab"s, u"ab"s},
        {"NarrowExpand", REG_EXPAND_SZ, "%A%\\\xE2\x82\xAC\0"s, u"%A%\\\u20ac\0"s},
    };
    for (const auto& n : narrow) {
        ASSERT_EQ(RegSetValueExA(k, n.name, 0, n.type, reinterpret_cast<const BYTE*>(n.utf8.data()),
                                 static_cast<DWORD>(n.utf8.size())),
                  ERROR_SUCCESS)
            << n.name;
    }
    RegCloseKey(k);

    const std::string text = ReadFile(file_);
    for (const auto& v : values)
        EXPECT_NE(text.find(std::string(v.line) + "\r\n"), std::string::npos) << v.line;
    Reread();
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "strings", 0, KEY_READ, &k), ERROR_SUCCESS);
    auto wide = [&](const char* name, DWORD* type) {
        DWORD size = 0;
        std::u16string n = mv::ToUtf16(name);
        EXPECT_EQ(RegQueryValueExW(k, n.c_str(), nullptr, type, nullptr, &size), ERROR_SUCCESS)
            << name;
        std::vector<uint8_t> data(size);
        EXPECT_EQ(RegQueryValueExW(k, n.c_str(), nullptr, type, data.data(), &size), ERROR_SUCCESS);
        return data;
    };
    for (const auto& v : values) {
        DWORD type = 0;
        EXPECT_EQ(wide(v.name, &type), v.data) << v.name;
        EXPECT_EQ(type, v.type) << v.name;
    }
    for (const auto& n : narrow) {
        DWORD type = 0;
        EXPECT_EQ(wide(n.name, &type), Bytes(n.stored)) << n.name;
        EXPECT_EQ(type, n.type) << n.name;
    }
    RegCloseKey(k);
}

DWORD ReadDword(const char* key, const char* name) {
    HKEY k = nullptr;
    DWORD v = 0, size = 4;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &k) != ERROR_SUCCESS) return v;
    RegQueryValueExA(k, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size);
    RegCloseKey(k);
    return v;
}

// Sweeps a value write and a batch that makes keys over running out of
// memory: the k-th allocation of each fails, for k = 1, 2, ... until it
// makes fewer than k, the store file changed from outside before each, so
// that the call reads it again. After each: no exception, a failure code
// only where an allocation failed, the store's lock free; then, from
// another thread that must finish within a limit (a batch left engaged would
// make it wait for ever), the file read whole again, a success whole and a
// failure leaving nothing, and a write done; no descriptor and no temporary
// file left. What went wrong first; "" when nothing did.
std::string SweepWritesRunningOutOfMemory(const fs::path& file) {
    auto descriptors = [] {
        return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{});
    };
    auto temporaryFiles = [&] {
        int count = 0;
        for (const auto& entry : fs::directory_iterator(file.parent_path()))
            count += entry.path().filename().string().find(".tmp.") != std::string::npos;
        return count;
    };
    HKEY kept = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Kept", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &kept,
                    nullptr);
    static constexpr DWORD written = 7;
    auto setWritten = [&] {
        return RegSetValueExW(kept, u"Written", 0, REG_DWORD,
                              reinterpret_cast<const BYTE*>(&written), 4);
    };
    auto makeDeep = [&] {
        HKEY k = nullptr;
        const LONG rc = RegCreateKeyExW(kept, u"Made\\Deep", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                        &k, nullptr);
        RegCloseKey(k);
        return rc;
    };
    auto isWritten = [] { return ReadDword("Kept", "Written") == written; };
    auto isMade = [] {
        HKEY k = nullptr;
        const bool made = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Kept\\Made", 0, KEY_READ, &k) == 0;
        RegCloseKey(k);
        return made;
    };
    struct Case {
        const char* name;
        std::function<LONG()> call;
        std::function<bool()> done;  // whether what the call does holds
    };
    const Case cases[] = {
        {"a value set", setWritten, isWritten},
        {"a batch that makes a key two levels deep",
         [&] {
             LONG made = ERROR_SUCCESS;
             const LONG rc = mv::RegistryBatch([&] { made = makeDeep(); });
             return rc != ERROR_SUCCESS ? rc : made;
         },
         isMade},
    };
    if (setWritten() != ERROR_SUCCESS) return "the first write fails";
    const auto open = descriptors();  // the store's own descriptors included
    std::string wrong;
    for (const Case& c : cases) {
        for (std::size_t k = 1; wrong.empty(); ++k) {
            const DWORD round = static_cast<DWORD>(k);
            char text[160];
            std::snprintf(text, sizeof text,
                          "Windows Registry Editor Version 5.00\r\n\r\n"
                          "[HKEY_LOCAL_MACHINE\\Kept]\r\n\"Round\"=dword:%08x\r\n",
                          static_cast<unsigned>(round));
            WriteFile(file, text);
            LONG rc = ERROR_SUCCESS;
            bool escaped = false;
            std::size_t made = 0;
            {
                mv_test::FailingNthNew fail(k);
                try {
                    rc = c.call();
                } catch (...) {
                    escaped = true;
                }
                made = mv_test::CountedNews();
            }
            auto broken = [&]() -> std::string {
                if (escaped) return "lets an exception out";
                if (rc != ERROR_SUCCESS && (rc != ERROR_NOT_ENOUGH_MEMORY || made < k))
                    return "fails with " + std::to_string(rc);
                if (!mv::test::RegistryLockIsFree(file.string()))
                    return "leaves the store's lock held";
                DWORD seenRound = 0;
                bool seenDone = false;
                LONG later = ERROR_SUCCESS;
                mv::test::WithinLimit(std::chrono::seconds(10), [&] {
                    seenRound = ReadDword("Kept", "Round");
                    seenDone = c.done();
                    later = RegSetValueExA(HKEY_LOCAL_MACHINE, "Later", 0, REG_DWORD,
                                           reinterpret_cast<const BYTE*>(&round), 4);
                });
                if (seenRound != round) return "leaves the store read in part";
                if (seenDone != (rc == ERROR_SUCCESS))
                    return rc == ERROR_SUCCESS ? "succeeds without writing"
                                               : "fails having written";
                if (later != ERROR_SUCCESS) return "makes the next write fail";
                if (descriptors() != open) return "leaves a descriptor open";
                if (temporaryFiles() != 0) return "leaves a temporary file";
                return "";
            }();
            if (!broken.empty()) {
                wrong = std::string(c.name) + " (allocation " + std::to_string(k) + " failing) " +
                        broken;
            } else if (made < k) {
                break;
            }
        }
    }
    return wrong;
}

// In a child process: a batch left engaged ends it (the limit of a wait)
// rather than the whole suite.
TEST_F(RegistryFile, AWriteThatRunsOutOfMemoryLeavesNoLockNorBatchBehind) {
    EXPECT_EXIT(
        {
            const std::string wrong = SweepWritesRunningOutOfMemory(file_);
            std::fprintf(stderr, "%s\n", wrong.c_str());
            std::_Exit(wrong.empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(RegistryLocation, FollowsTheEnvironment) {
    mv::RegistryUseFile("");
    std::string savedReg = std::getenv("MORVA_REGISTRY") ? std::getenv("MORVA_REGISTRY") : "";
    std::string savedApp =
        std::getenv("MORVA_COMMON_APPDATA") ? std::getenv("MORVA_COMMON_APPDATA") : "";
    ::setenv("MORVA_REGISTRY", "/x/r.reg", 1);
    EXPECT_EQ(mv::RegistryPath(), "/x/r.reg");
    ::unsetenv("MORVA_REGISTRY");
    ::setenv("MORVA_COMMON_APPDATA", "/y", 1);
    EXPECT_EQ(mv::RegistryPath(), "/y/Morva/registry.reg");
    ::unsetenv("MORVA_COMMON_APPDATA");
    EXPECT_EQ(mv::RegistryPath(), "/var/tmp/morva-common-appdata/Morva/registry.reg");
    if (!savedReg.empty()) ::setenv("MORVA_REGISTRY", savedReg.c_str(), 1);
    if (!savedApp.empty()) ::setenv("MORVA_COMMON_APPDATA", savedApp.c_str(), 1);
}

}  // namespace
