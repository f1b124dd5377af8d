#include "test_support.h"

#include "engine/game_metadata.h"
#include "publish/android/launcher_icons.h"
#include "publish/images/image.h"

#include <SDL.h>

#include <string>
#include <vector>

namespace
{

const char *const densities[] = {"mdpi", "hdpi", "xhdpi", "xxhdpi", "xxxhdpi"};

std::string icon_path(const std::string &density)
{
    return "build/res/mipmap-" + density + "-v4/ic_launcher.png";
}

class LauncherIconsTest : public FsTest
{
  protected:
    void SetUp() override
    {
        FsTest::SetUp();
        ASSERT_EQ(game_metadata_register(), 1);
    }

    /* Loads the game's metadata with this icon line value. */
    void load_game(const std::string &icon)
    {
        write_native("mygame/metadata/game_metadata.txt",
                     "devid=d\ndevtitle=D\ngameid=mygame\ngametitle=G\nversion=1\nicon=" + icon +
                         "\n");
        ASSERT_EQ(game_metadata_load("mygame/metadata/game_metadata.txt"), 1);
        written.clear();
    }

    /* A PNG of w x h: red left half, blue right half, opaque. */
    void write_source(const std::string &rel, int w, int h)
    {
        std::vector<uint8_t> rgba((size_t)w * h * 4);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) {
                uint8_t *p = &rgba[((size_t)y * w + x) * 4];
                p[0] = x < w / 2 ? 255 : 0;
                p[1] = 0;
                p[2] = x < w / 2 ? 0 : 255;
                p[3] = 255;
            }
        size_t size = 0;
        uint8_t *png = encode_png_scaled(rgba.data(), w, h, 0, 0, &size);
        ASSERT_NE(png, nullptr);
        write_native(rel, std::string((const char *)png, size));
        SDL_free(png);
    }

    /* Pillow's view of each icon that exists: "<density> <format> <w>x<h>
     * <left pixel> <right pixel>" a line. */
    std::string pillow_report()
    {
        std::string script =
            "import os, sys\n"
            "from PIL import Image\n"
            "for d in sys.argv[2:]:\n"
            "    p = os.path.join(sys.argv[1], 'build/res/mipmap-%s-v4/ic_launcher.png' % d)\n"
            "    if not os.path.exists(p):\n"
            "        continue\n"
            "    with Image.open(p) as im:\n"
            "        im.load()\n"
            "        w, h = im.size\n"
            "        c = im.convert('RGBA')\n"
            "        print(d, im.format, '%dx%d' % (w, h), c.getpixel((0, h // 2)),\n"
            "              c.getpixel((w - 1, h // 2)))\n";
        write_native("report.py", script);
        std::string out;
        std::string cmd = "/usr/bin/python3 '" + root + "/report.py' '" + root + "'";
        for (const char *d : densities)
            cmd += std::string(" ") + d;
        EXPECT_EQ(run_command(cmd + " 2>&1", &out), 0) << out;
        return out;
    }
};

const char *const all_five =
    "mdpi PNG 48x48 (255, 0, 0, 255) (0, 0, 255, 255)\n"
    "hdpi PNG 72x72 (255, 0, 0, 255) (0, 0, 255, 255)\n"
    "xhdpi PNG 96x96 (255, 0, 0, 255) (0, 0, 255, 255)\n"
    "xxhdpi PNG 144x144 (255, 0, 0, 255) (0, 0, 255, 255)\n"
    "xxxhdpi PNG 192x192 (255, 0, 0, 255) (0, 0, 255, 255)\n";

} // namespace

TEST_F(LauncherIconsTest, FiveDensitiesFromAnySourceSize)
{
    /* Files from an earlier build are replaced. */
    for (const char *d : densities)
        write_native(icon_path(d), "stale");
    for (auto dims : {std::pair<int, int>{512, 512}, {300, 200}, {48, 48}, {20, 700}}) {
        SCOPED_TRACE(std::to_string(dims.first) + "x" + std::to_string(dims.second));
        write_source("mygame/art/icon.png", dims.first, dims.second);
        load_game("art/icon.png");
        ASSERT_EQ(write_android_icons("build", "mygame"), 1);
        EXPECT_EQ(pillow_report(), all_five);
        for (const char *d : densities)
            EXPECT_TRUE(was_written("Converting 'mygame/art/icon.png' to Android icon '" +
                                    icon_path(d) + "'..."));
    }
}

TEST_F(LauncherIconsTest, UnreadableIconStopsAtTheFirstDensity)
{
    write_native("mygame/metadata/corrupt.png",
                 std::string("\x89PNG\r\n\x1a\n", 8) + "garbage after the signature");
    struct {
        const char *icon;
        const char *source; /* as the message names it */
    } cases[] = {
        {"metadata/missing.png", "mygame/metadata/missing.png"},
        {"metadata/corrupt.png", "mygame/metadata/corrupt.png"},
        {"", "mygame/"}, /* names the game directory itself */
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.icon);
        load_game(c.icon);
        EXPECT_EQ(write_android_icons("build", "mygame"), 0);
        EXPECT_TRUE(was_written(std::string("Failed to load image '") + c.source + "'"));
        EXPECT_TRUE(native_exists("build/res/mipmap-mdpi-v4"));
        EXPECT_FALSE(native_exists(icon_path("mdpi")));
        EXPECT_FALSE(native_exists("build/res/mipmap-hdpi-v4"));
        EXPECT_FALSE(was_written("to Android icon '" + icon_path("hdpi")));
    }
}

TEST_F(LauncherIconsTest, WriteFailureKeepsTheIconsBeforeIt)
{
    /* A file where the hdpi directory belongs: that icon can't be written. */
    write_source("mygame/metadata/icon.png", 512, 512);
    write_native("build/res/mipmap-hdpi-v4", "in the way");
    load_game("metadata/icon.png");
    EXPECT_EQ(write_android_icons("build", "mygame"), 0);
    EXPECT_TRUE(was_written("Failed to write Android icon to disk!"));
    EXPECT_EQ(pillow_report(), "mdpi PNG 48x48 (255, 0, 0, 255) (0, 0, 255, 255)\n");
    EXPECT_FALSE(native_exists("build/res/mipmap-xhdpi-v4"));
}
