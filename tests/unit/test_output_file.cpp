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
    OutFile *f = output_open_result("builds/pkg.bin", &texts);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(native_exists(own_temp("pkg.bin")));
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
        OutFile *f = output_open_result("builds/pkg.bin", &texts);
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

int open_descriptors()
{
    int count = 0;
    DIR *d = opendir("/proc/self/fd");
    for (struct dirent *e; d && (e = readdir(d));)
        count += e->d_name[0] != '.';
    if (d)
        closedir(d);
    return count;
}

/* Some 20 MiB in pieces of uneven sizes, with seeks back to patch bytes
 * already written (as the zip writer patches its local headers) and on to
 * the end again. expected gets what the file must hold. */
void write_patched(OutFile *f, const char *path, std::string *expected)
{
    std::string piece;
    uint32_t seed = 12345;
    for (int i = 0; expected->size() < (20u << 20); i++) {
        piece.resize(40000 + (size_t)(i % 7) * 9000);
        for (char &c : piece)
            c = (char)((seed = seed * 1103515245u + 12345u) >> 24);
        ASSERT_TRUE(output_write(f, path, piece.data(), piece.size(), &texts));
        expected->append(piece);
        if (i % 5 != 4)
            continue;
        size_t at = expected->size() / 3 + (size_t)i;
        out_file_seek(f, at);
        ASSERT_TRUE(output_write(f, path, "PATCH", 5, &texts));
        expected->replace(at, 5, "PATCH");
        out_file_seek(f, expected->size());
    }
}

TEST_F(OutputFileTest, LargePatchedResultHoldsEveryByteAndLeavesNoDescriptor)
{
    /* The installation's own descriptor, opened by the first native write
     * beneath it, stays open for the process: it is no file's. */
    OutFile *first = output_open_result("builds/first.bin", &texts);
    ASSERT_NE(first, nullptr);
    output_abandon(first);
    for (int abandon = 0; abandon <= 1; abandon++) {
        write_native("builds/big.bin", "old package");
        int before = open_descriptors();
        OutFile *f = output_open_result("builds/big.bin", &texts);
        ASSERT_NE(f, nullptr);
        std::string expected;
        write_patched(f, "builds/big.bin", &expected);
        EXPECT_GT(open_descriptors(), before);
        if (abandon) {
            output_abandon(f);
            expected = "old package";
        } else {
            ASSERT_TRUE(output_close(f, "builds/big.bin", &texts));
        }
        EXPECT_EQ(open_descriptors(), before) << abandon;
        EXPECT_EQ(names("builds"), std::vector<std::string>{"big.bin"}) << abandon;
        EXPECT_TRUE(read_native("builds/big.bin") == expected) << abandon;
    }
}

TEST_F(OutputFileTest, ADirectoryAtAResultsNameIsRefusedBeforeAnythingIsWritten)
{
    mkdir_native("builds/dir");
    EXPECT_EQ(output_open_result("builds/dir", &texts), nullptr);
    EXPECT_TRUE(was_written("open 'builds/dir': it is a directory"));
    EXPECT_EQ(names("builds"), std::vector<std::string>{"dir"});
}

TEST_F(OutputFileTest, DiscardRemovesTheTemporariesOfOpenResults)
{
    write_native("builds/a.bin", "old a");
    OutFile *a = output_open_result("builds/a.bin", &texts);
    OutFile *b = output_open_result("builds/b.bin", &texts);
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
