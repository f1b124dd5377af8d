/* Result files: written under a temporary name, renamed onto their own
 * only when complete; an earlier file survives every failure before that. */
#include "publish/files/output_file.h"

#include "test_support.h"

#include <SDL.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>
#include <string>
#include <vector>

namespace {

const OutputTexts texts = {{"open ", ""}, {"write ", ""}, {"close ", ""}};

class OutputFileTest : public FsTest {
protected:
    void SetUp() override
    {
        FsTest::SetUp();
        quiet_log();
        mkdir_native("builds");
    }
    std::vector<std::string> names(const std::string &dir)
    {
        std::vector<std::string> out;
        DIR *d = opendir((root + "/" + dir).c_str());
        for (struct dirent *e; d && (e = readdir(d));)
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                out.push_back(e->d_name);
        if (d)
            closedir(d);
        return out;
    }
    std::string own_temp(const std::string &name)
    {
        return "builds/." + name + ".brindlecot-tmp-" + std::to_string(getpid());
    }
};

TEST_F(OutputFileTest, ResultTakesItsNameOnlyWhenClosed)
{
    write_native("builds/pkg.bin", "old package");
    PHYSFS_File *f = output_open_result("builds/pkg.bin", &texts);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::string(output_name_in_progress(f, "builds/pkg.bin")), own_temp("pkg.bin"));
    ASSERT_TRUE(output_write(f, "builds/pkg.bin", "new", 3, &texts));
    EXPECT_EQ(read_native("builds/pkg.bin"), "old package");
    ASSERT_TRUE(output_close(f, "builds/pkg.bin", &texts));
    EXPECT_EQ(read_native("builds/pkg.bin"), "new");
    EXPECT_EQ(names("builds"), std::vector<std::string>{"pkg.bin"});
    struct stat st;
    ASSERT_EQ(stat((root + "/builds/pkg.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0004, 0004u) << "the usual mode, readable by others";
}

TEST_F(OutputFileTest, FailedResultsLeaveTheEarlierFileAndNoTemporary)
{
    struct Case {
        const char *what;
        int finish_keep; /* -1: output_abandon */
    } cases[] = {{"abandoned", -1}, {"finished without keep", 0}};
    for (const Case &c : cases) {
        write_native("builds/pkg.bin", "old package");
        PHYSFS_File *f = output_open_result("builds/pkg.bin", &texts);
        ASSERT_NE(f, nullptr) << c.what;
        output_write(f, "builds/pkg.bin", "half", 4, &texts);
        if (c.finish_keep < 0)
            output_abandon(f);
        else
            EXPECT_EQ(output_finish(f, c.finish_keep), 0) << c.what;
        EXPECT_EQ(read_native("builds/pkg.bin"), "old package") << c.what;
        EXPECT_EQ(names("builds"), std::vector<std::string>{"pkg.bin"}) << c.what;
    }
}

TEST_F(OutputFileTest, NonRegularTargetsAreRefusedBeforeAnythingIsOpened)
{
    ASSERT_EQ(mkfifo((root + "/builds/pipe").c_str(), 0600), 0);
    mkdir_native("builds/dir");
    ASSERT_EQ(symlink("pkg.bin", (root + "/builds/link").c_str()), 0);
    struct Case {
        const char *path;
        const char *message;
    } cases[] = {
        {"builds/pipe", "open 'builds/pipe': it is not a regular file"},
        {"builds/dir", "open 'builds/dir': it is a directory"},
        {"builds/link", "open 'builds/link': it is not a regular file"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(output_open_result(c.path, &texts), nullptr) << c.path;
        EXPECT_TRUE(was_written(c.message)) << c.path;
    }
    EXPECT_EQ(names("builds").size(), 3u);
}

TEST_F(OutputFileTest, DiscardRemovesTheTemporariesOfOpenResults)
{
    write_native("builds/a.bin", "old a");
    PHYSFS_File *a = output_open_result("builds/a.bin", &texts);
    PHYSFS_File *b = output_open_result("builds/b.bin", &texts);
    ASSERT_TRUE(a && b);
    char *list = output_discard_unfinished();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(std::string(list), "builds/b.bin, builds/a.bin");
    SDL_free(list);
    EXPECT_EQ(names("builds"), std::vector<std::string>{"a.bin"});
    EXPECT_EQ(read_native("builds/a.bin"), "old a");
    output_abandon(a);
    output_abandon(b);
}

TEST_F(OutputFileTest, StaleTemporariesOfDeadRunsAreRemovedLiveOnesKept)
{
    /* pid 1 always exists; a pid past the system's limit never does. */
    write_native("builds/.pkg.bin.brindlecot-tmp-999999999", "dead run");
    write_native("builds/.icon.ico.brindlecot-tmp-1", "live run");
    write_native("builds/pkg.bin", "package");
    write_native("builds/.brindlecot-tmp-5", "not ours: no name before the mark");
    write_native("builds/.x.brindlecot-tmp-12a", "not ours: not a pid");
    char *list = output_remove_stale("builds");
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(std::string(list), "builds/.pkg.bin.brindlecot-tmp-999999999");
    SDL_free(list);
    EXPECT_FALSE(native_exists("builds/.pkg.bin.brindlecot-tmp-999999999"));
    EXPECT_TRUE(native_exists("builds/.icon.ico.brindlecot-tmp-1"));
    EXPECT_TRUE(native_exists("builds/.brindlecot-tmp-5"));
    EXPECT_TRUE(native_exists("builds/.x.brindlecot-tmp-12a"));
    EXPECT_EQ(output_remove_stale("builds"), nullptr);
}

} // namespace
