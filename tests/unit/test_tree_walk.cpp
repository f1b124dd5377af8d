/* The tree walker: what a walk visits and in which order, natively or
 * through PhysicsFS, and every way a walk fails or skips an entry, each
 * told with the path. */
#include "alloc_countdown.h"
#include "test_support.h"

#include "engine/tree_walk.h"
#include "publish/files/staging.h"
#include "publish/publish_log.h"

#include <physfs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <string>
#include <vector>

namespace {

class TreeWalkTest : public FsTest {
protected:
    void SetUp() override
    {
        FsTest::SetUp();
        ASSERT_EQ(quiet_log(), 1);
    }

    /* Every visit as "relative" or "relative/" for a directory. */
    std::vector<std::string> visits(const char *top, unsigned flags, int expected = 1)
    {
        std::vector<std::string> seen;
        TreeWalkOptions options = publish_walk_options(flags);
        EXPECT_EQ(tree_walk(top, &options, record, &seen), expected);
        return seen;
    }

    static int record(void *seen, const TreeWalkEntry *e)
    {
        std::string what = e->relative;
        if (e->is_directory)
            what += "/";
        static_cast<std::vector<std::string> *>(seen)->push_back(what);
        return 1;
    }

    /* The error lines written, without their level mark. */
    std::vector<std::string> errors() const
    {
        std::vector<std::string> out;
        for (const std::string &l : written)
            if (l.size() > 2 && l[0] == '!')
                out.push_back(l.substr(2));
        return out;
    }

    /* A tree whose listing order is the system's own. */
    void write_tree()
    {
        write_native("top/a.txt", "a");
        write_native("top/sub/b.txt", "b");
        write_native("top/sub/.git/HEAD", "ref");
        mkdir_native("top/empty");
    }
};

/* One visit of each entry, a directory before or after its contents; the
 * same entries in the same order whichever way the walk lists them. */
TEST_F(TreeWalkTest, VisitsEachEntryOnceInTheSameOrderNativelyOrThroughPhysicsFs)
{
    write_tree();
    std::vector<std::string> native = visits("top", TREE_WALK_SKIP_EXCLUDED);
    std::vector<std::string> all = visits("top", 0);
    std::vector<std::string> after = visits("top", TREE_WALK_CONTENTS_FIRST);
    std::vector<std::string> names = visits("top", TREE_WALK_ONE_LEVEL);
    EXPECT_EQ(native.size(), 4u);
    EXPECT_EQ(all.size(), 6u); /* .git/ and .git/HEAD too */
    auto at = [](const std::vector<std::string> &v, const std::string &s) {
        return std::find(v.begin(), v.end(), s) - v.begin();
    };
    EXPECT_LT(at(native, "sub/"), at(native, "sub/b.txt"));
    EXPECT_GT(at(after, "sub/"), at(after, "sub/b.txt"));
    EXPECT_EQ(names.size(), 3u); /* a.txt, sub, empty: names only */

    /* Another directory first on the search path: the walk goes through
     * PhysicsFS, which lists the same directory in the same order. */
    mkdir_native("front");
    ASSERT_NE(PHYSFS_mount((root + "/front").c_str(), NULL, 0), 0);
    EXPECT_EQ(visits("top", TREE_WALK_SKIP_EXCLUDED), native);
    EXPECT_EQ(visits("top", TREE_WALK_CONTENTS_FIRST), after);
}

TEST_F(TreeWalkTest, MissingTopWalksAsEmpty)
{
    write_native("file", "x");
    for (const char *top : {"nothing", "file"}) {
        EXPECT_TRUE(visits(top, 0).empty()) << top;
    }
    EXPECT_TRUE(errors().empty());
}

/* A link is never followed nor copied: one line names it and the run goes
 * on. A pipe is not packaged either. */
TEST_F(TreeWalkTest, SymbolicLinksAndPipesAreSkippedWithALineNamingThem)
{
    write_native("game/a.txt", "a");
    ASSERT_EQ(symlink("a.txt", (root + "/game/link").c_str()), 0);
    ASSERT_EQ(symlink("/etc", (root + "/game/outside").c_str()), 0);
    ASSERT_EQ(mkfifo((root + "/game/pipe").c_str(), 0644), 0);
    for (const char *name : {"open-source-licenses.txt", "font.ttf", "brindlecot.png",
                             "brindlecot-controller.png", "console-logo.png"})
        write_native(name, "default");
    NativeEntryRule native = {"linux-amd64", NULL};
    ASSERT_EQ(stage_game_tree(&native, "game", "stage"), 1);
    EXPECT_TRUE(native_exists("stage/a.txt"));
    for (const char *name : {"link", "outside", "pipe"})
        EXPECT_FALSE(native_exists(std::string("stage/") + name)) << name;
    EXPECT_TRUE(was_written("Skipping symbolic link 'game/link'"));
    EXPECT_TRUE(was_written("Skipping symbolic link 'game/outside'"));
    EXPECT_TRUE(was_written("Skipping 'game/pipe': not a regular file or directory"));
    EXPECT_TRUE(errors().empty());

    /* A walk by name skips a link too, as a PhysicsFS listing would. */
    std::vector<std::string> names = visits("game", TREE_WALK_ONE_LEVEL);
    EXPECT_EQ(std::count(names.begin(), names.end(), "link"), 0);
    EXPECT_EQ(std::count(names.begin(), names.end(), "pipe"), 1);
}

/* An entry listed but gone by the time it is examined, and a directory
 * gone by the time it is listed, each stop the walk with one line that
 * names the path and the cause. */
TEST_F(TreeWalkTest, EntriesThatVanishDuringTheWalkFailItWithPathAndCause)
{
    struct Vanish {
        bool directory; /* remove the directory being visited, else its siblings */
        std::string root;
    };
    const struct {
        const char *what;
        bool directory;
        const char *message;
    } cases[] = {
        {"file", false, "Failed to stat 'top/"},
        {"directory", true, "Can't read directory 'top/d': No such file or directory"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        run_command("rm -rf '" + root + "/top'");
        written.clear();
        if (c.directory) {
            write_native("top/d/inner.txt", "x");
        } else {
            for (const char *n : {"f1", "f2", "f3"})
                write_native(std::string("top/") + n, "x");
        }
        Vanish v = {c.directory, root};
        TreeWalkOptions options = publish_walk_options(0);
        auto remove = [](void *user, const TreeWalkEntry *e) -> int {
            const Vanish *v = static_cast<const Vanish *>(user);
            if (v->directory)
                run_command("rm -rf '" + v->root + "/" + e->path + "'");
            else
                for (const char *n : {"f1", "f2", "f3"})
                    if (std::string(e->name) != n)
                        unlink((v->root + "/top/" + n).c_str());
            return 1;
        };
        EXPECT_EQ(tree_walk("top", &options, remove, &v), 0);
        std::vector<std::string> e = errors();
        ASSERT_EQ(e.size(), 1u);
        EXPECT_NE(e[0].find(c.message), std::string::npos) << e[0];
        EXPECT_NE(e[0].find("': No such file or directory"), std::string::npos) << e[0];
        /* Left for a caller that answers with it. */
        EXPECT_EQ(PHYSFS_getLastErrorCode(), PHYSFS_ERR_NOT_FOUND);
    }
}

/* A visit that fails has said why; the walk adds nothing. */
TEST_F(TreeWalkTest, AFailedVisitStopsTheWalkWithoutALineOfItsOwn)
{
    write_tree();
    int calls = 0;
    TreeWalkOptions options = publish_walk_options(0);
    auto fail = [](void *count, const TreeWalkEntry *) -> int {
        ++*static_cast<int *>(count);
        return 0;
    };
    EXPECT_EQ(tree_walk("top", &options, fail, &calls), 0);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(errors().empty());
}

/* Memory running out while a walk by name tells a link from a file ends
 * the walk with the out-of-memory report: a link is never handed on as
 * an entry, and a walk that succeeds has told every entry. */
TEST_F(TreeWalkTest, OutOfMemoryWhileTellingALinkFailsTheWalkByName)
{
    write_native("top/a.txt", "a");
    ASSERT_EQ(symlink("a.txt", (root + "/top/link").c_str()), 0);
    write_native("top/b.txt", "b");
    static int reports;
    TreeWalkOptions options = {TREE_WALK_ONE_LEVEL, [](LogLevel, const char *) {},
                               [] { reports++; }, NULL};
    int failures = 0;
    for (int budget = 0; budget < 200; budget++) {
        SCOPED_TRACE(budget);
        std::vector<std::string> seen;
        reports = 0;
        alloc_countdown_start(budget);
        int ok = tree_walk("top", &options, record, &seen);
        alloc_countdown_stop();
        EXPECT_EQ(std::count(seen.begin(), seen.end(), "link"), 0);
        if (reports > 0) {
            EXPECT_EQ(ok, 0);
        }
        if (ok) {
            EXPECT_EQ(seen.size(), 2u);
            break;
        }
        failures++;
    }
    EXPECT_GT(failures, 2); /* memory ran out at each entry in turn */
}

} // namespace
