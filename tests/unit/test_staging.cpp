#include "engine/out_file.h"
#include "test_support.h"
#include "zip_package.h"

#include "publish/platforms/platform_table.h"
#include "engine/tree_walk.h"
#include "publish/files/file_copy.h"
#include "publish/files/staging.h"
#include "publish/files/staging_copies.h"
#include "publish/files/tree_delete.h"
#include "publish/archive/zip_writer.h"

#include <SDL.h>
#include <physfs.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <set>

namespace {

class StagingTest : public FsTest {
protected:
    /* Every path below rel, relative to it; directories end in "/". */
    std::set<std::string> tree(const std::string &rel)
    {
        std::set<std::string> out;
        std::filesystem::path top = root + "/" + rel;
        for (auto &e : std::filesystem::recursive_directory_iterator(top)) {
            std::string p = std::filesystem::relative(e.path(), top).string();
            out.insert(e.is_directory() ? p + "/" : p);
        }
        return out;
    }

    /* Position of the first written line containing needle, or -1. */
    int written_index(const std::string &needle) const
    {
        for (size_t i = 0; i < written.size(); i++)
            if (written[i].find(needle) != std::string::npos)
                return (int)i;
        return -1;
    }

    void install_defaults()
    {
        for (const char *name : {"open-source-licenses.txt", "font.ttf", "brindlecot.png",
                                 "brindlecot-controller.png", "console-logo.png"})
            write_native(name, std::string("installation ") + name);
    }
};

std::string random_bytes(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto &c : s)
        c = (char)(gen() & 0xFF);
    return s;
}

TEST(StagingNames, ExcludedNamesIgnoreCaseAndMatchWholeComponents)
{
    struct Case {
        const char *name;
        int excluded;
    } cases[] = {
        {".brindlecot", 1}, {".DS_Store", 1}, {"__MACOSX", 1}, {".git", 1},
        {".hg", 1},         {".svn", 1},      {".Git", 1},     {".ds_store", 1},
        {"__macosx", 1},    {".SVN", 1},      {"git", 0},      {".gitignore", 0},
        {".git2", 0},       {"", 0},          {"DS_Store", 0}, {".brindlecot/x", 0},
        {"x.git", 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(tree_walk_excluded_name(c.name), c.excluded) << c.name;
}

/* The walks' stat must answer as PhysicsFS does, whichever way it takes. */
TEST_F(StagingTest, StatOfAWalkedPathAnswersAsPhysicsFsDoes)
{
    write_native("game/a.txt", "four");
    write_native("game/sub/b.bin", random_bytes(70000, 5));
    write_native("game/odd\\name", "x");
    write_native("game/odd:name", "x");
    ASSERT_EQ(symlink("a.txt", (root + "/game/link").c_str()), 0);
    ASSERT_EQ(mkfifo((root + "/game/fifo").c_str(), 0644), 0);
    const char *paths[] = {"game",          "game/a.txt",    "game/sub",  "game/sub/b.bin",
                           "game/missing",  "game/odd\\name", "game/odd:name", "game/link",
                           "game/fifo",     "game/./a.txt",  "game//a.txt", "/game/a.txt",
                           "game/sub/../a.txt"};
    for (const char *path : paths) {
        PHYSFS_Stat expected, got;
        SDL_zero(expected);
        SDL_zero(got);
        int expected_ok = PHYSFS_stat(path, &expected);
        ASSERT_EQ(tree_walk_stat(path, &got), expected_ok) << path;
        if (!expected_ok)
            continue;
        EXPECT_EQ(got.filetype, expected.filetype) << path;
        EXPECT_EQ(got.filesize, expected.filesize) << path;
        EXPECT_EQ(got.modtime, expected.modtime) << path;
    }
}

/* With another directory before the write directory on the search path, a
 * name there hides the write directory's file: the answer is that file's. */
TEST_F(StagingTest, StatOfAWalkedPathFollowsTheSearchPath)
{
    write_native("game/a.txt", "in the write directory");
    write_native("front/game/a.txt", "front");
    ASSERT_NE(PHYSFS_mount((root + "/front").c_str(), NULL, 0), 0);
    PHYSFS_Stat st;
    ASSERT_EQ(tree_walk_stat("game/a.txt", &st), 1);
    EXPECT_EQ(st.filesize, 5);
}

TEST_F(StagingTest, CopyTreeLeavesOutExcludedNamesAtAnyDepth)
{
    write_native("game/a.txt", "A");
    write_native("game/empty", "");
    mkdir_native("game/emptydir");
    write_native("game/sub/deep/f.bin", std::string("x\0y", 3));
    write_native("game/.git/HEAD", "ref");
    write_native("game/sub/.Git/x", "x");
    write_native("game/sub/deep/__MACOSX/y", "y");
    write_native("game/.svn", "file named like a directory");
    write_native("game/sub/.DS_Store", "ds");
    ASSERT_TRUE(PHYSFS_mkdir("stage"));

    ASSERT_NE(copy_tree("game", "stage"), 0);

    std::set<std::string> expected = {"a.txt", "empty", "emptydir/", "sub/", "sub/deep/",
                                      "sub/deep/f.bin"};
    EXPECT_EQ(tree("stage"), expected);
    EXPECT_EQ(read_native("stage/a.txt"), "A");
    EXPECT_EQ(read_native("stage/empty"), "");
    EXPECT_EQ(read_native("stage/sub/deep/f.bin"), std::string("x\0y", 3));
    EXPECT_TRUE(was_written("Copying 'game/a.txt' to 'stage/a.txt'..."));
}

TEST_F(StagingTest, CopyTreeUnpacksAMountedArchive)
{
    write_native("game/a.txt", "A");
    write_native("game/sub/deep/b.bin", random_bytes(100000, 3));
    mkdir_native("game/emptydir");
    ASSERT_EQ(zip_package_tree("game.zip", "game", 1), 1);
    ASSERT_NE(PHYSFS_mount((root + "/game.zip").c_str(), "mounted", 1), 0);
    ASSERT_TRUE(PHYSFS_mkdir("unpacked"));

    ASSERT_NE(copy_tree("mounted", "unpacked"), 0);
    EXPECT_EQ(tree("unpacked"), tree("game"));
    EXPECT_TRUE(read_native("unpacked/sub/deep/b.bin") == read_native("game/sub/deep/b.bin"));
}

TEST_F(StagingTest, CopyTreeFailsWhenAFileCannotBeWritten)
{
    write_native("game/a.txt", "A");
    /* The destination directory is missing, so the file cannot be created. */
    EXPECT_EQ(copy_tree("game", "nowhere"), 0);
    EXPECT_TRUE(was_written("Can't open 'nowhere/a.txt' for writing: "));
}

/* Each failure of a walk is told once, by the level where it happened, with
 * the operating system's reason; the levels above only pass it on. */
TEST_F(StagingTest, WalkFailuresAreToldOnceWithTheirCause)
{
    mkdir_native("g/sub/inner");
    write_native("stage/sub", "a file where the copy's directory goes");

    write_native("h/sub/a.txt", "A");
    mkdir_native("out/sub/a.txt"); /* a directory where the copy goes */

    const struct {
        const char *what, *src, *dest, *message, *cause;
    } cases[] = {
        {"directory blocked", "g", "stage", "Can't create directory 'stage/sub'",
         ": Not a directory"},
        {"file not writable", "h", "out", "Can't open 'out/sub/a.txt' for writing: ",
         ": Is a directory"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        written.clear();
        EXPECT_EQ(copy_tree(c.src, c.dest), 0);
        std::vector<std::string> errors;
        for (const std::string &l : written)
            if (!l.empty() && l[0] == '!')
                errors.push_back(l);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_NE(errors[0].find(c.message), std::string::npos) << errors[0];
        EXPECT_NE(errors[0].find(c.cause), std::string::npos) << errors[0];
    }
}

TEST_F(StagingTest, CopyFileStreamsFilesLargerThanTheBuffer)
{
    std::string data = random_bytes(9 * 1024 * 1024 + 5, 1);
    write_native("big.bin", data);
    ASSERT_EQ(copy_file("copy.bin", "big.bin"), 1);
    EXPECT_TRUE(read_native("copy.bin") == data);
}

TEST_F(StagingTest, CopyStreamAppendsAndLeavesTheOutputOpen)
{
    std::string data = random_bytes(4 * 1024 * 1024, 2);
    write_native("tail.bin", data);
    write_native("package", "STUB");
    OutFile *out = out_file_open("package", OUT_FILE_APPEND);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(copy_stream(out, "package", "tail.bin"), 1);
    EXPECT_EQ(copy_stream(out, "package", "tail.bin"), 1);
    ASSERT_EQ(out_file_close(out), 1);
    EXPECT_TRUE(read_native("package") == "STUB" + data + data);
}

TEST_F(StagingTest, CopyStreamOfAMissingFileFails)
{
    OutFile *out = out_file_open("package", OUT_FILE_NEW);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(copy_stream(out, "package", "missing.bin"), 0);
    out_file_abandon(out);
    EXPECT_TRUE(was_written("Can't open 'missing.bin' for reading: "));
}

TEST_F(StagingTest, CopyFileFailuresLeaveNoDestination)
{
    write_native("src.txt", "data");
    write_native("big.bin", std::string(3 * 1024 * 1024, 'b'));
    mkdir_native("adir");

    struct Case {
        const char *dst;
        const char *src;
        const char *message;
        const char *left_behind;
    } cases[] = {
        {"out1", "missing.txt", "Can't open 'missing.txt' for reading: ", "out1"},
        {"nodir/out2", "src.txt", "Can't open 'nodir/out2' for writing: ", "nodir"},
        /* A directory opens but cannot be read. */
        {"out3", "adir", "Read from 'adir' failed: ", "out3"},
        /* Past the file size limit set below: a short write. */
        {"out4", "big.bin", "Write to 'out4' failed: ", "out4"},
    };
    for (const Case &c : cases) {
        written.clear();
        /* Writes past 1 MiB fail with EFBIG rather than a signal. */
        struct rlimit old_limit, limit;
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
        limit = old_limit;
        limit.rlim_cur = 1024 * 1024;
        void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
        int result = copy_file(c.dst, c.src);
        setrlimit(RLIMIT_FSIZE, &old_limit);
        signal(SIGXFSZ, old_handler);
        EXPECT_EQ(result, 0) << c.dst;
        EXPECT_TRUE(was_written(c.message)) << c.message;
        struct stat st;
        EXPECT_NE(lstat((root + "/" + c.left_behind).c_str(), &st), 0) << c.left_behind;
    }
}

TEST_F(StagingTest, DeleteTreeAnnouncesEveryEntryInnermostFirst)
{
    write_native("del/a/b/c.txt", "c");
    write_native("del/a/d.txt", "d");
    mkdir_native("del/e");
    ASSERT_EQ(delete_tree("del"), 1);
    EXPECT_FALSE(native_exists("del"));

    int file = written_index("Deleting 'del/a/b/c.txt'...");
    int inner = written_index("Deleting 'del/a/b'...");
    int outer = written_index("Deleting 'del/a'...");
    EXPECT_GE(file, 0);
    EXPECT_GT(inner, file);
    EXPECT_GT(outer, inner);
    EXPECT_TRUE(was_written("Deleting 'del/a/d.txt'..."));
    EXPECT_TRUE(was_written("Deleting 'del/e'..."));
    EXPECT_GT(written_index("Deleting 'del'..."), outer);
}

TEST_F(StagingTest, StripRemovesLauncherFilesAtTheTopOnly)
{
    const char *stripped[] = {"brindlecot", "brindlecot.bat", "run", "run.bat", "replay.txt",
                              "watch-recording", "watch-recording.bat", "run-demo",
                              "run-demo.bat"};
    for (const char *name : stripped)
        write_native(std::string("stage/") + name, "launcher");
    write_native("stage/sub/run", "kept below the top");
    write_native("stage/runner", "kept");
    NativeEntryRule native = platform_native_rule("linux-amd64");
    ASSERT_EQ(strip_staged_tree(&native, "stage"), 1);
    std::set<std::string> expected = {"sub/", "sub/run", "runner"};
    EXPECT_EQ(tree("stage"), expected);
}

TEST_F(StagingTest, StripWithoutNativeDirectorySucceeds)
{
    write_native("stage/a.txt", "a");
    NativeEntryRule native = platform_native_rule("html5");
    EXPECT_EQ(strip_staged_tree(&native, "stage"), 1);
    EXPECT_TRUE(native_exists("stage/a.txt"));
}

TEST_F(StagingTest, NativeDirectoryKeepsOnlyTheBuildsPlatform)
{
    struct Case {
        const char *platform;
        std::vector<std::string> entries; /* a trailing "/" makes a directory with a file */
        std::set<std::string> kept;
    } cases[] = {
        {"windows-amd64",
         {"linux-amd64/", "windows-amd64/", "android-arm64/", "macos.dylib"},
         {"windows-amd64/", "windows-amd64/lib"}},
        {"windows-amd64", {"Windows-AMD64/", "linux-amd64"}, {"Windows-AMD64/", "Windows-AMD64/lib"}},
        {"android",
         {"Android/", "android-arm64/", "ANDROID-x86", "androidx/", "linux-amd64"},
         {"Android/", "Android/lib", "android-arm64/", "android-arm64/lib", "ANDROID-x86"}},
        {"Android", {"android/", "android-arm64/", "ANDROID-x86"}, {"android/", "android/lib"}},
        {"html5", {"linux-amd64/", "html5"}, {"html5"}},
    };
    for (const Case &c : cases) {
        run_command("rm -rf '" + root + "/stage'");
        for (const std::string &e : c.entries) {
            if (e.back() == '/')
                write_native("stage/native/" + e + "lib", "native code");
            else
                write_native("stage/native/" + e, "native code");
        }
        written.clear();
        NativeEntryRule native = platform_native_rule(c.platform);
        ASSERT_EQ(strip_staged_tree(&native, "stage"), 1) << c.platform;
        EXPECT_EQ(tree("stage/native"), c.kept) << c.platform;
    }
    EXPECT_TRUE(was_written("Deleting 'stage/native/linux-amd64'..."));
}

TEST_F(StagingTest, DefaultsFillWhatTheGameLacksAndWriteTheFlag)
{
    install_defaults();
    write_native("stage/font.ttf", "the game's own font");
    ASSERT_EQ(add_staged_defaults("stage"), 1);

    EXPECT_EQ(read_native("stage/font.ttf"), "the game's own font");
    EXPECT_EQ(read_native("stage/console-logo.png"), "installation console-logo.png");
    EXPECT_EQ(read_native("stage/open-source-licenses.txt"), "installation open-source-licenses.txt");
    std::set<std::string> expected = {"open-source-licenses.txt", "font.ttf", "brindlecot.png",
                                      "brindlecot-controller.png", "console-logo.png",
                                      "metadata/", "metadata/BRINDLECOT_PRODUCTION_BUILD"};
    EXPECT_EQ(tree("stage"), expected);
    EXPECT_EQ(read_native("stage/metadata/BRINDLECOT_PRODUCTION_BUILD"), "");
}

TEST_F(StagingTest, DefaultsTruncateAnExistingFlagFile)
{
    install_defaults();
    write_native("stage/metadata/BRINDLECOT_PRODUCTION_BUILD", "stale");
    ASSERT_EQ(add_staged_defaults("stage"), 1);
    EXPECT_EQ(read_native("stage/metadata/BRINDLECOT_PRODUCTION_BUILD"), "");
}

TEST_F(StagingTest, DefaultMissingFromTheInstallationFailsWithoutACopy)
{
    install_defaults();
    ASSERT_EQ(unlink((root + "/font.ttf").c_str()), 0);
    mkdir_native("stage");
    EXPECT_EQ(add_staged_defaults("stage"), 0);
    EXPECT_TRUE(was_written("Can't open 'font.ttf' for reading: "));
    EXPECT_FALSE(native_exists("stage/font.ttf"));
    EXPECT_FALSE(native_exists("stage/metadata"));
}

TEST_F(StagingTest, FlagFileThatCannotBeWrittenFails)
{
    install_defaults();
    /* A file where the metadata directory should be. */
    write_native("stage/metadata", "not a directory");
    EXPECT_EQ(add_staged_defaults("stage"), 0);
    EXPECT_TRUE(was_written("Failed to write production build flag!"));
}

TEST_F(StagingTest, MakeExecutableSetsMode0755)
{
    write_native("bin/tool", "#!/bin/sh\n");
    ASSERT_EQ(chmod((root + "/bin/tool").c_str(), 0600), 0);
    ASSERT_EQ(make_executable("bin/tool"), 1);
    struct stat st;
    ASSERT_EQ(stat((root + "/bin/tool").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_TRUE(was_written("Making 'bin/tool' executable..."));
}

TEST_F(StagingTest, MakeExecutableWithoutWriteDirectoryUsesTheCurrentDirectory)
{
    write_native("tool", "x");
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(root.c_str()), 0);
    ASSERT_NE(PHYSFS_setWriteDir(NULL), 0);
    int result = make_executable("tool");
    ASSERT_EQ(chdir(old), 0);
    EXPECT_EQ(result, 1);
    struct stat st;
    ASSERT_EQ(stat((root + "/tool").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
}

TEST_F(StagingTest, MakeExecutableOfAMissingFileFails)
{
    EXPECT_EQ(make_executable("nothere"), 0);
    EXPECT_TRUE(was_written("Failed to make 'nothere' executable: No such file or directory"));
}

} // namespace
