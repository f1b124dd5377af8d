#include "engine/out_file.h"
#include "test_support.h"
#include "zip_read.h"

#include "publish/archive/zip_writer.h"
#include "publish/files/game_plan.h"
#include "publish/files/staging.h"
#include "publish/files/tree_delete.h"
#include "publish/platforms/package.h"

#include <SDL.h>
#include <physfs.h>

#include <map>
#include <string>
#include <vector>

namespace {

const char *const DEFAULTS[] = {"open-source-licenses.txt", "font.ttf", "brindlecot.png",
                                "brindlecot-controller.png", "console-logo.png"};

/* What the comparison looks at: everything but the times. */
struct EntryFacts {
    uint32_t method, crc, csize, usize, attributes;
    std::string raw;
    bool operator==(const EntryFacts &o) const
    {
        return method == o.method && crc == o.crc && csize == o.csize && usize == o.usize &&
               attributes == o.attributes && raw == o.raw;
    }
};

class GamePlanTest : public FsTest {
protected:
    void SetUp() override
    {
        FsTest::SetUp();
        ASSERT_EQ(quiet_log(), 1);
        for (const char *name : DEFAULTS)
            write_native(name, std::string("installation ") + name);
    }

    /* A game with every case the staging rules know. */
    void write_game()
    {
        write_native("g/metadata/game_metadata.txt", "gameid=x\n");
        write_native("g/metadata/BRINDLECOT_PRODUCTION_BUILD", "not empty");
        write_native("g/app/main.rb", std::string(5000, 'r'));
        write_native("g/data/big.bin", std::string(3 << 20, 'b')); /* streamed */
        write_native("g/data/empty.txt", "");
        mkdir_native("g/data/nothing");
        write_native("g/font.ttf", "the game's own font");
        write_native("g/run", "#!/bin/sh\n");
        write_native("g/replay.txt", "replay");
        mkdir_native("g/run-demo");               /* empty: goes */
        write_native("g/run.bat/keep.txt", "x");  /* not empty: stays */
        write_native("g/sub/run", "not at the top: stays");
        write_native("g/.git/config", "x");
        write_native("g/data/.DS_Store", "x");
        write_native("g/native/Linux-AMD64/libx.so", "mine");
        write_native("g/native/windows-amd64/x.dll", "theirs");
        write_native("g/native/android-arm64/x.so", "android's");
        write_native("g/native/readme.txt", "loose");
    }

    std::map<std::string, EntryFacts> entries(const std::string &zip)
    {
        std::map<std::string, EntryFacts> out;
        for (const ZipEntryRead &e : zip_read_entries(read_native(zip)))
            out[e.name] = {e.method, e.crc, e.csize, e.usize, e.attributes, e.raw};
        return out;
    }

    /* The zip of the staged tree: what a desktop package held before it
     * was written from a plan. */
    bool staged_zip(const NativeEntryRule &rule, ZipRun *run)
    {
        ZipOptions options = package_zip_options(1, NULL);
        return stage_game_tree(&rule, "g", "staged") &&
               zip_directory(run, "staged.zip", "staged", &options);
    }

    bool planned_zip(const NativeEntryRule &rule, ZipRun *run)
    {
        GamePlan plan;
        if (!game_plan_make(&plan, &rule, "g"))
            return false;
        ZipOptions options = package_zip_options(1, NULL);
        OutFile *out = out_file_open("planned.zip", OUT_FILE_NEW);
        bool ok = out && zip_plan_to(run, out, "planned.zip", &plan, &options);
        ok = out && out_file_close(out) && ok;
        game_plan_free(&plan);
        return ok;
    }
};

TEST_F(GamePlanTest, PlannedArchiveHoldsTheEntriesOfTheStagedOne)
{
    write_game();
    const NativeEntryRule rules[] = {{"linux-amd64", NULL}, {"android", "android-"}};
    mkdir_native("cache");
    for (const NativeEntryRule &rule : rules) {
        for (int threaded = 0; threaded < 2; threaded++) {
            SCOPED_TRACE(std::string(rule.name) + (threaded ? " threaded" : " single"));
            ZipRun *run = threaded ? zip_run_create("cache", 0) : NULL;
            if (run)
                zip_run_prepare(run, "g", &rule, 1);
            ASSERT_TRUE(planned_zip(rule, run));
            ASSERT_TRUE(staged_zip(rule, run));
            zip_run_destroy(run);
            auto planned = entries("planned.zip"), staged = entries("staged.zip");
            std::vector<std::string> names, staged_names;
            for (auto &e : planned)
                names.push_back(e.first);
            for (auto &e : staged)
                staged_names.push_back(e.first);
            EXPECT_EQ(names, staged_names);
            for (auto &e : staged)
                EXPECT_TRUE(planned[e.first] == e.second) << e.first;
            EXPECT_EQ(planned.count("run-demo/"), 0u);
            EXPECT_EQ(planned.count("run.bat/keep.txt"), 1u);
            EXPECT_EQ(planned.count("native/windows-amd64/x.dll"), 0u);
            EXPECT_EQ(planned["metadata/BRINDLECOT_PRODUCTION_BUILD"].usize, 0u);
            EXPECT_EQ(run_command("/usr/bin/python3 -c 'import sys, zipfile; "
                                  "sys.exit(zipfile.ZipFile(sys.argv[1]).testzip() is not None)' '" +
                                  root + "/planned.zip'"),
                      0);
            ASSERT_TRUE(delete_tree("staged"));
        }
    }
}

TEST_F(GamePlanTest, EntriesFollowTheStagingRules)
{
    write_game();
    NativeEntryRule rule = {"linux-amd64", NULL};
    GamePlan plan;
    ASSERT_EQ(game_plan_make(&plan, &rule, "g"), 1);
    std::map<std::string, const GamePlanEntry *> by_name;
    for (size_t i = 0; i < plan.count; i++)
        by_name[plan.entries[i].name] = &plan.entries[i];
    struct Case {
        const char *name;
        const char *source; /* NULL: no source; "-": not in the plan */
    } cases[] = {
        {"app/main.rb", "g/app/main.rb"},
        {"font.ttf", "g/font.ttf"},             /* the game's own wins */
        {"console-logo.png", "console-logo.png"}, /* the installation's */
        {"metadata/BRINDLECOT_PRODUCTION_BUILD", NULL},
        {"native/Linux-AMD64/libx.so", "g/native/Linux-AMD64/libx.so"},
        {"native/windows-amd64", "-"},
        {"native/readme.txt", "-"},
        {"run", "-"},
        {"replay.txt", "-"},
        {"run-demo", "-"},
        {"sub/run", "g/sub/run"},
        {".git/config", "-"},
        {"data/.DS_Store", "-"},
    };
    for (const Case &c : cases) {
        auto found = by_name.find(c.name);
        if (c.source && std::string(c.source) == "-") {
            EXPECT_EQ(found, by_name.end()) << c.name;
            continue;
        }
        ASSERT_NE(found, by_name.end()) << c.name;
        if (c.source)
            EXPECT_STREQ(found->second->source, c.source) << c.name;
        else
            EXPECT_EQ(found->second->source, nullptr) << c.name;
    }
    game_plan_free(&plan);
    EXPECT_EQ(plan.count, 0u);
}

/* A game the staging refuses is refused by the plan too, with its line. */
TEST_F(GamePlanTest, FailsWhereStagingFails)
{
    struct Case {
        const char *what;
        const char *shell; /* run in the installation */
        const char *line;
    } cases[] = {
        {"a default file missing", "rm console-logo.png",
         "Can't open 'console-logo.png' for reading: No such file or directory"},
        {"metadata is a file", "rm -r g/metadata && echo x > g/metadata",
         "Failed to write production build flag!"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        run_command("rm -rf '" + root + "/g' '" + root + "/staged'");
        write_native("g/metadata/game_metadata.txt", "gameid=x\n");
        for (const char *name : DEFAULTS)
            write_native(name, std::string("installation ") + name);
        ASSERT_EQ(run_command("cd '" + root + "' && " + c.shell), 0);
        NativeEntryRule rule = {"linux-amd64", NULL};
        written.clear();
        GamePlan plan;
        EXPECT_EQ(game_plan_make(&plan, &rule, "g"), 0);
        EXPECT_EQ(plan.count, 0u);
        EXPECT_TRUE(was_written(c.line));
        EXPECT_EQ(stage_game_tree(&rule, "g", "staged"), 0);
    }
}

} // namespace
