#include "test_support.h"

#include "platform/native.h"
#include "platform/native_file.h"
#include "publish/files/staging.h"
#include "publish/files/tree_delete.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <stdlib.h>

#include <algorithm>
#include <thread>
#include <vector>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/* What a Linux build keeps of native/: the entry named linux-amd64. */
const NativeEntryRule linux_native = {"linux-amd64", NULL};

class NativeFileTest : public FsTest {
protected:
    std::string path(const std::string &rel) { return root + "/" + rel; }

    mode_t mode_of(const std::string &rel)
    {
        struct stat st;
        EXPECT_EQ(stat(path(rel).c_str(), &st), 0) << rel;
        return st.st_mode & 07777;
    }
};

/* Restores the process's umask when a test ends. */
struct UmaskScope {
    mode_t saved;
    explicit UmaskScope(mode_t mask) : saved(umask(mask)) {}
    ~UmaskScope() { umask(saved); }
};

} // namespace

TEST_F(NativeFileTest, FilesAndDirectoriesTakeTheUsualModesUnderTheUmask)
{
    struct Case {
        mode_t mask, file, directory;
    } cases[] = {{022, 0644, 0755}, {077, 0600, 0700}, {0, 0666, 0777}};
    for (const Case &c : cases) {
        UmaskScope scope(c.mask);
        std::string file = "f" + std::to_string(c.mask);
        std::string dir = "d" + std::to_string(c.mask);
        int fd = native_file_create(path(file).c_str(), root.size());
        ASSERT_GE(fd, 0);
        EXPECT_EQ(native_file_close(fd), 1);
        EXPECT_EQ(mode_of(file), c.file) << c.mask;
        ASSERT_EQ(native_make_directory(path(dir).c_str(), root.size()), 1);
        EXPECT_EQ(mode_of(dir), c.directory) << c.mask;
    }
}

TEST_F(NativeFileTest, CreateTruncatesAndWritesReachTheFile)
{
    write_native("old.txt", "a much longer earlier content");
    int fd = native_file_create(path("old.txt").c_str(), root.size());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(native_file_write_all(fd, "new", 3), 1);
    EXPECT_EQ(native_file_write_at(fd, "N", 1, 0), 1);
    EXPECT_EQ(native_file_write_all(fd, "er", 2), 1); /* the position was left alone */
    EXPECT_EQ(native_file_close(fd), 1);
    EXPECT_EQ(read_native("old.txt"), "Newer");
}

TEST_F(NativeFileTest, WritebackHintSucceedsWhereItCannotApplyButNotOnABadDescriptor)
{
    write_native("data.bin", std::string(100000, 'd'));
    int file = native_file_open_read(path("data.bin").c_str());
    int ends[2];
    ASSERT_GE(file, 0);
    ASSERT_EQ(pipe(ends), 0);
    struct Case {
        const char *what;
        int fd;
        uint64_t offset, length;
        int result;
    } cases[] = {
        {"a range of a file open for reading", file, 4096, 50000, 1},
        {"the range past its end", file, 1 << 20, 4096, 1},
        {"a pipe", ends[0], 0, 4096, 1},
        {"a closed descriptor", 1000000, 0, 4096, 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(native_file_start_writeback(c.fd, c.offset, c.length), c.result) << c.what;
    EXPECT_EQ(errno, EBADF);
    close(ends[0]);
    close(ends[1]);
    native_file_close(file);
    EXPECT_EQ(read_native("data.bin"), std::string(100000, 'd'));
}

TEST_F(NativeFileTest, CreateInAMissingDirectoryFailsWithTheCause)
{
    errno = 0;
    EXPECT_EQ(native_file_create(path("missing/x").c_str(), root.size()), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(NativeFileTest, MakeDirectoryAcceptsADirectoryButNotAFile)
{
    mkdir_native("there");
    write_native("plain", "x");
    EXPECT_EQ(native_make_directory(path("there").c_str(), root.size()), 1);
    errno = 0;
    EXPECT_EQ(native_make_directory(path("plain").c_str(), root.size()), 0);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_EQ(native_make_directory(path("missing/sub").c_str(), root.size()), 0);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(NativeFileTest, TempFileHasNoNameAndReadsBackWhatWasWritten)
{
    int fd = native_temp_file_open(root.c_str(), root.size());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(run_command("test -z \"$(ls -A '" + root + "')\""), 0);
    EXPECT_EQ(native_file_write_at(fd, "0123456789", 10, 0), 1);
    EXPECT_EQ(native_file_write_at(fd, "abc", 3, 20), 1); /* leaves a hole */
    char buffer[10] = {0};
    EXPECT_EQ(native_file_read_at(fd, buffer, 4, 3), 1);
    EXPECT_EQ(std::string(buffer, 4), "3456");
    EXPECT_EQ(native_file_read_at(fd, buffer, 3, 20), 1);
    EXPECT_EQ(std::string(buffer, 3), "abc");
    errno = 0;
    EXPECT_EQ(native_file_read_at(fd, buffer, 4, 21), 0); /* runs past the end */
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(native_file_close(fd), 1);
    EXPECT_EQ(native_temp_file_open(path("missing").c_str(), root.size()), -1);
}

/* Staged trees go through this writer: same messages as PhysicsFS copies. */
TEST_F(NativeFileTest, StagedTreeIsWrittenNativelyWithTheCopyMessages)
{
    write_native("game/app/main.rb", "puts 1\n");
    write_native("game/.git/config", "x");
    write_native("game/native/linux-amd64/lib.so", "elf");
    write_native("game/native/windows-amd64/lib.dll", "pe");
    for (const char *name : {"open-source-licenses.txt", "font.ttf", "brindlecot.png",
                             "brindlecot-controller.png", "console-logo.png"})
        write_native(name, name);
    ASSERT_EQ(stage_game_tree(&linux_native, "game", "stage"), 1);
    EXPECT_EQ(read_native("stage/app/main.rb"), "puts 1\n");
    EXPECT_EQ(read_native("stage/native/linux-amd64/lib.so"), "elf");
    EXPECT_FALSE(native_exists("stage/native/windows-amd64"));
    EXPECT_FALSE(native_exists("stage/.git"));
    EXPECT_EQ(read_native("stage/font.ttf"), "font.ttf");
    EXPECT_TRUE(native_exists("stage/metadata/BRINDLECOT_PRODUCTION_BUILD"));
    EXPECT_TRUE(was_written("Copying 'game/app/main.rb' to 'stage/app/main.rb'..."));
    EXPECT_TRUE(was_written("Copying 'font.ttf' to 'stage/font.ttf'..."));
}

/* Staged copies read their sources natively: a file larger than the copy
 * buffer arrives whole, and a source PhysicsFS refuses (a symbolic link)
 * is still refused. */
TEST_F(NativeFileTest, StagedCopiesReadWholeFilesAndRefuseLinks)
{
    std::string big(5 * 1024 * 1024 + 7, '\0');
    for (size_t i = 0; i < big.size(); i++)
        big[i] = (char)((i * 2654435761u) >> 13);
    write_native("game/data/big.bin", big);
    for (const char *name : {"open-source-licenses.txt", "brindlecot.png",
                             "brindlecot-controller.png", "console-logo.png"})
        write_native(name, name);
    write_native("real-font.ttf", "font");
    ASSERT_EQ(symlink("real-font.ttf", path("font.ttf").c_str()), 0);
    EXPECT_EQ(stage_game_tree(&linux_native, "game", "stage"), 0);
    EXPECT_TRUE(read_native("stage/data/big.bin") == big);
    EXPECT_TRUE(was_written("Can't open 'font.ttf' for reading: "));
    EXPECT_FALSE(native_exists("stage/font.ttf"));
}

TEST_F(NativeFileTest, StagedFileThatCannotBeWrittenFailsTheStaging)
{
    struct Case {
        const char *in_the_way; /* what stands where the staged tree writes */
        bool is_file;
        const char *message;
    } cases[] = {
        {"stage/app", true, "Can't create directory 'stage/app': Not a directory"},
        {"stage/app/main.rb", false, "Can't open 'stage/app/main.rb' for writing: Is a directory"},
    };
    write_native("game/app/main.rb", "puts 1\n");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.in_the_way);
        run_command("rm -rf '" + root + "/stage'");
        if (c.is_file)
            write_native(c.in_the_way, "in the way");
        else
            mkdir_native(c.in_the_way);
        EXPECT_EQ(stage_game_tree(&linux_native, "game", "stage"), 0);
        EXPECT_TRUE(was_written(c.message));
        if (c.is_file)
            EXPECT_EQ(read_native(c.in_the_way), "in the way");
        else
            EXPECT_TRUE(native_exists(c.in_the_way));
    }
}

TEST_F(NativeFileTest, RemoveTreeTakesLinksNotTheirTargetsContentsFirst)
{
    write_native("outside/kept.txt", "not ours");
    write_native("tree/a/b/c.txt", "c");
    mkdir_native("tree/empty");
    ASSERT_EQ(symlink(path("outside").c_str(), path("tree/a/link").c_str()), 0);
    NativeFileIdentity c_txt;
    ASSERT_EQ(native_path_identity(path("tree/a/b/c.txt").c_str(), &c_txt), 1);
    struct Visits {
        std::vector<std::string> names;
        std::vector<NativeFileIdentity> files; /* of the regular files, in order */
        std::vector<std::string> file_names;
    } visits;
    std::vector<std::string> &visited = visits.names;
    auto visit = [](void *user, const char *relative, const NativeFileIdentity *file) {
        Visits *v = (Visits *)user;
        v->names.push_back(relative);
        if (file) {
            v->files.push_back(*file);
            v->file_names.push_back(relative);
        }
    };
    char *failed = nullptr;
    ASSERT_EQ(native_remove_tree(root.c_str(), "tree", visit, &visits, &failed), 1);
    EXPECT_EQ(failed, nullptr);
    EXPECT_FALSE(native_exists("tree"));
    EXPECT_EQ(read_native("outside/kept.txt"), "not ours");
    auto at = [&](const std::string &rel) {
        return std::find(visited.begin(), visited.end(), rel) - visited.begin();
    };
    EXPECT_EQ(visited.size(), 6u);
    EXPECT_LT(at("a/b/c.txt"), at("a/b"));
    EXPECT_LT(at("a/b"), at("a"));
    EXPECT_LT(at("a/link"), at("a"));
    EXPECT_EQ(visited.back(), "");
    /* The one regular file comes with what the removal's own stat saw:
     * enough to forget it by, nothing read for a generation. */
    ASSERT_EQ(visits.file_names, std::vector<std::string>{"a/b/c.txt"});
    EXPECT_EQ(native_identity_same_stat(&visits.files[0], &c_txt), 1);
    EXPECT_EQ(visits.files[0].generation, 0u);
    /* Nothing there is nothing to do. */
    EXPECT_EQ(native_remove_tree(root.c_str(), "tree", visit, &visits, &failed), 1);
}

/* A tree's path is resolved below its directory: neither a ".." nor a
 * symbolic link on the way (builds itself, or the tree's parent) leads
 * the removal out of it, and nothing at all is removed. */
TEST_F(NativeFileTest, RemoveTreeNeverLeavesItsDirectory)
{
    write_native("inst/builds/mygame-html5-1/index.html", "ours");
    write_native("inst/builds/other-linux.bin", "another game's");
    write_native("inst/file.txt", "the installation's");
    write_native("canary/kept.txt", "beside the installation");
    write_native("elsewhere/mygame-html5-1/index.html", "not ours");
    write_native("elsewhere/sub/tree/x.txt", "not ours either");
    const std::string inst = path("inst");
    struct Case {
        const char *relative;
        int error;
    } refused[] = {
        {"..", EINVAL},
        {"builds/..", EINVAL},
        {"builds/mygame-html5-1/..", EINVAL},
        {"builds/mygame-html5-1/../../../canary", EINVAL},
        {"../canary", EINVAL},
        {"./builds", EINVAL},
        {"builds/.", EINVAL},
        {"builds//other-linux.bin", EINVAL},
        {"/builds", EINVAL},
        {"", EINVAL},
    };
    for (const Case &c : refused) {
        SCOPED_TRACE(c.relative);
        char *failed = nullptr;
        int visits = 0;
        auto count = [](void *n, const char *, const NativeFileIdentity *) { ++*(int *)n; };
        errno = 0;
        EXPECT_EQ(native_remove_tree(inst.c_str(), c.relative, count, &visits, &failed), 0);
        EXPECT_EQ(errno, c.error);
        EXPECT_EQ(visits, 0);
        ASSERT_NE(failed, nullptr);
        EXPECT_STREQ(failed, "");
        free(failed);
    }
    /* builds itself a link, then the tree's parent a link. */
    ASSERT_EQ(rename(path("inst/builds").c_str(), path("real-builds").c_str()), 0);
    ASSERT_EQ(symlink(path("elsewhere").c_str(), path("inst/builds").c_str()), 0);
    errno = 0;
    EXPECT_EQ(native_remove_tree(inst.c_str(), "builds/mygame-html5-1", NULL, NULL, NULL), 0);
    EXPECT_EQ(errno, ELOOP);
    ASSERT_EQ(unlink(path("inst/builds").c_str()), 0);
    mkdir_native("inst/builds");
    ASSERT_EQ(symlink("../../elsewhere/sub", path("inst/builds/sub").c_str()), 0);
    errno = 0;
    EXPECT_EQ(native_remove_tree(inst.c_str(), "builds/sub/tree", NULL, NULL, NULL), 0);
    EXPECT_EQ(errno, ELOOP);
    EXPECT_EQ(read_native("elsewhere/mygame-html5-1/index.html"), "not ours");
    EXPECT_EQ(read_native("elsewhere/sub/tree/x.txt"), "not ours either");
    EXPECT_EQ(read_native("real-builds/mygame-html5-1/index.html"), "ours");
    EXPECT_EQ(read_native("real-builds/other-linux.bin"), "another game's");
    EXPECT_EQ(read_native("inst/file.txt"), "the installation's");
    EXPECT_EQ(read_native("canary/kept.txt"), "beside the installation");
    /* The link at the end is the tree itself: it goes, its target stays. */
    EXPECT_EQ(native_remove_tree(inst.c_str(), "builds/sub", NULL, NULL, NULL), 1);
    EXPECT_FALSE(native_exists("inst/builds/sub"));
    EXPECT_EQ(read_native("elsewhere/sub/tree/x.txt"), "not ours either");
    /* The directory itself may be reached through a link; a missing
     * component on the way is nothing to remove. */
    ASSERT_EQ(symlink(path("real-builds").c_str(), path("linked").c_str()), 0);
    EXPECT_EQ(native_remove_tree(path("linked").c_str(), "mygame-html5-1", NULL, NULL, NULL), 1);
    EXPECT_FALSE(native_exists("real-builds/mygame-html5-1"));
    EXPECT_EQ(native_remove_tree(inst.c_str(), "builds/missing/tree", NULL, NULL, NULL), 1);
}

/* The publisher's delete says what it refused and removes nothing. */
TEST_F(NativeFileTest, DeleteTreeRefusesAPathThatWouldLeaveItsDirectory)
{
    write_native("builds/mygame-html5-1.0/index.html", "ours");
    write_native("builds/other.bin", "another game's");
    write_native("elsewhere/mygame-html5-1.0/index.html", "not ours");
    EXPECT_EQ(delete_tree("builds/mygame-html5-1.0/.."), 0);
    EXPECT_TRUE(was_written("Refusing the path 'builds/mygame-html5-1.0/..': a path in the "
                            "installation has no '.' or '..' component and no ':' or '\\'"));
    EXPECT_EQ(read_native("builds/other.bin"), "another game's");
    ASSERT_EQ(rename(path("builds").c_str(), path("real-builds").c_str()), 0);
    ASSERT_EQ(symlink("elsewhere", path("builds").c_str()), 0);
    EXPECT_EQ(delete_tree("builds/mygame-html5-1.0"), 0);
    EXPECT_TRUE(was_written("Failed to delete 'builds/mygame-html5-1.0': a directory on its "
                            "way is a symbolic link, which the publisher never follows"));
    EXPECT_FALSE(was_written("Deleting 'builds/mygame-html5-1.0'..."));
    EXPECT_EQ(read_native("elsewhere/mygame-html5-1.0/index.html"), "not ours");
    EXPECT_EQ(read_native("real-builds/mygame-html5-1.0/index.html"), "ours");
}

TEST_F(NativeFileTest, RemoveTreeNamesTheEntryThatStays)
{
    if (!write_undeletable("tree/sub/stuck.txt", "stays"))
        GTEST_SKIP() << "no immutable files here";
    write_native("tree/sub/other.txt", "goes");
    char *failed = nullptr;
    EXPECT_EQ(native_remove_tree(root.c_str(), "tree", NULL, NULL, &failed), 0);
    EXPECT_EQ(errno, EPERM);
    ASSERT_NE(failed, nullptr);
    EXPECT_STREQ(failed, "sub/stuck.txt");
    free(failed);
    EXPECT_TRUE(native_exists("tree/sub/stuck.txt"));
}

/* The generation is what the kernel says of the inode, where it says
 * anything; a stat identity leaves it out and tells the rest the same. */
TEST_F(NativeFileTest, IdentityCarriesTheInodesGenerationWhereTheKernelGivesOne)
{
    native_file_read_every_generation(1);
    struct Reset {
        ~Reset() { native_file_read_every_generation(0); }
    } reset;
    write_native("f.bin", "some bytes");
    int fd = native_file_open_read(path("f.bin").c_str());
    ASSERT_GE(fd, 0);
    long kernel = 0;
    int told = ioctl(fd, FS_IOC_GETVERSION, &kernel) == 0;
    NativeFileIdentity by_fd, by_path, by_stat, completed;
    ASSERT_EQ(native_file_identity(fd, &by_fd), 1);
    native_file_close(fd);
    if (!told)
        GTEST_SKIP() << "this file system gives no inode generation";
    EXPECT_EQ(by_fd.generation, (uint32_t)kernel);
    ASSERT_EQ(native_path_identity(path("f.bin").c_str(), &by_path), 1);
    EXPECT_EQ(native_identity_equal(&by_fd, &by_path), 1);
    ASSERT_EQ(native_path_stat_identity(path("f.bin").c_str(), &by_stat), 1);
    EXPECT_EQ(by_stat.generation, 0u);
    EXPECT_EQ(native_identity_same_stat(&by_stat, &by_fd), 1);
    completed = by_stat;
    ASSERT_EQ(native_path_add_generation(path("f.bin").c_str(), &completed), 1);
    EXPECT_EQ(native_identity_equal(&completed, &by_fd), 1);
    /* Replaced since the stat: the file there now is not that version. */
    usleep(10000);
    write_native("f.bin", "other byte");
    completed = by_stat;
    EXPECT_EQ(native_path_add_generation(path("f.bin").c_str(), &completed), 0);
}

/* A change time below the second tells a file from one made later in its
 * inode: no generation is read for it, so its identity costs no open and
 * no ioctl, and every version of it alike has none. */
TEST_F(NativeFileTest, FineChangeTimesNeedNoGeneration)
{
    struct Case {
        int64_t changetime_ns;
        int needs;
    } cases[] = {{5000000000, 1}, {5000000001, 0}, {5999999999, 0}, {0, 1}};
    for (const Case &c : cases) {
        NativeFileIdentity id = {1, 2, 3, 5000000000, c.changetime_ns, 0};
        EXPECT_EQ(native_identity_needs_generation(&id), c.needs) << c.changetime_ns;
    }

    write_native("f.bin", "some bytes");
    NativeFileIdentity by_fd, by_stat;
    ASSERT_EQ(native_path_stat_identity(path("f.bin").c_str(), &by_stat), 1);
    if (by_stat.changetime_ns % 1000000000 == 0)
        GTEST_SKIP() << "this file system keeps its times to the second";
    int fd = native_file_open_read(path("f.bin").c_str());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(native_file_identity(fd, &by_fd), 1);
    native_file_close(fd);
    EXPECT_EQ(by_fd.generation, 0u);
    EXPECT_EQ(native_identity_equal(&by_fd, &by_stat), 1);
    /* Taken with nothing to open: a removed file still completes. */
    ASSERT_EQ(native_file_remove(path("f.bin").c_str(), root.size()), 1);
    EXPECT_EQ(native_path_add_generation(path("f.bin").c_str(), &by_stat), 1);
}

TEST_F(NativeFileTest, IdentityChangesWithARewriteEvenAtTheSameTimes)
{
    write_native("f.bin", "version one");
    NativeFileIdentity a, b, c;
    ASSERT_EQ(native_path_identity(path("f.bin").c_str(), &a), 1);
    int fd = native_file_open_read(path("f.bin").c_str());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(native_file_identity(fd, &b), 1);
    native_file_close(fd);
    EXPECT_EQ(native_identity_equal(&a, &b), 1);
    EXPECT_EQ(a.size, 11u);
    struct timespec times[2] = {{1700000000, 5}, {1700000000, 5}};
    ASSERT_EQ(utimensat(AT_FDCWD, path("f.bin").c_str(), times, 0), 0);
    ASSERT_EQ(native_path_identity(path("f.bin").c_str(), &a), 1);
    usleep(10000); /* past the change time's tick */
    write_native("f.bin", "version two");
    ASSERT_EQ(utimensat(AT_FDCWD, path("f.bin").c_str(), times, 0), 0);
    ASSERT_EQ(native_path_identity(path("f.bin").c_str(), &c), 1);
    EXPECT_EQ(c.modtime_ns, a.modtime_ns);
    EXPECT_EQ(native_identity_equal(&a, &c), 0);
    mkdir_native("d");
    EXPECT_EQ(native_path_identity(path("d").c_str(), &c), 0);
}

namespace {

/* Bytes that no two offsets of a block repeat in the same way. */
std::string pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = (char)(((i + seed) * 2654435761u) >> 13);
    return s;
}

} // namespace

/* Whichever way the bytes go (inside the kernel between two files, through
 * the buffer from a pipe), the copy is whole and the buffer may be small. */
TEST_F(NativeFileTest, CopyTakesTheWholeSourceWhateverItsSize)
{
    for (size_t size : {(size_t)0, (size_t)1, (size_t)4096, (size_t)3 * 1024 * 1024 + 17}) {
        for (bool from_pipe : {false, true}) {
            SCOPED_TRACE(std::to_string(size) + (from_pipe ? " from a pipe" : " from a file"));
            std::string data = pattern(size, (unsigned)size);
            int src = -1;
            std::thread feeder;
            int pipe_fds[2];
            if (from_pipe) {
                ASSERT_EQ(pipe(pipe_fds), 0);
                src = pipe_fds[0];
                feeder = std::thread([&] {
                    native_file_write_all(pipe_fds[1], data.data(), data.size());
                    close(pipe_fds[1]);
                });
            } else {
                write_native("src.bin", data);
                src = native_file_open_read(path("src.bin").c_str());
            }
            ASSERT_GE(src, 0);
            int dst = native_file_create(path("dst.bin").c_str(), root.size());
            ASSERT_GE(dst, 0);
            char buffer[1000];
            int write_failed = -1;
            EXPECT_EQ(native_file_copy(src, dst, buffer, sizeof buffer, &write_failed), 1);
            if (feeder.joinable())
                feeder.join();
            native_file_close(src);
            EXPECT_EQ(native_file_close(dst), 1);
            EXPECT_TRUE(read_native("dst.bin") == data);
        }
    }
}

/* A copy is a file of its own: writing to it leaves the source alone. */
TEST_F(NativeFileTest, CopyIsNeverALinkToTheSource)
{
    write_native("src.bin", "the game's own bytes");
    int src = native_file_open_read(path("src.bin").c_str());
    int dst = native_file_create(path("dst.bin").c_str(), root.size());
    ASSERT_GE(src, 0);
    ASSERT_GE(dst, 0);
    char buffer[64];
    int write_failed = -1;
    ASSERT_EQ(native_file_copy(src, dst, buffer, sizeof buffer, &write_failed), 1);
    NativeFileIdentity a, b;
    ASSERT_EQ(native_file_identity(src, &a), 1);
    ASSERT_EQ(native_file_identity(dst, &b), 1);
    EXPECT_NE(a.inode, b.inode);
    native_file_close(src);
    native_file_close(dst);
    write_native("dst.bin", "edited in builds/");
    EXPECT_EQ(read_native("src.bin"), "the game's own bytes");
    struct stat st;
    ASSERT_EQ(stat(path("src.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 1u);
}

/* A failure says which side failed and why, so the caller can name the
 * right file. */
TEST_F(NativeFileTest, CopyFailureTellsTheSideAndTheCause)
{
    write_native("src.bin", pattern(3 * 1024 * 1024, 7));
    write_native("other.bin", "x");
    struct Case {
        const char *what;
        int src_flags, dst_flags;
        bool size_limit; /* writes past 1 MiB fail */
        int write_failed, cause;
    } cases[] = {
        {"source not readable", O_WRONLY, O_WRONLY | O_TRUNC, false, 0, EBADF},
        {"destination not writable", O_RDONLY, O_RDONLY, false, 1, EBADF},
        {"file size limit", O_RDONLY, O_WRONLY | O_TRUNC, true, 1, EFBIG},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        int src = open(path("src.bin").c_str(), c.src_flags);
        int dst = open(path("other.bin").c_str(), c.dst_flags);
        ASSERT_GE(src, 0);
        ASSERT_GE(dst, 0);
        char buffer[4096];
        int write_failed = -1, copied, cause;
        {
            FileSizeLimit limit(c.size_limit ? 1024 * 1024 : RLIM_INFINITY);
            ASSERT_TRUE(limit.set);
            errno = 0;
            copied = native_file_copy(src, dst, buffer, sizeof buffer, &write_failed);
            cause = errno;
        }
        close(src);
        close(dst);
        EXPECT_EQ(copied, 0);
        EXPECT_EQ(write_failed, c.write_failed);
        EXPECT_EQ(cause, c.cause) << strerror(cause);
    }
}

namespace {

/* Each write beneath the installation, on a native path and the length of
 * its installation part; 1/0, every descriptor closed. */
struct BeneathWrite {
    const char *what;
    int (*write)(const std::string &native, size_t dir_length);
};

int beneath_create(const std::string &native, size_t dir_length)
{
    int fd = native_file_create(native.c_str(), dir_length);
    return fd >= 0 ? native_file_close(fd) : 0;
}

int beneath_mkdir(const std::string &native, size_t dir_length)
{
    return native_make_directory(native.c_str(), dir_length);
}

int beneath_remove(const std::string &native, size_t dir_length)
{
    return native_file_remove(native.c_str(), dir_length);
}

int beneath_lock(const std::string &native, size_t dir_length)
{
    int fd = native_file_lock(native.c_str(), dir_length, NULL);
    return fd >= 0 ? native_file_close(fd) : 0;
}

int beneath_temp(const std::string &native, size_t dir_length)
{
    int fd = native_temp_file_open(native.c_str(), dir_length);
    return fd >= 0 ? native_file_close(fd) : 0;
}

int beneath_mkdirs(const std::string &native, size_t dir_length)
{
    return native_make_directories(native.c_str(), dir_length);
}

int beneath_chmod(const std::string &native, size_t dir_length)
{
    return native_set_usual_mode(native.c_str(), dir_length, NATIVE_MODE_EXECUTABLE);
}

/* A file of the installation's given the name beside native, or native's
 * name: publish refuses the directory on the way before it looks. */
int beneath_publish(const std::string &from, const std::string &to, size_t dir_length)
{
    int fd = open((from.substr(0, dir_length) + "/plain.txt").c_str(), O_RDONLY);
    int ok = native_file_publish(fd, from.c_str(), to.c_str(), dir_length);
    int saved = errno;
    close(fd);
    errno = saved;
    return ok;
}

std::string beside(const std::string &native, const char *name)
{
    return native.substr(0, native.rfind('/') + 1) + name;
}

int beneath_publish_from(const std::string &native, size_t dir_length)
{
    return beneath_publish(native, beside(native, "renamed"), dir_length);
}

int beneath_publish_to(const std::string &native, size_t dir_length)
{
    return beneath_publish(beside(native, "plain.txt"), native, dir_length);
}

const BeneathWrite beneath_writes[] = {
    {"create", beneath_create},          {"make a directory", beneath_mkdir},
    {"remove", beneath_remove},          {"lock", beneath_lock},
    {"nameless file", beneath_temp},     {"make directories", beneath_mkdirs},
    {"mode change", beneath_chmod},      {"publish from", beneath_publish_from},
    {"publish onto", beneath_publish_to},
};

/* Turns openat2 off for one test's scope, or leaves it on. */
struct Openat2Scope {
    explicit Openat2Scope(bool on) { native_beneath_use_openat2(on); }
    ~Openat2Scope() { native_beneath_use_openat2(1); }
};

class NativeBeneathTest : public NativeFileTest, public ::testing::WithParamInterface<bool> {
protected:
    /* root/inst is the installation; root/outside lies beside it. */
    void plant()
    {
        mkdir_native("inst/builds/real");
        write_native("inst/plain.txt", "plain");
        write_native("outside/victim.txt", "outside bytes");
        ASSERT_EQ(chmod(path("outside/victim.txt").c_str(), 0600), 0);
        mkdir_native("outside/dir");
        ASSERT_EQ(symlink("../../outside", path("inst/builds/linkdir").c_str()), 0);
        ASSERT_EQ(symlink("../../outside/victim.txt", path("inst/builds/linkfile").c_str()), 0);
        ASSERT_EQ(symlink("../../outside/new.txt", path("inst/builds/dangling").c_str()), 0);
        ASSERT_EQ(symlink("../../outside/dir", path("inst/builds/linked").c_str()), 0);
    }

    /* Everything beside the installation, names, bytes and modes. */
    std::string outside_snapshot()
    {
        std::string out;
        run_command("cd '" + root + "/outside' && find . -printf '%p %m %s\\n' | sort > "
                    "'" + root + "/snapshot.txt' && find . -type f -print0 | sort -z | "
                    "xargs -0 -r cat >> '" + root + "/snapshot.txt'");
        out = read_native("snapshot.txt");
        unlink(path("snapshot.txt").c_str());
        return out;
    }

    std::string inst() { return root + "/inst"; }
    size_t inst_length() { return inst().size(); }
};

} // namespace

/* Every native write refuses a link as a directory on the way and as its
 * last name (a dangling one included), and leaves what lies outside the
 * installation exactly as it was: with openat2, and with the resolution of
 * kernels without it. */
TEST_P(NativeBeneathTest, EveryWriteRefusesALinkOnTheWayOrAtTheEnd)
{
    Openat2Scope scope(GetParam());
    plant();
    std::string before = outside_snapshot();
    const char *through[] = {"builds/linkdir/victim.txt", "builds/linkdir/fresh",
                             "builds/linked/fresh", "builds/linkfile", "builds/dangling",
                             "builds/linked"};
    for (const BeneathWrite &w : beneath_writes) {
        for (const char *rel : through) {
            std::string native = inst() + "/" + rel;
            bool last_is_link = std::string(rel).find('/', 7) == std::string::npos;
            /* Removing or renaming a link itself changes nothing outside,
             * and a file made anew replaces one (see below). */
            if (last_is_link && (w.write == beneath_remove || w.write == beneath_publish_from ||
                                 w.write == beneath_publish_to || w.write == beneath_create))
                continue;
            SCOPED_TRACE(std::string(w.what) + " " + rel);
            errno = 0;
            EXPECT_EQ(w.write(native, inst_length()), 0);
            EXPECT_EQ(errno, ELOOP);
        }
    }
    EXPECT_EQ(outside_snapshot(), before);
    EXPECT_FALSE(native_exists("outside/new.txt"));
    EXPECT_FALSE(native_exists("outside/fresh"));
    EXPECT_FALSE(native_exists("outside/dir/fresh"));
}

/* The same writes on plain names do their work, in both resolutions. */
TEST_P(NativeBeneathTest, EveryWriteWorksOnPlainNames)
{
    Openat2Scope scope(GetParam());
    plant();
    size_t n = inst_length();
    EXPECT_EQ(beneath_mkdir(inst() + "/builds/real/sub", n), 1);
    EXPECT_EQ(beneath_mkdir(inst() + "/builds/real/sub", n), 1); /* already there */
    EXPECT_EQ(beneath_create(inst() + "/builds/real/sub/a.txt", n), 1);
    EXPECT_EQ(beneath_create(inst() + "/builds/real/sub/a.txt", n), 1); /* made anew */
    EXPECT_EQ(beneath_chmod(inst() + "/builds/real/sub/a.txt", n), 1);
    EXPECT_EQ(mode_of("inst/builds/real/sub/a.txt") & 0100, 0100u);
    EXPECT_EQ(beneath_mkdirs(inst() + "/builds/new/deeper/deepest", n), 1);
    EXPECT_EQ(beneath_mkdirs(inst() + "/builds/new/deeper/deepest", n), 1);
    EXPECT_TRUE(native_exists("inst/builds/new/deeper/deepest"));
    errno = 0;
    EXPECT_EQ(beneath_mkdirs(inst() + "/plain.txt/sub", n), 0);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_EQ(beneath_temp(inst() + "/builds", n), 1);
    EXPECT_EQ(beneath_lock(inst() + "/builds/real/lock", n), 1);
    std::string to = inst() + "/builds/real/b.txt";
    for (const std::string &from : {inst() + "/builds/real/b.tmp", inst() + "/top.tmp"}) {
        /* in a directory below, and at the top: the installation itself */
        int fd = native_file_create(from.c_str(), n);
        ASSERT_GE(fd, 0);
        std::string named = beside(from, from == inst() + "/top.tmp" ? "top.txt" : "b.txt");
        EXPECT_EQ(native_file_publish(fd, from.c_str(), named.c_str(), n), 1);
        native_file_close(fd);
    }
    EXPECT_TRUE(native_exists("inst/builds/real/b.txt"));
    EXPECT_TRUE(native_exists("inst/top.txt"));
    EXPECT_FALSE(native_exists("inst/top.tmp"));
    EXPECT_EQ(beneath_remove(to, n), 1);
    EXPECT_FALSE(native_exists("inst/builds/real/b.txt"));
    /* A path that leaves its directory is refused before any lookup. */
    for (const char *rel : {"builds/../plain.txt", "builds/./x", "builds//x", ""}) {
        SCOPED_TRACE(rel);
        errno = 0;
        EXPECT_EQ(beneath_create(inst() + "/" + rel, n), 0);
        EXPECT_EQ(errno, EINVAL);
    }
}

/* A hard link to an outside file, or something that is no regular file,
 * is never locked: its bytes stay as they were. */
TEST_P(NativeBeneathTest, LockRefusesAFileWithAnotherNameAndANonRegularOne)
{
    Openat2Scope scope(GetParam());
    plant();
    ASSERT_EQ(link(path("outside/victim.txt").c_str(), path("inst/builds/hard").c_str()), 0);
    ASSERT_EQ(mkfifo(path("inst/builds/pipe").c_str(), 0600), 0);
    std::string before = outside_snapshot();
    struct Case {
        const char *rel;
        int error;
    } cases[] = {{"builds/hard", EMLINK}, {"builds/pipe", EINVAL}, {"builds/linkfile", ELOOP}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.rel);
        errno = 0;
        EXPECT_EQ(beneath_lock(inst() + "/" + c.rel, inst_length()), 0);
        EXPECT_EQ(errno, c.error);
    }
    EXPECT_EQ(outside_snapshot(), before);
}

/* What stands at a name a file is written under: a link (to a file, to a
 * directory, dangling), a second name of an outside file, a pipe. */
struct Planted {
    const char *rel;
    int kept_refusal; /* what NATIVE_REUSE_EXISTING answers */
};

const Planted planted_names[] = {
    {"builds/linkfile", ELOOP}, {"builds/dangling", ELOOP}, {"builds/linked", ELOOP},
    {"builds/hard", EMLINK},    {"builds/pipe", EINVAL},
};

/* Writes "new" through fd and closes it; 1/0. */
int write_new(int fd)
{
    if (fd < 0)
        return 0;
    int ok = native_file_write_all(fd, "new", 3);
    return native_file_close(fd) && ok;
}

/* A file made anew, or a log kept where it is its own, replaces whatever
 * else stands at the name without following or opening it: the outside
 * file keeps its bytes, no byte reaches a pipe's reader, and the name is a
 * regular file of its own. Where the file must be kept as it is, each of
 * them is refused instead. */
TEST_P(NativeBeneathTest, WritesReplaceWhatStandsAtTheNameAndNeverWriteThroughIt)
{
    Openat2Scope scope(GetParam());
    struct Writer {
        const char *what;
        int (*open)(const std::string &native, size_t dir_length);
    } writers[] = {
        {"create",
         [](const std::string &p, size_t n) { return native_file_create(p.c_str(), n); }},
        {"rewrite",
         [](const std::string &p, size_t n) {
             return native_file_reuse(p.c_str(), n, NATIVE_REUSE_EMPTY);
         }},
        {"append",
         [](const std::string &p, size_t n) {
             return native_file_reuse(p.c_str(), n, NATIVE_REUSE_KEEP);
         }},
    };
    for (const Writer &w : writers) {
        for (const Planted &c : planted_names) {
            SCOPED_TRACE(std::string(w.what) + " " + c.rel);
            run_command("rm -rf '" + root + "/inst' '" + root + "/outside'");
            plant();
            ASSERT_EQ(link(path("outside/victim.txt").c_str(), path("inst/builds/hard").c_str()),
                      0);
            ASSERT_EQ(mkfifo(path("inst/builds/pipe").c_str(), 0600), 0);
            std::string before = outside_snapshot();
            /* A reader on the pipe: a write reaching it would show here. */
            int reader = open(path("inst/builds/pipe").c_str(), O_RDONLY | O_NONBLOCK);
            ASSERT_GE(reader, 0);
            EXPECT_EQ(write_new(w.open(inst() + "/" + c.rel, inst_length())), 1);
            char got[8];
            EXPECT_LE(read(reader, got, sizeof got), 0);
            close(reader);
            struct stat st;
            ASSERT_EQ(lstat(path(std::string("inst/") + c.rel).c_str(), &st), 0);
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_EQ(st.st_nlink, 1u);
            EXPECT_EQ(read_native(std::string("inst/") + c.rel), "new");
            EXPECT_EQ(outside_snapshot(), before);
            EXPECT_FALSE(native_exists("outside/new.txt"));
        }
    }
    run_command("rm -rf '" + root + "/inst' '" + root + "/outside'");
    plant();
    ASSERT_EQ(link(path("outside/victim.txt").c_str(), path("inst/builds/hard").c_str()), 0);
    ASSERT_EQ(mkfifo(path("inst/builds/pipe").c_str(), 0600), 0);
    std::string before = outside_snapshot();
    for (const Planted &c : planted_names) {
        SCOPED_TRACE(std::string("existing ") + c.rel);
        errno = 0;
        EXPECT_EQ(native_file_reuse((inst() + "/" + c.rel).c_str(), inst_length(),
                                    NATIVE_REUSE_EXISTING),
                  -1);
        EXPECT_EQ(errno, c.kept_refusal);
    }
    EXPECT_EQ(outside_snapshot(), before);
    errno = 0;
    EXPECT_EQ(native_file_create((inst() + "/builds/real").c_str(), inst_length()), -1);
    EXPECT_EQ(errno, EISDIR) << "a directory is never replaced";
}

/* A file of its own at the name is kept: emptied for a rewrite (the same
 * inode, so someone following it reads on), appended to, or written over
 * from its start. */
TEST_P(NativeBeneathTest, ReuseKeepsARegularFileOfItsOwn)
{
    Openat2Scope scope(GetParam());
    plant();
    struct Case {
        NativeReuse how;
        const char *expected;
    } cases[] = {{NATIVE_REUSE_EMPTY, "new"},
                 {NATIVE_REUSE_KEEP, "newin"},
                 {NATIVE_REUSE_EXISTING, "newin"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.expected);
        write_native("inst/builds/own.txt", "plain");
        struct stat before, after;
        ASSERT_EQ(stat(path("inst/builds/own.txt").c_str(), &before), 0);
        EXPECT_EQ(write_new(native_file_reuse((inst() + "/builds/own.txt").c_str(),
                                              inst_length(), c.how)),
                  1);
        ASSERT_EQ(stat(path("inst/builds/own.txt").c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(read_native("inst/builds/own.txt"), c.expected);
    }
    errno = 0;
    EXPECT_EQ(native_file_reuse((inst() + "/builds/none.txt").c_str(), inst_length(),
                                NATIVE_REUSE_EXISTING),
              -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(native_exists("inst/builds/none.txt"));
}

/* A pruned directory loses what is not kept, each entry once with all below
 * it; a link among them is removed itself, never followed, and a link on
 * the way to the directory is refused before anything goes. */
TEST_P(NativeBeneathTest, PruneRemovesWhatIsNotKeptWithoutFollowingALink)
{
    Openat2Scope scope(GetParam());
    plant();
    write_native("inst/builds/real/native/keep/lib", "kept");
    write_native("inst/builds/real/native/drop/deeper/lib", "dropped");
    write_native("inst/builds/real/native/drop.so", "dropped");
    ASSERT_EQ(symlink("../../../../outside/dir", path("inst/builds/real/native/dirlink").c_str()),
              0);
    ASSERT_EQ(symlink("../../../../outside/victim.txt",
                      path("inst/builds/real/native/filelink").c_str()),
              0);
    write_native("outside/dir/inside.txt", "outside");
    std::string before = outside_snapshot();
    struct Seen {
        std::vector<std::string> gone, failed;
    } seen;
    auto keep = [](void *, const char *name) { return strcmp(name, "keep") == 0 ? 1 : 0; };
    auto visit = [](void *user, const char *relative, const NativeFileIdentity *) {
        ((Seen *)user)->gone.push_back(relative);
    };
    auto failed = [](void *user, const char *relative, int) {
        ((Seen *)user)->failed.push_back(relative);
    };
    EXPECT_EQ(native_prune_directory(inst().c_str(), "builds/real/native", keep, visit, failed,
                                     &seen),
              1);
    std::sort(seen.gone.begin(), seen.gone.end());
    EXPECT_EQ(seen.gone, (std::vector<std::string>{"dirlink", "drop", "drop.so", "drop/deeper",
                                                   "drop/deeper/lib", "filelink"}));
    EXPECT_TRUE(seen.failed.empty());
    EXPECT_TRUE(native_exists("inst/builds/real/native/keep/lib"));
    EXPECT_FALSE(native_exists("inst/builds/real/native/drop"));
    EXPECT_FALSE(native_exists("inst/builds/real/native/dirlink"));
    EXPECT_EQ(outside_snapshot(), before);

    EXPECT_EQ(native_prune_directory(inst().c_str(), "builds/real/none", keep, visit, failed,
                                     &seen),
              1)
        << "nothing there is nothing to do";
    seen.gone.clear();
    errno = 0;
    EXPECT_EQ(native_prune_directory(inst().c_str(), "builds/linked", keep, visit, failed, &seen),
              0);
    EXPECT_EQ(errno, ELOOP);
    EXPECT_TRUE(seen.gone.empty());
    EXPECT_EQ(outside_snapshot(), before);
}

/* A name is given only to the file a descriptor holds, whatever took the
 * temporary's place: what stands there instead is removed unfollowed. */
TEST_P(NativeBeneathTest, PublishNamesOnlyTheFileWritten)
{
    Openat2Scope scope(GetParam());
    plant();
    std::string tmp = inst() + "/builds/real/f.tmp", name = inst() + "/builds/real/f.bin";
    int fd = native_file_create(tmp.c_str(), inst_length());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(rename(path("inst/builds/real/f.tmp").c_str(), path("inst/moved.bin").c_str()), 0);
    errno = 0;
    EXPECT_EQ(native_file_publish(fd, tmp.c_str(), name.c_str(), inst_length()), 0);
    EXPECT_EQ(errno, ENOENT);
    ASSERT_EQ(symlink("../../../inst/moved.bin", path("inst/builds/real/f.tmp").c_str()), 0);
    errno = 0;
    EXPECT_EQ(native_file_publish(fd, tmp.c_str(), name.c_str(), inst_length()), 0)
        << "a link to the very file is not its name";
    EXPECT_EQ(errno, ESTALE);
    EXPECT_FALSE(native_exists("inst/builds/real/f.tmp")) << "the link itself is removed";
    EXPECT_FALSE(native_exists("inst/builds/real/f.bin"));
    EXPECT_TRUE(native_exists("inst/moved.bin"));
    errno = 0;
    std::string elsewhere = inst() + "/builds/f.bin";
    EXPECT_EQ(native_file_publish(fd, tmp.c_str(), elsewhere.c_str(), inst_length()), 0);
    EXPECT_EQ(errno, EINVAL) << "only a name beside the temporary";
    native_file_close(fd);
}

INSTANTIATE_TEST_SUITE_P(Resolutions, NativeBeneathTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return std::string(info.param ? "Openat2" : "PerComponent");
                         });

/* FS_IOC_GETVERSION is declared for a long, and file systems write an int
 * into it: where that int lands in the long depends on the byte order. */
TEST(NativeGenerationTest, TheGenerationIsReadWhereverTheIntLandsInTheLong)
{
    EXPECT_EQ(native_generation_of_word(0x9abcdef0ul), 0x9abcdef0u);
    if (sizeof(unsigned long) == 8) {
        EXPECT_EQ(native_generation_of_word((unsigned long)0x12345678u << 32), 0x12345678u)
            << "an int in the first half of a big-endian long";
    }
    /* The int written as a file system writes it, on this machine. */
    unsigned long word = 0;
    int generation = 0x2468ace;
    memcpy(&word, &generation, sizeof generation);
    EXPECT_EQ(native_generation_of_word(word), 0x2468aceu);
    EXPECT_EQ(native_generation_of_word(0), 0u);
}

/* Another program's lease on the lock file makes every open answer "try
 * again" until it lets go, which it need never do within the kernel's
 * lease-break time: the lock gives up after a short while with a cause of
 * its own, never taken for another publish's lock. */
TEST_F(NativeFileTest, ALeaseOnTheLockFileEndsTheLockWithItsOwnCause)
{
    write_native("lock", "");
    int pipes[2];
    ASSERT_EQ(pipe(pipes), 0);
    pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        signal(SIGIO, SIG_IGN); /* the break notice: the holder keeps its lease */
        int fd = open(path("lock").c_str(), O_RDONLY);
        char ok = fd >= 0 && fcntl(fd, F_SETLEASE, F_RDLCK) == 0 ? 'y' : 'n';
        if (write(pipes[1], &ok, 1) != 1)
            _exit(1);
        sleep(30);
        _exit(0);
    }
    close(pipes[1]);
    char ok = 0;
    ASSERT_EQ(read(pipes[0], &ok, 1), 1);
    close(pipes[0]);
    if (ok != 'y') {
        kill(holder, SIGKILL);
        waitpid(holder, NULL, 0);
        GTEST_SKIP() << "no lease could be taken here (it needs the file's owner or "
                        "CAP_LEASE, and a local file system)";
    }
    for (bool openat2 : {true, false}) {
        SCOPED_TRACE(openat2 ? "openat2" : "per component");
        native_beneath_use_openat2(openat2);
        long who = -1;
        errno = 0;
        EXPECT_EQ(native_file_lock(path("lock").c_str(), root.size(), &who), -1);
        EXPECT_EQ(errno, EBUSY);
        EXPECT_EQ(who, -1) << "no holder is named: no publish holds it";
    }
    native_beneath_use_openat2(1);
    kill(holder, SIGKILL);
    waitpid(holder, NULL, 0);
}
