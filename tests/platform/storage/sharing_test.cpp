#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

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
        int ready[2], release[2];
        ASSERT_EQ(::pipe(ready), 0);
        ASSERT_EQ(::pipe(release), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            IStorage* held = nullptr;
            const char status = holder.take(path, &held) == S_OK ? 'y' : 'n';
            (void)!::write(ready[1], &status, 1);
            char go;
            (void)!::read(release[0], &go, 1);
            if (held) {
                mv::StgAbandon(held);
                held->Release();
            }
            ::_exit(0);
        }
        char status = 0;
        ASSERT_EQ(::read(ready[0], &status, 1), 1);
        EXPECT_EQ(status, 'y') << holder.label;
        for (const Contender& contender : kContenders) {
            EXPECT_EQ(contender.attempt(path), STG_E_SHAREVIOLATION)
                << holder.label << " held by the child, " << contender.label << " tried";
        }
        ASSERT_EQ(::write(release[1], "x", 1), 1);
        int exitStatus = 0;
        ASSERT_EQ(::waitpid(child, &exitStatus, 0), child);
        EXPECT_TRUE(WIFEXITED(exitStatus) && WEXITSTATUS(exitStatus) == 0);
        for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
        EXPECT_EQ(TryOpen(path), S_OK) << holder.label << " released by the child";
    }
}

}  // namespace
