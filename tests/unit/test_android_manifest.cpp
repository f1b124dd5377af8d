#include "test_support.h"

#include "alloc_countdown.h"
#include "engine/cvar.h"
#include "engine/game_metadata.h"
#include "engine/log.h"
#include "platform/clock.h"
#include "publish/android/android_manifest.h"
#include "publish/android/xml_tree.h"

#include <SDL.h>

#include <string>
#include <vector>

namespace {

const int64_t AT_2020 = 1577836800; /* 2020-01-01 00:00:00 UTC */

const char *const STUB = ".brindlecot/stubs/android/BrindlecotManifest.xml";
const char *const GAME = "mygame/metadata/android-manifest.xml";
const char *const ADDITIONS = "mygame/metadata/android-manifest-additions.xml";
const char *const NUL_TEXT = "<m>\0</m>"; /* written with its NUL, see write_file */

class ManifestTest : public FsTest {
protected:
    void SetUp() override
    {
        FsTest::SetUp();
        ASSERT_EQ(quiet_log(), 1);
        ASSERT_EQ(game_metadata_register(), 1);
        set_metadata("1.0", "com.example.game");
        android_build_id = 0;
        clock_set_fixed(AT_2020 + 60);
        written.clear();
    }
    void TearDown() override
    {
        clock_clear_fixed();
        android_build_id = 0;
        FsTest::TearDown();
    }
    void set_metadata(const std::string &version, const std::string &package_id)
    {
        write_native("mygame/metadata/game_metadata.txt",
                     "devid=d\ndevtitle=D\ngameid=g\ngametitle=G\nversion=" + version +
                         "\npackageid=" + package_id + "\n");
        ASSERT_EQ(game_metadata_load("mygame/metadata/game_metadata.txt"), 1);
    }
    /* NUL_TEXT is written whole, its NUL byte included. */
    void write_file(const std::string &rel, const char *text)
    {
        write_native(rel, text == NUL_TEXT ? std::string(NUL_TEXT, 8) : std::string(text));
    }
    /* The "Publish" lines written since the last call, as "! text" or
     * "- text". */
    std::vector<std::string> lines()
    {
        std::vector<std::string> out;
        for (const std::string &l : written) {
            size_t at = l.find("[Publish] ");
            if (at == 2)
                out.push_back(l.substr(0, 2) + l.substr(at + 10));
        }
        written.clear();
        return out;
    }
    /* Loads and returns the text, or "NULL". */
    std::string load(const char *platform = "android")
    {
        char *text = load_android_manifest(platform, "mygame");
        if (text == NULL)
            return "NULL";
        std::string out = text;
        SDL_free(text);
        return out;
    }
};

bool contains(const std::vector<std::string> &lines, const std::string &line)
{
    for (const std::string &l : lines)
        if (l == line)
            return true;
    return false;
}

struct LoadCase {
    const char *name;
    const char *platform;
    const char *stub, *game, *additions; /* NULL: no such file */
    const char *version, *package_id;
    const char *result;                  /* "NULL" for a failed load */
    const char *line;                    /* a line that must have been written */
};

const LoadCase LOAD_CASES[] = {
    {"stub template when the game has none", "android",
     "<m p='$ZEVRA_PACKAGEID' c='$ZEVRA_VERSION_CODE' v='$ZEVRA_VERSION'>$ZEVRA_MANIFEST_ADDITIONS</m>",
     NULL, NULL, "1.0", "com.example.game", "<m p='com.example.game' c='2' v='1.0'></m>",
     "- Loading Android manifest from '.brindlecot/stubs/android/BrindlecotManifest.xml' ..."},
    {"the game's template wins and the stub's is never read", "android", NUL_TEXT,
     "<game v='$ZEVRA_VERSION'/>", NULL, "1.0", "p", "<game v='1.0'/>",
     "- Loading Android manifest from 'mygame/metadata/android-manifest.xml' ..."},
    {"templates belong to their platform", "googleplay", NULL,
     "<android/>", NULL, "1.0", "p", "NULL",
     "! Failed to load '.brindlecot/stubs/googleplay/BrindlecotManifest.xml': not found"},
    {"additions inserted first and filled in too", "android",
     "<m>$ZEVRA_MANIFEST_ADDITIONS</m>", NULL, "<x v='$ZEVRA_VERSION' p=\"$ZEVRA_PACKAGEID\"/>",
     "2.5", "a.b", "<m><x v='2.5' p=\"a.b\"/></m>",
     "- Loading Android manifest additions from "
     "'mygame/metadata/android-manifest-additions.xml' ..."},
    {"no stub template", "android", NULL, NULL, NULL, "1.0", "p", "NULL",
     "! Failed to load '.brindlecot/stubs/android/BrindlecotManifest.xml': not found"},
    {"NUL byte in the template", "android", NUL_TEXT, NULL, NULL, "1.0", "p", "NULL",
     "! There appears to be a null char in '.brindlecot/stubs/android/BrindlecotManifest.xml' "
     "which we don't allow."},
    {"NUL byte in the additions", "android", "<m/>", NULL, NUL_TEXT, "1.0", "p", "NULL",
     "! There appears to be a null char in 'mygame/metadata/android-manifest-additions.xml' "
     "which we don't allow."},
    {"empty template", "android", "", NULL, NULL, "1.0", "p", "",
     "- This Android build will have a build ID of '2'"},
    {"placeholders are case-sensitive", "android",
     "$zevra_version $Zevra_PackageId $ZEVRA_version", NULL, NULL, "1.0", "p",
     "$zevra_version $Zevra_PackageId $ZEVRA_version", NULL},
    {"version code and version side by side", "android",
     "$ZEVRA_VERSION_CODE/$ZEVRA_VERSION/$ZEVRA_VERSION_CODES/$ZEVRA_VERSIONS", NULL, NULL,
     "3.1", "p", "2/3.1/2S/3.1S", NULL},
    {"a version holding its own placeholder is not expanded again", "android",
     "[$ZEVRA_VERSION][$ZEVRA_VERSION]", NULL, NULL, "$ZEVRA_VERSION", "p",
     "[$ZEVRA_VERSION][$ZEVRA_VERSION]", NULL},
    {"a package id holding a later placeholder gets it filled", "android",
     "$ZEVRA_PACKAGEID", NULL, NULL, "7", "com.v$ZEVRA_VERSION", "com.v7", NULL},
    {"package id and version are escaped, additions are not", "android",
     "<m p='$ZEVRA_PACKAGEID' v=\"$ZEVRA_VERSION\">$ZEVRA_MANIFEST_ADDITIONS</m>", NULL,
     "<a x='&amp;'/>", "1.0 \"beta\" & more", "a<b>'c",
     "<m p='a&lt;b&gt;&apos;c' v=\"1.0 &quot;beta&quot; &amp; more\"><a x='&amp;'/></m>", NULL},
    {"bytes XML cannot carry are mended in the package id and version", "android",
     "<m p='$ZEVRA_PACKAGEID' v='$ZEVRA_VERSION'/>", NULL, NULL, "1.\x01" "0\xFF",
     "org.\x1B" "bad\xEF\xBF\xBF", "<m p='org.bad\xEF\xBF\xBD' v='1.0\xEF\xBF\xBD'/>", NULL},
};

TEST_F(ManifestTest, TemplatesAdditionsAndPlaceholders)
{
    for (const LoadCase &c : LOAD_CASES) {
        run_command("rm -rf '" + root + "/.brindlecot' '" + root + "'/mygame/metadata/*-manifest*");
        if (c.stub)
            write_file(STUB, c.stub);
        if (c.game)
            write_file(GAME, c.game);
        if (c.additions)
            write_file(ADDITIONS, c.additions);
        set_metadata(c.version, c.package_id);
        written.clear();

        EXPECT_EQ(load(c.platform), c.result) << c.name;
        std::vector<std::string> logged = lines();
        if (c.line) {
            EXPECT_TRUE(contains(logged, c.line))
                << c.name << "\n" << testing::PrintToString(logged);
        }
        bool read_additions = false;
        for (const std::string &l : logged)
            read_additions |= l.find("additions") != std::string::npos;
        EXPECT_EQ(read_additions, c.additions != NULL) << c.name;
    }
}

TEST_F(ManifestTest, EscapedValuesParseBackExactly)
{
    const std::string version = "1.0 \"beta\" & more";
    const std::string package_id = "com.x'/><evil a='<";
    write_file(STUB, "<manifest package=\"$ZEVRA_PACKAGEID\" versionName='$ZEVRA_VERSION'/>");
    set_metadata(version, package_id);
    std::string text = load();
    XmlTreeNode *tree = parse_xml_tree(text.c_str());
    ASSERT_NE(tree, nullptr) << text;
    const XmlTreeNode *manifest = tree->first_child;
    EXPECT_EQ(manifest->first_child, nullptr);
    const XmlTreeNode *name = manifest->first_attribute;
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name->name, "versionName");
    EXPECT_EQ(name->text, version);
    const XmlTreeNode *package = name->next_sibling;
    ASSERT_NE(package, nullptr);
    EXPECT_STREQ(package->name, "package");
    EXPECT_EQ(package->text, package_id);
    EXPECT_EQ(package->next_sibling, nullptr);
    free_xml_tree(tree);
}

struct ClockCase {
    const char *name;
    int64_t unix_seconds;
    const char *build_id;
    bool wrong_clock;
};

TEST_F(ManifestTest, BuildIdFromTheClock)
{
    const ClockCase cases[] = {
        {"2020-01-01 00:01:00", AT_2020 + 60, "2", false},
        {"2020-01-01 00:01:29", AT_2020 + 89, "2", false},
        {"2020-01-01 00:00:30", AT_2020 + 30, "1", false},
        {"2020-01-01 00:00:00", AT_2020, "0", false},
        {"2019-12-31 23:59:59", AT_2020 - 1, "0", true},
        {"2019-12-31 12:00:00", AT_2020 - 43200, "0", true},
        {"1969-12-31", -86400, "0", true},
        {"before 1601", -20000000000LL, "0", true},
        {"2200-01-01, past 32-bit seconds", 7258118400LL, "189342720", false},
    };
    write_file(STUB, "$ZEVRA_VERSION_CODE");
    for (const ClockCase &c : cases) {
        android_build_id = 0;
        clock_set_fixed(c.unix_seconds);
        EXPECT_EQ(load(), c.build_id) << c.name;
        std::vector<std::string> logged = lines();
        EXPECT_EQ(contains(logged, "! It looks like your system clock is wrong, please fix it!"),
                  c.wrong_clock)
            << c.name;
        EXPECT_TRUE(contains(logged, std::string("- This Android build will have a build ID of '") +
                                         c.build_id + "'"))
            << c.name;
        /* A wrong clock is not remembered. */
        EXPECT_EQ(android_build_id, c.wrong_clock ? 0u : std::stoul(c.build_id)) << c.name;
    }
}

TEST_F(ManifestTest, BuildIdSharedByTheRun)
{
    write_file(STUB, "$ZEVRA_VERSION_CODE");
    write_native(".brindlecot/stubs/googleplay/BrindlecotManifest.xml", "g$ZEVRA_VERSION_CODE");
    EXPECT_EQ(load("android"), "2");
    clock_set_fixed(AT_2020 + 3600);
    EXPECT_EQ(load("googleplay"), "g2");
    EXPECT_EQ(load("android"), "2");
}

TEST_F(ManifestTest, WrongClockIsReadAgainByTheNextLoad)
{
    write_file(STUB, "$ZEVRA_VERSION_CODE");
    clock_set_fixed(AT_2020 - 86400);
    EXPECT_EQ(load(), "0");
    EXPECT_TRUE(contains(lines(), "! It looks like your system clock is wrong, please fix it!"));
    clock_set_fixed(AT_2020 + 60);
    EXPECT_EQ(load(), "2");
    EXPECT_FALSE(contains(lines(), "! It looks like your system clock is wrong, please fix it!"));
}

TEST(ClockTicks, CountedFrom1601)
{
    const struct {
        int64_t unix_seconds;
        uint64_t ticks;
    } cases[] = {
        {0, 116444736000000000ULL},
        {1, 116444736010000000ULL},
        {-11644473600LL, 0},
        {-11644473601LL, 0},
    };
    for (const auto &c : cases) {
        clock_set_fixed(c.unix_seconds);
        EXPECT_EQ(clock_utc_ticks_since_1601(), c.ticks) << c.unix_seconds;
    }
    clock_clear_fixed();
    /* The running clock: some time after this was written. */
    EXPECT_GT(clock_utc_ticks_since_1601(), 116444736000000000ULL + 17000000000000000ULL);
}

struct ReplaceCase {
    const char *text, *placeholder, *replacement, *result;
};

TEST_F(ManifestTest, ReplaceAll)
{
    const ReplaceCase cases[] = {
        {"aXbXc", "X", "yy", "ayybyyc"},
        {"XX", "X", "", ""},
        {"X", "X", "XX", "XX"},
        /* Inserted "a" and the following "b" would form "ab": not searched. */
        {"abb", "ab", "a", "ab"},
        {"none here", "X", "y", "none here"},
        {"", "X", "y", ""},
        {"abc", "", "y", "abc"},
    };
    for (const ReplaceCase &c : cases) {
        char *text = SDL_strdup(c.text);
        EXPECT_EQ(manifest_replace_all(&text, c.placeholder, c.replacement), 1);
        EXPECT_STREQ(text, c.result);
        SDL_free(text);
    }
}

TEST_F(ManifestTest, ReplaceAllOutOfMemoryKeepsWhatWasDone)
{
    char *text = SDL_strdup("aXbXc");
    alloc_countdown_start(1);
    EXPECT_EQ(manifest_replace_all(&text, "X", "yy"), 0);
    alloc_countdown_stop();
    EXPECT_STREQ(text, "ayybXc");
    SDL_free(text);
}

TEST_F(ManifestTest, OutOfMemoryAtEachAllocation)
{
    write_file(STUB, "<m p='$ZEVRA_PACKAGEID'>$ZEVRA_MANIFEST_ADDITIONS</m>");
    write_file(ADDITIONS, "<a/>");
    std::string result = "NULL";
    int failures = 0;
    for (int budget = 0; budget < 10000 && result == "NULL"; budget++) {
        alloc_countdown_start(budget);
        result = load();
        alloc_countdown_stop();
        failures += result == "NULL";
        lines();
    }
    EXPECT_EQ(result, "<m p='com.example.game'><a/></m>");
    EXPECT_GT(failures, 5);
}

} // namespace
