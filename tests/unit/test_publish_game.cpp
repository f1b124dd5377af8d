#include "test_support.h"

#include "engine/cvar.h"
#include "engine/game_metadata.h"
#include "publish/platforms/build_platform.h"
#include "publish/platforms/package.h"
#include "publish/platforms/platform_table.h"
#include "publish/publish_game.h"

#include <SDL.h>

class PublishGameTest : public FsTest {
protected:
    void SetUp() override
    {
        FsTest::SetUp();
        ASSERT_EQ(game_metadata_register(), 1);
        write_native("mygame/metadata/game_metadata.txt",
                     "devid=d\ndevtitle=D\ngameid=mygame\ngametitle=G\nversion=1\n");
        write_native("mygame/app/main.rb", "puts 1\n");
    }
};

TEST_F(PublishGameTest, PackageNames)
{
    ASSERT_EQ(game_metadata_load("mygame/metadata/game_metadata.txt"), 1);
    struct {
        const char *platform;
        const char *path;
    } cases[] = {
        {"linux-amd64", "builds/mygame-linux-amd64.bin"},
        {"Linux-Arm", "builds/mygame-Linux-Arm.bin"},
        {"windows-amd64", "builds/mygame-windows-amd64.exe"},
        {"WINDOWS-amd64", "builds/mygame-WINDOWS-amd64.exe"},
        {"macos", "builds/mygame-macos.zip"},
        {"HTML5", "builds/mygame-HTML5.zip"},
        {"android", "builds/mygame-android.apk"},
        {"googleplay", "builds/mygame-googleplay.aab"},
        {"oculusquest", "builds/mygame-oculusquest.apk"},
        {"ios-device", "builds/mygame-ios-device"},
    };
    for (const auto &c : cases) {
        char *path = package_path_for(c.platform);
        ASSERT_NE(path, nullptr);
        EXPECT_STREQ(path, c.path);
        SDL_free(path);
    }
}

TEST_F(PublishGameTest, IosDeviceIsRecordedWithoutTouchingTheDisk)
{
    BuiltPlatform head;
    SDL_zero(head);
    EXPECT_EQ(build_platform("ios-device", "builds/x", "mygame", &head, NULL), 1);
    ASSERT_NE(head.next, nullptr);
    EXPECT_STREQ(head.next->platform, "ios-device");
    EXPECT_STREQ(head.next->path, "builds/x");
    EXPECT_EQ(head.next->is_tree, 0);
    EXPECT_FALSE(native_exists("builds"));
    built_platform_free_list(&head);
    EXPECT_EQ(head.next, nullptr);
}

TEST_F(PublishGameTest, UnknownPlatformKeepsItsRecordAndFails)
{
    BuiltPlatform head;
    SDL_zero(head);
    take_log();
    EXPECT_EQ(build_platform("beos", "builds/x", "mygame", &head, NULL), 0);
    EXPECT_TRUE(was_written("Unknown platform 'beos'"));
    ASSERT_NE(head.next, nullptr);
    built_platform_free_list(&head);
}

TEST_F(PublishGameTest, FailedWalkFreesTheList)
{
    /* Under the leak checker: the record of the failed build must not leak. */
    write_native(".brindlecot/stubs/beos", "x");
    EXPECT_EQ(publish_game("mygame", NULL, 0), 0);
    EXPECT_EQ(publish_game("mygame", "beos,other", 0), 0);
}

TEST_F(PublishGameTest, MissingStubDirectoryBuildsNothing)
{
    take_log();
    EXPECT_EQ(publish_game("mygame", NULL, 0), 0);
    EXPECT_TRUE(was_written("We don't seem to have built for any platforms!"));
}

TEST_F(PublishGameTest, FilterSkipsEverythingNotNamed)
{
    write_native(".brindlecot/stubs/ios-device", "");
    write_native(".brindlecot/stubs/beos", "x");
    take_log();
    EXPECT_EQ(publish_game("mygame", "ios-device,", 0), 1);
    EXPECT_TRUE(was_written("All platform builds are complete!"));
    EXPECT_FALSE(was_written("beos"));
}

TEST(PlatformTable, RowsDecideMatchingAndUpload)
{
    struct {
        const char *platform;
        const char *row; /* nullptr: unknown */
        PlatformUpload upload;
    } cases[] = {
        {"linux-amd64", "linux-amd64", PLATFORM_UPLOAD_PACKAGE},
        {"LINUX-AMD64", "linux-amd64", PLATFORM_UPLOAD_PACKAGE},
        {"linux-raspberrypi", "linux-raspberrypi", PLATFORM_UPLOAD_PACKAGE},
        {"linux-arm64", "linux", PLATFORM_UPLOAD_NONE},
        {"linux", "linux", PLATFORM_UPLOAD_NONE},
        {"windows-amd64", "windows-amd64", PLATFORM_UPLOAD_PACKAGE},
        {"Windows-x86", "windows", PLATFORM_UPLOAD_NONE},
        {"MacOS", "macos", PLATFORM_UPLOAD_TREE},
        {"html5", "html5", PLATFORM_UPLOAD_TREE},
        {"html5-extra", nullptr, PLATFORM_UPLOAD_NONE},
        {"android", "android", PLATFORM_UPLOAD_NONE},
        {"OculusQuest", "oculusquest", PLATFORM_UPLOAD_NONE},
        {"googleplay", "googleplay", PLATFORM_UPLOAD_NONE},
        {"ios-device", "ios-device", PLATFORM_UPLOAD_NONE},
        {"beos", nullptr, PLATFORM_UPLOAD_NONE},
    };
    for (const auto &c : cases) {
        const PlatformRow *row = platform_find(c.platform);
        if (!c.row) {
            EXPECT_EQ(row, nullptr) << c.platform;
            continue;
        }
        ASSERT_NE(row, nullptr) << c.platform;
        EXPECT_STREQ(row->name, c.row) << c.platform;
        EXPECT_EQ(row->upload, c.upload) << c.platform;
    }
}

/* android and oculusquest build APKs (test_build_apk.cpp), googleplay the
 * app bundle (test_build_app_bundle.cpp). Each row's package comes out of
 * its own builder: an APK holds the compiled resource table at its root, a
 * bundle holds its configuration, and neither holds the other's. */
TEST_F(PublishGameTest, AndroidRowsRunTheirBuilds)
{
    std::string out;
    ASSERT_EQ(make_test_installation(root, &out), 0) << out;
    ASSERT_EQ(game_metadata_load("mygame/metadata/game_metadata.txt"), 1);
    struct {
        const char *platform;
        const char *present;
        const char *absent;
    } cases[] = {
        {"android", "resources.arsc", "BundleConfig.pb"},
        {"googleplay", "BundleConfig.pb", "resources.arsc"},
        {"oculusquest", "resources.arsc", "BundleConfig.pb"},
    };
    for (const auto &c : cases) {
        std::string package = std::string("builds/") + c.platform + ".zip";
        EXPECT_EQ(build_platform(c.platform, package.c_str(), "mygame", nullptr, nullptr), 1) << c.platform;
        std::string listing;
        run_command("unzip -Z1 '" + root + "/" + package + "'", &listing);
        EXPECT_NE(listing.find(c.present), std::string::npos) << c.platform << ": " << listing;
        EXPECT_EQ(listing.find(c.absent), std::string::npos) << c.platform << ": " << listing;
    }
}

/* What a failed or finished tree build leaves for the stop line. */
static int fail_part(const PlatformBuild *, const char *, void *)
{
    return 0;
}

static int write_part(const PlatformBuild *, const char *path, void *)
{
    PHYSFS_mkdir("builds/t");
    PHYSFS_File *f = PHYSFS_openWrite(path);
    int ok = f && PHYSFS_writeBytes(f, "x", 1) == 1;
    return PHYSFS_close(f) && ok;
}

/* The phrases package_build added since before ("" when none). */
static std::string unsettled_since(const std::string &before)
{
    int lost = 1;
    char *now = package_unsettled(&lost);
    EXPECT_EQ(lost, 0);
    std::string text = now ? now : "";
    SDL_free(now);
    if (before.empty())
        return text;
    EXPECT_EQ(text.compare(0, before.size(), before), 0) << text;
    return text.size() > before.size() ? text.substr(before.size() + 2) : "";
}

TEST_F(PublishGameTest, TreeBuildsLeaveTheirStateForTheStopLine)
{
    struct {
        bool earlier_tree, earlier_package;
        PackageMake make;
        const char *said;
    } cases[] = {
        {true, true, fail_part,
         "deleted builds/p.zip of an earlier run (run again to make it); deleted builds/t of an "
         "earlier run and left this run's unfinished (run again to make it)"},
        {false, false, fail_part, "left builds/t unfinished (run again to make it)"},
        {true, true, write_part, ""},
    };
    for (const auto &c : cases) {
        if (c.earlier_tree)
            write_native("builds/t/old.txt", "old");
        if (c.earlier_package)
            write_native("builds/p.zip", "old");
        int lost = 1;
        char *start = package_unsettled(&lost);
        std::string before = start ? start : "";
        SDL_free(start);
        PlatformBuild b;
        SDL_zero(b);
        b.platform = "html5";
        b.out_path = "builds/p.zip";
        b.game_dir = "mygame";
        const PackagePart parts[] = {{PACKAGE_PART_MADE, "a.txt", NULL, NULL, c.make, NULL}};
        PackageSpec spec = {"builds/t", parts, package_part_count(parts),
                            package_zip_options(0, NULL), NULL, NULL, NULL};
        EXPECT_EQ(package_build(&b, &spec), c.make == write_part ? 1 : 0);
        EXPECT_EQ(unsettled_since(before), c.said);
        EXPECT_FALSE(native_exists("builds/t/old.txt"));
    }
}
