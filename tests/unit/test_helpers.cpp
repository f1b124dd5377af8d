#include "test_support.h"

#include "engine/helpers.h"
#include "engine/native_path.h"
#include "platform/clock.h"
#include "platform/native.h"

#include <SDL.h>
#include <physfs.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

class HelpersTest : public FsTest {};

TEST_F(HelpersTest, AllocPrintf)
{
    char *empty = alloc_printf("%s", "");
    ASSERT_NE(empty, nullptr);
    EXPECT_STREQ(empty, "");
    SDL_free(empty);
    const char *null_text = getenv("BRINDLECOT_NEVER_SET");
    char *s = alloc_printf("%s-%d-%s", "a", 42, null_text);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "a-42-(null)");
    SDL_free(s);
    std::string big(100000, 'x');
    char *b = alloc_printf("[%s]", big.c_str());
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SDL_strlen(b), big.size() + 2);
    SDL_free(b);
}

TEST_F(HelpersTest, ReadWholeFile)
{
    write_native("empty", "");
    write_native("bin", std::string("a\0b", 3));
    mkdir_native("dir");
    uint64_t len = 99;
    char *buf = read_whole_file("empty", &len);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(buf[0], '\0');
    SDL_free(buf);

    buf = read_whole_file("bin", &len);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(len, 3u);
    EXPECT_STREQ(buf, "a");
    EXPECT_EQ(buf[3], '\0');
    SDL_free(buf);

    len = 99;
    EXPECT_EQ(read_whole_file("missing", &len), nullptr);
    EXPECT_EQ(len, 0u);
    len = 99;
    EXPECT_EQ(read_whole_file("dir", &len), nullptr);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(read_whole_file("missing", NULL), nullptr);
}

TEST_F(HelpersTest, WriteFileCreatesParentsReplacesAndAppends)
{
    ASSERT_EQ(write_whole_file("a/b/c.txt", "one", 3), 1);
    EXPECT_EQ(read_native("a/b/c.txt"), "one");
    ASSERT_EQ(write_whole_file("a/b/c.txt", "xy", 2), 1);
    EXPECT_EQ(read_native("a/b/c.txt"), "xy");
    ASSERT_EQ(write_file_ex(1, "a/b/c.txt", "z", 1), 1);
    EXPECT_EQ(read_native("a/b/c.txt"), "xyz");
    ASSERT_EQ(write_whole_file("top.txt", "", 0), 1);
    EXPECT_TRUE(native_exists("top.txt"));
    EXPECT_EQ(read_native("top.txt"), "");
    EXPECT_EQ(file_exists("top.txt"), 1);
    EXPECT_EQ(file_exists("nope.txt"), 0);
}

TEST_F(HelpersTest, WriteFailsWhereNothingCanBeWritten)
{
    mkdir_native("taken");
    EXPECT_EQ(write_whole_file("taken", "x", 1), 0);
    write_native("plainfile", "x");
    EXPECT_EQ(write_whole_file("plainfile/child", "x", 1), 0);
}

TEST_F(HelpersTest, TimeHelpersFollowTheClock)
{
    clock_set_fixed(86400 * 365); /* 1971-01-01 00:00:00 UTC */
    EXPECT_EQ(time_now_unix(), 86400 * 365);
    setenv("TZ", "UTC", 1);
    tzset();
    int y = 0, mo = 0, d = 0, h = -1, mi = -1, s = -1;
    time_local_parts(&y, &mo, &d, &h, &mi, &s);
    EXPECT_EQ(y, 1971);
    EXPECT_EQ(mo, 1);
    EXPECT_EQ(d, 1);
    EXPECT_EQ(h, 0);
    EXPECT_EQ(mi, 0);
    EXPECT_EQ(s, 0);
    time_local_parts(NULL, NULL, NULL, NULL, NULL, NULL);
    clock_clear_fixed();
    EXPECT_GT(time_now_unix(), 1700000000);
}

/* PhysicsFS makes files 0600 and directories 0700; what the programs write
 * gets the modes any other program would give it under the same umask. The
 * umask is read once per process, so each case runs in a child of its own
 * (which sets its umask before it writes, as a program would) and reports
 * the first wrong mode through its exit status. */
TEST_F(HelpersTest, WrittenFilesAndNewDirectoriesGetTheUsualModesUnderTheUmask)
{
    struct Case {
        mode_t mask;
        unsigned file, dir, executable;
    } cases[] = {{022, 0644, 0755, 0755}, {077, 0600, 0700, 0700}, {002, 0664, 0775, 0755}};
    const char *checked[] = {"top (was there)", "top/a", "top/a/b", "top/c", "top/c/d",
                             "top/c/d/f.txt", "top/tool", "native_usual_mode"};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mask);
        run_command("rm -rf '" + root + "/top'");
        mkdir_native("top");
        ASSERT_EQ(chmod((root + "/top").c_str(), 0750), 0);
        write_native("top/tool", "#!/bin/sh\n");
        pid_t child = fork();
        ASSERT_NE(child, -1);
        if (child == 0) {
            umask(c.mask);
            const char data[] = "x";
            int ok = fs_mkdir("top/a/b") && write_whole_file("top/c/d/f.txt", data, 1) &&
                     native_make_executable((root + "/top/tool").c_str(), root.size());
            if (!ok)
                _exit(100);
            const struct {
                const char *rel;
                unsigned mode;
            } expect[] = {{"top", 0750},   {"top/a", c.dir},        {"top/a/b", c.dir},
                          {"top/c", c.dir}, {"top/c/d", c.dir},     {"top/c/d/f.txt", c.file},
                          {"top/tool", c.executable}};
            for (size_t i = 0; i < SDL_arraysize(expect); i++) {
                struct stat st;
                if (stat((root + "/" + expect[i].rel).c_str(), &st) != 0 ||
                    (st.st_mode & 07777) != expect[i].mode)
                    _exit(1 + (int)i);
            }
            _exit(native_usual_mode(NATIVE_MODE_FILE) == c.file ? 0 : 8);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        int code = WEXITSTATUS(status);
        EXPECT_EQ(code, 0) << (code == 100 ? "a write failed" : "wrong mode: ")
                           << (code >= 1 && code <= 8 ? checked[code - 1] : "");
    }
}

/* Every native operation takes its path from here: PhysicsFS's separators,
 * and nothing that could lead out of the installation. */
TEST_F(HelpersTest, NativeWritePathKeepsToTheWriteDirectory)
{
    struct Case {
        const char *path, *native; /* native below root; NULL: refused */
    } cases[] = {
        {"builds/mygame-html5-1.0", "/builds/mygame-html5-1.0"},
        {"/builds//x/", "/builds/x"},
        {"builds/1..2/..x/x..", "/builds/1..2/..x/x.."},
        {"builds/mygame-html5-..", "/builds/mygame-html5-.."},
        {".brindlecot/.x.ico", "/.brindlecot/.x.ico"},
        {"", NULL},
        {"/", NULL},
        {".", NULL},
        {"..", NULL},
        {"builds/..", NULL},
        {"builds/mygame-html5-1/..", NULL},
        {"builds/mygame-html5-1/../../canary", NULL},
        {"../x", NULL},
        {"a/./b", NULL},
        {"a/.", NULL},
        {"a:b", NULL},
        {"builds/a\\b", NULL},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        size_t dir_length = 0;
        errno = 0;
        char *native = fs_native_write_path(c.path, &dir_length);
        if (!c.native) {
            EXPECT_EQ(native, nullptr);
            EXPECT_EQ(errno, EINVAL);
            continue;
        }
        ASSERT_NE(native, nullptr);
        EXPECT_EQ(std::string(native), root + c.native);
        EXPECT_EQ(dir_length, root.size());
        SDL_free(native);
    }
    /* Nothing is made where a path is refused, and PhysicsFS's error says
     * why. */
    EXPECT_EQ(fs_mkdir("logs/.."), 0);
    EXPECT_EQ(PHYSFS_getLastErrorCode(), PHYSFS_ERR_BAD_FILENAME);
    EXPECT_FALSE(native_exists("logs"));
}
