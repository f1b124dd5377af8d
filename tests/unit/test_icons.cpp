#include "test_support.h"

#include "publish/images/icons.h"

#include <SDL.h>
#include <physfs.h>
#include <stdlib.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <lodepng.h>
#include <stb/stb_image.h>

#include <string>
#include <vector>

namespace
{

uint32_t le32(const std::string &s, size_t at)
{
    return (uint8_t)s[at] | (uint8_t)s[at + 1] << 8 | (uint8_t)s[at + 2] << 16 |
           (uint32_t)(uint8_t)s[at + 3] << 24;
}

uint32_t be32(const std::string &s, size_t at)
{
    return (uint32_t)(uint8_t)s[at] << 24 | (uint8_t)s[at + 1] << 16 | (uint8_t)s[at + 2] << 8 |
           (uint8_t)s[at + 3];
}

class IconsTest : public FsTest
{
  protected:
    /* An opaque gradient PNG of w x h at a native path. */
    void write_png(const std::string &rel, int w, int h)
    {
        std::vector<uint8_t> px((size_t)w * h * 4);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) {
                uint8_t *p = &px[((size_t)y * w + x) * 4];
                p[0] = (uint8_t)(x * 255 / w), p[1] = (uint8_t)(y * 255 / h), p[2] = 99, p[3] = 255;
            }
        unsigned char *out = NULL;
        size_t size = 0;
        ASSERT_EQ(lodepng_encode32(&out, &size, px.data(), w, h), 0u);
        write_native(rel, std::string((const char *)out, size));
        free(out);
    }

    static void expect_png_512(const std::string &png)
    {
        int w = 0, h = 0, n = 0;
        ASSERT_EQ(stbi_info_from_memory((const stbi_uc *)png.data(), (int)png.size(), &w, &h, &n),
                  1);
        EXPECT_EQ(w, 512);
        EXPECT_EQ(h, 512);
    }
};

} // namespace

TEST_F(IconsTest, WindowsIconHoldsOne512Png)
{
    for (auto dims : {std::pair<int, int>{1024, 1024}, {600, 400}, {300, 512}}) {
        SCOPED_TRACE(std::to_string(dims.first) + "x" + std::to_string(dims.second));
        write_png("icon.png", dims.first, dims.second);
        ASSERT_EQ(make_windows_icon("out/icon.ico", "icon.png"), 0); /* no such directory */
        ASSERT_EQ(make_windows_icon("icon.ico", "icon.png"), 1);
        std::string ico = read_native("icon.ico");
        ASSERT_GT(ico.size(), 22u);
        const uint32_t png_size = (uint32_t)ico.size() - 22;
        const std::string header("\0\0\1\0\1\0\0\0\0\0\1\0\x20\0", 14);
        EXPECT_EQ(ico.substr(0, 14), header);
        EXPECT_EQ(le32(ico, 14), png_size);
        EXPECT_EQ(le32(ico, 18), 22u);
        EXPECT_EQ(ico.substr(22, 8), "\x89PNG\r\n\x1a\n");
        expect_png_512(ico.substr(22));
    }
    EXPECT_TRUE(was_written("Converting 'icon.png' to Windows icon 'icon.ico'..."));
    EXPECT_TRUE(was_written("Opening 'out/icon.ico' for write failed: "));
}

TEST_F(IconsTest, MacosIconHoldsOneIc09Element)
{
    for (auto dims : {std::pair<int, int>{1024, 1024}, {600, 400}}) {
        SCOPED_TRACE(std::to_string(dims.first) + "x" + std::to_string(dims.second));
        write_png("icon.png", dims.first, dims.second);
        ASSERT_EQ(make_macos_icon("icon.icns", "icon.png"), 1);
        std::string icns = read_native("icon.icns");
        ASSERT_GT(icns.size(), 16u);
        EXPECT_EQ(icns.substr(0, 4), "icns");
        EXPECT_EQ(be32(icns, 4), icns.size());
        EXPECT_EQ(icns.substr(8, 4), "ic09");
        EXPECT_EQ(be32(icns, 12), icns.size() - 8);
        expect_png_512(icns.substr(16));
    }
    EXPECT_TRUE(was_written("Converting 'icon.png' to macOS icon 'icon.icns'..."));
}

TEST_F(IconsTest, UnreadableImageMakesNoFile)
{
    write_native("corrupt.png",
                 std::string("\x89PNG\r\n\x1a\n", 8) + "garbage after the signature");
    for (const char *image : {"missing.png", "corrupt.png"}) {
        SCOPED_TRACE(image);
        EXPECT_EQ(make_windows_icon("a.ico", image), 0);
        EXPECT_EQ(make_macos_icon("a.icns", image), 0);
        EXPECT_FALSE(native_exists("a.ico"));
        EXPECT_FALSE(native_exists("a.icns"));
        EXPECT_TRUE(was_written(std::string("Failed to load image '") + image + "'"));
    }
}

TEST_F(IconsTest, FailedWriteDeletesTheFile)
{
    /* The file-size limit cuts the write short after the header. */
    write_png("icon.png", 64, 64);
    struct Case {
        const char *out;
        int (*make)(const char *, const char *);
        const char *message;
    } cases[] = {
        {"full.ico", make_windows_icon, "Writing ico 'full.ico' failed: "},
        {"full.icns", make_macos_icon, "Writing icns 'full.icns' failed: "},
    };
    struct rlimit old_limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.out);
        struct rlimit small = old_limit;
        small.rlim_cur = 40;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        int rc = c.make(c.out, "icon.png");
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old_limit), 0);
        EXPECT_EQ(rc, 0);
        EXPECT_TRUE(was_written(c.message));
        EXPECT_FALSE(native_exists(c.out));
    }
    signal(SIGXFSZ, old_handler);
}
