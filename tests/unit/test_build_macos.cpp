#include "web_fixture.h"

#include "publish/platforms/build_macos.h"
#include "publish/platforms/build_platform.h"

#include <SDL.h>
#include <sys/stat.h>

#define PACKAGE "builds/mygame-macos.zip"
#define ROOT "builds/mygame-mac-1.0"
#define BUNDLE ROOT "/My Game.app"

class MacosTest : public WebBuildTest {
protected:
    int build() { return build_platform("macos", PACKAGE, "mygame", &head, NULL); }

    int native_mode(const std::string &rel)
    {
        struct stat st;
        return stat((root + "/" + rel).c_str(), &st) == 0 ? (int)(st.st_mode & 0777) : -1;
    }
};

TEST_F(MacosTest, BundleNameReplacesSeparatorsAndControlBytes)
{
    struct {
        const char *title;
        const char *name;
    } cases[] = {
        {"My Game", "My Game"},
        {"Space: The Game/2", "Space_ The Game_2"},
        {"back\\slash", "back_slash"},
        {"a\x01" "b\x1f" "c\td\x7f", "a_b_c_d\x7f"},
        {"Caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac", "Caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac"},
        {"", ""},
        {"Bad\xff\xc3 \xed\xa0\x80!", "Bad\xef\xbf\xbd\xef\xbf\xbd \xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd!"},
    };
    for (const auto &c : cases) {
        char *name = macos_bundle_name(c.title);
        ASSERT_NE(name, nullptr);
        EXPECT_STREQ(name, c.name) << c.title;
        SDL_free(name);
    }
}

TEST_F(MacosTest, PlistValuesReadBackThroughPlistlib)
{
    const char *titles[] = {"Tom & Jerry <3", "a > b && c", "Caf\xc3\xa9 \"quoted\" 'x'",
                            "&amp; stays literal"};
    for (const char *title : titles) {
        char *text = macos_info_plist(title, "my&id", "org.a<b", "1.0>beta");
        ASSERT_NE(text, nullptr);
        write_native("Info.plist", text);
        SDL_free(text);
        std::string out;
        ASSERT_EQ(run_command("timeout 30 /usr/bin/python3 -c 'import plistlib,sys; "
                              "d=plistlib.load(open(sys.argv[1],\"rb\")); "
                              "print(\"|\".join(d[k].encode().hex() for k in (\"CFBundleDisplayName\","
                              "\"CFBundleExecutable\",\"CFBundleIconFile\",\"CFBundleIdentifier\","
                              "\"CFBundleShortVersionString\")))' " +
                                  shell_quote(root + "/Info.plist"),
                              &out),
                  0)
            << title;
        EXPECT_EQ(out, hex_of(title) + "|" + hex_of("my&id") + "|" + hex_of("my&id.icns") + "|" +
                           hex_of("org.a<b") + "|" + hex_of("1.0>beta") + "\n")
            << title;
    }
}

TEST_F(MacosTest, BuildsTheBundleAndRecordsBothPaths)
{
    ASSERT_EQ(build(), 1);
    EXPECT_TRUE(was_written("Making macOS app bundle '" BUNDLE "'..."));

    /* The executable is the runtime itself, its four bytes restored. */
    EXPECT_EQ(read_native(BUNDLE "/Contents/MacOS/mygame"), runtime);
    EXPECT_EQ(native_mode(BUNDLE "/Contents/MacOS/mygame"), 0755);
    EXPECT_EQ(read_native(BUNDLE "/Contents/Resources/mygame.icns").substr(0, 4), "icns");
    EXPECT_NE(read_native(BUNDLE "/Contents/Info.plist").find("<string>My Game</string>"),
              std::string::npos);

    /* The staged game: cleaned, native pruned to macOS, defaults added. */
    const char *present[] = {"app/main.rb", "data/sub/level.txt", "native/macos/lib.dylib",
                             "font.ttf", "metadata/BRINDLECOT_PRODUCTION_BUILD",
                             "metadata/game_metadata.txt"};
    for (const char *rel : present)
        EXPECT_TRUE(native_exists(std::string(BUNDLE "/Contents/Resources/") + rel)) << rel;
    const char *absent[] = {"data/sub/.DS_Store", "native/html5", "native/linux-amd64"};
    for (const char *rel : absent)
        EXPECT_FALSE(native_exists(std::string(BUNDLE "/Contents/Resources/") + rel)) << rel;
    EXPECT_TRUE(native_exists(PACKAGE));

    /* Newest first: the bundle, then the package build_platform recorded. */
    ASSERT_NE(head.next, nullptr);
    EXPECT_STREQ(head.next->platform, "macos");
    EXPECT_STREQ(head.next->path, BUNDLE);
    EXPECT_EQ(head.next->is_tree, 1);
    ASSERT_NE(head.next->next, nullptr);
    EXPECT_STREQ(head.next->next->path, PACKAGE);
    EXPECT_EQ(head.next->next->is_tree, 0);
    EXPECT_EQ(head.next->next->next, nullptr);
}

TEST_F(MacosTest, LongGameIdGivesWholePathsInsideTheBundle)
{
    /* Paths inside the bundle run well past 256 bytes here. */
    std::string id(150, 'g');
    load_game("T", id);
    std::string package = "builds/" + id + "-macos.zip";
    ASSERT_EQ(build_platform("macos", package.c_str(), "mygame", &head, NULL), 1);
    std::string bundle = "builds/" + id + "-mac-1.0/T.app";
    EXPECT_EQ(read_native(bundle + "/Contents/MacOS/" + id), runtime);
    EXPECT_TRUE(native_exists(bundle + "/Contents/Resources/" + id + ".icns"));
    EXPECT_TRUE(native_exists(package));
}

TEST_F(MacosTest, BundlePathOf200BytesBuildsAnd201Fails)
{
    /* "builds/mygame-mac-1.0/" + title + ".app" is 26 bytes plus the title. */
    std::string title(174, 't');
    load_game(title);
    ASSERT_EQ(build(), 1);
    EXPECT_TRUE(native_exists(PACKAGE));

    load_game(title + "u");
    std::string bundle = std::string(ROOT "/") + title + "u.app";
    ASSERT_EQ(bundle.size(), 201u);
    EXPECT_EQ(build(), 0);
    EXPECT_TRUE(was_written("App bundle name ('" + bundle + "') is too long"));
    EXPECT_FALSE(native_exists(PACKAGE));
    /* The bundle is recorded even though the build failed. */
    ASSERT_NE(head.next, nullptr);
    EXPECT_EQ(head.next->path, bundle);
    EXPECT_EQ(head.next->is_tree, 1);
}

TEST_F(MacosTest, FailuresDeleteThePackage)
{
    struct {
        const char *what;
        const char *stub; /* NULL: no stub at all */
        bool drop_icon;
        const char *message;
    } cases[] = {
        {"stub of three bytes", "abc", false,
         "Read from '" BUNDLE "/Contents/MacOS/mygame' failed: unexpected end of file"},
        {"empty stub", "", false,
         "Read from '" BUNDLE "/Contents/MacOS/mygame' failed: unexpected end of file"},
        {"no stub", NULL, false, "Can't open '.brindlecot/stubs/macos' for reading: "},
        {"no icon", "full stub", true, "Failed to load image 'mygame/metadata/icon.png'"},
    };
    const std::string icon = read_native("mygame/metadata/icon.png");
    for (const auto &c : cases) {
        if (c.stub)
            write_native(".brindlecot/stubs/macos", c.stub);
        else
            PHYSFS_delete(".brindlecot/stubs/macos");
        if (c.drop_icon)
            PHYSFS_delete("mygame/metadata/icon.png");
        else
            write_native("mygame/metadata/icon.png", icon);
        write_native(PACKAGE, "an older package");
        written.clear();
        EXPECT_EQ(build(), 0) << c.what;
        EXPECT_TRUE(was_written(c.message)) << c.what;
        EXPECT_FALSE(native_exists(PACKAGE)) << c.what;
    }
}

TEST_F(MacosTest, RebuildRemovesTheOldBuildRoot)
{
    ASSERT_EQ(build(), 1);
    EXPECT_FALSE(was_written("Deleting '" ROOT "'..."));
    write_native(BUNDLE "/Contents/Resources/stale.txt", "old");
    write_native(ROOT "/Other.app/Contents/Info.plist", "old");
    ASSERT_EQ(build(), 1);
    EXPECT_TRUE(was_written("Deleting '" ROOT "'..."));
    EXPECT_FALSE(native_exists(BUNDLE "/Contents/Resources/stale.txt"));
    EXPECT_FALSE(native_exists(ROOT "/Other.app"));
    EXPECT_EQ(read_native(BUNDLE "/Contents/MacOS/mygame"), runtime);
}

TEST_F(MacosTest, OldBuildRootThatStaysFailsTheBuild)
{
    if (!write_undeletable(ROOT "/stale", "old"))
        GTEST_SKIP() << "no immutable files here";
    write_native(PACKAGE, "an older package");
    EXPECT_EQ(build(), 0);
    EXPECT_TRUE(was_written("Failed to delete '" ROOT "/stale': "));
    EXPECT_FALSE(was_written("Making macOS app bundle"));
    EXPECT_FALSE(native_exists(PACKAGE));
    EXPECT_TRUE(native_exists(ROOT "/stale"));
}
