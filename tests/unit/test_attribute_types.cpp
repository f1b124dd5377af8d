#include "test_support.h"

#include "publish/android/android_tables.h"
#include "publish/android/attribute_types.h"

#include <SDL.h>

#include <map>
#include <set>
#include <sstream>
#include <string>

namespace {

class AttributeTypesTest : public FsTest {
protected:
    /* The warnings written out since the last call: each is written at
     * once, not left in the queue. */
    std::vector<std::string> warnings()
    {
        std::vector<std::string> out;
        for (const std::string &l : written) {
            size_t at = l.find("WARNING: ");
            if (at != std::string::npos)
                out.push_back(l.substr(at));
        }
        written.clear();
        return out;
    }
};

const uint8_t STRING = TYPE_STRING;
const char *const A = ANDROID_NAMESPACE_URI;
const char *const EXT = "http://example.com/ext";
enum { T = ATTRIBUTE_TYPED, S = ATTRIBUTE_STRING, R = ATTRIBUTE_REFUSED };

struct Case {
    const char *uri;
    const char *name;
    const char *value;
    int outcome;
    uint8_t type;
    uint32_t data;
};

/* The rules as the platform's packager applies them (the end-to-end
 * oracle test compares them with it); here the telling cases. */
TEST_F(AttributeTypesTest, TypesEveryKindOfValue)
{
    static const Case cases[] = {
        /* empty: a string where strings are taken, no flag at all, else refused */
        {A, "versionCode", "", R, STRING, 0},
        {A, "hasCode", "", R, STRING, 0},
        {A, "taskAffinity", "", S, STRING, 0},
        {A, "configChanges", " ", T, TYPE_INT_HEX, 0},
        {NULL, "package", "", S, STRING, 0},
        /* integers: an optional "-", 32 bits, blanks around trimmed */
        {A, "versionCode", "12345", T, TYPE_INT_DEC, 12345},
        {A, "versionCode", " 42\t", T, TYPE_INT_DEC, 42},
        {A, "versionCode", "+7", R, STRING, 0},
        {A, "versionCode", "0x10", T, TYPE_INT_HEX, 0x10},
        {A, "versionCode", "0xFFFFFFFF", T, TYPE_INT_HEX, 0xFFFFFFFF},
        {A, "versionCode", "0x100000000", R, STRING, 0},
        {A, "versionCode", "-0x10", R, STRING, 0},
        {A, "versionCode", "0X10", R, STRING, 0},
        {A, "versionCode", "-1", T, TYPE_INT_DEC, 0xFFFFFFFF},
        {A, "versionCode", "2147483647", T, TYPE_INT_DEC, 0x7FFFFFFF},
        {A, "versionCode", "-2147483648", T, TYPE_INT_DEC, 0x80000000},
        {A, "versionCode", "2147483648", R, STRING, 0},
        {A, "versionCode", "1.5", R, STRING, 0},
        {A, "versionCode", "12abc", R, STRING, 0},
        {A, "versionCode", "0x", R, STRING, 0},
        {A, "minSdkVersion", " 26 ", T, TYPE_INT_DEC, 26},
        {A, "minSdkVersion", "O", S, STRING, 0},
        {A, "minSdkVersion", "2147483648", S, STRING, 0},
        {A, "screenDensity", "hdpi", T, TYPE_INT_DEC, 240},
        /* enums and flags: case-sensitive names, each trimmed */
        {A, "screenOrientation", " landscape ", T, TYPE_INT_DEC, 0},
        {A, "screenOrientation", "unspecified", T, TYPE_INT_DEC, 0xFFFFFFFF},
        {A, "screenOrientation", "Landscape", R, STRING, 0},
        {A, "screenOrientation", "0", R, STRING, 0},
        {A, "configChanges", "orientation|keyboardHidden|screenSize", T, TYPE_INT_HEX, 0x4A0},
        {A, "configChanges", "orientation | keyboard", T, TYPE_INT_HEX, 0x90},
        {A, "configChanges", "orientation|", R, STRING, 0},
        {A, "configChanges", "orientation||mcc", R, STRING, 0},
        {A, "configChanges", "144", R, STRING, 0},
        {A, "protectionLevel", "signature|privileged", T, TYPE_INT_HEX, 0x12},
        /* API 26's names first, a later framework's added */
        {A, "protectionLevel", "signature|ephemeral", T, TYPE_INT_HEX, 0x1002},
        {A, "protectionLevel", "signature|instant", T, TYPE_INT_HEX, 0x1002},
        /* booleans: three spellings each */
        {A, "hasCode", "False", T, TYPE_INT_BOOLEAN, 0},
        {A, "hasCode", " TRUE ", T, TYPE_INT_BOOLEAN, 0xFFFFFFFF},
        {A, "hasCode", "tRuE", R, STRING, 0},
        {A, "hasCode", "yes", R, STRING, 0},
        {A, "hasCode", "1", R, STRING, 0},
        /* references, whatever the formats */
        {A, "label", "@string/app_name", T, TYPE_REFERENCE, 0x7F040000},
        {A, "label", " @string/app_name ", T, TYPE_REFERENCE, 0x7F040000},
        {A, "icon", "@mipmap/ic_launcher", T, TYPE_REFERENCE, 0x7F020000},
        {A, "theme", "@android:style/Theme.NoTitleBar.Fullscreen", T, TYPE_REFERENCE, 0x01030007},
        {A, "theme", "@*android:style/Theme.Holo.Light.DarkActionBar", T, TYPE_REFERENCE, 0x01030119},
        {A, "icon", "@android:id/icon", T, TYPE_REFERENCE, 0x01020006},
        {A, "icon", "@android:attr/icon", T, TYPE_REFERENCE, 0x01010002},
        {A, "theme", "?android:attr/colorAccent", T, TYPE_ATTRIBUTE, 0x01010435},
        {A, "theme", "?android:colorAccent", T, TYPE_ATTRIBUTE, 0x01010435},
        {A, "exported", "@android:string/ok", T, TYPE_REFERENCE, 0x0104000a},
        {A, "value", "@string/app_name", T, TYPE_REFERENCE, 0x7F040000},
        {A, "theme", "@null", T, TYPE_REFERENCE, 0},
        {A, "exported", "@empty", T, TYPE_NULL, 1},
        {A, "theme", "@android:Theme.Holo", R, STRING, 0},
        {A, "label", "@android:Theme.Holo", S, STRING, 0},
        {A, "label", "@+string/x", S, STRING, 0},
        {A, "label", "@string/", S, STRING, 0},
        {A, "label", "@", S, STRING, 0},
        /* kept: unknown resources stay strings, whatever the formats */
        {A, "theme", "@android:style/No.Such.Theme", S, STRING, 0},
        {A, "theme", "@style/Mine", S, STRING, 0},
        /* meta-data value: every typed form it allows */
        {A, "value", "1.5", T, TYPE_FLOAT, 0x3FC00000},
        {A, "value", "+1.5", T, TYPE_FLOAT, 0x3FC00000},
        {A, "value", "-1.5E+2", T, TYPE_FLOAT, 0xC3160000},
        {A, "value", ".5", T, TYPE_FLOAT, 0x3F000000},
        {A, "value", "1e3", T, TYPE_FLOAT, 0x447A0000},
        {A, "value", "2147483648", T, TYPE_FLOAT, 0x4F000000},
        {A, "value", "1e39", T, TYPE_FLOAT, 0x7F800000},
        {A, "value", "42", T, TYPE_INT_DEC, 42},
        {A, "value", "inf", S, STRING, 0},
        {A, "value", "1.5dp", S, STRING, 0},
        {A, "value", " true ", T, TYPE_INT_BOOLEAN, 0xFFFFFFFF},
        {A, "value", "#FF0000", T, TYPE_INT_COLOR_RGB8, 0xFFFF0000},
        {A, "value", "#F00", T, TYPE_INT_COLOR_RGB4, 0xFFFF0000},
        {A, "value", "#8F00", T, TYPE_INT_COLOR_ARGB4, 0x88FF0000},
        {A, "value", "#80FF0000", T, TYPE_INT_COLOR_ARGB8, 0x80FF0000},
        {A, "value", "#FF000", S, STRING, 0},
        {A, "maxAspectRatio", "2", T, TYPE_FLOAT, 0x40000000},
        {A, "maxAspectRatio", "0x10", T, TYPE_FLOAT, 0x41800000},
        {A, "maxAspectRatio", "1.5dp", R, STRING, 0},
        /* kept: a colour that does not parse stays a string */
        {A, "colorPrimary", "#12345", S, STRING, 0},
        /* formats declared outside the manifest's own definitions */
        {A, "enabled", "false", T, TYPE_INT_BOOLEAN, 0},
        {A, "windowSoftInputMode", "adjustResize|stateHidden", T, TYPE_INT_HEX, 0x12},
        {A, "gravity", "top|end", T, TYPE_INT_HEX, 0x800035},
        /* dimensions and fractions in the packager's complex encoding */
        {A, "minWidth", "320dp", T, TYPE_DIMENSION, 0x00014001},
        {A, "defaultWidth", "600dp", T, TYPE_DIMENSION, 0x00025801},
        {A, "defaultHeight", "50%", T, TYPE_FRACTION, 0x40000030},
        {A, "defaultHeight", "25%p", T, TYPE_FRACTION, 0x20000031},
        {A, "minHeight", "1.5px", T, TYPE_DIMENSION, 0x00C00020},
        {A, "minHeight", "-2pt", T, TYPE_DIMENSION, 0xFFFFFE03},
        {A, "minHeight", "1e1dp", T, TYPE_DIMENSION, 0x00000A01},
        {A, "minHeight", "50%", R, STRING, 0},
        {A, "minHeight", "320 dp", R, STRING, 0},
        /* an Android name API 26 lacks: a string, whatever it looks like */
        {A, "preferMinimalPostProcessing", "true", S, STRING, 0},
        /* other namespaces and none: no definition, every value type */
        {EXT, "exported", "yes", S, STRING, 0},
        {EXT, "exported", "true", T, TYPE_INT_BOOLEAN, 0xFFFFFFFF},
        {EXT, "count", " 12 ", T, TYPE_INT_DEC, 12},
        {EXT, "x", "5dp", T, TYPE_DIMENSION, 0x00000501},
        {EXT, "x", "orientation", S, STRING, 0},
        {NULL, "package", "42", T, TYPE_INT_DEC, 42},
        {NULL, "package", "com.example.x", S, STRING, 0},
    };
    for (const Case &c : cases) {
        AttributeTyping t;
        int outcome = type_attribute_value(c.uri, c.name, c.value, &t);
        SCOPED_TRACE(std::string(c.name) + "=" + c.value);
        EXPECT_EQ(outcome, c.outcome);
        EXPECT_EQ(t.type, c.type);
        EXPECT_EQ(t.data, c.data);
    }
    EXPECT_TRUE(warnings().empty());
}

TEST_F(AttributeTypesTest, ReferencesKnowTheirResourceByItsWholeName)
{
    static const struct {
        const char *value;
        const char *package, *type, *entry;
        int unknown;
    } cases[] = {
        {"@android:style/Theme.Holo", "android", "style", "Theme.Holo", 0},
        {"?android:colorAccent", "android", "attr", "colorAccent", 0},
        {" @string/app_name ", NULL, "string", "app_name", 0},
        {"@android:style/No.Such.Theme", "android", "style", "No.Such.Theme", 1},
        {"@android:layout/icon", "android", "layout", "icon", 1},
        {"@string/other", NULL, "string", "other", 1},
        {"@other.pkg:string/x", NULL, "string", "x", 1},
        {"@null", NULL, NULL, NULL, 0},
    };
    for (const auto &c : cases) {
        AttributeTyping t;
        type_attribute_value(A, "label", c.value, &t);
        SCOPED_TRACE(c.value);
        EXPECT_EQ(t.unknown_resource, c.unknown);
        EXPECT_STREQ(t.ref_package, c.package);
        EXPECT_STREQ(t.ref_type, c.type);
        EXPECT_EQ(t.ref_entry ? std::string(t.ref_entry, t.ref_entry_len) : std::string(),
                  c.entry ? std::string(c.entry) : std::string());
    }
    AttributeTyping t;
    type_attribute_value(A, "preferMinimalPostProcessing", "1", &t);
    EXPECT_EQ(t.unknown_attribute, 1);
    type_attribute_value(EXT, "preferMinimalPostProcessing", "1", &t);
    EXPECT_EQ(t.unknown_attribute, 0);
}

TEST_F(AttributeTypesTest, StringTextReadsEscapesAsThePackagerDoes)
{
    static const struct {
        const char *value;
        const char *text;
        const char *dropped;
        int cut, nul;
    } cases[] = {
        {"  a  b  ", "  a  b  ", "", 0, 0},
        {"/level/.*\\\\.lvl", "/level/.*\\.lvl", "", 0, 0},
        {"/level/.*\\.lvl", "/level/.*.lvl", ".", 0, 0},
        {"a\\'b\\\"c\\@d\\?e\\#f", "a'b\"c@d?e#f", "", 0, 0},
        {"a\\nb\\tc", "a\nb\tc", "", 0, 0},
        {"\\u0041x\\u00e9\\u20AC", "Ax\xc3\xa9\xe2\x82\xac", "", 0, 0},
        {"x\\u12", "x\x12", "", 0, 0},
        {"pre\\uZZZZpost", "pre", "", 1, 0},
        {"a\\ud83db", "ab", "", 0, 0},
        {"a\\u0000b", "a", "", 0, 1},
        {"a\\qb\\rc", "aqbrc", "q", 0, 0},
        {"\\\xc3\xa9", "\xc3\xa9", "\xc3\xa9", 0, 0},
        {"a\\", "a", "", 0, 0},
        {"\"quoted\"", "\"quoted\"", "", 0, 0},
    };
    for (const auto &c : cases) {
        AttributeEscapes e;
        char *text = attribute_string_text(c.value, &e);
        ASSERT_NE(text, nullptr);
        SCOPED_TRACE(c.value);
        if (!c.nul) {
            EXPECT_STREQ(text, c.text);
        }
        EXPECT_STREQ(e.dropped, c.dropped);
        EXPECT_EQ(e.cut, c.cut);
        EXPECT_EQ(e.nul, c.nul);
        SDL_free(text);
    }
}

TEST_F(AttributeTypesTest, FormatsAreNamedWithTheirValues)
{
    static const struct {
        const char *name;
        const char *text;
    } cases[] = {
        {"versionCode", "integer"},
        {"label", "reference or string"},
        {"launchMode", "enum (standard, singleTop, singleTask, singleInstance)"},
    };
    for (const auto &c : cases) {
        const ManifestAttributeFormat *row = manifest_attribute_find(c.name);
        ASSERT_NE(row, nullptr);
        char *text = attribute_formats_text(row->format_flags, row);
        EXPECT_STREQ(text, c.text);
        SDL_free(text);
    }
}

TEST_F(AttributeTypesTest, ResourceTableRowsAndTheirOrder)
{
    static const std::map<std::string, std::pair<uint32_t, int>> per_type = {
        {"attr", {0x01, 1355}}, {"id", {0x02, 68}},        {"style", {0x03, 736}},
        {"string", {0x04, 26}}, {"dimen", {0x05, 7}},      {"color", {0x06, 28}},
        {"array", {0x07, 6}},   {"drawable", {0x08, 174}}, {"layout", {0x09, 24}},
        {"anim", {0x0a, 13}},   {"animator", {0x0b, 2}},   {"interpolator", {0x0c, 16}},
        {"mipmap", {0x0d, 1}},  {"integer", {0x0e, 4}},    {"transition", {0x0f, 8}},
        {"raw", {0x10, 2}},
    };
    ASSERT_EQ(sizeof android_resource_ids / sizeof android_resource_ids[0], 2470u);
    std::map<std::string, int> counted;
    std::map<std::string, int> names;
    for (const AndroidResourceId &row : android_resource_ids) {
        ASSERT_TRUE(per_type.count(row.type)) << row.type;
        EXPECT_EQ(row.id >> 16, 0x0100u | per_type.at(row.type).first) << row.name;
        counted[row.type]++;
        names[row.name]++;
    }
    for (const auto &t : per_type)
        EXPECT_EQ(counted[t.first], t.second.second) << t.first;

    EXPECT_STREQ(android_resource_ids[0].name, "theme");
    EXPECT_EQ(android_resource_ids[0].id, 0x01010000u);
    EXPECT_STREQ(android_resource_ids[2469].name, "paste_as_plain_text");
    EXPECT_EQ(android_resource_ids[2469].id, 0x01040019u);
    static const std::pair<const char *, uint32_t> telling[] = {
        {"label", 0x01010001}, {"icon", 0x01010002}, {"name", 0x01010003},
        {"screenOrientation", 0x0101001e}, {"configChanges", 0x0101001f},
        {"minSdkVersion", 0x0101020c}, {"versionCode", 0x0101021b}, {"versionName", 0x0101021c},
        {"targetSdkVersion", 0x01010270}, {"Theme.NoTitleBar.Fullscreen", 0x01030007},
        {"Theme.Holo.Light.DarkActionBar", 0x01030119}, {"autofilledHighlight", 0x01010568},
        {"textAssist", 0x01020041}, {"accessibilityActionMoveWindow", 0x01020042},
        {"autofill", 0x01020043},
    };
    for (const auto &t : telling) {
        const AndroidResourceId *row = android_resource_find(NULL, t.first);
        ASSERT_NE(row, nullptr) << t.first;
        EXPECT_EQ(row->id, t.second) << t.first;
    }
    EXPECT_EQ(android_resource_find(NULL, "noSuchResource"), nullptr);
    EXPECT_EQ(android_resource_find(NULL, "Icon"), nullptr);

    /* By name alone the first row wins; with its type the other is found. */
    static const struct {
        const char *name;
        uint32_t found;
        uint32_t never;
    } twice[] = {
        {"icon", 0x01010002, 0x01020006},           {"background", 0x010100d4, 0x01020000},
        {"progress", 0x01010137, 0x0102000d},       {"secondaryProgress", 0x01010138, 0x0102000f},
        {"hint", 0x01010150, 0x01020005},           {"title", 0x010101e1, 0x01020016},
        {"summary", 0x010101e9, 0x01020010},        {"content", 0x01020002, 0x0101025b},
        {"copy", 0x01040001, 0x01020021},           {"copyUrl", 0x01040002, 0x01020023},
        {"cut", 0x01040003, 0x01020020},            {"paste", 0x0104000b, 0x01020022},
        {"selectAll", 0x0104000d, 0x0102001f},      {"sym_def_app_icon", 0x01080093, 0x010d0000},
        {"fade_in", 0x010a0000, 0x010b0000},        {"fade_out", 0x010a0001, 0x010b0001},
        {"selectTextMode", 0x0102002d, 0x01040016},
    };
    int repeated = 0;
    for (const auto &n : names)
        repeated += n.second > 1;
    EXPECT_EQ(repeated, 17);
    for (const auto &t : twice) {
        EXPECT_EQ(names[t.name], 2) << t.name;
        EXPECT_EQ(android_resource_find(NULL, t.name)->id, t.found) << t.name;
        const char *other_type = NULL;
        for (const AndroidResourceId &row : android_resource_ids)
            if (row.id == t.never)
                other_type = row.type;
        ASSERT_NE(other_type, nullptr) << t.name;
        EXPECT_EQ(android_resource_find(other_type, t.name)->id, t.never) << t.name;
    }
}

TEST_F(AttributeTypesTest, OnlyAndroidAttributeNamesHaveResourceIds)
{
    const char *android = ANDROID_NAMESPACE_URI;
    EXPECT_EQ(android_attribute_resource_id(android, "name"), 0x01010003u);
    EXPECT_EQ(android_attribute_resource_id(android, "theme"), 0x01010000u);
    /* The attr, even where the name's first row is of another type. */
    EXPECT_EQ(android_attribute_resource_id(android, "content"), 0x0101025bu);
    EXPECT_EQ(android_attribute_resource_id(android, "Theme.NoTitleBar"), 0u);
    EXPECT_EQ(android_attribute_resource_id(android, "notAnAttribute"), 0u);
    EXPECT_EQ(android_attribute_resource_id("http://schemas.android.com/tools", "name"), 0u);
    EXPECT_EQ(android_attribute_resource_id(NULL, "name"), 0u);
}

/* The attribute formats: every public attribute of API 26 once, in id
 * order, typed by its compiled format wherever that was declared. */
TEST_F(AttributeTypesTest, FormatTableRows)
{
    ASSERT_EQ(sizeof manifest_attribute_formats / sizeof manifest_attribute_formats[0], 1355u);
    const uint32_t B = ATTR_FORMAT_BOOLEAN, C = ATTR_FORMAT_COLOR, D = ATTR_FORMAT_DIMENSION,
                   E = ATTR_FORMAT_ENUM, F = ATTR_FORMAT_FLAGS, FL = ATTR_FORMAT_FLOAT,
                   FR = ATTR_FORMAT_FRACTION, I = ATTR_FORMAT_INTEGER, R = ATTR_FORMAT_REFERENCE,
                   S = ATTR_FORMAT_STRING;
    const std::pair<const char *, uint32_t> rows[] = {
        {"theme", R}, {"label", R | S}, {"name", S}, {"taskAffinity", S}, {"hasCode", B},
        {"enabled", B}, {"keepScreenOn", B}, {"versionCode", I}, {"minSdkVersion", I | S},
        {"screenOrientation", E}, {"configChanges", F}, {"windowSoftInputMode", F},
        {"gravity", F}, {"minWidth", D}, {"minHeight", D}, {"defaultWidth", D | FR},
        {"defaultHeight", D | FR}, {"maxAspectRatio", FL}, {"screenDensity", E | I},
        {"value", B | C | FL | I | S}, {"use32bitAbi", B | C | D | FL | FR | I | R | S},
    };
    for (const auto &r : rows) {
        const ManifestAttributeFormat *row = manifest_attribute_find(r.first);
        ASSERT_NE(row, nullptr) << r.first;
        EXPECT_EQ(row->format_flags, r.second) << r.first;
        EXPECT_EQ(row->values != NULL, (r.second & (E | F)) != 0) << r.first;
    }
    uint32_t last_id = 0;
    std::set<std::string> names;
    for (const ManifestAttributeFormat &row : manifest_attribute_formats) {
        EXPECT_TRUE(names.insert(row.name).second) << row.name;
        const AndroidResourceId *id = android_resource_find("attr", row.name);
        ASSERT_NE(id, nullptr) << row.name;
        EXPECT_GT(id->id, last_id) << row.name;
        last_id = id->id;
        EXPECT_EQ(manifest_attribute_find(row.name), &row);
    }
    EXPECT_EQ(manifest_attribute_find("package"), nullptr);
    EXPECT_EQ(manifest_attribute_find("Label"), nullptr);
    EXPECT_EQ(manifest_attribute_find("preferMinimalPostProcessing"), nullptr);
}

} // namespace
