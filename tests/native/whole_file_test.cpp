// Replacing the settings file: all or nothing, through links, with the file's permissions.
#include "config/whole_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

TEST(WholeFile, AWriteThatFailsPartWayLeavesTheOldFileAndNoLitter) {
    TempDir dir;
    const std::string path = dir.file("host.ini");
    const std::string old(4096, 'o');
    write_file(path, old);
    const ino_t inode = stat_of(path).st_ino;
    {
        FileSizeLimit limit(1000);
        EXPECT_FALSE(replace_whole_file(path.c_str(), std::string(5000, 'n')));
    }
    EXPECT_EQ(read_file(path), old);
    EXPECT_EQ(stat_of(path).st_ino, inode);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"host.ini"});
}

TEST(WholeFile, RefusesFoldersAndMissingFolders) {
    TempDir dir;
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
