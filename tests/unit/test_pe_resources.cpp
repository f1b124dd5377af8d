#include "engine/out_file.h"
#include "test_support.h"

#include "engine/game_metadata.h"
#include "engine/helpers.h"
#include "engine/log.h"
#include "publish/images/icons.h"
#include "publish/images/pe_resources.h"

#include <SDL.h>
#include <physfs.h>
#include <stdlib.h>

#include <lodepng.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#ifndef BRINDLECOT_SOURCE_DIR
#error "BRINDLECOT_SOURCE_DIR must name the source tree"
#endif

namespace
{

const char *const STUB_TOOL = "/usr/bin/python3 " BRINDLECOT_SOURCE_DIR "/tools/pe_stub.py";
const char *const DUMP_TOOL =
    "/usr/bin/python3 " BRINDLECOT_SOURCE_DIR "/tests/e2e/icons_pe_dump.py";

std::string hex(const std::string &s)
{
    return s.empty() ? "-" : hex_of(s);
}

std::string unhex(const std::string &h)
{
    std::string out;
    if (h == "-")
        return out;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        out += (char)std::stoi(h.substr(i, 2), nullptr, 16);
    return out;
}

uint16_t le16(const std::string &s, size_t at)
{
    return (uint16_t)((uint8_t)s[at] | (uint8_t)s[at + 1] << 8);
}

/* A one-image .ico of `size` bytes whose image is a byte pattern. */
std::string fake_ico(size_t size)
{
    std::string ico("\0\0\1\0\1\0\0\0\0\0\1\0\x20\0", 14);
    uint32_t n = (uint32_t)(size - 22);
    for (int i = 0; i < 4; i++)
        ico += (char)(n >> (8 * i));
    ico += std::string("\x16\0\0\0", 4);
    for (size_t i = 22; i < size; i++)
        ico += (char)(i * 7 + 3);
    return ico;
}

/* What pefile reads back from an executable. */
struct Resource {
    uint32_t rva = 0, size = 0;
    uint64_t data_offset = 0, entry_offset = 0;
};

struct PeDump {
    std::map<std::string, Resource> resources; /* "type/name" */
    std::string fixed, table, translation;
    std::map<std::string, std::string> strings;
    std::vector<std::string> warnings;
};

PeDump dump_pe(const std::string &native_path)
{
    PeDump d;
    std::string out;
    EXPECT_EQ(run_command(std::string(DUMP_TOOL) + " '" + native_path + "' 2>&1", &out), 0) << out;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string kind;
        f >> kind;
        if (kind == "resource") {
            std::string type, name, lang;
            Resource r;
            f >> type >> name >> lang >> r.rva >> r.size >> r.data_offset >> r.entry_offset;
            d.resources[type + "/" + name] = r;
        } else if (kind == "fixed") {
            std::getline(f >> std::ws, d.fixed);
        } else if (kind == "table") {
            f >> d.table;
        } else if (kind == "string") {
            std::string k, v;
            f >> k >> v;
            d.strings[unhex(k)] = unhex(v);
        } else if (kind == "translation") {
            std::getline(f >> std::ws, d.translation);
        } else if (kind == "warning") {
            d.warnings.push_back(line);
        }
    }
    return d;
}

/* Points the metadata values at test strings for the scope's lifetime. */
struct Metadata {
    std::string devtitle, gametitle, version, gameid;
    Metadata(std::string dev, std::string title, std::string ver, std::string id)
        : devtitle(std::move(dev)), gametitle(std::move(title)), version(std::move(ver)),
          gameid(std::move(id))
    {
        game_metadata_devtitle = &devtitle[0];
        game_metadata_gametitle = &gametitle[0];
        game_metadata_version = &version[0];
        game_metadata_gameid = &gameid[0];
    }
    ~Metadata()
    {
        game_metadata_devtitle = game_metadata_gametitle = NULL;
        game_metadata_version = game_metadata_gameid = NULL;
    }
};

class PeResourcesTest : public FsTest
{
  protected:
    std::string stub(const std::string &rel, const std::string &options = "")
    {
        std::string out;
        EXPECT_EQ(
            run_command(std::string(STUB_TOOL) + " '" + root + "/" + rel + "' " + options + " 2>&1",
                        &out),
            0)
            << out;
        return read_native(rel);
    }

    int patch(const std::string &rel, const std::string &ico,
              const char *platform = "windows-amd64")
    {
        PHYSFS_File *in = PHYSFS_openRead(rel.c_str());
        OutFile *out = out_file_open(rel.c_str(), OUT_FILE_MODIFY);
        EXPECT_NE(in, nullptr);
        EXPECT_NE(out, nullptr);
        if (!in || !out)
            return -1;
        int rc = patch_windows_resources(in, out, rel.c_str(), platform,
                                         (const uint8_t *)ico.data(), ico.size());
        EXPECT_NE(PHYSFS_close(in), 0);
        EXPECT_EQ(out_file_close(out), 1);
        return rc;
    }

    /* Bytes that differ between two files of equal length, outside the
     * given [begin, end) ranges. */
    static std::vector<size_t>
    changes_outside(const std::string &a, const std::string &b,
                    const std::vector<std::pair<uint64_t, uint64_t>> &allowed)
    {
        std::vector<size_t> out;
        EXPECT_EQ(a.size(), b.size());
        for (size_t i = 0; i < a.size() && i < b.size(); i++) {
            if (a[i] == b[i])
                continue;
            bool ok = false;
            for (const auto &r : allowed)
                ok = ok || (i >= r.first && i < r.second);
            if (!ok)
                out.push_back(i);
        }
        return out;
    }

    /* An icon made the way the Windows build makes it. */
    std::string real_ico()
    {
        std::vector<uint8_t> px(700 * 500 * 4);
        for (size_t i = 0; i < px.size(); i++)
            px[i] = (uint8_t)(i % 4 == 3 ? 255 : (i * 13) >> 5);
        unsigned char *png = NULL;
        size_t size = 0;
        EXPECT_EQ(lodepng_encode32(&png, &size, px.data(), 700, 500), 0u);
        write_native("icon.png", std::string((const char *)png, size));
        free(png);
        EXPECT_EQ(make_windows_icon("icon.ico", "icon.png"), 1);
        return read_native("icon.ico");
    }

    static int current_year()
    {
        int year = 0;
        time_local_parts(&year, NULL, NULL, NULL, NULL, NULL);
        return year;
    }
};

struct StubKind {
    const char *name, *options;
};

} // namespace

TEST_F(PeResourcesTest, PatchesIconAndVersionIntoScratchSpace)
{
    const std::string ico = real_ico();
    const std::string dev = "Studio Caf\xC3\xA9 \xE2\x98\x95",
                      title = "L\xC3\xA9gende \xF0\x9D\x84\x9E of Ice";
    Metadata md(dev, title, "1.2.3.4", "mygame");
    for (const StubKind &k : {StubKind{"PE32+", ""}, StubKind{"PE32", "--pe32"},
                              StubKind{"few data directories", "--variant few-data-dirs"}}) {
        SCOPED_TRACE(k.name);
        const std::string before = stub("app.exe", k.options);
        PeDump orig = dump_pe(root + "/app.exe");
        const Resource scratch = orig.resources.at("10/300");
        ASSERT_EQ(scratch.size, 131072u);
        written.clear();

        ASSERT_EQ(patch("app.exe", ico), 1);
        const std::string after = read_native("app.exe");
        PeDump d = dump_pe(root + "/app.exe");

        const Resource &group = d.resources.at("14/=MAINICON"), &icon = d.resources.at("3/1");
        const Resource &version = d.resources.at("16/1"), &rest = d.resources.at("10/300");
        EXPECT_EQ(group.rva, scratch.rva);
        EXPECT_EQ(group.size, 20u);
        EXPECT_EQ(icon.rva, scratch.rva + 20);
        EXPECT_EQ(icon.size, ico.size() - 22);
        const uint32_t v = (uint32_t)ico.size() + 2 - (uint32_t)((ico.size() - 22) % 4);
        EXPECT_EQ(version.rva, scratch.rva + v);
        EXPECT_EQ(rest.rva, version.rva + version.size);
        EXPECT_EQ(rest.size, 131072u - (v + version.size));

        EXPECT_EQ(after.substr(group.data_offset, 20), ico.substr(0, 18) + std::string("\1\0", 2));
        EXPECT_EQ(after.substr(icon.data_offset, icon.size), ico.substr(22));
        EXPECT_EQ(le16(after, version.data_offset), version.size); /* wLength */

        EXPECT_TRUE(was_written("Updating Windows .exe resources..."));
        EXPECT_TRUE(was_written("Windows scratch resource is 131072 bytes at " +
                           std::to_string(scratch.data_offset) + " offset"));
        EXPECT_TRUE(was_written("Used " + std::to_string(v + version.size) +
                           " bytes of resource scratch space out of 131072"));

        /* Only the scratch space and the four data entries' first 8 bytes. */
        std::vector<std::pair<uint64_t, uint64_t>> allowed = {
            {scratch.data_offset, scratch.data_offset + 131072}};
        for (const auto &r : orig.resources)
            allowed.push_back({r.second.entry_offset, r.second.entry_offset + 8});
        EXPECT_TRUE(changes_outside(before, after, allowed).empty());

        EXPECT_EQ(d.fixed, "10002 30004 10002 30004");
        EXPECT_EQ(d.table, "040904E4");
        EXPECT_EQ(d.translation, "Translation 0x0409 0x04e4");
        EXPECT_TRUE(d.warnings.empty()) << d.warnings[0];
        const std::map<std::string, std::string> strings = {
            {"CompanyName", dev},
            {"FileDescription", title},
            {"FileVersion", "1.2.3.4"},
            {"InternalName", "mygame"},
            {"LegalCopyright", "Copyright (C) " + std::to_string(current_year()) + " " + dev},
            {"OriginalFilename", "mygame-windows-amd64.exe"},
            {"ProductName", title},
            {"ProductVersion", "1.2.3.4"},
        };
        EXPECT_EQ(d.strings, strings);

        /* The icon group and icon rebuild the very .ico that went in. */
        std::string listing, extracted;
        EXPECT_EQ(run_command("wrestool -l '" + root + "/app.exe'", &listing), 0);
        EXPECT_NE(
            listing.find("--type=14 --name='MAINICON' --language=1033 [type=group_icon offset=0x"),
            std::string::npos)
            << listing;
        EXPECT_NE(listing.find("size=20]"), std::string::npos) << listing;
        EXPECT_NE(listing.find("--type=3 --name=1 --language=1033 [type=icon"), std::string::npos);
        EXPECT_NE(listing.find("--type=16 --name=1 --language=1033 [type=version"),
                  std::string::npos);
        EXPECT_EQ(run_command("wrestool -x -t14 '" + root + "/app.exe'", &extracted), 0);
        /* wrestool ends every icon it rebuilds with 20 zero bytes (the
         * unpatched stub's icon too). */
        ASSERT_EQ(extracted.size(), ico.size() + 20);
        EXPECT_TRUE(extracted.substr(0, ico.size()) == ico);
        EXPECT_EQ(extracted.substr(ico.size()), std::string(20, '\0'));
    }
}

TEST_F(PeResourcesTest, VersionTextGivesFourParts)
{
    const std::string long_version = "1.2.3.4.5.6.7.8.9.10.11.12.13.14.15.16.17";
    const struct {
        std::string text, fixed;
    } cases[] = {
        {"1.2.3.4", "10002 30004"}, {"1.2.3.4.5", "10002 30004"},  {"2.0", "20000 0"},
        {"1.", "10000 0"},          {"1..2", "10000 20000"},       {"", "0 0"},
        {"70000", "11700000 0"},    {long_version, "10002 30004"},
    };
    stub("app.exe");
    const std::string clean = read_native("app.exe");
    for (const auto &c : cases) {
        SCOPED_TRACE("'" + c.text + "'");
        write_native("app.exe", clean);
        Metadata md("Dev", "Game", c.text, "g");
        ASSERT_EQ(patch("app.exe", fake_ico(1000)), 1);
        PeDump d = dump_pe(root + "/app.exe");
        EXPECT_EQ(d.fixed, c.fixed + " " + c.fixed);
        EXPECT_EQ(d.strings["FileVersion"], c.text);
        EXPECT_EQ(d.strings["ProductVersion"], c.text);
        EXPECT_TRUE(d.warnings.empty()) << d.warnings[0];
    }
}

TEST_F(PeResourcesTest, VersionBlockFollowsIconOnMultipleOfFour)
{
    Metadata md("Dev", "Game", "1.0", "g");
    stub("app.exe");
    const std::string clean = read_native("app.exe");
    const struct {
        size_t ico_size;
        uint32_t v;
    } cases[] = {{1000, 1000}, {998, 1000}, {999, 1000}, {1001, 1000}, {1002, 1004}, {22, 24}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ico_size);
        write_native("app.exe", clean);
        const Resource scratch = dump_pe(root + "/app.exe").resources.at("10/300");
        ASSERT_EQ(patch("app.exe", fake_ico(c.ico_size)), 1);
        const std::string after = read_native("app.exe");
        PeDump d = dump_pe(root + "/app.exe");
        EXPECT_EQ(d.resources.at("16/1").rva - scratch.rva, c.v);
        /* The gap between the image and the version block stays zero. */
        const size_t image_end = scratch.data_offset + 20 + (c.ico_size - 22);
        EXPECT_EQ(after.substr(image_end, scratch.data_offset + c.v - image_end),
                  std::string(scratch.data_offset + c.v - image_end, '\0'));
        EXPECT_EQ(d.resources.at("3/1").size, c.ico_size - 22);
    }
}

TEST_F(PeResourcesTest, ScratchSpaceMayBeUsedExactly)
{
    Metadata md("Dev", "Game", "1.0", "g");
    const std::string ico = fake_ico(1000);
    stub("probe.exe");
    ASSERT_EQ(patch("probe.exe", ico), 1);
    const Resource used = dump_pe(root + "/probe.exe").resources.at("10/300");
    const uint32_t need = 131072 - used.size;

    stub("exact.exe", "--scratch-size " + std::to_string(need));
    ASSERT_EQ(patch("exact.exe", ico), 1);
    EXPECT_EQ(dump_pe(root + "/exact.exe").resources.at("10/300").size, 0u);

    const std::string before = stub("short.exe", "--scratch-size " + std::to_string(need - 4));
    written.clear();
    EXPECT_EQ(patch("short.exe", ico), 0);
    EXPECT_TRUE(was_written("Needed " + std::to_string(need) +
                       " bytes of resource scratch space, only had " + std::to_string(need - 4)));
    EXPECT_TRUE(read_native("short.exe") == before); /* the scratch entry keeps its values */
}

TEST_F(PeResourcesTest, LongValuesAreConvertedAndCut)
{
    /* 40 two-byte characters: "%s-%s.exe" is cut to 63 bytes, which would
     * end in half a character; it ends at the last whole one instead. */
    std::string id;
    for (int i = 0; i < 40; i++)
        id += "\xC3\xA9";
    Metadata md("Dev", "Game", "1.0", id);
    stub("app.exe");
    ASSERT_EQ(patch("app.exe", fake_ico(500)), 1);
    PeDump d = dump_pe(root + "/app.exe");
    EXPECT_EQ(d.strings["OriginalFilename"], id.substr(0, 62));
    EXPECT_EQ(d.strings["InternalName"], id);
    EXPECT_TRUE(d.warnings.empty()) << d.warnings[0];
}

TEST_F(PeResourcesTest, VersionBlockOver16BitsIsRefused)
{
    Metadata md("Dev", std::string(40000, 'x'), "1.0", "g");
    const std::string before = stub("app.exe", "--scratch-size 400000");
    written.clear();
    EXPECT_EQ(patch("app.exe", fake_ico(100)), 0);
    EXPECT_TRUE(was_written("Version information for 'app.exe' needs "));
    EXPECT_TRUE(read_native("app.exe") == before);
}

TEST_F(PeResourcesTest, BrokenStubsFailBeforeAnythingIsWritten)
{
    Metadata md("Dev", "Game", "1.0", "g");
    const struct {
        const char *options, *message;
    } cases[] = {
        {"--variant not-pe", "File 'app.exe' is not a Windows .exe"},
        {"--variant truncated", "Read in 'app.exe' failed: "},
        {"--variant no-optional-header",
         "File 'app.exe' doesn't have a Windows .exe 'optional' header"},
        {"--variant bad-magic", "File 'app.exe' is not a PE32 or PE32+ exe"},
        {"--variant no-resource-table", "File 'app.exe' doesn't have a resource table"},
        {"--variant no-resource-section",
         "File 'app.exe' doesn't have a section for resource table"},
        {"--variant small-raw-size", "File 'app.exe' doesn't have a section for resource table"},
        {"--variant numeric-icon-group", "Couldn't find application icon group resource"},
        {"--variant no-icon", "Couldn't find application icon resource"},
        {"--variant no-version", "Couldn't find application version resource"},
        {"--variant no-scratch", "Couldn't find application resource scratch space"},
        {"--variant scratch-outside",
         "File 'app.exe' has resource scratch space outside its resource section"},
        {"--variant bad-dir-offset", "File 'app.exe' has a malformed resource directory"},
        {"--variant huge-entry-count", "File 'app.exe' has a malformed resource directory"},
        {"--variant entry-in-scratch", "File 'app.exe' has a malformed resource directory"},
        {"--scratch-size 1024", "Needed "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.options);
        const std::string before = stub("app.exe", c.options);
        written.clear();
        EXPECT_EQ(patch("app.exe", fake_ico(1000)), 0);
        EXPECT_TRUE(was_written(c.message));
        int errors = 0;
        for (const std::string &l : written)
            errors += !l.empty() && l[0] == '!';
        EXPECT_EQ(errors, 1);
        EXPECT_TRUE(read_native("app.exe") == before);
    }
    write_native("app.exe",
                 "just some text, long enough to reach byte sixty-four of the file....\n");
    EXPECT_EQ(patch("app.exe", fake_ico(1000)), 0);
    EXPECT_TRUE(was_written("Read in 'app.exe' failed: "));
}

/* A stub cut short says so, not what an earlier call left behind. */
TEST_F(PeResourcesTest, TruncatedStubIsAnUnexpectedEndOfFile)
{
    Metadata md("Dev", "Game", "1.0", "g");
    const std::string whole = stub("whole.exe");
    /* Cut inside e_lfanew, the optional header (twice) and the section
     * table. */
    for (size_t length : {62, 130, 200, 330}) {
        SCOPED_TRACE(length);
        write_native("app.exe", whole.substr(0, length));
        PHYSFS_Stat st;
        ASSERT_EQ(PHYSFS_stat("no-such-file", &st), 0); /* leaves "not found" */
        written.clear();
        EXPECT_EQ(patch("app.exe", fake_ico(100)), 0);
        EXPECT_TRUE(was_written("Read in 'app.exe' failed: unexpected end of file"));
        EXPECT_FALSE(was_written("not found"));
    }
}

TEST_F(PeResourcesTest, IconMustBeOneImageAtOffset22)
{
    Metadata md("Dev", "Game", "1.0", "g");
    std::string two_images = fake_ico(100), type_cursor = two_images, moved = two_images;
    two_images[4] = 2;
    type_cursor[2] = 2;
    moved[18] = 62;
    const std::string cases[] = {fake_ico(100).substr(0, 21), two_images, type_cursor, moved, ""};
    const std::string before = stub("app.exe");
    for (const std::string &ico : cases) {
        SCOPED_TRACE(ico.size());
        written.clear();
        EXPECT_EQ(patch("app.exe", ico), 0);
        EXPECT_TRUE(was_written("Icon for 'app.exe' is not an .ico file with one image at offset 22"));
        EXPECT_TRUE(read_native("app.exe") == before);
    }
    /* The smallest valid .ico: a header and no image bytes. */
    EXPECT_EQ(patch("app.exe", fake_ico(22)), 1);
}

TEST_F(PeResourcesTest, StringRecordsPadToMultiplesOfFour)
{
    const struct {
        const char *key, *value;
        std::string bytes; /* the record as written */
        uint32_t grows;
    } cases[] = {
        /* 12-byte key: no padding after it; odd value: no trailing unit. */
        {"InternalName", "abc",
         std::string("\x28\0\4\0\1\0", 6) +
             std::string("I\0n\0t\0e\0r\0n\0a\0l\0N\0a\0m\0e\0\0\0", 26) +
             std::string("a\0b\0c\0\0\0", 8),
         40},
        /* 11-byte key: one padding unit; empty value: one trailing unit. */
        {"CompanyName", "",
         std::string("\x22\0\1\0\1\0", 6) +
             std::string("C\0o\0m\0p\0a\0n\0y\0N\0a\0m\0e\0\0\0", 24) + std::string("\0\0", 2) +
             std::string("\0\0", 2) + std::string("\0\0", 2),
         36},
        /* UTF-8 e-acute is one unit, a clef two (a surrogate pair). */
        {"K", "\xC3\xA9\xF0\x9D\x84\x9E",
         std::string("\x14\0\4\0\1\0", 6) + std::string("K\0\0\0", 4) + std::string("\0\0", 2) +
             std::string("\xE9\0\x34\xD8\x1E\xDD\0\0", 8),
         20},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.key);
        OutFile *out = out_file_open("rec.bin", OUT_FILE_NEW);
        ASSERT_NE(out, nullptr);
        uint32_t running = 2;
        EXPECT_EQ(write_version_string(out, "rec.bin", c.key, c.value, &running), 1);
        ASSERT_EQ(out_file_close(out), 1);
        EXPECT_EQ(hex(read_native("rec.bin")), hex(c.bytes));
        EXPECT_EQ(running, 2 + c.grows);
    }
}

TEST_F(PeResourcesTest, FindsResourceEntries)
{
    stub("app.exe");
    PeDump d = dump_pe(root + "/app.exe");
    PHYSFS_File *in = PHYSFS_openRead("app.exe");
    ASSERT_NE(in, nullptr);
    PeResourceSection rs;
    ASSERT_EQ(find_resource_section(in, "app.exe", &rs), 1);
    EXPECT_EQ(rs.dir_offset, 0x200u);
    const struct {
        uint32_t type;
        int32_t id;
        const char *key;
    } cases[] = {{10, 300, "10/300"}, {14, -1, "14/=MAINICON"}, {3, 1, "3/1"}, {16, 1, "16/1"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.key);
        uint32_t entry = 0;
        EXPECT_EQ(find_resource_entry(in, "app.exe", &rs, c.type, c.id, &entry), 1);
        EXPECT_EQ(rs.dir_offset + entry, d.resources.at(c.key).entry_offset);
    }
    uint32_t entry = 12345;
    EXPECT_EQ(find_resource_entry(in, "app.exe", &rs, 3, 2, &entry), -1);
    EXPECT_EQ(find_resource_entry(in, "app.exe", &rs, 10, -1, &entry), -1); /* no named RCDATA */
    EXPECT_EQ(find_resource_entry(in, "app.exe", &rs, 99, 1, &entry), -1);
    EXPECT_EQ(entry, 12345u);
    PHYSFS_close(in);
    EXPECT_TRUE(written.empty());
}
