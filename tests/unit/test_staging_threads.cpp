/* Staging copies its game's files on worker threads while the walk goes
 * on; tools/test-all.sh runs these under ThreadSanitizer too. */
#include "test_support.h"

#include "engine/tree_walk.h"
#include "platform/native_file.h"
#include "platform/signals.h"
#include "publish/files/staging.h"
#include "publish/files/staging_copies.h"
#include "publish/files/tree_delete.h"
#include "publish/publish_log.h"

#include <SDL.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <vector>

namespace {

const NativeEntryRule linux_native = {"linux-amd64", NULL};
const char *const default_files[] = {"open-source-licenses.txt", "font.ttf", "brindlecot.png",
                                     "brindlecot-controller.png", "console-logo.png"};

std::string pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = (char)(((i + seed) * 2654435761u) >> 13);
    return s;
}

/* Every regular file below top, by its path relative to top. */
std::map<std::string, std::string> files_below(const std::string &top)
{
    std::map<std::string, std::string> out;
    for (auto &e : std::filesystem::recursive_directory_iterator(top)) {
        if (!e.is_regular_file())
            continue;
        std::ifstream in(e.path(), std::ios::binary);
        out[std::filesystem::relative(e.path(), top).string()] =
            std::string(std::istreambuf_iterator<char>(in), {});
    }
    return out;
}

class StagingThreadsTest : public FsTest {
protected:
    void SetUp() override
    {
        FsTest::SetUp();
        for (const char *name : default_files)
            put(name, std::string("installation ") + name);
    }

    void TearDown() override
    {
        staging_observe_copies(NULL, NULL, NULL);
        FsTest::TearDown();
    }

    std::string path(const std::string &rel) { return root + "/" + rel; }

    /* write_native without a shell for each of many files. */
    void put(const std::string &rel, const std::string &data)
    {
        std::filesystem::create_directories(std::filesystem::path(path(rel)).parent_path());
        std::ofstream(path(rel), std::ios::binary) << data;
    }

    /* A game of count files in nested directories, sizes 0 to a few KiB,
     * and empty directories. */
    void many_files(int count)
    {
        for (int i = 0; i < count; i++)
            put("game/d" + std::to_string(i % 7) + "/s" + std::to_string(i % 3) + "/f" +
                    std::to_string(i) + ".bin",
                pattern((size_t)(i % 5 == 0 ? 0 : i * 37), (unsigned)i));
        mkdir_native("game/empty/inner");
        mkdir_native("game/d1/nothing");
    }

    /* The paths staging announced copying from the game, in order. */
    std::vector<std::string> announced_sources()
    {
        std::vector<std::string> out;
        const std::string start = "Copying '";
        for (const std::string &l : written) {
            size_t at = l.find(start);
            if (at == std::string::npos)
                continue;
            at += start.size();
            std::string src = l.substr(at, l.find('\'', at) - at);
            if (src.rfind("game/", 0) == 0)
                out.push_back(src);
        }
        return out;
    }

    /* Every file present in the stage holds what its source holds. */
    void expect_staged_files_whole()
    {
        for (const auto &f : files_below(path("stage"))) {
            std::string source = native_exists("game/" + f.first) ? "game/" + f.first : f.first;
            EXPECT_TRUE(f.second == read_native(source)) << f.first;
        }
    }
};

std::vector<std::string> walk_order(const char *top)
{
    std::vector<std::string> files;
    TreeWalkOptions options = publish_walk_options(TREE_WALK_SKIP_EXCLUDED);
    tree_walk(
        top, &options,
        [](void *user, const TreeWalkEntry *e) {
            if (!e->is_directory)
                ((std::vector<std::string> *)user)->push_back(e->path);
            return 1;
        },
        &files);
    return files;
}

} // namespace

TEST_F(StagingThreadsTest, StagedTreeEqualsTheGameByteForByte)
{
    many_files(400);
    /* Larger than every copy buffer. */
    std::string big = pattern(9 * 1024 * 1024 + 3, 99);
    put("game/data/big.bin", big);
    put("game/data/empty.txt", "");
    ASSERT_EQ(stage_game_tree(&linux_native, "game", "stage"), 1);

    std::map<std::string, std::string> game = files_below(path("game"));
    std::map<std::string, std::string> staged = files_below(path("stage"));
    for (const char *name : default_files)
        EXPECT_EQ(staged[name], std::string("installation ") + name) << name;
    for (const auto &f : game)
        EXPECT_TRUE(staged[f.first] == f.second) << f.first;
    EXPECT_EQ(staged.size(), game.size() + 6); /* the defaults and the flag */
    EXPECT_TRUE(std::filesystem::is_directory(path("stage/empty/inner")));
    EXPECT_TRUE(std::filesystem::is_directory(path("stage/d1/nothing")));
    /* Announced once each, in the order the walk reaches them. */
    EXPECT_EQ(announced_sources(), walk_order("game"));
}

TEST_F(StagingThreadsTest, ObserverSeesEachCopyOnceOnTheWalkingThread)
{
    many_files(150);
    struct Seen {
        SDL_threadID thread;
        NativeFileIdentity source, copy;
    };
    std::vector<Seen> seen;
    staging_observe_copies(
        [](void *user, const NativeFileIdentity *source, const NativeFileIdentity *copy) {
            ((std::vector<Seen> *)user)->push_back({SDL_ThreadID(), *source, *copy});
        },
        NULL, &seen);
    ASSERT_EQ(stage_game_tree(&linux_native, "game", "stage"), 1);

    std::map<std::string, std::string> staged = files_below(path("stage"));
    std::vector<std::pair<NativeFileIdentity, NativeFileIdentity>> expected;
    for (const auto &f : staged) {
        if (f.first == "metadata/BRINDLECOT_PRODUCTION_BUILD")
            continue;
        std::string source = native_exists("game/" + f.first) ? "game/" + f.first : f.first;
        NativeFileIdentity s, c;
        ASSERT_EQ(native_path_identity(path(source).c_str(), &s), 1);
        ASSERT_EQ(native_path_identity(path("stage/" + f.first).c_str(), &c), 1);
        expected.push_back({s, c});
    }
    ASSERT_EQ(seen.size(), expected.size());
    for (const auto &e : expected) {
        int matches = 0;
        for (const Seen &s : seen)
            matches += native_identity_equal(&s.source, &e.first) &&
                       native_identity_equal(&s.copy, &e.second);
        EXPECT_EQ(matches, 1) << e.first.inode;
    }
    for (const Seen &s : seen)
        EXPECT_EQ(s.thread, SDL_ThreadID());
}

TEST_F(StagingThreadsTest, DropObserverHearsOfEveryStagedFileBeforeItGoes)
{
    many_files(30);
    const char *const gone[] = {"run", "replay.txt", "native/windows-amd64/x.dll",
                                GAME_PLAN_FLAG_NAME};
    for (const char *name : gone)
        put(std::string("game/") + name, std::string("staged, then dropped: ") + name);
    put("game/native/linux-amd64/y.so", "this platform");
    struct Told {
        std::vector<std::pair<NativeFileIdentity, NativeFileIdentity>> copies;
        std::vector<NativeFileIdentity> dropped;
    } told;
    staging_observe_copies(
        [](void *user, const NativeFileIdentity *source, const NativeFileIdentity *copy) {
            ((Told *)user)->copies.push_back({*source, *copy});
        },
        [](void *user, const NativeFileIdentity *dropped) {
            ((Told *)user)->dropped.push_back(*dropped);
        },
        &told);
    ASSERT_EQ(stage_game_tree(&linux_native, "game", "stage"), 1);
    /* The stripped, the pruned and the emptied copies, each told once as
     * it was staged, before its inode could go to another file (what a
     * stat tells is enough to forget a file by). */
    EXPECT_EQ(told.dropped.size(), SDL_arraysize(gone));
    for (const char *name : gone) {
        NativeFileIdentity source;
        ASSERT_EQ(native_path_identity(path(std::string("game/") + name).c_str(), &source), 1);
        int heard = 0;
        for (const auto &c : told.copies)
            for (const NativeFileIdentity &d : told.dropped)
                heard += native_identity_equal(&c.first, &source) &&
                         native_identity_same_stat(&c.second, &d);
        EXPECT_EQ(heard, 1) << name;
    }
    EXPECT_EQ(read_native("stage/" GAME_PLAN_FLAG_NAME), "");

    /* A removed tree: every file in it. */
    std::vector<NativeFileIdentity> before;
    for (const auto &f : files_below(path("stage"))) {
        NativeFileIdentity id;
        ASSERT_EQ(native_path_identity(path("stage/" + f.first).c_str(), &id), 1);
        before.push_back(id);
    }
    told.dropped.clear();
    ASSERT_EQ(delete_tree("stage"), 1);
    EXPECT_EQ(told.dropped.size(), before.size());
    for (const NativeFileIdentity &id : before) {
        int heard = 0;
        for (const NativeFileIdentity &d : told.dropped)
            heard += native_identity_same_stat(&d, &id);
        EXPECT_EQ(heard, 1) << id.inode;
    }
}

TEST_F(StagingThreadsTest, EditOfAStagedFileLeavesTheGameAlone)
{
    put("game/app/main.rb", "puts 'the game'\n");
    ASSERT_EQ(stage_game_tree(&linux_native, "game", "stage"), 1);
    int fd = open(path("stage/app/main.rb").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(native_file_write_all(fd, "EDITED", 6), 1);
    close(fd);
    EXPECT_EQ(read_native("stage/app/main.rb"), "EDITEDthe game'\n");
    EXPECT_EQ(read_native("game/app/main.rb"), "puts 'the game'\n");
    struct stat game_st, staged_st;
    ASSERT_EQ(stat(path("game/app/main.rb").c_str(), &game_st), 0);
    ASSERT_EQ(stat(path("stage/app/main.rb").c_str(), &staged_st), 0);
    EXPECT_NE(game_st.st_ino, staged_st.st_ino);
    EXPECT_EQ(game_st.st_nlink, 1u);
}

/* A copy that fails on a worker fails the stage with the message a copy on
 * the walking thread gave, and leaves no part of its file behind. */
TEST_F(StagingThreadsTest, FailedCopyFailsTheStageAndLeavesNoPartialFile)
{
    many_files(200);
    put("game/d3/big.bin", pattern(3 * 1024 * 1024, 5));
    struct Case {
        const char *what;
        bool size_limit;       /* writes past 1 MiB fail with EFBIG */
        const char *in_the_way; /* a directory where a copy goes */
        const char *message, *failed;
    } cases[] = {
        {"file size limit", true, NULL, "Write to 'stage/d3/big.bin' failed: File too large",
         "stage/d3/big.bin"},
        {"directory in the way", false, "stage/d3/big.bin",
         "Can't open 'stage/d3/big.bin' for writing: Is a directory", NULL},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        run_command("rm -rf '" + path("stage") + "'");
        written.clear();
        if (c.in_the_way)
            mkdir_native(c.in_the_way);
        int staged;
        {
            FileSizeLimit limit(c.size_limit ? 1024 * 1024 : RLIM_INFINITY);
            ASSERT_TRUE(limit.set);
            staged = stage_game_tree(&linux_native, "game", "stage");
        }
        EXPECT_EQ(staged, 0);
        EXPECT_TRUE(was_written(c.message));
        if (c.failed) {
            EXPECT_FALSE(native_exists(c.failed));
        }
        /* Nothing after the walk ran: the stage stopped there. */
        EXPECT_FALSE(native_exists("stage/metadata/BRINDLECOT_PRODUCTION_BUILD"));
        expect_staged_files_whole();
    }
}

namespace {

/* The child's stop: nothing is still being written, and every file staged
 * so far is whole. */
std::string stop_root;

/* Copies the observer was told of: every one the walk retired. */
int stop_told;

void stop_checks_the_stage(int sig)
{
    (void)sig;
    std::map<std::string, std::string> first = files_below(stop_root + "/stage");
    /* A file no one was told of was still in flight when the run stopped. */
    if (first.size() != (size_t)stop_told)
        _exit(5);
    usleep(100 * 1000); /* a copy still running or queued would show by then */
    if (files_below(stop_root + "/stage") != first)
        _exit(2);
    for (const auto &f : first) {
        std::ifstream in(stop_root + "/game/" + f.first, std::ios::binary);
        if (f.second != std::string(std::istreambuf_iterator<char>(in), {}))
            _exit(4);
    }
    _exit(0);
}

} // namespace

/* A stop signal during the walk ends the run at the walk's next entry, and
 * only once the copies in flight are whole. */
TEST_F(StagingThreadsTest, StopSignalWaitsForTheCopiesInFlight)
{
    for (int i = 0; i < 300; i++)
        put("game/f" + std::to_string(i) + ".bin", pattern(64 * 1024 + (size_t)i, (unsigned)i));
    stop_root = root;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signals_install(stop_checks_the_stage);
        /* Told of copies from the first retired one on: the signal comes
         * while the ring is full of copies in flight. */
        staging_observe_copies(
            [](void *, const NativeFileIdentity *, const NativeFileIdentity *) {
                if (++stop_told == 1)
                    raise(SIGTERM);
            },
            NULL, NULL);
        stage_game_tree(&linux_native, "game", "stage");
        _exit(3); /* the stop never came */
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
