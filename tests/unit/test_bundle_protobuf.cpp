#include "test_support.h"

#include "alloc_countdown.h"
#include "engine/cvar.h"
#include "engine/game_metadata.h"
#include "engine/log.h"
#include "publish/android/bundle_protobuf.h"
#include "publish/android/xml_tree.h"

#include <SDL.h>
#include <pb_common.h>
#include <physfs.h>

#include <string>
#include <vector>

namespace {

const std::string PROTO_DIR = std::string(BRINDLECOT_SOURCE_DIR) + "/publish/android";
const char *const ANDROID_URI = "http://schemas.android.com/apk/res/android";

std::string hex(const std::string &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty())
            out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

class BundleProtobufTest : public FsTest {
protected:
    void SetUp() override
    {
        FsTest::SetUp();
        ASSERT_EQ(quiet_log(), 1);
        ASSERT_EQ(game_metadata_register(), 1);
        written.clear();
    }

    /* Runs protoc on bytes with our schemas: "--decode=TYPE" turns them
     * into text, "--encode=TYPE" text into bytes. */
    std::string protoc(const std::string &mode, const std::string &file, const std::string &in)
    {
        write_native("protoc.in", in);
        std::string out;
        int status = run_command("protoc -I '" + PROTO_DIR + "' " + mode + " '" + PROTO_DIR +
                                     "/" + file + "' < '" + root + "/protoc.in' > '" + root +
                                     "/protoc.out'",
                                 nullptr);
        EXPECT_EQ(status, 0) << mode;
        return read_native("protoc.out");
    }
    std::string decode_xml(const std::string &bytes)
    {
        return protoc("--decode=aapt.pb.XmlNode", "resources.proto", bytes);
    }

    /* The manifest text encoded through a file stream, as the build does. */
    std::string encode_manifest(const std::string &xml, bool *ok = nullptr)
    {
        XmlTreeNode *document = parse_xml_tree(xml.c_str());
        EXPECT_NE(document, nullptr);
        if (!document)
            return "";
        pb_ostream_t stream;
        char *path = open_pb_file_stream(&stream, "%s", "manifest.pb");
        EXPECT_NE(path, nullptr);
        void *first = document->first_child;
        bool encoded = encode_xml_node(&stream, NULL, &first);
        EXPECT_EQ(close_pb_file_stream(&stream, path), 1);
        SDL_free(path);
        free_xml_tree(document);
        if (ok)
            *ok = encoded;
        else
            EXPECT_TRUE(encoded);
        return read_native("manifest.pb");
    }

    /* Lines written with this text. */
    int count_written(const std::string &needle) const
    {
        int n = 0;
        for (const std::string &l : written)
            n += l.find(needle) != std::string::npos;
        return n;
    }
};

/* Calls a field callback the way nanopb would for field tag of a message
 * described by fields; returns what it wrote. */
std::string run_callback(const pb_msgdesc_t *fields, uint32_t tag,
                         bool (*callback)(pb_ostream_t *, const pb_field_iter_t *, void *const *),
                         const void *arg)
{
    static uint8_t message[4096];
    pb_field_iter_t field;
    EXPECT_TRUE(pb_field_iter_begin(&field, fields, message));
    EXPECT_TRUE(pb_field_iter_find(&field, tag));
    uint8_t buffer[4096];
    pb_ostream_t stream = pb_ostream_from_buffer(buffer, sizeof buffer);
    void *argument = (void *)arg;
    EXPECT_TRUE(callback(&stream, &field, &argument)) << PB_GET_ERROR((&stream));
    return std::string((const char *)buffer, stream.bytes_written);
}

TEST_F(BundleProtobufTest, BundleConfigIsTheFixed31Bytes)
{
    android_bundle_BundleConfig config;
    fill_bundle_config(&config);
    uint8_t buffer[64];
    pb_ostream_t stream = pb_ostream_from_buffer(buffer, sizeof buffer);
    ASSERT_TRUE(pb_encode(&stream, android_bundle_BundleConfig_fields, &config));
    EXPECT_EQ(hex(std::string((const char *)buffer, stream.bytes_written)),
              "0A 07 12 05 31 2E 38 2E 32 12 14 0A 04 0A 02 08 01 12 02 08 01 1A 02 08 01 22 "
              "00 2A 00 32 00");
}

TEST_F(BundleProtobufTest, ColorPrimaryConfigValueIsItsFixed22Bytes)
{
    std::string out = run_callback(aapt_pb_Entry_fields, aapt_pb_Entry_config_value_tag,
                                   encode_color_value, &theme_color_resources[0]);
    /* The element's own tag (field 6, length-delimited) and length first. */
    ASSERT_EQ(hex(out.substr(0, 2)), "32 16");
    EXPECT_EQ(hex(out.substr(2)),
              "0A 00 12 12 0A 06 08 05 12 02 08 06 22 08 3A 06 48 B5 A3 FD F9 0F");
}

TEST_F(BundleProtobufTest, FirstIconConfigValueIsTheMdpiIconsFixed55Bytes)
{
    std::string out = run_callback(aapt_pb_Entry_fields, aapt_pb_Entry_config_value_tag,
                                   encode_icon_config_values, nullptr);
    ASSERT_EQ(hex(out.substr(0, 2)), "32 37");
    std::string path = "res/mipmap-mdpi-v4/ic_launcher.png";
    EXPECT_EQ(hex(out.substr(2, 55)),
              "0A 07 90 01 A0 01 C0 01 04 12 2C 0A 00 22 28 2A 26 0A 22 " + hex(path) + " 10 01");
    /* Four more, one per density, each with a longer path and its path
     * index in the source. */
    EXPECT_EQ(out.size(), 5 * 2 + 55 + 57 + 58 + 59 + 60u);
}

TEST_F(BundleProtobufTest, SourcePoolChunkHoldsTheSixPathsAsUtf16)
{
    size_t size = 0;
    uint8_t *chunk = build_source_pool_chunk(&size);
    ASSERT_NE(chunk, nullptr);
    std::string bytes((const char *)chunk, size);
    SDL_free(chunk);
    ASSERT_EQ(size, 464u);
    /* Type, header size, chunk size, 6 strings, no styles, UTF-16 unsorted,
     * strings at 52, no styles. */
    EXPECT_EQ(hex(bytes.substr(0, 28)), "01 00 1C 00 D0 01 00 00 06 00 00 00 00 00 00 00 00 00 "
                                        "00 00 34 00 00 00 00 00 00 00");
    const uint32_t offsets[] = {0, 72, 144, 218, 294, 372};
    const char *const strings[] = {
        "res/mipmap-mdpi-v4/ic_launcher.png",  "res/mipmap-hdpi-v4/ic_launcher.png",
        "res/mipmap-xhdpi-v4/ic_launcher.png", "res/mipmap-xxhdpi-v4/ic_launcher.png",
        "res/mipmap-xxxhdpi-v4/ic_launcher.png", "res/resources.xml"};
    for (int i = 0; i < 6; i++) {
        const uint8_t *p = (const uint8_t *)bytes.data() + 28 + 4 * i;
        EXPECT_EQ(p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24, offsets[i]);
        std::string expected;
        size_t n = SDL_strlen(strings[i]);
        expected += (char)n;
        expected += '\0';
        for (size_t c = 0; c < n; c++) {
            expected += strings[i][c];
            expected += '\0';
        }
        expected += std::string(2, '\0');
        EXPECT_EQ(bytes.substr(52 + offsets[i], expected.size()), expected) << strings[i];
    }
    EXPECT_EQ(hex(bytes.substr(462)), "00 00");
}

TEST_F(BundleProtobufTest, ResourceTableDecodesWithItsFourTypes)
{
    write_native("mygame/metadata/game_metadata.txt",
                 "devid=d\ndevtitle=D\ngameid=g\ngametitle=Tiny \"Quest\"\nversion=1\n"
                 "packageid=com.example.tiny\n");
    ASSERT_EQ(game_metadata_load("mygame/metadata/game_metadata.txt"), 1);
    PbBytes pool;
    pool.data = build_source_pool_chunk(&pool.size);
    ASSERT_NE(pool.data, nullptr);
    aapt_pb_ResourceTable table;
    fill_resource_table(&table, &pool, game_metadata_gametitle);
    std::vector<uint8_t> buffer(8192);
    pb_ostream_t stream = pb_ostream_from_buffer(buffer.data(), buffer.size());
    ASSERT_TRUE(pb_encode(&stream, aapt_pb_ResourceTable_fields, &table));
    SDL_free((void *)pool.data);
    std::string text = protoc("--decode=aapt.pb.ResourceTable", "resources.proto",
                              std::string((const char *)buffer.data(), stream.bytes_written));

    EXPECT_NE(text.find("package {\n  package_id {\n    id: 127\n  }\n"
                        "  package_name: \"com.example.tiny\"\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("str {\n              value: \"Tiny \\\"Quest\\\"\"\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("tool_fingerprint {\n  tool: \"Brindlecot Publishing Tool "
                        "(brindlecot-publish)\"\n  version: \""),
              std::string::npos)
        << text;
    /* The types in order, with their entries. */
    std::vector<std::string> names;
    for (size_t at = text.find("  type {\n"); at != std::string::npos;
         at = text.find("  type {\n", at + 1)) {
        size_t name = text.find("name: \"", at) + 7;
        names.push_back(text.substr(name, text.find('"', name) - name));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"mipmap", "color", "string", "style"}));
    for (const char *entry : {"ic_launcher", "colorPrimary", "colorPrimaryDark", "colorAccent",
                              "app_name", "AppTheme"})
        EXPECT_NE(text.find(std::string("name: \"") + entry + "\""), std::string::npos) << entry;
    EXPECT_NE(text.find("entry_id {\n        id: 2\n      }\n      name: \"colorAccent\""),
              std::string::npos);
    /* AppTheme's parent, the framework's Theme.Holo.Light.DarkActionBar. */
    EXPECT_NE(text.find("parent {\n                id: 16974105\n"), std::string::npos);
}

/* The manifest cases: each document's XmlNode, as protoc prints it. */
struct ManifestCase {
    const char *name;
    const char *xml;
    const char *decoded;
};

const ManifestCase manifest_cases[] = {
    {"prefixed element in a declared namespace",
     "<android:foo xmlns:android=\"http://schemas.android.com/apk/res/android\"/>",
     "element {\n"
     "  namespace_declaration {\n"
     "    prefix: \"android\"\n"
     "    uri: \"http://schemas.android.com/apk/res/android\"\n"
     "    source {\n      line_number: 1\n      column_number: 71\n    }\n"
     "  }\n"
     "  namespace_uri: \"http://schemas.android.com/apk/res/android\"\n"
     "  name: \"foo\"\n"
     "}\n"
     "source {\n  line_number: 1\n  column_number: 13\n}\n"},
    {"prefix without a declaration is dropped", "<bar:foo/>",
     "element {\n  name: \"foo\"\n}\nsource {\n  line_number: 1\n  column_number: 9\n}\n"},
    {"xmlns:tools is a declaration, not an attribute",
     "<a xmlns:tools=\"http://schemas.android.com/tools\"/>",
     "element {\n"
     "  namespace_declaration {\n"
     "    prefix: \"tools\"\n"
     "    uri: \"http://schemas.android.com/tools\"\n"
     "    source {\n      line_number: 1\n      column_number: 49\n    }\n"
     "  }\n"
     "  name: \"a\"\n"
     "}\n"
     "source {\n  line_number: 1\n  column_number: 3\n}\n"},
    {"XMLNS:tools is neither", "<a XMLNS:tools=\"http://schemas.android.com/tools\"/>",
     "element {\n  name: \"a\"\n}\nsource {\n  line_number: 1\n  column_number: 3\n}\n"},
    {"label reference",
     "<a xmlns:android=\"http://schemas.android.com/apk/res/android\" "
     "android:label=\"@string/app_name\"/>",
     "element {\n"
     "  namespace_declaration {\n"
     "    prefix: \"android\"\n"
     "    uri: \"http://schemas.android.com/apk/res/android\"\n"
     "    source {\n      line_number: 1\n      column_number: 61\n    }\n"
     "  }\n"
     "  name: \"a\"\n"
     "  attribute {\n"
     "    namespace_uri: \"http://schemas.android.com/apk/res/android\"\n"
     "    name: \"label\"\n"
     "    value: \"@string/app_name\"\n"
     "    source {\n      line_number: 1\n      column_number: 94\n    }\n"
     "    resource_id: 16842753\n"
     "    compiled_item {\n"
     "      ref {\n        id: 2130968576\n        name: \"string/app_name\"\n      }\n"
     "    }\n"
     "  }\n"
     "}\n"
     "source {\n  line_number: 1\n  column_number: 3\n}\n"},
    {"versionCode",
     "<a xmlns:android=\"http://schemas.android.com/apk/res/android\" "
     "android:versionCode=\"12\"/>",
     "element {\n"
     "  namespace_declaration {\n"
     "    prefix: \"android\"\n"
     "    uri: \"http://schemas.android.com/apk/res/android\"\n"
     "    source {\n      line_number: 1\n      column_number: 61\n    }\n"
     "  }\n"
     "  name: \"a\"\n"
     "  attribute {\n"
     "    namespace_uri: \"http://schemas.android.com/apk/res/android\"\n"
     "    name: \"versionCode\"\n"
     "    value: \"12\"\n"
     "    source {\n      line_number: 1\n      column_number: 86\n    }\n"
     "    resource_id: 16843291\n"
     "    compiled_item {\n      prim {\n        int_decimal_value: 12\n      }\n    }\n"
     "  }\n"
     "}\n"
     "source {\n  line_number: 1\n  column_number: 3\n}\n"},
    {"debuggable false is written explicitly",
     "<a xmlns:android=\"http://schemas.android.com/apk/res/android\" "
     "android:debuggable=\"false\"/>",
     "element {\n"
     "  namespace_declaration {\n"
     "    prefix: \"android\"\n"
     "    uri: \"http://schemas.android.com/apk/res/android\"\n"
     "    source {\n      line_number: 1\n      column_number: 61\n    }\n"
     "  }\n"
     "  name: \"a\"\n"
     "  attribute {\n"
     "    namespace_uri: \"http://schemas.android.com/apk/res/android\"\n"
     "    name: \"debuggable\"\n"
     "    value: \"false\"\n"
     "    source {\n      line_number: 1\n      column_number: 88\n    }\n"
     "    resource_id: 16842767\n"
     "    compiled_item {\n      prim {\n        boolean_value: false\n      }\n    }\n"
     "  }\n"
     "}\n"
     "source {\n  line_number: 1\n  column_number: 3\n}\n"},
    {"a plain string value has no compiled item", "<a package=\"com.example.game\"/>",
     "element {\n"
     "  name: \"a\"\n"
     "  attribute {\n"
     "    name: \"package\"\n"
     "    value: \"com.example.game\"\n"
     "    source {\n      line_number: 1\n      column_number: 29\n    }\n"
     "  }\n"
     "}\n"
     "source {\n  line_number: 1\n  column_number: 3\n}\n"},
    {"a framework attribute name outside the android namespace has no resource id",
     "<a xmlns:x=\"urn:x\" x:label=\"@string/app_name\" label=\"plain\"/>",
     "element {\n"
     "  namespace_declaration {\n"
     "    prefix: \"x\"\n"
     "    uri: \"urn:x\"\n"
     "    source {\n      line_number: 1\n      column_number: 18\n    }\n"
     "  }\n"
     "  name: \"a\"\n"
     "  attribute {\n"
     "    namespace_uri: \"urn:x\"\n"
     "    name: \"label\"\n"
     "    value: \"@string/app_name\"\n"
     "    source {\n      line_number: 1\n      column_number: 45\n    }\n"
     "    compiled_item {\n"
     "      ref {\n        id: 2130968576\n        name: \"string/app_name\"\n      }\n"
     "    }\n"
     "  }\n"
     "  attribute {\n"
     "    name: \"label\"\n"
     "    value: \"plain\"\n"
     "    source {\n      line_number: 1\n      column_number: 59\n    }\n"
     "  }\n"
     "}\n"
     "source {\n  line_number: 1\n  column_number: 3\n}\n"},
    {"indentation is written as text children", "<a>\n  <b/>\n</a>",
     "element {\n"
     "  name: \"a\"\n"
     "  child {\n    text: \"\\n  \"\n"
     "    source {\n      line_number: 2\n      column_number: 6\n    }\n  }\n"
     "  child {\n    element {\n      name: \"b\"\n    }\n"
     "    source {\n      line_number: 2\n      column_number: 6\n    }\n  }\n"
     "  child {\n    text: \"\\n\"\n"
     "    source {\n      line_number: 3\n      column_number: 5\n    }\n  }\n"
     "}\n"
     "source {\n  line_number: 1\n  column_number: 3\n}\n"},
};

TEST_F(BundleProtobufTest, ManifestCasesDecodeAsExpected)
{
    for (const ManifestCase &c : manifest_cases) {
        SCOPED_TRACE(c.name);
        std::string bytes = encode_manifest(c.xml);
        std::string text = decode_xml(bytes);
        EXPECT_EQ(text, c.decoded);
        /* protoc writes fields in the same order and with the same rules
         * (presence, defaults, oneofs), so its encoding of the text is
         * byte for byte ours. */
        EXPECT_EQ(hex(protoc("--encode=aapt.pb.XmlNode", "resources.proto", text)), hex(bytes));
    }
}

/* The manifest check warns about it, once per build; the encoder only
 * writes the string. */
TEST_F(BundleProtobufTest, UnknownReferenceIsAStringWithoutACompiledItem)
{
    std::string text = decode_xml(
        encode_manifest("<a xmlns:android=\"http://schemas.android.com/apk/res/android\">"
                        "<b android:label=\"@string/other\"><c android:icon=\"@drawable/x\"/></b>"
                        "</a>"));
    EXPECT_EQ(text.find("compiled_item"), std::string::npos) << text;
    EXPECT_NE(text.find("value: \"@drawable/x\""), std::string::npos) << text;
    EXPECT_EQ(count_written("Unknown resource name"), 0);
}

/* The converter writes the manifest's pool in UTF-16 with the long length
 * form, so no length is refused here; 70,000 bytes also take a three-byte
 * length in the message. */
TEST_F(BundleProtobufTest, LongStringsAreEncodedWhole)
{
    std::string value(70000, 'v'), text(40000, 't'), name = "application";
    std::string bytes = encode_manifest(std::string("<") + name + " xmlns:android=\"" +
                                        ANDROID_URI + "\" android:label=\"" + value + "\">" +
                                        text + "</" + name + ">");
    std::string decoded = decode_xml(bytes);
    EXPECT_NE(decoded.find("name: \"" + name + "\""), std::string::npos);
    EXPECT_NE(decoded.find("value: \"" + value + "\""), std::string::npos);
    EXPECT_NE(decoded.find("text: \"" + text + "\""), std::string::npos);
    EXPECT_EQ(hex(protoc("--encode=aapt.pb.XmlNode", "resources.proto", decoded)), hex(bytes));
}

TEST_F(BundleProtobufTest, DeeplyNestedManifestEncodesEveryLevelOnce)
{
    /* Measured twice per level, 60 elements would take 2^120 passes. Past
     * about 48 elements protoc refuses the nesting (100 message levels), so
     * the deepest manifest is only counted. */
    for (int depth : {45, 60}) {
        SCOPED_TRACE(depth);
        written.clear();
        std::string xml = std::string("<e0 xmlns:android=\"") + ANDROID_URI + "\">";
        for (int i = 1; i < depth; i++)
            xml += "<e" + std::to_string(i) + " android:label=\"@string/missing" +
                   std::to_string(i) + "\">";
        for (int i = depth - 1; i >= 0; i--)
            xml += "</e" + std::to_string(i) + ">";
        std::string bytes = encode_manifest(xml);
        if (depth > 45)
            continue;
        std::string text = decode_xml(bytes);
        size_t elements = 0;
        for (size_t at = text.find("element {"); at != std::string::npos;
             at = text.find("element {", at + 1))
            elements++;
        EXPECT_EQ(elements, (size_t)depth);
        EXPECT_NE(text.find("name: \"e44\""), std::string::npos);
        EXPECT_EQ(hex(protoc("--encode=aapt.pb.XmlNode", "resources.proto", text)), hex(bytes));
    }
}

TEST_F(BundleProtobufTest, FormattedStreamPathTakesEveryArgument)
{
    mkdir_native("out");
    pb_ostream_t stream;
    char *path = open_pb_file_stream(&stream, "%s/%s-%d.pb", "out", "table", 7);
    ASSERT_NE(path, nullptr);
    EXPECT_STREQ(path, "out/table-7.pb");
    EXPECT_EQ(stream.callback, write_pb_file_bytes);
    EXPECT_EQ(stream.max_size, SIZE_MAX);
    EXPECT_EQ(stream.bytes_written, 0u);
    const pb_byte_t data[] = {1, 2, 3};
    EXPECT_TRUE(pb_write(&stream, data, 3));
    ASSERT_EQ(close_pb_file_stream(&stream, path), 1);
    SDL_free(path);
    EXPECT_EQ(read_native("out/table-7.pb"), std::string("\1\2\3"));
}

TEST_F(BundleProtobufTest, StreamThatCannotBeOpenedIsLogged)
{
    write_native("taken", "a file, so nothing can be created below it");
    pb_ostream_t stream;
    EXPECT_EQ(open_pb_file_stream(&stream, "%s/x.pb", "taken"), nullptr);
    EXPECT_TRUE(was_written("Opening 'taken/x.pb' for write failed: "));
    EXPECT_EQ(stream.callback, nullptr);
    EXPECT_EQ(stream.state, nullptr);
}

TEST_F(BundleProtobufTest, ManifestFailuresAreLoggedWithTheirCause)
{
    XmlTreeNode *document = parse_xml_tree("<a b=\"c\"><d/></a>");
    ASSERT_NE(document, nullptr);
    struct {
        const char *name;
        size_t room;
        XmlTreeNode *start;
        const char *cause;
    } cases[] = {
        {"stream full", 10, document->first_child, "stream full"},
        {"document given as a node", 256, document, "unexpected XML node type"},
        {"attribute given as a node", 256, document->first_child->first_attribute,
         "unexpected XML node type"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        written.clear();
        uint8_t buffer[256];
        pb_ostream_t stream = pb_ostream_from_buffer(buffer, c.room);
        void *node = c.start;
        EXPECT_FALSE(encode_xml_node(&stream, NULL, &node));
        EXPECT_TRUE(was_written(std::string("Encoding protobuffer failed: ") + c.cause));
        EXPECT_EQ(was_written("Unexpected XML node type"),
                  std::string(c.cause) == "unexpected XML node type");
    }
    free_xml_tree(document);
}

TEST_F(BundleProtobufTest, OutOfMemoryFailsCleanly)
{
    /* Under LeakSanitizer this shows that each failure frees what it
     * made. */
    XmlTreeNode *document = parse_xml_tree("<a x=\"1\"><b y=\"2\"/>text</a>");
    ASSERT_NE(document, nullptr);
    bool encoded = false;
    for (int budget = 0; !encoded && budget < 16; budget++) {
        uint8_t buffer[256];
        pb_ostream_t stream = pb_ostream_from_buffer(buffer, sizeof buffer);
        void *node = document->first_child;
        alloc_countdown_start(budget);
        encoded = encode_xml_node(&stream, NULL, &node);
        alloc_countdown_stop();
    }
    EXPECT_TRUE(encoded);
    free_xml_tree(document);

    bool built = false;
    for (int budget = 0; !built && budget < 16; budget++) {
        size_t size = 0;
        alloc_countdown_start(budget);
        uint8_t *chunk = build_source_pool_chunk(&size);
        alloc_countdown_stop();
        built = chunk != nullptr;
        SDL_free(chunk);
    }
    EXPECT_TRUE(built);
}

} // namespace
