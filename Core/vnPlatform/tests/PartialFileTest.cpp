// The partial file's edges: a file created new counts only when it is still the one at
// its name once locked; clearing removes only the file it locked; a rename moves only
// the caller's own file, opens the folder first, and says what it did; a leftover the
// owner may not read is cleared. Another opener's work is put between the open and the
// lock through the lock hook, so every race here happens every time.
#include "vnPlatform/LockedFile.h"
#include "vnPlatform/PartialFile.h"
#include "vnPlatform/RasFile.h"
#include <gtest/gtest.h>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vorn;

namespace {

namespace fs = std::filesystem;

struct Dir {
    std::string path;
    Dir()
    {
        char tmpl[] = "/tmp/vorn-partial-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~Dir()
    {
        std::error_code ec;
        fs::permissions(path, fs::perms::all, ec);
        fs::remove_all(path, ec);
    }
    std::string operator/(const char* name) const { return path + "/" + name; }
};

void Write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string Read(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// The hook's work, done once (the hook is off while it runs).
std::function<void(const char*)> g_race;
void RaceOnce(const char* path)
{
    auto race = std::move(g_race);
    g_race = nullptr;
    SetBeforeLockHook(nullptr);
    if (race) race(path);
}
struct HookRestored {
    ~HookRestored()
    {
        SetBeforeLockHook(nullptr);
        g_race = nullptr;
    }
};

// Runs body as a user that is not root (permissions are not bypassed), in a child;
// its result is the child's exit status. Without root, body runs here.
int AsOrdinaryUser(const std::string& dir, const std::function<int()>& body)
{
    if (geteuid() != 0) return body();
    chmod(dir.c_str(), 0777);
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(99);
        _exit(body());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

} // namespace

// Between the creation and the lock another opener clears the new file and puts its own
// at the name: the creation is refused (EBUSY) and the other file is left as it is.
TEST(PartialFile, ACreatedFileTakenOverBeforeItsLockIsRefused)
{
    Dir d;
    const std::string part = d / "s.tvx.part";
    HookRestored restore;
    int otherFd = -1;
    g_race = [&](const char* path) {
        EXPECT_EQ(ClearPartialFile(path), 0);
        Write(path, "other");
        EXPECT_EQ(OpenLockedFile(path, O_RDONLY, false, &otherFd), 0);
    };
    SetBeforeLockHook(&RaceOnce);
    RasFileInfo info;
    EXPECT_EQ(RasFileOpen(part.c_str(), RAS_CREATE_NEW, false, false, &info), EBUSY);
    EXPECT_EQ(Read(part), "other");
    close(otherFd);

    // Removed and not replaced: created again.
    g_race = [&](const char* path) { EXPECT_EQ(ClearPartialFile(path), 0); };
    SetBeforeLockHook(&RaceOnce);
    fs::remove(part);
    ASSERT_EQ(RasFileOpen(part.c_str(), RAS_CREATE_NEW, false, false, &info), 0);
    FileIdentity id;
    ASSERT_EQ(QueryFileIdentity(part.c_str(), &id), 0);
    struct stat st;
    ASSERT_EQ(fstat(info.fd, &st), 0);
    EXPECT_EQ(id.inode, uint64_t(st.st_ino));
    RasFileClose(info.fd);

    // Removed before every lock: the creation gives up (EBUSY) rather than trying for
    // good.
    fs::remove(part);
    SetBeforeLockHook([](const char* path) { ::unlink(path); });
    EXPECT_EQ(RasFileOpen(part.c_str(), RAS_CREATE_NEW, false, false, &info), EBUSY);
    SetBeforeLockHook(nullptr);
    EXPECT_FALSE(fs::exists(part));
}

// Clearing locks the file first and removes it only while it is still the file at the
// name: one put there meanwhile stays.
TEST(PartialFile, ClearingRemovesOnlyTheFileItLocked)
{
    Dir d;
    const std::string part = d / "s.tvx.part";
    const std::string newer = d / "newer";
    Write(part, "left");
    Write(newer, "newer");
    HookRestored restore;
    g_race = [&](const char* path) { ASSERT_EQ(std::rename(newer.c_str(), path), 0); };
    SetBeforeLockHook(&RaceOnce);
    EXPECT_EQ(ClearPartialFile(part.c_str()), 0);
    EXPECT_EQ(Read(part), "newer");

    EXPECT_EQ(ClearPartialFile(part.c_str()), 0);
    EXPECT_FALSE(fs::exists(part));
}

// A rename moves only the file it was given; a failed one leaves both names as they
// were and says which name failed.
TEST(PartialFile, ARenameMovesOnlyItsOwnFileAndAFailedOneLeavesBoth)
{
    Dir d;
    const std::string part = d / "s.tvx.part";
    const std::string store = d / "s.tvx";
    Write(part, "mine");
    FileIdentity mine;
    ASSERT_EQ(QueryFileIdentity(part.c_str(), &mine), 0);
    Write(store, "old");

    // Another file under the partial name: nothing is renamed.
    const std::string aside = d / "aside";
    ASSERT_EQ(std::rename(part.c_str(), aside.c_str()), 0);
    Write(part, "theirs");
    RenameOutcome out;
    EXPECT_EQ(RenameDurably(part.c_str(), mine, store.c_str(), &out), EBUSY);
    EXPECT_FALSE(out.renamed);
    EXPECT_EQ(out.failedAt, RenameOutcome::kFrom);
    EXPECT_EQ(Read(store), "old");
    EXPECT_EQ(Read(part), "theirs");
    EXPECT_EQ(RemoveFileIfIdentity(part.c_str(), mine), 0);
    EXPECT_EQ(Read(part), "theirs");

    // The store's name is a folder: the rename fails there and both stay.
    ASSERT_EQ(std::rename(aside.c_str(), part.c_str()), 0);
    const std::string folder = d / "f.tvx";
    fs::create_directories(folder + "/x");
    EXPECT_EQ(RenameDurably(part.c_str(), mine, folder.c_str(), &out), EISDIR);
    EXPECT_FALSE(out.renamed);
    EXPECT_EQ(out.failedAt, RenameOutcome::kTo);
    EXPECT_EQ(Read(part), "mine");

    EXPECT_EQ(RenameDurably(part.c_str(), mine, store.c_str(), &out), 0);
    EXPECT_TRUE(out.renamed);
    EXPECT_EQ(out.syncError, 0);
    EXPECT_EQ(Read(store), "mine");
    EXPECT_FALSE(fs::exists(part));
    EXPECT_EQ(RemoveFileIfIdentity(store.c_str(), mine), 0);
    EXPECT_FALSE(fs::exists(store));
}

// A folder that may be written and searched but not read: it is opened before the
// rename, so the rename does not happen and the folder is the name that failed.
TEST(PartialFile, AFolderThatCannotBeReadIsFoundOutBeforeTheRename)
{
    Dir d;
    const std::string sub = d / "out";
    const int rc = AsOrdinaryUser(d.path, [&] {
        if (mkdir(sub.c_str(), 0700) != 0) return 10;
        const std::string part = sub + "/s.tvx.part", store = sub + "/s.tvx";
        Write(part, "mine");
        Write(store, "old");
        FileIdentity mine;
        if (QueryFileIdentity(part.c_str(), &mine) != 0) return 11;
        if (chmod(sub.c_str(), 0333) != 0) return 12;
        RenameOutcome out;
        const int e = RenameDurably(part.c_str(), mine, store.c_str(), &out);
        chmod(sub.c_str(), 0700);
        if (e != EACCES) return 13;
        if (out.renamed || out.failedAt != RenameOutcome::kFolder) return 14;
        if (Read(store) != "old" || Read(part) != "mine") return 15;
        return 0;
    });
    EXPECT_EQ(rc, 0);
}

// A leftover partial file of the user's with mode 000 is cleared; one that another
// holds gets its mode back and is left.
TEST(PartialFile, ALeftoverWithoutPermissionsIsCleared)
{
    Dir d;
    const int rc = AsOrdinaryUser(d.path, [&] {
        const std::string part = d / "s.tvx.part";
        Write(part, "left");
        if (chmod(part.c_str(), 0) != 0) return 10;
        if (ClearPartialFile(part.c_str()) != 0) return 11;
        if (access(part.c_str(), F_OK) == 0) return 12;

        Write(part, "held");
        int fd = -1;
        if (OpenLockedFile(part.c_str(), O_RDONLY, false, &fd) != 0) return 13;
        if (chmod(part.c_str(), 0) != 0) return 14;
        if (ClearPartialFile(part.c_str()) != EBUSY) return 15;
        struct stat st;
        if (stat(part.c_str(), &st) != 0 || (st.st_mode & 0777) != 0) return 16;
        close(fd);
        return 0;
    });
    EXPECT_EQ(rc, 0);
}
