#include "test_support.h"

#include "platform/native_file.h"
#include "publish/files/staging.h"

#include <errno.h>
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
        int fd = native_file_create(path(file).c_str());
        ASSERT_GE(fd, 0);
        EXPECT_EQ(native_file_close(fd), 1);
        EXPECT_EQ(mode_of(file), c.file) << c.mask;
        ASSERT_EQ(native_make_directory(path(dir).c_str()), 1);
        EXPECT_EQ(mode_of(dir), c.directory) << c.mask;
    }
}

TEST_F(NativeFileTest, CreateTruncatesAndWritesReachTheFile)
{
    write_native("old.txt", "a much longer earlier content");
    int fd = native_file_create(path("old.txt").c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(native_file_write_all(fd, "new", 3), 1);
    EXPECT_EQ(native_file_write_at(fd, "N", 1, 0), 1);
    EXPECT_EQ(native_file_write_all(fd, "er", 2), 1); /* the position was left alone */
    EXPECT_EQ(native_file_close(fd), 1);
    EXPECT_EQ(read_native("old.txt"), "Newer");
}

TEST_F(NativeFileTest, CreateInAMissingDirectoryFailsWithTheCause)
{
    errno = 0;
    EXPECT_EQ(native_file_create(path("missing/x").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(NativeFileTest, MakeDirectoryAcceptsADirectoryButNotAFile)
{
    mkdir_native("there");
    write_native("plain", "x");
    EXPECT_EQ(native_make_directory(path("there").c_str()), 1);
    errno = 0;
    EXPECT_EQ(native_make_directory(path("plain").c_str()), 0);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_EQ(native_make_directory(path("missing/sub").c_str()), 0);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(NativeFileTest, TempFileHasNoNameAndReadsBackWhatWasWritten)
{
    int fd = native_temp_file_open(root.c_str());
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
    EXPECT_EQ(native_temp_file_open(path("missing").c_str()), -1);
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
