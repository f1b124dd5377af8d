#include "test_support.h"

#include "engine/cvar.h"
#include "engine/game_metadata.h"
#include "publish/android/resource_table.h"

#include <SDL.h>

#include <string>

#ifndef BRINDLECOT_SOURCE_DIR
#error "BRINDLECOT_SOURCE_DIR must name the source tree"
#endif

namespace
{

const char *const BLOCK = ".brindlecot/stubs/android/BrindlecotResourcesBlob.bin";

uint32_t le16(const std::string &s, size_t at)
{
    return (uint8_t)s[at] | (uint8_t)s[at + 1] << 8;
}

uint32_t le32(const std::string &s, size_t at)
{
    return le16(s, at) | le16(s, at + 2) << 16;
}

/* The UTF-16 units of a string as the reader sees them. */
std::u16string units_at(const std::string &s, size_t at, size_t count)
{
    std::u16string out;
    for (size_t i = 0; i < count; i++)
        out += (char16_t)le16(s, at + 2 * i);
    return out;
}

class ResourceTableTest : public FsTest
{
  protected:
    void SetUp() override
    {
        FsTest::SetUp();
        ASSERT_EQ(game_metadata_register(), 1);
        /* The installation's own block, from the generator. */
        std::string out;
        ASSERT_EQ(run_command("mkdir -p '" + root + "/.brindlecot/stubs/android' && "
                              "/usr/bin/python3 -c 'import sys; sys.path.insert(0, \"" +
                                  BRINDLECOT_SOURCE_DIR "/tools\"); import android_stub; "
                                  "sys.stdout.buffer.write(android_stub.make_resources_blob())' "
                                  "> '" + root + "/" + BLOCK + "' 2>&1",
                              &out),
                  0)
            << out;
        set("game_metadata.packageid", "com.example.game");
        set("game_metadata.gametitle", "My Game");
    }

    /* A metadata value as the loader leaves it: set, then locked. */
    static void set(const char *name, const std::string &value)
    {
        ASSERT_EQ(cvar_unlock(name), 1);
        ASSERT_EQ(cvar_set(name, value.c_str()), 1);
        ASSERT_EQ(cvar_lock(name), 1);
    }

    std::string table() { return read_native("build/resources.arsc"); }

    /* aapt's dump of the table, zipped into an otherwise empty package. */
    std::string aapt_values()
    {
        std::string out;
        EXPECT_EQ(run_command("cd '" + root + "/build' && rm -f t.apk && zip -q t.apk "
                              "resources.arsc && aapt dump --values resources t.apk 2>&1",
                              &out),
                  0)
            << out;
        return out;
    }
};

} // namespace

/* Sizes and offsets for titles of odd and even length, outside the Basic
 * Multilingual Plane and with invalid UTF-8, each read back by aapt. */
TEST_F(ResourceTableTest, LayoutFollowsTheTitle)
{
    struct Case {
        const char *title;
        std::u16string units;
        size_t file_size;
    } cases[] = {
        {"My Game", u"My Game", 2048},
        {"", u"", 2032},
        {"Zwei \xc3\x84pfel", u"Zwei \u00c4pfel", 2052},
        {"Go \xf0\x9f\x8e\xae!", u"Go \U0001F3AE!", 2044},
        /* a cut sequence: each of its bytes becomes one "?" */
        {"A\xff" "B\xe2\x82", u"A?B??", 2044},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.title);
        set("game_metadata.gametitle", c.title);
        ASSERT_EQ(write_resources_arsc("build"), 1);
        std::string t = table();
        size_t T = c.units.size();
        size_t P = T % 2 ? 2 : 0;
        size_t N = 440 + 2 * T + P;
        ASSERT_EQ(t.size(), c.file_size);
        EXPECT_EQ(le16(t, 0), 0x0002u);
        EXPECT_EQ(le32(t, 4), t.size());
        EXPECT_EQ(le32(t, 16), N - 12);
        const uint32_t offsets[] = {0, 72, 144, 218, 294, 372};
        for (int i = 0; i < 6; i++)
            EXPECT_EQ(le32(t, 40 + 4 * i), offsets[i]);
        EXPECT_EQ(le16(t, 64 + 372), T);
        EXPECT_EQ(units_at(t, 64 + 374, T), c.units);
        EXPECT_EQ(le16(t, 64 + 374 + 2 * T), 0u);
        EXPECT_EQ(le16(t, N), 0x0200u);
        EXPECT_EQ(le32(t, N + 4), 1592u);
        EXPECT_EQ(N + 1592, t.size());
        EXPECT_EQ(t.substr(N + 268), read_native(BLOCK));

        std::string dump = aapt_values();
        EXPECT_NE(dump.find("Package 0 id=0x7f name=com.example.game"), std::string::npos)
            << dump;
        EXPECT_NE(dump.find("(string16) \"res/mipmap-xxxhdpi-v4/ic_launcher.png\""),
                  std::string::npos)
            << dump;
        EXPECT_NE(dump.find("string/app_name: t=0x03 d=0x00000005"), std::string::npos) << dump;
    }
    EXPECT_TRUE(was_written("Creating Android arsc 'build/resources.arsc' ..."));
}

TEST_F(ResourceTableTest, PackageIdIsCutTo127Units)
{
    struct Case {
        std::string id;
        size_t kept;
    } cases[] = {
        {std::string(200, 'a'), 127},
        {std::string(127, 'b'), 127},
        {"com.example.game", 16},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.id);
        set("game_metadata.packageid", c.id);
        ASSERT_EQ(write_resources_arsc("build"), 1);
        std::string t = table();
        size_t name = 456 + 12;
        std::u16string expected(c.id.begin(), c.id.begin() + c.kept);
        expected.resize(128, u'\0');
        EXPECT_EQ(units_at(t, name, 128), expected);
        EXPECT_EQ(t.size(), 2048u);
    }
}

TEST_F(ResourceTableTest, TitleLengthLimit)
{
    /* The longest title a one-unit length can hold still works... */
    set("game_metadata.gametitle", std::string(32767, 'x'));
    ASSERT_EQ(write_resources_arsc("build"), 1);
    std::string t = table();
    EXPECT_EQ(t.size(), 2032u + 2 * 32767 + 2);
    EXPECT_EQ(le16(t, 64 + 372), 32767u);
    EXPECT_NE(aapt_values().find("string/app_name"), std::string::npos);

    /* ...one unit more (here: a surrogate pair tipping it over) fails. */
    for (const std::string &title : {std::string(32768, 'x'),
                                     std::string(32766, 'x') + "\xf0\x9f\x8e\xae"}) {
        set("game_metadata.gametitle", title);
        written.clear();
        EXPECT_EQ(write_resources_arsc("build"), 0);
        EXPECT_TRUE(was_written("Can't write 'build/resources.arsc': the game title (metadata key "
                                "gametitle) is 32768 "
                                "UTF-16 units long, at most 32767 fit"));
    }
}

TEST_F(ResourceTableTest, BlockOfAnotherLengthIsRefused)
{
    std::string block = read_native(BLOCK);
    struct Case {
        std::string data;
        const char *message;
    } cases[] = {
        {block.substr(0, 1323), "Resource block '.brindlecot/stubs/android/"
                                "BrindlecotResourcesBlob.bin' is 1323 bytes long; it must be "
                                "exactly 1324 bytes"},
        {block + "x", "Resource block '.brindlecot/stubs/android/BrindlecotResourcesBlob.bin' "
                      "is 1325 bytes long; it must be exactly 1324 bytes"},
        {"", "Resource block '.brindlecot/stubs/android/BrindlecotResourcesBlob.bin' is 0 "
             "bytes long; it must be exactly 1324 bytes"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.data.size());
        write_native(BLOCK, c.data);
        written.clear();
        EXPECT_EQ(write_resources_arsc("build"), 0);
        EXPECT_TRUE(was_written(c.message));
    }

    ASSERT_EQ(remove((root + "/" + BLOCK).c_str()), 0);
    written.clear();
    EXPECT_EQ(write_resources_arsc("build"), 0);
    EXPECT_TRUE(was_written("Can't open '.brindlecot/stubs/android/BrindlecotResourcesBlob.bin' "
                            "for reading:"));
}

TEST_F(ResourceTableTest, UnwritableTableFails)
{
    /* A directory where the file should go. */
    mkdir_native("build/resources.arsc");
    EXPECT_EQ(write_resources_arsc("build"), 0);
    EXPECT_TRUE(was_written("Failed to open 'build/resources.arsc' for write:"));
}
