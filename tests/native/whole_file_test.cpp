// Replacing the settings file: all or nothing, through links, with the file's permissions, owner
// and links, its temporary copies private and never left behind.
#include "config/whole_file.h"

#include <gtest/gtest.h>
#include <grp.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tests/native/test_support.h"

namespace {

struct stat stat_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st;
}

TEST(WholeFile, ReplacesAndCreatesWithTheFilesPermissions) {
    TempDir dir;
    const std::string path = dir.file("host.ini");
    write_file(path, "old");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    ASSERT_TRUE(replace_whole_file(path.c_str(), "new bytes"));
    EXPECT_EQ(read_file(path), "new bytes");
    EXPECT_EQ(stat_of(path).st_mode & 07777, 0640u);

    const std::string fresh = dir.file("fresh.ini");
    const mode_t old_mask = ::umask(027);
    ASSERT_TRUE(replace_whole_file(fresh.c_str(), "x"));
    ::umask(old_mask);
    EXPECT_EQ(stat_of(fresh).st_mode & 07777, 0640u) << "a new file gets 0666 less the umask";
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"fresh.ini", "host.ini"}));
}

TEST(WholeFile, WritesThroughSymbolicLinksToTheirTarget) {
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("real").c_str(), 0755), 0);
    write_file(dir.file("real/host.ini"), "old");
    ASSERT_EQ(::symlink("real/host.ini", dir.file("relative.ini").c_str()), 0);
    ASSERT_EQ(::symlink(dir.file("relative.ini").c_str(), dir.file("chained.ini").c_str()), 0);

    ASSERT_TRUE(replace_whole_file(dir.file("chained.ini").c_str(), "new"));
    EXPECT_EQ(read_file(dir.file("real/host.ini")), "new");
    struct stat st {};
    ASSERT_EQ(::lstat(dir.file("chained.ini").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link itself stays a link";
    ASSERT_EQ(::lstat(dir.file("relative.ini").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    // A link to a file that does not exist yet creates its target.
    ASSERT_EQ(::symlink("real/later.ini", dir.file("dangling.ini").c_str()), 0);
    ASSERT_TRUE(replace_whole_file(dir.file("dangling.ini").c_str(), "made"));
    EXPECT_EQ(read_file(dir.file("real/later.ini")), "made");

    ASSERT_EQ(::symlink("loop-b", dir.file("loop-a").c_str()), 0);
    ASSERT_EQ(::symlink("loop-a", dir.file("loop-b").c_str()), 0);
    EXPECT_FALSE(replace_whole_file(dir.file("loop-a").c_str(), "x"));
}

// Runs save in a child process as the user uid (the test's own user when 0); its exit status.
int saved_as(uid_t uid, const std::function<bool()>& save) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (uid != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0)) ::_exit(2);
        ::_exit(save() ? 0 : 1);
    }
    return child_exit_status(child);
}

// A rename puts a new file in place of the old: one of the saver's own, in a folder the saver
// must write to, and the old file's other links keep the old bytes. Where that would change
// what the file is, it is rewritten in place.
TEST(WholeFile, WhereARenameWouldChangeTheFileItIsRewrittenInPlace) {
    constexpr uid_t kOwner = 65534;  // nobody
    constexpr uid_t kSaver = 65533;  // someone else, without a name
    const struct {
        const char* name;
        uid_t owner;     // of the file; 0: the test's own user
        mode_t folder;   // the folder's mode
        uid_t saver;     // 0: the test's own user
        bool hard_link;  // a second name for the file, beside it
    } rows[] = {
        {"a file with a second hard link", 0, 0700, 0, true},
        {"another user's file the saver may write", kOwner, 0777, kSaver, false},
        {"a folder the saver may not write to", kSaver, 0555, kSaver, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.saver != 0 && ::geteuid() != 0) {
            std::printf("skipped: %s needs root to save as another user\n", row.name);
            continue;
        }
        TempDir dir;
        const std::string path = dir.file("host.ini");
        write_file(path, "[a]\nx=1\n");
        ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
        if (row.owner != 0) {
            ASSERT_EQ(::chown(path.c_str(), row.owner, row.owner), 0);
        }
        if (row.hard_link) {
            ASSERT_EQ(::link(path.c_str(), dir.file("linked.ini").c_str()), 0);
        }
        const std::vector<std::string> names = dir.entries();
        ASSERT_EQ(::chmod(dir.path().c_str(), row.folder), 0);
        const struct stat before = stat_of(path);

        EXPECT_EQ(saved_as(row.saver, [&] { return replace_whole_file(path.c_str(), "[a]\nx=2\n"); }), 0);
        ASSERT_EQ(::chmod(dir.path().c_str(), 0700), 0);
        EXPECT_EQ(read_file(path), "[a]\nx=2\n");
        const struct stat after = stat_of(path);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_uid, before.st_uid);
        EXPECT_EQ(after.st_gid, before.st_gid);
        EXPECT_EQ(after.st_mode, before.st_mode);
        if (row.hard_link) {
            EXPECT_EQ(read_file(dir.file("linked.ini")), "[a]\nx=2\n");
        }
        EXPECT_EQ(dir.entries(), names);
    }
}

// A save killed part way leaves its temporary copy: owner-only from its creation, whatever the
// umask, and removed by the next save once its process has ended. Another file that only looks
// like one is never touched.
TEST(WholeFile, TemporaryFilesAreTheOwnersAloneAndThoseOfEndedSavesAreSwept) {
    TempDir dir;
    const std::string path = dir.file("host.ini");
    write_file(path, "[a]\nx=1\n");
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    const int watch = ::inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, dir.path().c_str(), IN_CREATE), 0);
    const mode_t old_mask = ::umask(0);
    const pid_t child = ::fork();
    if (child == 0) ::_exit(replace_whole_file(path.c_str(), std::string(64 << 20, 'n')) ? 0 : 1);
    ::umask(old_mask);
    pollfd created{watch, POLLIN, 0};
    ASSERT_EQ(::poll(&created, 1, 10000), 1) << "no temporary file made";
    alignas(inotify_event) char event[sizeof(inotify_event) + NAME_MAX + 1];
    ASSERT_GT(::read(watch, event, sizeof event), 0);
    ::kill(child, SIGSTOP);  // in the middle of its write
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, WUNTRACED), child);
    const std::string temp = dir.file(reinterpret_cast<const inotify_event*>(event)->name);
    struct stat st {};
    ASSERT_EQ(::stat(temp.c_str(), &st), 0) << temp << " already renamed";
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ::kill(child, SIGKILL);
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::close(watch);
    EXPECT_EQ(read_file(path), "[a]\nx=1\n");

    // Named as this process's first temporary file would have been named.
    const std::string look_alike = ".host.ini.tmp-" + std::to_string(::getpid()) + "-0";
    write_file(dir.file(look_alike), "someone's own");
    ASSERT_TRUE(replace_whole_file(path.c_str(), "[a]\nx=2\n"));
    EXPECT_EQ(read_file(path), "[a]\nx=2\n");
    EXPECT_EQ(stat_of(path).st_mode & 07777, 0644u);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{look_alike, "host.ini"}));
    EXPECT_EQ(read_file(dir.file(look_alike)), "someone's own");
}

// Replaced by a rename, the old file is never touched; rewritten in place, its old bytes go back.
TEST(WholeFile, AWriteThatFailsPartWayLeavesTheOldFileAndNoLitter) {
    for (const bool hard_link : {false, true}) {
        SCOPED_TRACE(hard_link ? "rewritten in place" : "replaced by a rename");
        TempDir dir;
        const std::string path = dir.file("host.ini");
        const std::string old(4096, 'o');
        write_file(path, old);
        if (hard_link) {
            ASSERT_EQ(::link(path.c_str(), dir.file("linked.ini").c_str()), 0);
        }
        const std::vector<std::string> names = dir.entries();
        const ino_t inode = stat_of(path).st_ino;
        for (const std::size_t limit : {1000u, 4500u}) {
            FileSizeLimit full(limit);
            EXPECT_FALSE(replace_whole_file(path.c_str(), std::string(5000, 'n')));
        }
        EXPECT_TRUE(read_file(path) == old) << "the old bytes, all of them";
        EXPECT_EQ(stat_of(path).st_ino, inode);
        EXPECT_EQ(dir.entries(), names);
    }
}

TEST(WholeFile, RefusesWhatIsNotAFileItMayWrite) {
    TempDir dir;
    const std::string read_only = dir.file("read-only.ini");
    write_file(read_only, "[kept]\n");
    ASSERT_EQ(::chmod(read_only.c_str(), 0444), 0);
    EXPECT_FALSE(replace_whole_file(read_only.c_str(), "x")) << "root too leaves a read-only file as it is";
    EXPECT_EQ(read_file(read_only), "[kept]\n");
    EXPECT_EQ(stat_of(read_only).st_mode & 07777, 0444u);
    ASSERT_EQ(::unlink(read_only.c_str()), 0);

    ASSERT_EQ(::mkdir(dir.file("folder.ini").c_str(), 0755), 0);
    EXPECT_FALSE(replace_whole_file(dir.file("folder.ini").c_str(), "x"));
    EXPECT_FALSE(replace_whole_file(dir.file("nodir/host.ini").c_str(), "x"));
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"folder.ini"});

    std::string bytes;
    EXPECT_EQ(read_whole_file(dir.file("folder.ini").c_str(), bytes), FileRead::missing);
    EXPECT_EQ(read_whole_file(dir.file("nodir/host.ini").c_str(), bytes), FileRead::missing);
    EXPECT_EQ(read_whole_file(dir.file("absent.ini").c_str(), bytes), FileRead::missing);
    ASSERT_EQ(::mkfifo(dir.file("fifo.ini").c_str(), 0644), 0);
    EXPECT_EQ(read_whole_file(dir.file("fifo.ini").c_str(), bytes), FileRead::failed) << "and it returns at once";
    EXPECT_EQ(read_whole_file("/dev/zero", bytes), FileRead::failed);
}

}  // namespace
