#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "storage.h"
#include "storage_test_util.h"

using namespace storage_test;

namespace {

// Every way of reaching a document that a holder must shut out.
struct Contender {
    const char* label;
    HRESULT (*attempt)(const std::filesystem::path& path);
};

HRESULT TryOpen(const std::filesystem::path& path) {
    IStorage* storage = nullptr;
    HRESULT hr = OpenDocument(path, &storage);
    if (storage) storage->Release();
    return hr;
}

HRESULT TrySave(const std::filesystem::path& path) {
    return SaveDocument(path, {{u"C", Pattern(10, 99)}});
}

const Contender kContenders[] = {{"open", TryOpen}, {"save", TrySave}};

// Holders: an opened document, and a document being saved.
struct Holder {
    const char* label;
    HRESULT (*take)(const std::filesystem::path& path, IStorage** storage);
};

const Holder kHolders[] = {{"open", OpenDocument},
                           {"save", [](const std::filesystem::path& path, IStorage** storage) {
                                return StgCreateDocfile(Wide(path).c_str(), 0x1012, 0, storage);
                            }}};

// A child process that takes hold of something, tells this process whether
// it did, and waits until it is let go or killed.
class HoldingChild {
public:
    // Forks. The child runs `take`, reports its answer, waits for LetGo,
    // then runs `letGo` if it holds, and exits 0 when both answered true.
    template <class Take, class LetGoFn>
    HoldingChild(Take take, LetGoFn letGo) {
        if (::pipe(ready_) != 0 || ::pipe(release_) != 0) return;
        pid_ = ::fork();
        if (pid_ != 0) return;
        bool ok = take();
        (void)!::write(ready_[1], ok ? "y" : "n", 1);
        char go;
        (void)!::read(release_[0], &go, 1);
        ok = ok && letGo();
        ::_exit(ok ? 0 : 1);
    }
    ~HoldingChild() {
        if (pid_ > 0) Kill();
        for (int fd : {ready_[0], ready_[1], release_[0], release_[1]})
            if (fd >= 0) ::close(fd);
    }
    HoldingChild(const HoldingChild&) = delete;
    HoldingChild& operator=(const HoldingChild&) = delete;

    // Whether the child took hold.
    bool Holds() {
        char status = 0;
        return pid_ > 0 && ::read(ready_[0], &status, 1) == 1 && status == 'y';
    }
    // Lets the child go; whether it then exited 0.
    bool LetGo() {
        int exitStatus = 0;
        const bool ended = pid_ > 0 && ::write(release_[1], "x", 1) == 1 &&
                           ::waitpid(pid_, &exitStatus, 0) == pid_;
        pid_ = -1;
        return ended && WIFEXITED(exitStatus) && WEXITSTATUS(exitStatus) == 0;
    }
    void Kill() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int ready_[2] = {-1, -1};
    int release_[2] = {-1, -1};
};

TEST(Sharing, AHeldDocumentShutsOutEveryOtherUseInThisProcess) {
    ScratchFolder folder;
    const auto path = folder / "doc.mvc";
    const Bytes data = Pattern(700, 4);
    for (const Holder& holder : kHolders) {
        ASSERT_EQ(SaveDocument(path, {{u"C", data}}), S_OK);
        IStorage* held = nullptr;
        ASSERT_EQ(holder.take(path, &held), S_OK) << holder.label;
        for (const Contender& contender : kContenders) {
            EXPECT_EQ(contender.attempt(path), STG_E_SHAREVIOLATION)
                << holder.label << " held, " << contender.label << " tried";
        }
        mv::StgAbandon(held);  // no-op answer for an opened document
        held->Release();
        EXPECT_EQ(TryOpen(path), S_OK) << holder.label << " released";
        Bytes back;
        ASSERT_EQ(LoadStream(path, u"C", &back), S_OK);
        EXPECT_EQ(back, data) << "the contenders changed nothing";
    }
}

// The child holds the document; this process must be shut out by the file
// lock alone, since its own table of held files knows nothing of the child.
// (The child runs the same code, so this also pins that a holder takes the
// lock.)
TEST(Sharing, ADocumentHeldByAnotherProcessIsShutOutUntilReleased) {
    ScratchFolder folder;
    const auto path = folder / "doc.mvc";
    ASSERT_EQ(SaveDocument(path, {{u"C", Pattern(700, 4)}}), S_OK);
    for (const Holder& holder : kHolders) {
        IStorage* held = nullptr;
        HoldingChild child([&] { return holder.take(path, &held) == S_OK; },
                           [&] {
                               mv::StgAbandon(held);
                               held->Release();
                               return true;
                           });
        ASSERT_TRUE(child.Holds()) << holder.label;
        for (const Contender& contender : kContenders) {
            EXPECT_EQ(contender.attempt(path), STG_E_SHAREVIOLATION)
                << holder.label << " held by the child, " << contender.label << " tried";
        }
        EXPECT_TRUE(child.LetGo());
        EXPECT_EQ(TryOpen(path), S_OK) << holder.label << " released by the child";
    }
}

// A save in a child process that is killed midway, or that is still going
// when this process saves the same document. The next save removes the
// temporary a killed save left, and leaves a live save's temporary alone,
// which then still puts its document in place.
struct InterruptedSaveCase {
    const char* label;
    bool existing;  // a document to save over; else both saves make it new
    bool killed;
    // Named by its label in the test list, not shown as raw bytes.
    friend void PrintTo(const InterruptedSaveCase& c, std::ostream* os) { *os << c.label; }
};

class InterruptedSave : public ::testing::TestWithParam<InterruptedSaveCase> {};

TEST_P(InterruptedSave, TheNextSaveRemovesOnlyTemporariesNoSaveHolds) {
    const auto& c = GetParam();
    ScratchFolder folder;
    const auto path = folder / "doc.mvc";
    const Bytes old = Pattern(700, 4), mine = Pattern(900, 5), childs = Pattern(5000, 6);
    if (c.existing) {
        ASSERT_EQ(SaveDocument(path, {{u"C", old}}), S_OK);
    }
    IStorage* storage = nullptr;
    IStream* stream = nullptr;
    HoldingChild child(
        [&] {
            return CreateWithStream(path, &storage, &stream) == S_OK &&
                   stream->Write(childs.data(), static_cast<ULONG>(childs.size()), nullptr) == S_OK;
        },
        [&] {
            stream->Release();
            const bool committed = storage->Commit(STGC_DEFAULT) == S_OK;
            storage->Release();
            return committed;
        });
    ASSERT_TRUE(child.Holds());
    if (c.killed) child.Kill();
    std::vector<std::string> left = folder.Names();
    std::erase(left, "doc.mvc");
    ASSERT_EQ(left.size(), 1u) << "the child's save has its temporary";

    EXPECT_EQ(SaveDocument(path, {{u"C", mine}}), S_OK);
    std::vector<std::string> expected = {"doc.mvc"};
    if (!c.killed) expected.push_back(left[0]);
    std::vector<std::string> names = folder.Names();
    std::sort(names.begin(), names.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names, expected);
    Bytes back;
    EXPECT_EQ(LoadStream(path, u"C", &back), S_OK);
    EXPECT_EQ(back, mine);

    if (!c.killed) {
        EXPECT_TRUE(child.LetGo()) << "the child's save";
        EXPECT_EQ(folder.Names(), std::vector<std::string>{"doc.mvc"});
        EXPECT_EQ(LoadStream(path, u"C", &back), S_OK);
        EXPECT_EQ(back, childs);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InterruptedSave,
    ::testing::Values(InterruptedSaveCase{"killed_over_a_document", true, true},
                      InterruptedSaveCase{"killed_making_a_new_document", false, true},
                      InterruptedSaveCase{"live_making_a_new_document", false, false}),
    [](const auto& info) { return std::string(info.param.label); });

// Files beside the document that a save leaves whatever their age: only a
// name made exactly as a save makes its temporary's, of that document, and a
// plain file, is a left temporary.
TEST(LeftTemporaries, OnlyTheDocumentsOwnTemporaryNamesAreRemoved) {
    ScratchFolder folder;
    const auto path = folder / "doc.mvc";
    ASSERT_EQ(SaveDocument(path, {{u"C", Pattern(700, 4)}}), S_OK);
    const struct {
        const char* name;
        bool removed;
    } kFiles[] = {
        {".doc.mvc.4242.17.tmp", true},   {".doc.mvc.1.0.tmp", true},
        {".doc.mvc.4242.tmp", false},     {".doc.mvc.4242.17.3.tmp", false},
        {".doc.mvc.42a.17.tmp", false},   {".doc.mvc..17.tmp", false},
        {".doc.mvc.4242..tmp", false},    {".doc.mvc.4242.17.tmp.bak", false},
        {".doc.mvc.4242.17.TMP", false},  {"doc.mvc.4242.17.tmp", false},
        {".xdoc.mvc.4242.17.tmp", false}, {".other.mvc.4242.17.tmp", false},
    };
    for (const auto& file : kFiles) WriteFile(folder / file.name, Pattern(10, 1));
    std::filesystem::create_directory(folder / ".doc.mvc.7.7.tmp");
    WriteFile(folder / "target", Pattern(10, 1));
    std::filesystem::create_symlink(folder / "target", folder / ".doc.mvc.8.8.tmp");

    ASSERT_EQ(SaveDocument(path, {{u"C", Pattern(900, 5)}}), S_OK);
    for (const auto& file : kFiles) {
        EXPECT_EQ(std::filesystem::exists(folder / file.name), !file.removed) << file.name;
    }
    // Neither a folder nor a link (nor what it names) is a save's temporary.
    EXPECT_TRUE(std::filesystem::is_directory(folder / ".doc.mvc.7.7.tmp"));
    EXPECT_TRUE(std::filesystem::is_symlink(folder / ".doc.mvc.8.8.tmp"));
    EXPECT_TRUE(std::filesystem::exists(folder / "target"));
}

}  // namespace
