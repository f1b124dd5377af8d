#include "test_support.h"

#include "engine/cvar.h"
#include "engine/game_metadata.h"

class MetadataTest : public FsTest {
protected:
    void SetUp() override
    {
        FsTest::SetUp();
        ASSERT_EQ(game_metadata_register(), 1);
    }
    int load(const std::string &text)
    {
        write_native("metadata/game_metadata.txt", text);
        take_log();
        return game_metadata_load("metadata/game_metadata.txt");
    }
};

static const char *REQUIRED =
    "devid=dev\ndevtitle=Dev Title\ngameid=game\ngametitle=The Game\nversion=2.0\n";

TEST_F(MetadataTest, DefaultsAfterRegistration)
{
    EXPECT_STREQ(game_metadata_devid, "brindlecot");
    EXPECT_STREQ(game_metadata_devtitle, "Brindlecot LLC");
    EXPECT_STREQ(game_metadata_gameid, "hello-SDL");
    EXPECT_STREQ(game_metadata_version, "1.0");
    EXPECT_STREQ(game_metadata_icon, "metadata/icon.png");
    EXPECT_STREQ(game_metadata_packageid, "");
    EXPECT_EQ(game_metadata_deployment, 0);
    EXPECT_EQ(cvar_set("game_metadata.gameid", "other"), 0);
    EXPECT_STREQ(game_metadata_gameid, "hello-SDL");
}

TEST_F(MetadataTest, RequiredKeysOnlyGiveDefaultsAndPackageId)
{
    ASSERT_EQ(load(REQUIRED), 1);
    EXPECT_STREQ(game_metadata_devid, "dev");
    EXPECT_STREQ(game_metadata_devtitle, "Dev Title");
    EXPECT_STREQ(game_metadata_gametitle, "The Game");
    EXPECT_STREQ(game_metadata_icon, "metadata/icon.png");
    EXPECT_EQ(game_metadata_compile_ruby, 0);
    EXPECT_EQ(game_metadata_vrmode, 0);
    EXPECT_STREQ(game_metadata_packageid, "org.dev.game");
    EXPECT_TRUE(take_log().empty());
    /* Locked again after the load. */
    EXPECT_EQ(cvar_set("game_metadata.version", "9"), 0);
}

TEST_F(MetadataTest, LineRules)
{
    struct {
        const char *extra;
        const char *warning; /* NULL: none expected */
    } cases[] = {
        {"GameID = mygame\n", NULL},
        {"  version\t= 2.1  \n", NULL},
        {"deployment=true\n", "Unknown game metadata key 'deployment', ignoring"},
        {"icon\n", "Invalid metadata on line 6, ignored"},
        {"   # comment\n", NULL},
        {"\n\n", NULL},
        {"# note = x\n", "Unknown game metadata key '# note', ignoring"},
        {"gametitle=My Game # 2\n", NULL},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(load(std::string(REQUIRED) + c.extra), 1) << c.extra;
        auto lines = take_log();
        if (c.warning) {
            ASSERT_EQ(lines.size(), 1u) << c.extra;
            EXPECT_EQ(lines[0].text, c.warning);
            EXPECT_EQ(lines[0].level, 3u);
        } else {
            EXPECT_TRUE(lines.empty()) << c.extra;
        }
    }
    ASSERT_EQ(load(std::string(REQUIRED) + "GameID = mygame\n"), 1);
    EXPECT_STREQ(game_metadata_gameid, "mygame");
    ASSERT_EQ(load(std::string(REQUIRED) + "  version\t= 2.1  \n"), 1);
    EXPECT_STREQ(game_metadata_version, "2.1");
    ASSERT_EQ(load(std::string(REQUIRED) + "deployment=true\n"), 1);
    EXPECT_EQ(game_metadata_deployment, 0);
    ASSERT_EQ(load(std::string(REQUIRED) + "gametitle=My Game # 2\n"), 1);
    EXPECT_STREQ(game_metadata_gametitle, "My Game # 2");
    ASSERT_EQ(load(std::string(REQUIRED) + "vrmode=3\ncompile_ruby=TRUE\n"), 1);
    EXPECT_EQ(game_metadata_vrmode, 3);
    EXPECT_EQ(game_metadata_compile_ruby, 1);
}

TEST_F(MetadataTest, LineNumbersAreTheSameForEveryLineEnd)
{
    const char *ends[] = {"\n", "\r\n", "\r"};
    for (const char *e : ends) {
        std::string text = std::string("devid=a") + e + "devtitle=b" + e + "bad line" + e +
                           "gameid=c" + e + "gametitle=d" + e + "version=1" + e;
        ASSERT_EQ(load(text), 1);
        auto lines = take_log();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].text, "Invalid metadata on line 3, ignored");
    }
}

TEST_F(MetadataTest, MissingRequiredKeyStillFillsPackageId)
{
    ASSERT_EQ(load("devid=dev\ngameid=game\n"), 0);
    auto lines = take_log();
    EXPECT_TRUE(has_line(lines, "Metadata file does not have all required fields!"));
    EXPECT_STREQ(game_metadata_devid, "dev");
    EXPECT_STREQ(game_metadata_packageid, "org.dev.game");
}

TEST_F(MetadataTest, PackageIdGivenOrEmpty)
{
    ASSERT_EQ(load(std::string(REQUIRED) + "packageid=\n"), 1);
    EXPECT_STREQ(game_metadata_packageid, "org.dev.game");
    ASSERT_EQ(load(std::string(REQUIRED) + "packageid=com.example.x\n"), 1);
    EXPECT_STREQ(game_metadata_packageid, "com.example.x");
}

TEST_F(MetadataTest, EachLoadStartsFromDefaults)
{
    ASSERT_EQ(load(std::string(REQUIRED) + "icon=art/i.png\n"), 1);
    EXPECT_STREQ(game_metadata_icon, "art/i.png");
    ASSERT_EQ(load(REQUIRED), 1);
    EXPECT_STREQ(game_metadata_icon, "metadata/icon.png");
}

TEST_F(MetadataTest, EmptyValueCountsAsPresent)
{
    ASSERT_EQ(load("devid=\ndevtitle=b\ngameid=c\ngametitle=d\nversion=1\n"), 1);
    EXPECT_STREQ(game_metadata_devid, "");
}

TEST_F(MetadataTest, NulEndsTheText)
{
    ASSERT_EQ(load(std::string(REQUIRED) + std::string("icon=a\0icon=b\n", 14)), 1);
    EXPECT_STREQ(game_metadata_icon, "a");
}

TEST_F(MetadataTest, MissingFileChangesNothing)
{
    ASSERT_EQ(load(REQUIRED), 1);
    EXPECT_EQ(game_metadata_load("nope/game_metadata.txt"), 0);
    EXPECT_STREQ(game_metadata_gameid, "game");
    EXPECT_TRUE(take_log().empty());
    EXPECT_EQ(cvar_set("game_metadata.gameid", "x"), 0);
}
