#include "engine/out_file.h"
#include "test_support.h"
#include "alloc_countdown.h"

#include "publish/android/attribute_types.h"
#include "publish/android/binary_xml.h"
#include "publish/android/xml_tree.h"
#include "publish/archive/byte_io.h"

#include <SDL.h>
#include <physfs.h>

#include <string.h>

#include <string>
#include <vector>

namespace {

const uint32_t NONE = 0xFFFFFFFF;
const char *const ANDROID = ANDROID_NAMESPACE_URI;

/* Little-endian bytes for expected files. */
struct Bytes {
    std::string s;
    Bytes &u16(uint16_t v)
    {
        unsigned char b[2];
        le_put_u16(b, v);
        s.append((const char *)b, 2);
        return *this;
    }
    Bytes &u32(uint32_t v)
    {
        unsigned char b[4];
        le_put_u32(b, v);
        s.append((const char *)b, 4);
        return *this;
    }
    Bytes &str(const std::string &ascii)
    {
        u16((uint16_t)ascii.size());
        for (char c : ascii)
            u16((uint16_t)c);
        return u16(0);
    }
};

/* ---- a reader of the written chunks, independent of the writer ---- */

struct Record {
    uint32_t ns, name, raw;
    uint16_t size;
    uint8_t type;
    uint32_t data;
};

struct Chunk {
    uint16_t type;
    uint32_t line;
    uint32_t first, second; /* ns and name, or prefix and uri */
    uint16_t id_index, class_index, style_index;
    std::vector<Record> attributes;
};

struct Axml {
    std::vector<std::string> strings; /* UTF-8 */
    std::vector<uint32_t> units;      /* length field of each string */
    std::vector<uint32_t> map;
    std::vector<Chunk> chunks;

    std::string at(uint32_t index) const
    {
        return index == NONE ? "-" : index < strings.size() ? strings[index] : "?";
    }
    /* "S name" / "E name" / "N prefix=uri" / "n prefix=uri" per chunk. */
    std::vector<std::string> outline() const
    {
        std::vector<std::string> out;
        for (const Chunk &c : chunks) {
            const char *tag = c.type == 0x0102 ? "S " : c.type == 0x0103 ? "E " : c.type == 0x0100 ? "N " : "n ";
            std::string text = tag;
            if (c.type == 0x0100 || c.type == 0x0101)
                text += at(c.first) + "=" + at(c.second);
            else
                text += (c.first == NONE ? "" : "{" + at(c.first) + "}") + at(c.second);
            out.push_back(text);
        }
        return out;
    }
};

uint32_t get16(const std::string &s, size_t at)
{
    return le_get_u16((const unsigned char *)s.data() + at);
}

uint32_t get32(const std::string &s, size_t at)
{
    return le_get_u32((const unsigned char *)s.data() + at);
}

std::string utf8_of(const std::string &file, size_t at, uint32_t units)
{
    std::string out;
    for (uint32_t i = 0; i < units; i++) {
        uint32_t c = get16(file, at + 2 * i);
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < units)
            c = 0x10000 + ((c - 0xD800) << 10) + (get16(file, at + 2 * ++i) - 0xDC00);
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | c >> 6);
            out += (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += (char)(0xE0 | c >> 12);
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xF0 | c >> 18);
            out += (char)(0x80 | ((c >> 12) & 0x3F));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

Axml read_axml(const std::string &file)
{
    Axml x;
    EXPECT_GE(file.size(), 8u);
    if (file.size() < 8)
        return x;
    EXPECT_EQ(get16(file, 0), 3u);
    EXPECT_EQ(get16(file, 2), 8u);
    EXPECT_EQ(get32(file, 4), file.size());
    size_t at = 8;
    while (at + 8 <= file.size()) {
        uint32_t type = get16(file, at), size = get32(file, at + 4);
        EXPECT_EQ(size % 4, 0u);
        if (size < 8 || at + size > file.size()) {
            ADD_FAILURE() << "bad chunk size at " << at;
            return x;
        }
        if (type == 0x0001) {
            uint32_t count = get32(file, at + 8), start = get32(file, at + 20);
            for (uint32_t i = 0; i < count; i++) {
                size_t s = at + start + get32(file, at + 28 + 4 * i);
                /* A length with its top bit set goes on in the next unit. */
                uint32_t units = get16(file, s), header = 2;
                if (units & 0x8000) {
                    units = (units & 0x7FFF) << 16 | get16(file, s + 2);
                    header = 4;
                }
                x.units.push_back(units);
                x.strings.push_back(utf8_of(file, s + header, units));
                EXPECT_EQ(get16(file, s + header + 2 * units), 0u);
            }
        } else if (type == 0x0180) {
            for (uint32_t i = 8; i < size; i += 4)
                x.map.push_back(get32(file, at + i));
        } else {
            Chunk c = {};
            c.type = (uint16_t)type;
            c.line = get32(file, at + 8);
            EXPECT_EQ(get32(file, at + 12), NONE);
            c.first = get32(file, at + 16);
            c.second = get32(file, at + 20);
            if (type == 0x0102) {
                EXPECT_EQ(get16(file, at + 24), 20u);
                EXPECT_EQ(get16(file, at + 26), 20u);
                uint32_t count = get16(file, at + 28);
                EXPECT_EQ(size, 36 + 20 * count);
                c.id_index = (uint16_t)get16(file, at + 30);
                c.class_index = (uint16_t)get16(file, at + 32);
                c.style_index = (uint16_t)get16(file, at + 34);
                for (uint32_t i = 0; i < count; i++) {
                    size_t r = at + 36 + 20 * i;
                    Record rec = {get32(file, r), get32(file, r + 4), get32(file, r + 8),
                                  (uint16_t)get16(file, r + 12), (uint8_t)file[r + 15],
                                  get32(file, r + 16)};
                    c.attributes.push_back(rec);
                }
            } else {
                EXPECT_EQ(size, 24u);
            }
            x.chunks.push_back(c);
        }
        at += size;
    }
    EXPECT_EQ(at, file.size());
    return x;
}

class BinaryXmlTest : public FsTest {
protected:
    /* Parses the text, writes it as out.xml and returns the file; *ok gets
     * the writer's result. */
    std::string write(const char *text, int *ok = nullptr, XmlTreeNode **keep = nullptr)
    {
        XmlTreeNode *doc = parse_xml_tree(text);
        EXPECT_NE(doc, nullptr);
        if (!doc)
            return "";
        int result = write_tree(doc);
        if (ok)
            *ok = result;
        else
            EXPECT_EQ(result, 1);
        if (keep)
            *keep = doc;
        else
            free_xml_tree(doc);
        return read_native("out.xml");
    }

    int write_tree(XmlTreeNode *doc, bool collect = true)
    {
        OutFile *f = out_file_open("out.xml", OUT_FILE_NEW);
        EXPECT_NE(f, nullptr);
        AxmlWriter w = {};
        w.path = "out.xml";
        w.out = f;
        if (collect)
            axml_collect_strings(&w, doc);
        int result = axml_write_file(&w, doc);
        axml_free_pool(&w);
        out_file_close(f);
        return result;
    }

    /* Zips out.xml as AndroidManifest.xml and runs aapt dump WHAT on it. */
    std::string aapt_dump(const char *what, int *status)
    {
        std::string out;
        *status = run_command("cd '" + root + "' && rm -f m.apk && cp out.xml AndroidManifest.xml && "
                              "zip -q m.apk AndroidManifest.xml && aapt dump " + what +
                                  " m.apk AndroidManifest.xml 2>&1",
                              &out);
        return out;
    }
};

TEST_F(BinaryXmlTest, EmptyElementIsTheSmallestDocument)
{
    XmlTreeNode *doc = nullptr;
    std::string file = write("<m/>", nullptr, &doc);
    ASSERT_NE(doc, nullptr);
    const XmlTreeNode *m = doc->first_child;
    Bytes want;
    want.u16(3).u16(8).u32(108);
    want.u16(1).u16(28).u32(40).u32(1).u32(0).u32(0).u32(32).u32(0).u32(0).str("m").u16(0);
    want.u16(0x102).u16(16).u32(36).u32(m->line).u32(NONE).u32(NONE).u32(0);
    want.u16(20).u16(20).u16(0).u16(0).u16(0).u16(0);
    want.u16(0x103).u16(16).u32(24).u32(m->end_line).u32(NONE).u32(NONE).u32(0);
    EXPECT_EQ(file.size(), 108u);
    EXPECT_EQ(file, want.s);
    free_xml_tree(doc);
}

TEST_F(BinaryXmlTest, VersionCodeManifestByteForByte)
{
    const char *text = "<manifest xmlns:android=\"http://schemas.android.com/apk/res/android\"\n"
                       "    android:versionCode=\"1\">\n"
                       "</manifest>\n";
    XmlTreeNode *doc = nullptr;
    std::string file = write(text, nullptr, &doc);
    ASSERT_NE(doc, nullptr);
    const XmlTreeNode *m = doc->first_child;
    const XmlTreeNode *decl = m->ns_scope;
    ASSERT_NE(decl, nullptr);
    std::string uri = ANDROID;
    uint32_t strings = (2 * 11 + 4) + (2 * 7 + 4) + (2 * (uint32_t)uri.size() + 4) + (2 * 8 + 4);
    uint32_t pool = 28 + 16 + strings + ((28 + 16 + strings) % 4 ? 2 : 0);
    Bytes want;
    want.u16(3).u16(8).u32(8 + pool + 12 + 24 + 56 + 24 + 24);
    want.u16(1).u16(28).u32(pool).u32(4).u32(0).u32(0).u32(28 + 16).u32(0);
    want.u32(0).u32(26).u32(26 + 18).u32(26 + 18 + 2 * (uint32_t)uri.size() + 4);
    want.str("versionCode").str("android").str(uri).str("manifest");
    if (pool != 28 + 16 + strings)
        want.u16(0);
    want.u16(0x180).u16(8).u32(12).u32(0x0101021b);
    want.u16(0x100).u16(16).u32(24).u32(decl->line).u32(NONE).u32(1).u32(2);
    want.u16(0x102).u16(16).u32(56).u32(m->line).u32(NONE).u32(NONE).u32(3);
    want.u16(20).u16(20).u16(1).u16(0).u16(0).u16(0);
    want.u32(2).u32(0).u32(NONE).u16(8).u16(0x1000).u32(1);
    want.u16(0x103).u16(16).u32(24).u32(m->end_line).u32(NONE).u32(NONE).u32(3);
    want.u16(0x101).u16(16).u32(24).u32(m->end_line).u32(NONE).u32(1).u32(2);
    EXPECT_EQ(file, want.s);
    free_xml_tree(doc);
}

TEST_F(BinaryXmlTest, AttributesAreWrittenInAscendingIdOrder)
{
    std::string file = write(
        "<activity xmlns:android=\"http://schemas.android.com/apk/res/android\"\n"
        "    xmlns:dist=\"http://schemas.android.com/apk/distribution\"\n"
        "    style=\"s\" android:label=\"@string/app_name\" dist:title=\"t\" id=\"i\"\n"
        "    android:screenOrientation=\"landscape\" android:theme=\"@android:style/Theme\"\n"
        "    android:id=\"x\" class=\"c\" android:name=\"Main\"/>");
    Axml x = read_axml(file);
    ASSERT_EQ(x.chunks.size(), 6u);
    const Chunk &e = x.chunks[2];
    std::vector<std::string> names;
    uint32_t last = 0;
    for (const Record &r : e.attributes) {
        names.push_back((r.ns == NONE ? "" : x.at(r.ns) == ANDROID ? "android:" : "other:") + x.at(r.name));
        uint32_t id = r.name < x.map.size() ? x.map[r.name] : 0;
        if (id) {
            EXPECT_GT(id, last) << x.at(r.name);
            EXPECT_NE(last, 0xFFFFFFFFu) << "an attribute with an id after one without";
            last = id;
        } else {
            last = 0xFFFFFFFF;
        }
    }
    EXPECT_EQ(names, (std::vector<std::string>{"android:theme", "android:label", "android:name",
                                               "android:screenOrientation", "android:id", "style",
                                               "other:title", "id", "class"}));
    /* The three indices count positions in the written order. */
    EXPECT_EQ(e.style_index, 6);
    EXPECT_EQ(e.id_index, 8);
    EXPECT_EQ(e.class_index, 9);
    /* A string value: raw value and data are both its pool index. */
    const Record &name = e.attributes[2];
    EXPECT_EQ(name.raw, name.data);
    EXPECT_EQ(x.at(name.raw), "Main");
    EXPECT_EQ(name.type, TYPE_STRING);
    EXPECT_EQ(name.size, 8);
    const Record &orientation = e.attributes[3];
    EXPECT_EQ(orientation.raw, NONE);
    EXPECT_EQ(orientation.type, TYPE_INT_DEC);
    EXPECT_EQ(orientation.data, 0u);
}

TEST_F(BinaryXmlTest, ResourceIdsOnlyForAndroidAttributeNames)
{
    /* "title" as an Android attribute, another namespace's attribute and
     * a value; "action" and "label" as an element name and a value. */
    std::string file = write("<manifest xmlns:android=\"http://schemas.android.com/apk/res/android\" "
                             "xmlns:dist=\"http://schemas.android.com/apk/distribution\">"
                             "<action android:title=\"title\" dist:title=\"label\" "
                             "android:name=\"label\" title=\"x\"/></manifest>");
    Axml x = read_axml(file);
    ASSERT_EQ(x.map.size(), 2u);
    EXPECT_EQ(x.strings[0], "name");
    EXPECT_EQ(x.map[0], 0x01010003u);
    EXPECT_EQ(x.strings[1], "title");
    EXPECT_EQ(x.map[1], 0x010101e1u);
    int titles = 0;
    for (size_t i = 0; i < x.strings.size(); i++) {
        titles += x.strings[i] == "title";
        if (i >= x.map.size()) {
            EXPECT_NE(x.strings[i], "name");
        }
    }
    EXPECT_EQ(titles, 2);
    const Chunk &action = x.chunks[3];
    ASSERT_EQ(x.at(action.second), "action");
    EXPECT_GE(action.second, x.map.size());
    ASSERT_EQ(action.attributes.size(), 4u);
    EXPECT_EQ(action.attributes[0].name, 0u); /* android:name */
    EXPECT_EQ(action.attributes[1].name, 1u); /* android:title */
    EXPECT_EQ(x.at(action.attributes[1].raw), "title");
    EXPECT_GE(action.attributes[1].raw, x.map.size());
    for (int i = 2; i < 4; i++) {
        EXPECT_EQ(x.at(action.attributes[i].name), "title");
        EXPECT_GE(action.attributes[i].name, x.map.size());
    }
}

TEST_F(BinaryXmlTest, NamespacesNestAndDeclarationsAreStrings)
{
    std::string file = write("<a xmlns:x=\"one\" xmlns:exported=\"true\" XMLNS:q=\"z\" xmlns=\"d\">"
                             "<x:b xmlns:x=\"three\" x:n=\"v\"/>\n  text\n</a>");
    Axml x = read_axml(file);
    EXPECT_EQ(x.outline(), (std::vector<std::string>{
                               "N x=one", "N exported=true", "S a", "N x=three", "S {three}b",
                               "E {three}b", "n x=three", "E a", "n exported=true", "n x=one"}));
    const Chunk &a = x.chunks[2];
    /* XMLNS:q is neither written nor counted; xmlns is an ordinary one. */
    ASSERT_EQ(a.attributes.size(), 1u);
    EXPECT_EQ(x.at(a.attributes[0].name), "xmlns");
    EXPECT_EQ(a.attributes[0].ns, NONE);
    EXPECT_EQ(x.at(a.attributes[0].raw), "d");
    EXPECT_EQ(x.chunks[4].attributes.size(), 1u);
    EXPECT_EQ(x.at(x.chunks[4].attributes[0].ns), "three");
}

TEST_F(BinaryXmlTest, StringsBeyondTheBasicPlaneAndTheLengthLimit)
{
    /* U+1F600 takes two units; a string of 32767 units fits, 32768 not. */
    std::string file = write("<m a=\"\xF0\x9F\x98\x80!\"/>");
    Axml x = read_axml(file);
    bool found = false;
    for (size_t i = 0; i < x.strings.size(); i++)
        if (x.strings[i] == "\xF0\x9F\x98\x80!") {
            found = true;
            EXPECT_EQ(x.units[i], 3u);
        }
    EXPECT_TRUE(found);

    std::string fits = "<m a=\"" + std::string(32767, 'w') + "\"/>";
    x = read_axml(write(fits.c_str()));
    ASSERT_EQ(x.chunks.size(), 2u);
    EXPECT_EQ(x.strings[x.chunks[0].attributes[0].raw].size(), 32767u);

    /* One unit more takes the length's long form, in two units; the
     * strings after it keep the short one. */
    std::string value = "\xC3\xA9" + std::string(32767, 'w');
    std::string longer = "<m a=\"" + value + "\" b=\"after\"/>";
    int ok = 0;
    std::string written_file = write(longer.c_str(), &ok);
    EXPECT_EQ(ok, 1);
    x = read_axml(written_file);
    ASSERT_EQ(x.chunks.size(), 2u);
    ASSERT_EQ(x.chunks[0].attributes.size(), 2u);
    uint32_t raw = x.chunks[0].attributes[0].raw;
    EXPECT_EQ(x.units[raw], 32768u);
    EXPECT_EQ(x.strings[raw], value);
    EXPECT_EQ(x.at(x.chunks[0].attributes[1].raw), "after");

    /* Android's own packaging tool reads the long form too. */
    int status = 0;
    std::string dump = aapt_dump("xmltree", &status);
    if (status == 127 || dump.find("not found") != std::string::npos)
        GTEST_SKIP() << "aapt is not installed";
    EXPECT_EQ(status, 0) << dump.substr(0, 400);
    EXPECT_NE(dump.find("A: a=\"\xC3\xA9" + std::string(32767, 'w') + "\""), std::string::npos)
        << dump.substr(0, 400);
    EXPECT_NE(dump.find("A: b=\"after\""), std::string::npos) << dump.substr(0, 400);
}

TEST_F(BinaryXmlTest, WriterFailuresAreLoggedAndFail)
{
    /* A string that was never collected. */
    XmlTreeNode *doc = parse_xml_tree("<m a=\"v\"/>");
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(write_tree(doc, false), 0);
    EXPECT_TRUE(was_written("Missing string 'm' from stringpool in Android XML output. Bug?"));

    /* A node of no known type. */
    doc->first_child->type = 7;
    EXPECT_EQ(write_tree(doc), 0);
    EXPECT_TRUE(was_written("Internal error!"));
    doc->first_child->type = XML_NODE_ELEMENT;

    /* A file that cannot be written. */
    OutFile *f = out_file_open("ro.xml", OUT_FILE_NEW);
    ASSERT_NE(f, nullptr);
    AxmlWriter w = {};
    w.path = "ro.xml";
    w.out = f;
    axml_collect_strings(&w, doc);
    {
        FileSizeLimit cap(0);
        ASSERT_TRUE(cap.set);
        EXPECT_EQ(axml_write_file(&w, doc), 0);
    }
    axml_free_pool(&w);
    out_file_abandon(f);
    EXPECT_TRUE(was_written("Write in 'ro.xml' failed: File too large"));
    free_xml_tree(doc);
}

TEST_F(BinaryXmlTest, OutOfMemoryWhileCollectingFailsWithItsLine)
{
    /* Every kind of string the pool takes: a prefixed element, a declaration,
     * an attribute with a resource id, a prefixed one without, a string
     * value with an escape (its read text is a new allocation). */
    XmlTreeNode *doc = parse_xml_tree(
        "<x:m xmlns:x=\"urn:x\" xmlns:android=\"http://schemas.android.com/apk/res/android\">"
        "<a android:label=\"a\\\\b\" x:other=\"v\" xml:lang=\"en\"/></x:m>");
    ASSERT_NE(doc, nullptr);
    int collected = 0, failures = 0;
    for (int budget = 0; budget < 1000 && !collected; budget++) {
        written.clear();
        AxmlWriter w = {};
        w.path = "out.xml";
        /* The log has no memory for a line either: the report's console
         * copy is what shows. */
        testing::internal::CaptureStdout();
        alloc_countdown_start(budget);
        collected = axml_collect_strings(&w, doc);
        alloc_countdown_stop();
        std::string console = testing::internal::GetCapturedStdout();
        if (!collected) {
            failures++;
            EXPECT_NE(console.find("Out of memory!"), std::string::npos) << budget;
        } else {
            OutFile *f = out_file_open("out.xml", OUT_FILE_NEW);
            ASSERT_NE(f, nullptr);
            w.out = f;
            EXPECT_EQ(axml_write_file(&w, doc), 1) << budget;
            out_file_close(f);
        }
        axml_free_pool(&w);
        EXPECT_FALSE(was_written("Missing string")) << budget;
    }
    EXPECT_EQ(collected, 1);
    EXPECT_GT(failures, 8);
    free_xml_tree(doc);

    /* Only the long value's read text finds no memory: nothing after it
     * would fail on its own, so the pool must say it is incomplete. */
    std::string text = "<m label=\"" + std::string(4000, 'w') + "\"/>";
    doc = parse_xml_tree(text.c_str());
    ASSERT_NE(doc, nullptr);
    AxmlWriter w = {};
    w.path = "out.xml";
    testing::internal::CaptureStdout();
    alloc_size_limit_start(2000);
    collected = axml_collect_strings(&w, doc);
    alloc_countdown_stop();
    std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(collected, 0);
    EXPECT_NE(console.find("Out of memory!"), std::string::npos);
    axml_free_pool(&w);
    free_xml_tree(doc);
}

TEST_F(BinaryXmlTest, MoreAttributesThanACountHoldsFail)
{
    /* Built by hand: 65536 attributes named alike keep the pool small. */
    std::vector<XmlTreeNode> nodes(65536 + 2);
    char doc_name[] = "", elem_name[] = "e", attr_name[] = "a", value[] = "v";
    XmlTreeNode *doc = &nodes[0], *e = &nodes[1];
    doc->type = XML_NODE_DOCUMENT;
    doc->text = doc_name;
    doc->first_child = doc->last_child = e;
    e->type = XML_NODE_ELEMENT;
    e->parent = doc;
    e->text = elem_name;
    for (size_t i = 2; i < nodes.size(); i++) {
        nodes[i].type = XML_NODE_ATTRIBUTE;
        nodes[i].parent = e;
        nodes[i].name = attr_name;
        nodes[i].text = value;
        nodes[i].next_sibling = i + 1 < nodes.size() ? &nodes[i + 1] : nullptr;
    }
    e->first_attribute = &nodes[2];
    EXPECT_EQ(write_tree(doc), 0);
    EXPECT_TRUE(was_written("Element 'e' on line 0 has 65536 attributes"));
    nodes.back().parent->first_attribute = &nodes[3];
    EXPECT_EQ(write_tree(doc), 1);
    Axml x = read_axml(read_native("out.xml"));
    ASSERT_EQ(x.chunks.size(), 2u);
    EXPECT_EQ(x.chunks[0].attributes.size(), 65535u);
}

/* A manifest as games ship it, read back by Android's own packaging tool. */
const char *const FULL_MANIFEST =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<manifest xmlns:android=\"http://schemas.android.com/apk/res/android\"\n"
    "    xmlns:tools=\"http://schemas.android.com/tools\"\n"
    "    package=\"com.example.game\" android:versionName=\"1.2\" android:versionCode=\"12\">\n"
    "  <!-- the game's only activity -->\n"
    "  <uses-feature android:required=\"true\" android:glEsVersion=\"0x00020000\"/>\n"
    "  <application android:label=\"@string/app_name\" android:icon=\"@mipmap/ic_launcher\"\n"
    "      tools:replace=\"label\" android:hasCode=\"false\">\n"
    "    <meta-data android:value=\"1.5\" android:name=\"ratio\"/>\n"
    "    <meta-data android:name=\"tint\" android:value=\"#8F00\"/>\n"
    "    <activity android:label=\"Game\" android:name=\"org.example.Main\"\n"
    "        android:configChanges=\"orientation|keyboardHidden|screenSize\"\n"
    "        android:screenOrientation=\"sensorLandscape\"\n"
    "        android:theme=\"@android:style/Theme.NoTitleBar.Fullscreen\">\n"
    "      Some text that is not written.\n"
    "      <intent-filter>\n"
    "        <action android:name=\"android.intent.action.MAIN\"/>\n"
    "        <category android:name=\"android.intent.category.LAUNCHER\"/>\n"
    "      </intent-filter>\n"
    "    </activity>\n"
    "  </application>\n"
    "</manifest>\n";

TEST_F(BinaryXmlTest, AaptReadsAWholeManifest)
{
    std::string file = write(FULL_MANIFEST);
    Axml x = read_axml(file);
    for (const Chunk &c : x.chunks) {
        uint32_t last = 0;
        bool plain_seen = false;
        for (const Record &r : c.attributes) {
            uint32_t id = r.name < x.map.size() ? x.map[r.name] : 0;
            if (id == 0) {
                plain_seen = true;
                continue;
            }
            EXPECT_FALSE(plain_seen) << x.at(c.second) << ": " << x.at(r.name);
            EXPECT_GT(id, last) << x.at(c.second) << ": " << x.at(r.name);
            last = id;
        }
    }

    int status = 0;
    std::string tree = aapt_dump("xmltree", &status);
    ASSERT_EQ(status, 0) << tree;
    static const char *const expected[] = {
        "N: android=http://schemas.android.com/apk/res/android",
        "N: tools=http://schemas.android.com/tools",
        "E: manifest (line=2)",
        "A: android:versionCode(0x0101021b)=(type 0x10)0xc",
        "A: android:versionName(0x0101021c)=\"1.2\" (Raw: \"1.2\")",
        "A: package=\"com.example.game\" (Raw: \"com.example.game\")",
        "E: uses-feature (line=6)",
        "A: android:required(0x0101028e)=(type 0x12)0xffffffff",
        "A: android:glEsVersion(0x01010281)=(type 0x11)0x20000",
        "E: application (line=7)",
        "A: android:label(0x01010001)=@0x7f040000",
        "A: android:icon(0x01010002)=@0x7f020000",
        "A: android:hasCode(0x0101000c)=(type 0x12)0x0",
        "A: tools:replace=\"label\" (Raw: \"label\")",
        "E: meta-data (line=9)",
        "A: android:name(0x01010003)=\"ratio\" (Raw: \"ratio\")",
        "A: android:value(0x01010024)=(type 0x4)0x3fc00000",
        "A: android:value(0x01010024)=(type 0x1e)0x88ff0000",
        "E: activity (line=11)",
        "A: android:theme(0x01010000)=@0x01030007",
        "A: android:label(0x01010001)=\"Game\" (Raw: \"Game\")",
        "A: android:name(0x01010003)=\"org.example.Main\" (Raw: \"org.example.Main\")",
        "A: android:screenOrientation(0x0101001e)=(type 0x10)0x6",
        "A: android:configChanges(0x0101001f)=(type 0x11)0x4a0",
        "E: intent-filter (line=16)",
        "E: action (line=17)",
        "A: android:name(0x01010003)=\"android.intent.action.MAIN\" (Raw: \"android.intent.action.MAIN\")",
        "E: category (line=18)",
        "A: android:name(0x01010003)=\"android.intent.category.LAUNCHER\"",
    };
    for (const char *line : expected)
        EXPECT_NE(tree.find(line), std::string::npos) << line << "\nin:\n" << tree;
    EXPECT_EQ(tree.find("Some text"), std::string::npos);
    EXPECT_EQ(tree.find("only activity"), std::string::npos);

    std::string strings = aapt_dump("xmlstrings", &status);
    EXPECT_EQ(status, 0) << strings;
    EXPECT_NE(strings.find("String pool of " + std::to_string(x.strings.size()) + " unique UTF-16 non-sorted strings"),
              std::string::npos) << strings;
}

} // namespace
