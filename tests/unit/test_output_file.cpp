/* Result files: written under a temporary name, renamed onto their own
 * only when complete; an earlier file survives every failure before that. */
#include "publish/files/output_file.h"

#include "test_support.h"

#include <SDL.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <fcntl.h>
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

/* What someone else may put at a name before the publisher writes it. */
enum PlantKind { PLANT_HARD_LINK, PLANT_SYMLINK, PLANT_DANGLING, PLANT_FIFO };

struct PlantCase {
    const char *what;
    PlantKind kind;
};

const PlantCase plant_cases[] = {
    {"a second name of an outside file", PLANT_HARD_LINK},
    {"a link to an outside file", PLANT_SYMLINK},
    {"a dangling link", PLANT_DANGLING},
    {"a pipe", PLANT_FIFO},
};

class PlantedNameTest : public OutputFileTest {
protected:
    void SetUp() override
    {
        OutputFileTest::SetUp();
        write_native("outside/victim.txt", "outside bytes");
        ASSERT_EQ(stat((root + "/outside/victim.txt").c_str(), &victim_before), 0);
    }
    void plant(const std::string &rel, PlantKind kind)
    {
        std::string at = root + "/" + rel;
        unlink(at.c_str());
        switch (kind) {
        case PLANT_HARD_LINK:
            ASSERT_EQ(link((root + "/outside/victim.txt").c_str(), at.c_str()), 0);
            break;
        case PLANT_SYMLINK:
            ASSERT_EQ(symlink((root + "/outside/victim.txt").c_str(), at.c_str()), 0);
            break;
        case PLANT_DANGLING:
            ASSERT_EQ(symlink((root + "/outside/new.txt").c_str(), at.c_str()), 0);
            break;
        case PLANT_FIFO:
            ASSERT_EQ(mkfifo(at.c_str(), 0600), 0);
            break;
        }
    }
    /* The outside file keeps its bytes and times, nothing new appears
     * beside it, and rel is a regular file of its own holding bytes. */
    void expect_untouched_and_written(const std::string &rel, const std::string &bytes)
    {
        struct stat now, st;
        ASSERT_EQ(stat((root + "/outside/victim.txt").c_str(), &now), 0);
        EXPECT_EQ(read_native("outside/victim.txt"), "outside bytes");
        EXPECT_EQ(now.st_mtim.tv_nsec, victim_before.st_mtim.tv_nsec);
        EXPECT_EQ(now.st_mtim.tv_sec, victim_before.st_mtim.tv_sec);
        EXPECT_FALSE(native_exists("outside/new.txt"));
        ASSERT_EQ(lstat((root + "/" + rel).c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_nlink, 1u);
        EXPECT_EQ(read_native(rel), bytes);
    }
    struct stat victim_before;
};

/* Whatever stands where a file of a build tree, a result's temporary or a
 * log is written is removed before the file is made: no byte reaches the
 * file it names, and nothing waits on a pipe. */
TEST_F(PlantedNameTest, EveryWayOfWritingReplacesWhatWasPlantedAtItsName)
{
    struct Writer {
        const char *what;
        const char *planted; /* where the plant goes */
        const char *result;  /* the name that must end as the file written */
        OutFileHow how;
    } writers[] = {
        {"tree file", "builds/site/manifest.json", "builds/site/manifest.json", OUT_FILE_NEW},
        {"log", "logs/run.txt", "logs/run.txt", OUT_FILE_REWRITE},
        {"appended file", "logs/more.txt", "logs/more.txt", OUT_FILE_APPEND},
        {"result's temporary", nullptr, "builds/pkg.zip", OUT_FILE_RESULT},
    };
    mkdir_native("builds/site");
    mkdir_native("logs");
    for (const Writer &w : writers) {
        for (const PlantCase &c : plant_cases) {
            SCOPED_TRACE(std::string(w.what) + ", " + c.what);
            std::string planted = w.planted ? w.planted : own_temp("pkg.zip");
            plant(planted, c.kind);
            OutFile *f = out_file_open(w.result, w.how);
            ASSERT_NE(f, nullptr) << strerror(errno);
            ASSERT_TRUE(output_write(f, w.result, "mine", 4, &texts));
            ASSERT_TRUE(output_close(f, w.result, &texts));
            expect_untouched_and_written(w.result, "mine");
            EXPECT_FALSE(native_exists(own_temp("pkg.zip")));
            unlink((root + "/" + w.result).c_str());
        }
    }
}

/* A log that is a plain file of its own is rewritten in place, so whoever
 * follows it reads on; a file to patch must be one. */
TEST_F(PlantedNameTest, OnlyAFileOfItsOwnIsKeptInPlace)
{
    mkdir_native("logs");
    write_native("logs/run.txt", "an old run's lines");
    struct stat before, after;
    ASSERT_EQ(stat((root + "/logs/run.txt").c_str(), &before), 0);
    OutFile *f = out_file_open("logs/run.txt", OUT_FILE_REWRITE);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(out_file_write(f, "new", 3), 1);
    ASSERT_EQ(out_file_close(f), 1);
    ASSERT_EQ(stat((root + "/logs/run.txt").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(read_native("logs/run.txt"), "new");

    for (const PlantCase &c : plant_cases) {
        SCOPED_TRACE(c.what);
        plant("builds/app", c.kind);
        written.clear();
        EXPECT_EQ(output_open_existing("builds/app", &texts), nullptr);
        EXPECT_TRUE(was_written("open 'builds/app': ")) << c.what;
        EXPECT_EQ(read_native("outside/victim.txt"), "outside bytes");
        EXPECT_FALSE(native_exists("outside/new.txt"));
    }
}

/* A temporary name that no longer holds the file written (swapped for a
 * link or a second name of an outside file while the package was
 * written) never takes the package's name: the build fails with a line
 * naming the package, the earlier package stays, and the swapped name is
 * removed without being followed. */
TEST_F(PlantedNameTest, ASwappedTemporaryNeverTakesThePackagesName)
{
    for (PlantKind kind : {PLANT_SYMLINK, PLANT_HARD_LINK, PLANT_DANGLING}) {
        SCOPED_TRACE((int)kind);
        write_native("builds/pkg.zip", "earlier package");
        written.clear();
        OutFile *f = output_open_result("builds/pkg.zip", &texts);
        ASSERT_NE(f, nullptr);
        ASSERT_TRUE(output_write(f, "builds/pkg.zip", "new package", 11, &texts));
        plant(own_temp("pkg.zip"), kind);
        EXPECT_EQ(output_close(f, "builds/pkg.zip", &texts), 0);
        EXPECT_TRUE(was_written("close 'builds/pkg.zip': another file was put in its place "
                                "while it was written"));
        struct stat st;
        ASSERT_EQ(lstat((root + "/builds/pkg.zip").c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(read_native("builds/pkg.zip"), "earlier package");
        EXPECT_EQ(names("builds"), std::vector<std::string>{"pkg.zip"});
        EXPECT_EQ(read_native("outside/victim.txt"), "outside bytes");
    }
}

} // namespace
