#include "test_support.h"
#include "platform_build.h"

#include "alloc_countdown.h"
#include "engine/cvar.h"
#include "engine/game_metadata.h"
#include "engine/log.h"
#include "publish/android/android_manifest.h"
#include "publish/android/build_app_bundle.h"
#include "publish/platforms/build_platform.h"
#include "publish/images/image.h"

#include <SDL.h>

#include <string>
#include <vector>

namespace {

int bundle_build(const char *platform, const char *out_path, const char *game_dir)
{
    return run_builder(build_app_bundle, platform, out_path, game_dir);
}

const char *const TEMPLATE =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<manifest xmlns:android=\"http://schemas.android.com/apk/res/android\"\n"
    "    package=\"$ZEVRA_PACKAGEID\" android:versionCode=\"$ZEVRA_VERSION_CODE\"\n"
    "    android:versionName=\"$ZEVRA_VERSION\">\n"
    "  <application android:label=\"@string/app_name\" android:icon=\"@mipmap/ic_launcher\"/>\n"
    "</manifest>\n";
const char *const PACKAGE = "builds/mygame-googleplay.aab";
const char *const TREE = "builds/mygame-googleplay-1.0";

class BuildAppBundleTest : public FsTest {
protected:
    void SetUp() override
    {
        FsTest::SetUp();
        ASSERT_EQ(quiet_log(), 1);
        ASSERT_EQ(game_metadata_register(), 1);
        android_build_id = 0;
        write_installation("googleplay");
        write_native("mygame/metadata/game_metadata.txt",
                     "devid=d\ndevtitle=D\ngameid=mygame\ngametitle=Tiny\nversion=1.0\n"
                     "icon=metadata/icon.png\npackageid=com.example.tiny\n");
        ASSERT_EQ(game_metadata_load("mygame/metadata/game_metadata.txt"), 1);
        write_native("mygame/app/main.rb", "def tick args; end\n");
        write_icon("mygame/metadata/icon.png");
        mkdir_native("builds");
        written.clear();
    }
    void TearDown() override
    {
        android_build_id = 0;
        FsTest::TearDown();
    }

    /* The stub entry platform with a base module of dex/classes.dex and a
     * native library, the manifest template, and the default files. */
    void write_installation(const std::string &platform)
    {
        std::string stub = ".brindlecot/stubs/" + platform;
        write_native(stub + "/stub/dex/classes.dex", "the runtime's classes");
        write_native(stub + "/stub/lib/armeabi-v7a/libmain.so", "the runtime");
        write_native(stub + "/BrindlecotManifest.xml", TEMPLATE);
        for (const char *name : {"open-source-licenses.txt", "font.ttf", "brindlecot.png",
                                 "brindlecot-controller.png", "console-logo.png"})
            write_native(name, name);
    }
    void write_icon(const std::string &rel)
    {
        std::vector<uint8_t> rgba(16 * 16 * 4, 200);
        size_t size = 0;
        uint8_t *png = encode_png_scaled(rgba.data(), 16, 16, 0, 0, &size);
        ASSERT_NE(png, nullptr);
        write_native(rel, std::string((const char *)png, size));
        SDL_free(png);
    }
};

/* Without its runtime tree the bundle would be built without the
 * runtime's classes and still count as built. */
TEST_F(BuildAppBundleTest, MissingStubTreeFailsTheBuild)
{
    run_command("rm -rf '" + root + "/.brindlecot/stubs/googleplay/stub'");
    write_native(PACKAGE, "an earlier package");
    EXPECT_EQ(bundle_build("googleplay", PACKAGE, "mygame"), 0);
    EXPECT_FALSE(native_exists(PACKAGE));
    EXPECT_TRUE(was_written("Failed to stat '.brindlecot/stubs/googleplay/stub': "));
}

TEST_F(BuildAppBundleTest, BuildsTheBundleTreeAndItsPackage)
{
    ASSERT_EQ(bundle_build("googleplay", PACKAGE, "mygame"), 1);
    EXPECT_TRUE(native_exists(PACKAGE));
    for (const char *file :
         {"BundleConfig.pb", "base/manifest/AndroidManifest.xml", "base/resources.pb",
          "base/dex/classes.dex", "base/dex/classes2.dex", "base/lib/armeabi-v7a/libmain.so",
          "base/res/mipmap-xxxhdpi-v4/ic_launcher.png", "base/assets/app/main.rb",
          "base/assets/font.ttf"})
        EXPECT_TRUE(native_exists(std::string(TREE) + "/" + file)) << file;
    EXPECT_TRUE(was_written("Wrote 31 bytes to protobuffer " + std::string(TREE) +
                            "/BundleConfig.pb"));
}

TEST_F(BuildAppBundleTest, SecondBuildReplacesTheTree)
{
    ASSERT_EQ(bundle_build("googleplay", PACKAGE, "mygame"), 1);
    write_native(std::string(TREE) + "/base/assets/stale.txt", "from an earlier build");
    written.clear();
    ASSERT_EQ(bundle_build("googleplay", PACKAGE, "mygame"), 1);
    EXPECT_TRUE(was_written("Deleting '" + std::string(TREE) + "'..."));
    EXPECT_FALSE(native_exists(std::string(TREE) + "/base/assets/stale.txt"));
    EXPECT_TRUE(native_exists(std::string(TREE) + "/base/resources.pb"));
}

TEST_F(BuildAppBundleTest, DispatchKeepsTheEntrysSpelling)
{
    write_installation("GooglePlay");
    ASSERT_EQ(build_platform("GooglePlay", "builds/mygame-GooglePlay.aab", "mygame", NULL,
                             NULL),
              1);
    EXPECT_TRUE(native_exists("builds/mygame-GooglePlay.aab"));
    EXPECT_TRUE(native_exists("builds/mygame-GooglePlay-1.0/base/manifest/AndroidManifest.xml"));
    EXPECT_FALSE(native_exists(TREE));
}

/* Each row breaks one step; the build fails, logs why and leaves no
 * package, not even one from an earlier build. Under LeakSanitizer the
 * rows also show that every failure frees the manifest text, its tree and
 * the string pool. */
struct BrokenBuild {
    const char *name;
    const char *setup; /* a native path made a directory, or "" */
    const char *remove;
    const char *message;
    const char *left; /* a file that must exist afterwards, or "" */
};

const BrokenBuild broken_builds[] = {
    {"stub without a dex directory", "", ".brindlecot/stubs/googleplay/stub/dex",
     "The Android stub lacks '.brindlecot/stubs/googleplay/stub/dex/classes.dex'", ""},
    {"manifest that does not parse", "", "", "XML failed to parse!", ""},
    {"manifest file that cannot be written",
     ".brindlecot/stubs/googleplay/stub/manifest/AndroidManifest.xml/x", "",
     "Opening 'builds/mygame-googleplay-1.0/base/manifest/AndroidManifest.xml' for write failed",
     ""},
    {"resource table that cannot be written", ".brindlecot/stubs/googleplay/stub/resources.pb/x",
     "", "Opening 'builds/mygame-googleplay-1.0/base/resources.pb' for write failed",
     "builds/mygame-googleplay-1.0/BundleConfig.pb"},
};

TEST_F(BuildAppBundleTest, FailedStepDeletesThePackage)
{
    for (const BrokenBuild &b : broken_builds) {
        SCOPED_TRACE(b.name);
        run_command("rm -rf '" + root + "/.brindlecot' '" + root + "/builds'");
        write_installation("googleplay");
        if (*b.setup)
            mkdir_native(b.setup);
        if (*b.remove)
            run_command("rm -rf '" + root + "/" + b.remove + "'");
        if (std::string(b.name) == "manifest that does not parse")
            write_native(".brindlecot/stubs/googleplay/BrindlecotManifest.xml", "<manifest>");
        write_native(PACKAGE, "an earlier package");
        written.clear();
        EXPECT_EQ(bundle_build("googleplay", PACKAGE, "mygame"), 0);
        EXPECT_FALSE(native_exists(PACKAGE));
        EXPECT_TRUE(was_written(b.message));
        if (*b.left) {
            EXPECT_TRUE(native_exists(b.left));
        }
    }
}

/* Runs the build with only budget allocations allowed, from a clean
 * builds/; 1 when it succeeded. A failure must leave no package. */
int BuildAppBundleTest_build_with_budget(FsTest *test, const std::string &root, int budget)
{
    run_command("rm -rf '" + root + "/builds' && mkdir '" + root + "/builds'");
    alloc_countdown_start(budget);
    int built = bundle_build("googleplay", PACKAGE, "mygame");
    alloc_countdown_stop();
    return built;
}

TEST_F(BuildAppBundleTest, OutOfMemoryFailsCleanlyAtEveryStepOfItsOwn)
{
    /* The budgets from which the Dalvik executable (the step before the
     * manifest) and the resource table (the step before the zip) get
     * written, found by bisection: more memory only ever takes a build
     * further. */
    auto first_budget_writing = [&](const std::string &file) {
        int low = 0, high = 1 << 16;
        while (low < high) {
            int mid = (low + high) / 2;
            BuildAppBundleTest_build_with_budget(this, root, mid);
            if (native_exists(std::string(TREE) + "/" + file))
                high = mid;
            else
                low = mid + 1;
        }
        return low;
    };
    int first = first_budget_writing("base/dex/classes2.dex");
    int last = first_budget_writing("base/resources.pb");
    ASSERT_GT(last - first, 20);
    /* In between, every allocation fails in turn: the manifest's text, tree
     * and encoding, the bundle configuration, the string pool and the
     * resource table. Each failure must free what it made (LeakSanitizer)
     * and leave no package. */
    for (int budget = first; budget < last; budget++) {
        ASSERT_EQ(BuildAppBundleTest_build_with_budget(this, root, budget), 0) << budget;
        ASSERT_FALSE(native_exists(PACKAGE)) << budget;
        ASSERT_FALSE(native_exists(std::string(TREE) + "/base/resources.pb")) << budget;
    }
}

} // namespace
