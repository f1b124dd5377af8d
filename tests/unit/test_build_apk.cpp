#include "test_support.h"
#include "platform_build.h"

#include "engine/game_metadata.h"
#include "publish/android/android_manifest.h"
#include "publish/android/build_apk.h"
#include "publish/platforms/build_platform.h"

#include <stdio.h>

#include <set>
#include <sstream>
#include <string>

#ifndef BRINDLECOT_SOURCE_DIR
#error "BRINDLECOT_SOURCE_DIR must name the source tree"
#endif

namespace
{

int apk_build(const char *platform, const char *out_path, const char *game_dir)
{
    return run_builder(build_android_apk, platform, out_path, game_dir);
}

const char *const TREE = "builds/mygame-android-1.0";
const char *const PACKAGE = "builds/mygame-android.apk";
const char *const BLOCK = ".brindlecot/stubs/android/BrindlecotResourcesBlob.bin";

const char *const GENERATED[] = {
    "res/mipmap-mdpi-v4/ic_launcher.png",   "res/mipmap-hdpi-v4/ic_launcher.png",
    "res/mipmap-xhdpi-v4/ic_launcher.png",  "res/mipmap-xxhdpi-v4/ic_launcher.png",
    "res/mipmap-xxxhdpi-v4/ic_launcher.png", "classes2.dex",
    "resources.arsc",
};

std::set<std::string> lines_of(const std::string &text)
{
    std::set<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.insert(line);
    return out;
}

std::string utf16le(const std::string &ascii)
{
    std::string out;
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

class BuildApkTest : public FsTest
{
  protected:
    void SetUp() override
    {
        FsTest::SetUp();
        ASSERT_EQ(game_metadata_register(), 1);
        std::string out;
        ASSERT_EQ(make_test_installation(root, &out), 0) << out;
        ASSERT_EQ(game_metadata_load("mygame/metadata/game_metadata.txt"), 1);
        android_build_id = 1234;
        written.clear();
    }

    void TearDown() override
    {
        android_build_id = 0;
        FsTest::TearDown();
    }

    /* Files (not directories) below a native directory, relative to it. */
    std::set<std::string> files_below(const std::string &rel)
    {
        std::string out;
        EXPECT_EQ(run_command("cd '" + root + "/" + rel + "' && find . -type f | cut -c3-", &out),
                  0);
        return lines_of(out);
    }

    /* Every path below a native directory, directories with a trailing '/'. */
    std::set<std::string> entries_below(const std::string &rel)
    {
        std::string out;
        EXPECT_EQ(run_command("cd '" + root + "/" + rel +
                                  "' && find . -mindepth 1 \\( -type d -printf '%P/\\n' \\) -o "
                                  "-printf '%P\\n'",
                              &out),
                  0);
        return lines_of(out);
    }

    /* The package's entry names as python's zipfile lists them. */
    std::set<std::string> package_entries(const std::string &rel)
    {
        std::string out;
        EXPECT_EQ(run_command("/usr/bin/python3 -c 'import sys, zipfile; "
                              "print(\"\\n\".join(zipfile.ZipFile(sys.argv[1]).namelist()))' '" +
                                  root + "/" + rel + "' 2>&1",
                              &out),
                  0)
            << out;
        return lines_of(out);
    }
};

} // namespace

TEST_F(BuildApkTest, PackageIsTheWholeBuildTree)
{
    ASSERT_EQ(apk_build("android", PACKAGE, "mygame"), 1);

    std::set<std::string> files = files_below(TREE);
    for (const char *f : GENERATED)
        EXPECT_EQ(files.count(f), 1u) << f;
    for (const char *f : {"classes.dex", "lib/armeabi-v7a/libmain.so", "AndroidManifest.xml",
                          "assets/app/main.rb", "assets/data/levels/bonus/level2.txt",
                          "assets/font.ttf", "assets/metadata/BRINDLECOT_PRODUCTION_BUILD",
                          "assets/native/android-arm64-v8a/libdemo.so"})
        EXPECT_EQ(files.count(f), 1u) << f;
    /* Staged like any build: no excluded names, only Android's natives. */
    EXPECT_EQ(files.count("assets/data/.DS_Store"), 0u);
    EXPECT_EQ(files.count("assets/native/linux-amd64/libdemo.so"), 0u);

    /* Every file and every directory, the empty one included. */
    EXPECT_EQ(package_entries(PACKAGE), entries_below(TREE));
    EXPECT_EQ(package_entries(PACKAGE).count("assets/saves/"), 1u);

    std::string manifest = read_native(std::string(TREE) + "/AndroidManifest.xml");
    ASSERT_GE(manifest.size(), 8u);
    uint32_t size = (uint8_t)manifest[4] | (uint8_t)manifest[5] << 8 |
                    (uint8_t)manifest[6] << 16 | (uint32_t)(uint8_t)manifest[7] << 24;
    EXPECT_EQ(size, manifest.size());
    EXPECT_TRUE(was_written("Cooking Android manifest to 'builds/mygame-android-1.0/"
                            "AndroidManifest.xml'..."));
}

TEST_F(BuildApkTest, RebuildReplacesTheWholeTree)
{
    ASSERT_EQ(apk_build("android", PACKAGE, "mygame"), 1);
    write_native(std::string(TREE) + "/stale.txt", "from an earlier build");
    write_native(std::string(TREE) + "/assets/removed/level.txt", "gone from the game");
    written.clear();

    ASSERT_EQ(apk_build("android", PACKAGE, "mygame"), 1);
    EXPECT_TRUE(was_written("Deleting 'builds/mygame-android-1.0'..."));
    EXPECT_FALSE(native_exists(std::string(TREE) + "/stale.txt"));
    EXPECT_FALSE(native_exists(std::string(TREE) + "/assets/removed"));
    EXPECT_EQ(package_entries(PACKAGE).count("stale.txt"), 0u);
}

TEST_F(BuildApkTest, ManifestThatDoesNotParseLeavesTheTreeAndNoPackage)
{
    /* Also when a package of an earlier build is there. */
    ASSERT_EQ(apk_build("android", PACKAGE, "mygame"), 1);
    write_native("mygame/metadata/android-manifest.xml", "<manifest><application></manifest>");
    written.clear();

    EXPECT_EQ(apk_build("android", PACKAGE, "mygame"), 0);
    EXPECT_TRUE(was_written("XML failed to parse!"));
    EXPECT_FALSE(native_exists(PACKAGE));
    for (const char *f : GENERATED)
        EXPECT_TRUE(native_exists(std::string(TREE) + "/" + f)) << f;
    EXPECT_FALSE(native_exists(std::string(TREE) + "/AndroidManifest.xml"));
}

TEST_F(BuildApkTest, FailingStepsDeleteAnEarlierPackage)
{
    ASSERT_EQ(apk_build("android", PACKAGE, "mygame"), 1);
    std::string earlier = read_native(PACKAGE);
    std::string block = read_native(BLOCK);
    struct Case {
        const char *what;
        const char *setup;   /* shell command run in the installation */
        const char *undo;
        const char *message;
    } cases[] = {
        {"block too short", "truncate -s 1300 .brindlecot/stubs/android/BrindlecotResourcesBlob.bin",
         NULL, "Resource block '.brindlecot/stubs/android/BrindlecotResourcesBlob.bin' is 1300 "
               "bytes long; it must be exactly 1324 bytes"},
        {"no stub tree", "mv .brindlecot/stubs/android/stub stub.away",
         "mv stub.away .brindlecot/stubs/android/stub",
         "Failed to stat '.brindlecot/stubs/android/stub'"},
        {"no icon", "mv mygame/metadata/icon.png icon.away", "mv icon.away mygame/metadata/icon.png",
         "Failed to load image 'mygame/metadata/icon.png'"},
        {"no template", "mv .brindlecot/stubs/android/BrindlecotManifest.xml t.away",
         "mv t.away .brindlecot/stubs/android/BrindlecotManifest.xml",
         "Failed to load '.brindlecot/stubs/android/BrindlecotManifest.xml'"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        write_native(PACKAGE, earlier);
        write_native(BLOCK, block);
        ASSERT_EQ(run_command("cd '" + root + "' && " + c.setup), 0);
        written.clear();
        EXPECT_EQ(apk_build("android", PACKAGE, "mygame"), 0);
        EXPECT_TRUE(was_written(c.message));
        EXPECT_FALSE(native_exists(PACKAGE));
        if (c.undo) {
            ASSERT_EQ(run_command("cd '" + root + "' && " + c.undo), 0);
        }
    }
}

TEST_F(BuildApkTest, OculusQuestHasItsOwnStubAndTheAndroidBlock)
{
    const std::string quest = ".brindlecot/stubs/oculusquest/";
    write_native(quest + "stub/quest-runtime.txt", "the headset's runtime");
    std::string tmpl = read_native(quest + "BrindlecotManifest.xml");
    size_t at = tmpl.find("<application");
    ASSERT_NE(at, std::string::npos);
    tmpl.insert(at, "<uses-feature android:name=\"android.hardware.vr.headtracking\" />\n");
    write_native(quest + "BrindlecotManifest.xml", tmpl);
    /* A block of its own would be of the wrong length: it is not read. */
    write_native(quest + "BrindlecotResourcesBlob.bin", "not the block");

    ASSERT_EQ(apk_build("oculusquest", "builds/mygame-oculusquest.apk", "mygame"), 1);
    const std::string tree = "builds/mygame-oculusquest-1.0";
    EXPECT_TRUE(native_exists(tree + "/quest-runtime.txt"));
    EXPECT_FALSE(native_exists(TREE));
    std::string manifest = read_native(tree + "/AndroidManifest.xml");
    EXPECT_NE(manifest.find(utf16le("android.hardware.vr.headtracking")), std::string::npos);
    std::string table = read_native(tree + "/resources.arsc");
    std::string block = read_native(BLOCK);
    ASSERT_GT(table.size(), block.size());
    EXPECT_EQ(table.substr(table.size() - block.size()), block);
}

/* The dispatch takes both platforms in any case; the entry's own spelling
 * names the stub directory and the paths. */
TEST_F(BuildApkTest, DispatchIgnoresCase)
{
    ASSERT_EQ(run_command("cd '" + root + "/.brindlecot/stubs' && mv oculusquest OculusQuest"), 0);
    for (const char *platform : {"ANDROID", "OculusQuest"}) {
        SCOPED_TRACE(platform);
        if (std::string(platform) == "ANDROID") {
            ASSERT_EQ(run_command("cd '" + root + "/.brindlecot/stubs' && cp -r android ANDROID"),
                      0);
        }
        std::string package = std::string("builds/mygame-") + platform + ".apk";
        ASSERT_EQ(build_platform(platform, package.c_str(), "mygame", NULL, NULL), 1);
        EXPECT_TRUE(native_exists(package));
        EXPECT_TRUE(native_exists(std::string("builds/mygame-") + platform + "-1.0/classes2.dex"));
    }
}
