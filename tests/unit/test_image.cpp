#include "test_support.h"

#include "publish/images/image.h"

#include <SDL.h>
#include <sys/stat.h>
#include <physfs.h>
#include <stdlib.h>

#include <lodepng.h>
#include <stb/stb_image.h>

#include <string>
#include <vector>

namespace
{

struct Rgba {
    uint8_t r, g, b, a;
};

bool operator==(const Rgba &x, const Rgba &y)
{
    return x.r == y.r && x.g == y.g && x.b == y.b && x.a == y.a;
}

std::ostream &operator<<(std::ostream &os, const Rgba &c)
{
    return os << "(" << int(c.r) << "," << int(c.g) << "," << int(c.b) << "," << int(c.a) << ")";
}

/* An image of cols x rows uniform blocks of the given colours (row-major). */
std::vector<uint8_t> block_image(int w, int h, int cols, int rows, const std::vector<Rgba> &colours)
{
    std::vector<uint8_t> px((size_t)w * h * 4);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            const Rgba &c = colours[(size_t)(y * rows / h) * cols + (x * cols / w)];
            uint8_t *p = &px[((size_t)y * w + x) * 4];
            p[0] = c.r, p[1] = c.g, p[2] = c.b, p[3] = c.a;
        }
    return px;
}

/* Decodes a PNG with stb_image (not the encoder that wrote it). */
struct Decoded {
    int w = 0, h = 0;
    std::vector<uint8_t> px;
    Rgba at(int x, int y) const
    {
        const uint8_t *p = &px[((size_t)y * w + x) * 4];
        return {p[0], p[1], p[2], p[3]};
    }
};

Decoded decode_png(const uint8_t *png, size_t size)
{
    Decoded d;
    int channels;
    stbi_uc *p = stbi_load_from_memory(png, (int)size, &d.w, &d.h, &channels, 4);
    EXPECT_NE(p, nullptr);
    if (p) {
        d.px.assign(p, p + (size_t)d.w * d.h * 4);
        stbi_image_free(p);
    }
    return d;
}

std::string encode_fixture_png(const std::vector<uint8_t> &raw, int w, int h, LodePNGColorType type,
                               unsigned bits)
{
    unsigned char *out = NULL;
    size_t size = 0;
    EXPECT_EQ(lodepng_encode_memory(&out, &size, raw.data(), w, h, type, bits), 0u);
    std::string s((const char *)out, size);
    free(out);
    return s;
}

class ImageTest : public FsTest
{
};

struct ScaleCase {
    const char *name;
    int w, h, cols, rows;
    uint32_t tw, th;
    std::vector<Rgba> colours;
    std::vector<Rgba> expected; /* per block after scaling */
};

} // namespace

TEST_F(ImageTest, ScaledBlocksKeepStraightAlpha)
{
    const Rgba red{255, 0, 0, 255}, green{0, 255, 0, 255}, blue{0, 0, 255, 255};
    const Rgba white{255, 255, 255, 255}, clear_colour{200, 100, 50, 0};
    const Rgba half{10, 200, 30, 128}, faint{250, 240, 230, 1};
    const Rgba zero{0, 0, 0, 0};
    const ScaleCase cases[] = {
        {"opaque down",
         1024,
         1024,
         2,
         2,
         512,
         512,
         {red, green, blue, white},
         {red, green, blue, white}},
        {"transparent and half",
         1024,
         1024,
         2,
         2,
         512,
         512,
         {clear_colour, half, faint, red},
         {zero, half, faint, red}},
        {"wide up",
         600,
         400,
         3,
         2,
         512,
         512,
         {red, half, clear_colour, green, blue, white},
         {red, half, zero, green, blue, white}},
        {"tall", 300, 512, 1, 2, 512, 512, {half, blue}, {half, blue}},
        {"tiny up",
         2,
         2,
         2,
         2,
         512,
         512,
         {half, clear_colour, red, faint},
         {half, zero, red, faint}},
        {"not square target", 64, 64, 2, 1, 48, 96, {half, green}, {half, green}},
    };
    for (const ScaleCase &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> px = block_image(c.w, c.h, c.cols, c.rows, c.colours);
        std::vector<uint8_t> before = px;
        size_t size = 0;
        uint8_t *png = encode_png_scaled(px.data(), c.w, c.h, c.tw, c.th, &size);
        ASSERT_NE(png, nullptr);
        EXPECT_EQ(px, before); /* the source is not touched */
        Decoded d = decode_png(png, size);
        SDL_free(png);
        ASSERT_EQ(d.w, (int)c.tw);
        ASSERT_EQ(d.h, (int)c.th);
        /* Every pixel of a block, away from the one-pixel seams where
         * nearest sampling may pick the neighbour, has the block's colour. */
        for (int y = 0; y < d.h; y++)
            for (int x = 0; x < d.w; x++) {
                int bx = x * c.cols / d.w, by = y * c.rows / d.h;
                int fx = (x * c.cols) % d.w, fy = (y * c.rows) % d.h;
                if (fx < 2 * c.cols || fx >= d.w - 2 * c.cols || fy < 2 * c.rows ||
                    fy >= d.h - 2 * c.rows)
                    continue;
                Rgba want = c.expected[(size_t)by * c.cols + bx];
                if (!(d.at(x, y) == want)) {
                    ADD_FAILURE() << "pixel " << x << "," << y << " is " << d.at(x, y) << ", want "
                                  << want;
                    return;
                }
            }
    }
}

TEST_F(ImageTest, OwnSizeOrZeroTargetIsEncodedUnchanged)
{
    /* Noise-like pixels, including transparent ones with colour: nothing is
     * scaled, blended or cleared. */
    const int w = 37, h = 23;
    std::vector<uint8_t> px((size_t)w * h * 4);
    for (size_t i = 0; i < px.size(); i++)
        px[i] = (uint8_t)(i * 131 + (i >> 3) * 7);
    for (size_t i = 3; i < px.size(); i += 20)
        px[i] = 0;
    const uint32_t targets[][2] = {{37, 23}, {0, 0}, {0, 512}, {512, 0}};
    for (const auto &t : targets) {
        SCOPED_TRACE(std::to_string(t[0]) + "x" + std::to_string(t[1]));
        size_t size = 0;
        uint8_t *png = encode_png_scaled(px.data(), w, h, t[0], t[1], &size);
        ASSERT_NE(png, nullptr);
        Decoded d = decode_png(png, size);
        SDL_free(png);
        EXPECT_EQ(d.w, w);
        EXPECT_EQ(d.h, h);
        EXPECT_EQ(d.px, px);
    }
}

TEST_F(ImageTest, EncodeRejectsBadArguments)
{
    uint8_t px[16] = {0};
    size_t size = 99;
    EXPECT_EQ(encode_png_scaled(NULL, 2, 2, 4, 4, &size), nullptr);
    EXPECT_EQ(encode_png_scaled(px, 0, 2, 4, 4, &size), nullptr);
    EXPECT_EQ(encode_png_scaled(px, 2, -1, 4, 4, &size), nullptr);
    EXPECT_EQ(encode_png_scaled(px, 2, 2, 0x80000000u, 4, &size), nullptr);
    EXPECT_EQ(size, 99u);
}

TEST_F(ImageTest, LoadsRgbaFromPngs)
{
    /* RGB 8-bit: alpha 255 added. */
    std::vector<uint8_t> rgb = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    write_native("rgb.png", encode_fixture_png(rgb, 2, 2, LCT_RGB, 8));
    /* RGB 16-bit: each sample keeps its high byte. */
    std::vector<uint8_t> rgb16 = {0x12, 0x34, 0xAB, 0xCD, 0xFF, 0x01,
                                  0x00, 0xFF, 0x80, 0x7F, 0x01, 0x02};
    write_native("rgb16.png", encode_fixture_png(rgb16, 2, 1, LCT_RGB, 16));
    /* Grey with alpha. */
    std::vector<uint8_t> ga = {90, 10, 200, 255};
    write_native("ga.png", encode_fixture_png(ga, 1, 2, LCT_GREY_ALPHA, 8));

    struct Case {
        const char *path;
        int w, h;
        std::vector<uint8_t> rgba;
    } cases[] = {
        {"rgb.png", 2, 2, {1, 2, 3, 255, 4, 5, 6, 255, 7, 8, 9, 255, 10, 11, 12, 255}},
        {"rgb16.png", 2, 1, {0x12, 0xAB, 0xFF, 255, 0x00, 0x80, 0x01, 255}},
        {"ga.png", 1, 2, {90, 90, 90, 10, 200, 200, 200, 255}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        int w = -1, h = -1;
        uint8_t *px = load_image_rgba(c.path, &w, &h);
        ASSERT_NE(px, nullptr);
        EXPECT_EQ(w, c.w);
        EXPECT_EQ(h, c.h);
        EXPECT_EQ(std::vector<uint8_t>(px, px + (size_t)w * h * 4), c.rgba);
        free_image(px);
    }
    uint8_t *px = load_image_rgba("rgb.png", NULL, NULL);
    EXPECT_NE(px, nullptr);
    SDL_free(px);
}

TEST_F(ImageTest, LoadFailsWithoutTouchingOutputs)
{
    std::string png =
        encode_fixture_png(std::vector<uint8_t>(64 * 64 * 4, 77), 64, 64, LCT_RGBA, 8);
    write_native("text.png", "this is not an image\n");
    write_native("truncated.png", png.substr(0, png.size() / 2));
    write_native("header-only.png", png.substr(0, 33));
    write_native("empty.png", "");
    mkdir_native("folder.png");
    for (const char *path : {"missing.png", "text.png", "truncated.png", "header-only.png",
                             "empty.png", "folder.png"}) {
        SCOPED_TRACE(path);
        int w = -7, h = -7;
        EXPECT_EQ(load_image_rgba(path, &w, &h), nullptr);
        EXPECT_EQ(w, -7);
        EXPECT_EQ(h, -7);
    }
}

/* A 1 x 2 BMP of 32-bit pixels, rows stored in file order: top then bottom
 * when the height is negative, bottom then top otherwise. */
static std::string fixture_bmp(int32_t height, const uint8_t first[4], const uint8_t second[4])
{
    std::string pixels(reinterpret_cast<const char *>(first), 4);
    pixels.append(reinterpret_cast<const char *>(second), 4);
    auto le = [](std::string &out, uint32_t v, int bytes) {
        for (int i = 0; i < bytes; i++)
            out.push_back(static_cast<char>(v >> (8 * i)));
    };
    std::string f = "BM";
    le(f, 14 + 40 + 8, 4);
    le(f, 0, 4);
    le(f, 54, 4);
    le(f, 40, 4);
    le(f, 1, 4);
    le(f, static_cast<uint32_t>(height), 4);
    le(f, 1, 2);
    le(f, 32, 2);
    le(f, 0, 4);
    le(f, 8, 4);
    le(f, 2835, 4);
    le(f, 2835, 4);
    le(f, 0, 4);
    le(f, 0, 4);
    return f + pixels;
}

TEST_F(ImageTest, TopDownAndBottomUpBmpsLoadTheRightWayUp)
{
    const uint8_t red_bgra[4] = {0, 0, 255, 255}, blue_bgra[4] = {255, 0, 0, 255};
    write_native("top-down.bmp", fixture_bmp(-2, red_bgra, blue_bgra));
    write_native("bottom-up.bmp", fixture_bmp(2, blue_bgra, red_bgra));
    for (const char *path : {"top-down.bmp", "bottom-up.bmp"}) {
        SCOPED_TRACE(path);
        int w = 0, h = 0;
        uint8_t *px = load_image_rgba(path, &w, &h);
        ASSERT_NE(px, nullptr);
        EXPECT_EQ(w, 1);
        EXPECT_EQ(h, 2);
        EXPECT_EQ(px[0], 255) << "the top row is red";
        EXPECT_EQ(px[2], 0);
        EXPECT_EQ(px[4], 0) << "the bottom row is blue";
        EXPECT_EQ(px[6], 255);
        SDL_free(px);
    }
}

TEST_F(ImageTest, AnImageThatCannotBeUsedSaysWhy)
{
    quiet_log();
    /* A PNG header that declares 0 x 0: LodePNG's inspect reads it. */
    std::string png = encode_fixture_png(std::vector<uint8_t>(4, 9), 1, 1, LCT_RGBA, 8);
    std::string zero = png;
    for (int i = 16; i < 24; i++)
        zero[i] = 0;
    write_native("zero.png", zero);
    write_native("text.png", "this is not an image\n");
    write_native("empty.png", "");
    write_native("truncated.png", png.substr(0, png.size() / 2));
    mkfifo((root + "/pipe.png").c_str(), 0600);
    struct Case {
        const char *path;
        const char *reason;
    } cases[] = {
        {"zero.png", "Image 'zero.png' is not a PNG that can be read: "},
        {"text.png", "Image 'text.png' is not in a format that can be read"},
        {"empty.png", "Image 'empty.png' is empty"},
        {"truncated.png", "Image 'truncated.png' is not a PNG that can be read: "},
        {"pipe.png", "Image 'pipe.png' is not a regular file"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(load_image_rgba(c.path, nullptr, nullptr), nullptr) << c.path;
        EXPECT_TRUE(was_written(c.reason)) << c.path;
    }
}

namespace
{

const char *const FIXTURE_TOOL =
    "/usr/bin/python3 " BRINDLECOT_SOURCE_DIR "/tests/helpers/image_fixtures.py";

class ImageFormatTest : public FsTest
{
protected:
    void SetUp() override
    {
        FsTest::SetUp();
        std::string out;
        ASSERT_EQ(run_command(std::string(FIXTURE_TOOL) + " '" + root + "' 2>&1", &out), 0)
            << out;
    }
};

} // namespace

/* Every fixture is 8 x 8 of one colour, written by Pillow (PSD by hand);
 * JPEG is lossy, so its channels may be a little off. */
TEST_F(ImageFormatTest, EveryFormatLoadsAsRgba)
{
    const Rgba colour{200, 100, 50, 255}, grey{120, 120, 120, 255};
    struct Case {
        const char *path;
        Rgba expected;
        int tolerance;
    } cases[] = {
        {"rgb.png", colour, 0},         {"palette.png", colour, 0},
        {"rgb.jpg", colour, 3},         {"progressive.jpg", colour, 3},
        {"grey.jpg", grey, 0},          {"cmyk.jpg", {200, 78, 39, 255}, 3},
        {"rgb.gif", colour, 0},         {"rgb.bmp", colour, 0},
        {"rgba.tga", {200, 100, 50, 128}, 0}, {"rgb.ppm", colour, 0},
        {"grey.pgm", grey, 0},          {"rgb.psd", colour, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        int w = 0, h = 0;
        uint8_t *px = load_image_rgba(c.path, &w, &h);
        ASSERT_NE(px, nullptr);
        EXPECT_EQ(w, 8);
        EXPECT_EQ(h, 8);
        for (int i = 0; i < w * h; i++) {
            const uint8_t *p = px + (size_t)i * 4;
            const uint8_t want[4] = {c.expected.r, c.expected.g, c.expected.b, c.expected.a};
            for (int ch = 0; ch < 4; ch++)
                ASSERT_LE(abs(p[ch] - want[ch]), c.tolerance) << "pixel " << i << " channel " << ch;
        }
        SDL_free(px);
    }
    /* Radiance samples are floats, mapped to 8 bits; the file only has to
     * decode at its size. */
    int w = 0, h = 0;
    uint8_t *px = load_image_rgba("rgb.hdr", &w, &h);
    ASSERT_NE(px, nullptr);
    EXPECT_EQ(w * h, 64);
    SDL_free(px);
}

/* Files that once drove the decoders out of bounds or into undefined
 * behaviour fail like any corrupt image: a 9-byte JPEG whose Huffman counts
 * add up to more than 256 (also named .png: the decoder is chosen by
 * content), a PNM header whose height overflows an int, and a PNM with
 * 16-bit samples. */
TEST_F(ImageFormatTest, CraftedHeadersFail)
{
    write_native("icon.png", read_native("bad_huffman.jpg"));
    for (const char *path : {"bad_huffman.jpg", "icon.png", "overflow.pgm", "deep.pgm"}) {
        SCOPED_TRACE(path);
        int w = -7, h = -7;
        EXPECT_EQ(load_image_rgba(path, &w, &h), nullptr);
        EXPECT_EQ(w, -7);
        EXPECT_EQ(h, -7);
    }
}

/* Headers declaring huge images are refused from the header alone (none
 * of these files holds pixel data), with the size in the error line. */
TEST_F(ImageFormatTest, OversizedHeadersAreRefusedWithTheirSize)
{
    struct Case {
        const char *path;
        const char *size;
    } cases[] = {
        {"huge.gif", "20617 x 18254"},
        {"huge.png", "16385 x 1"},
        {"huge.jpg", "8000 x 8001"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        int w = -7, h = -7;
        EXPECT_EQ(load_image_rgba(c.path, &w, &h), nullptr);
        EXPECT_EQ(w, -7);
        EXPECT_TRUE(was_written(std::string("Image '") + c.path + "' is " + c.size +
                                " pixels, more than 16384 on a side or 64000000 in all"));
    }
}
