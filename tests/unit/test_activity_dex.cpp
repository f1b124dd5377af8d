#include "test_support.h"

#include "engine/cvar.h"
#include "engine/game_metadata.h"
#include "publish/android/activity_dex.h"

#include <SDL.h>
#include <signal.h>
#include <sys/resource.h>

#include <string>

namespace
{

uint32_t le32(const std::string &s, size_t at)
{
    return (uint8_t)s[at] | (uint8_t)s[at + 1] << 8 | (uint8_t)s[at + 2] << 16 |
           (uint32_t)(uint8_t)s[at + 3] << 24;
}

class ActivityDexTest : public FsTest
{
  protected:
    void SetUp() override
    {
        FsTest::SetUp();
        ASSERT_EQ(game_metadata_register(), 1);
        mkdir_native("out");
    }

    /* The package id as the metadata loader leaves it: set, then locked. */
    static void set_package_id(const std::string &id)
    {
        ASSERT_EQ(cvar_unlock("game_metadata.packageid"), 1);
        ASSERT_EQ(cvar_set("game_metadata.packageid", id.c_str()), 1);
        ASSERT_EQ(cvar_lock("game_metadata.packageid"), 1);
    }

    std::string dex_path() const { return root + "/out/classes2.dex"; }

    /* What dexdump makes of the file; fails the test when it refuses it. */
    std::string dexdump() const
    {
        std::string out;
        EXPECT_EQ(run_command("dexdump -f -d '" + dex_path() + "' 2>&1", &out), 0) << out;
        return out;
    }
};

/* A package id of exactly n bytes. */
std::string id_of_length(size_t n)
{
    std::string id = "com.example.";
    while (id.size() < n)
        id += id.size() % 10 == 9 ? '.' : 'g';
    id.resize(n);
    if (id.back() == '.')
        id.back() = 'x';
    return id;
}

} // namespace

TEST_F(ActivityDexTest, DexdumpReadsEveryPackageId)
{
    struct Case {
        std::string id;
        std::string package_path;
        uint32_t size; /* 0: follows from the length alone */
        bool own_first;
    } cases[] = {
        {"com.example.game", "com/example/game", 484, true},
        {"org.zz.game", "org/zz/game", 0, false},         /* sorts after org/libsdl/app */
        {"org.libsdl.app", "org/libsdl/app", 0, true},    /* BrindlecotActivity < SDLActivity */
        {"game", "game", 0, true},                        /* one segment */
        {id_of_length(17), "", 0, true},                  /* 3 alignment bytes */
        {id_of_length(18), "", 0, true},                  /* 2 */
        {id_of_length(19), "", 0, true},                  /* 1 */
        {id_of_length(20), "", 488, true},                /* 0 */
        {"z_9$-.A", "z_9$-/A", 0, false},
        {id_of_length(ACTIVITY_DEX_MAX_PACKAGE_ID), "", 576, true},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.id);
        if (c.package_path.empty()) {
            c.package_path = c.id;
            for (char &ch : c.package_path)
                if (ch == '.')
                    ch = '/';
        }
        set_package_id(c.id);
        written.clear();
        ASSERT_EQ(write_activity_dex("out"), 1);
        const std::string dex = read_native("out/classes2.dex");
        const std::string own = "L" + c.package_path + "/BrindlecotActivity;";
        const uint32_t map_off = (uint32_t)(311 + own.size() + 3) & ~3u;
        EXPECT_EQ(dex.size(), map_off + 136);
        if (c.size) {
            EXPECT_EQ(dex.size(), c.size);
        }
        EXPECT_EQ(le32(dex, 32), dex.size());
        EXPECT_EQ(le32(dex, 52), map_off);
        EXPECT_EQ(le32(dex, 104), dex.size() - 204); /* data_size */
        EXPECT_EQ(le32(dex, map_off + 4 + 10 * 12 + 8), map_off); /* the map's own entry */
        EXPECT_EQ(le32(dex, 0xac), c.own_first ? 0u : 1u);       /* class_idx */
        EXPECT_TRUE(was_written("Creating Dalvik executable 'out/classes2.dex' with " + own +
                                "..."));

        std::string checked;
        EXPECT_EQ(run_command("dexdump -c '" + dex_path() + "' 2>&1", &checked), 0);
        EXPECT_NE(checked.find("Checksum verified"), std::string::npos) << checked;
        const std::string dump = dexdump();
        EXPECT_EQ(dump.find("Failure"), std::string::npos) << dump;
        EXPECT_NE(dump.find("Class descriptor  : '" + own + "'"), std::string::npos) << dump;
        EXPECT_NE(dump.find("Superclass        : 'Lorg/libsdl/app/SDLActivity;'"),
                  std::string::npos) << dump;
        EXPECT_NE(dump.find("Access flags      : 0x0001 (PUBLIC)"), std::string::npos) << dump;
        EXPECT_NE(dump.find("invoke-direct {v0}, Lorg/libsdl/app/SDLActivity;.<init>:()V"),
                  std::string::npos) << dump;
        EXPECT_NE(dump.find("return-void"), std::string::npos) << dump;

        /* The signature is the SHA-1 of everything after it. */
        std::string sum;
        ASSERT_EQ(run_command("tail -c +33 '" + dex_path() + "' | sha1sum", &sum), 0);
        EXPECT_EQ(sum.substr(0, 40), hex_of(dex.substr(12, 20)));
    }
}

TEST_F(ActivityDexTest, RefusedPackageIdsWriteNothing)
{
    struct {
        std::string id;
        const char *shown; /* the id as the error line shows it */
        const char *rule;
    } cases[] = {
        {id_of_length(ACTIVITY_DEX_MAX_PACKAGE_ID + 1), NULL, "it is longer than 106 bytes"},
        {"com.ex\xc3\xa4mple.game", "com.ex?mple.game", "not printable ASCII"},
        {"com.my game", NULL, "other than letters, digits"},
        {"com.my\tgame", "com.my\\x09game", "not printable ASCII"},
        {"com/example", NULL, "other than letters, digits"},
        {"com..game", NULL, "empty segment"},
        {".game", NULL, "empty segment"},
        {"game.", NULL, "empty segment"},
        {"", NULL, "it is empty"},
    };
    write_native("out/classes2.dex", "older file");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.id);
        set_package_id(c.id);
        written.clear();
        EXPECT_EQ(write_activity_dex("out"), 0);
        EXPECT_EQ(read_native("out/classes2.dex"), "older file");
        /* The captured log shows a non-ASCII character as '?'. */
        EXPECT_TRUE(was_written(std::string("Package ID '") + (c.shown ? c.shown : c.id) +
                                "' can't name the Android activity class: "));
        EXPECT_TRUE(was_written(c.rule));
        EXPECT_FALSE(was_written("Creating Dalvik executable"));
    }
}

TEST_F(ActivityDexTest, ReplacesAnExistingFile)
{
    write_native("out/classes2.dex", std::string(2000, 'x'));
    set_package_id("com.example.game");
    ASSERT_EQ(write_activity_dex("out"), 1);
    EXPECT_EQ(read_native("out/classes2.dex").size(), 484u);
    dexdump();
}

TEST_F(ActivityDexTest, MissingDirectoryIsNotCreated)
{
    set_package_id("com.example.game");
    EXPECT_EQ(write_activity_dex("missing"), 0);
    EXPECT_TRUE(was_written("Failed to open 'missing/classes2.dex' for write: "));
    EXPECT_FALSE(native_exists("missing"));
}

TEST_F(ActivityDexTest, ShortWriteIsReported)
{
    /* The file-size limit cuts the one write short. */
    set_package_id("com.example.game");
    struct rlimit old_limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old_limit;
    small.rlim_cur = 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int rc = write_activity_dex("out");
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old_limit), 0);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(was_written("Failed to write to 'out/classes2.dex': "));
    EXPECT_FALSE(was_written("Failed to close"));
}
