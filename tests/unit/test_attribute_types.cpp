#include "test_support.h"

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

struct Case {
    const char *name;
    const char *value;
    uint8_t type;
    uint32_t data;
};

TEST_F(AttributeTypesTest, ClassifiesEveryKindOfValue)
{
    static const Case cases[] = {
        /* empty: a string where strings are taken, else the empty value */
        {"versionCode", "", TYPE_NULL, 1},
        {"hasCode", "", TYPE_NULL, 1},
        {"package", "", STRING, 0},
        {"taskAffinity", "", STRING, 0},
        {"label", "", STRING, 0},
        /* integers: strict, 32 bits */
        {"versionCode", "12345", TYPE_INT_DEC, 12345},
        {"versionCode", "+7", TYPE_INT_DEC, 7},
        {"versionCode", "0x10", TYPE_INT_HEX, 0x10},
        {"versionCode", "0X10", STRING, 0},
        {"versionCode", "-1", TYPE_INT_DEC, 0xFFFFFFFF},
        {"versionCode", "-0x10", TYPE_INT_HEX, 0xFFFFFFF0},
        {"versionCode", "4294967295", TYPE_INT_DEC, 0xFFFFFFFF},
        {"versionCode", "4294967296", TYPE_INT_DEC, 0xFFFFFFFF},
        {"versionCode", "-4294967296", TYPE_INT_DEC, 0xFFFFFFFF},
        {"versionCode", "123456789012345678901234567890", TYPE_INT_DEC, 0xFFFFFFFF},
        {"versionCode", "12abc", STRING, 0},
        {"versionCode", "0x", STRING, 0},
        {"versionCode", "-", STRING, 0},
        {"versionCode", "5 ", STRING, 0},
        {"versionCode", " 5", STRING, 0},
        {"versionCode", "+-5", STRING, 0},
        {"glEsVersion", "0x00020000", TYPE_INT_HEX, 0x20000},
        {"minSdkVersion", "26", TYPE_INT_DEC, 26},
        {"minSdkVersion", "O", STRING, 0},
        {"screenDensity", "240", TYPE_INT_DEC, 240},
        {"screenDensity", "hdpi", TYPE_INT_DEC, 240},
        /* enums: case-sensitive names */
        {"screenOrientation", "landscape", TYPE_INT_DEC, 0},
        {"screenOrientation", "unspecified", TYPE_INT_DEC, 0xFFFFFFFF},
        {"screenOrientation", "Landscape", STRING, 0},
        {"launchMode", "singleTask", TYPE_INT_DEC, 2},
        {"installLocation", "preferExternal", TYPE_INT_DEC, 2},
        /* flags: every part a name, no blanks, no empty part */
        {"configChanges", "orientation|keyboardHidden|screenSize", TYPE_INT_HEX, 0x4A0},
        {"configChanges", "fontScale|mcc", TYPE_INT_HEX, 0x40000001},
        {"configChanges", "orientation| keyboardHidden", STRING, 0},
        {"configChanges", "orientation|", STRING, 0},
        {"configChanges", "orientation||mcc", STRING, 0},
        {"protectionLevel", "signature|privileged", TYPE_INT_HEX, 0x12},
        /* booleans ignore case */
        {"hasCode", "False", TYPE_INT_BOOLEAN, 0},
        {"hasCode", "TRUE", TYPE_INT_BOOLEAN, 0xFFFFFFFF},
        {"hasCode", "yes", STRING, 0},
        {"fullBackupContent", "false", TYPE_INT_BOOLEAN, 0},
        /* references */
        {"label", "@string/app_name", TYPE_REFERENCE, 0x7F040000},
        {"icon", "@mipmap/ic_launcher", TYPE_REFERENCE, 0x7F020000},
        {"fullBackupContent", "@string/app_name", TYPE_REFERENCE, 0x7F040000},
        {"theme", "@android:style/Theme.NoTitleBar.Fullscreen", TYPE_REFERENCE, 0x01030007},
        {"theme", "@android:style/Theme.Holo.Light.DarkActionBar", TYPE_REFERENCE, 0x01030119},
        {"icon", "@android:id/icon", TYPE_REFERENCE, 0x01020006},
        {"icon", "@android:attr/icon", TYPE_REFERENCE, 0x01010002},
        {"icon", "@android:icon", TYPE_REFERENCE, 0x01010002},
        {"icon", "@android:mipmap/sym_def_app_icon", TYPE_REFERENCE, 0x010d0000},
        {"icon", "@android:sym_def_app_icon", TYPE_REFERENCE, 0x01080093},
        {"name", "@string/app_name", STRING, 0},
        /* meta-data value: every typed form it allows */
        {"value", "1.5", TYPE_FLOAT, 0x3FC00000},
        {"value", "-.5", TYPE_FLOAT, 0xBF000000},
        {"value", "1.", TYPE_FLOAT, 0x3F800000},
        {"value", "42", TYPE_INT_DEC, 42},
        {"value", "+1.5", STRING, 0},
        {"value", "1e3", STRING, 0},
        {"value", ".", STRING, 0},
        {"value", "-.", STRING, 0},
        {"value", "true", TYPE_INT_BOOLEAN, 0xFFFFFFFF},
        {"value", "@string/app_name", STRING, 0},
        {"value", "#FF0000", TYPE_INT_COLOR_RGB8, 0xFFFF0000},
        {"value", "#F00", TYPE_INT_COLOR_RGB4, 0xFFFF0000},
        {"value", "#8F00", TYPE_INT_COLOR_ARGB4, 0x88FF0000},
        {"value", "#80FF0000", TYPE_INT_COLOR_ARGB8, 0x80FF0000},
        {"value", "#abc", TYPE_INT_COLOR_RGB4, 0xFFAABBCC},
        {"value", "#FF000", STRING, 0},
        {"value", "#+FFF", STRING, 0},
        {"value", "# F00", STRING, 0},
        {"value", "#0xF00", STRING, 0},
        {"value", "#", STRING, 0},
        {"maxAspectRatio", "2", TYPE_FLOAT, 0x40000000},
        /* formats declared outside the manifest's own definitions */
        {"enabled", "false", TYPE_INT_BOOLEAN, 0},
        {"use32bitAbi", "true", TYPE_INT_BOOLEAN, 0xFFFFFFFF},
        {"keepScreenOn", "true", TYPE_INT_BOOLEAN, 0xFFFFFFFF},
        {"windowSoftInputMode", "adjustResize|stateHidden", TYPE_INT_HEX, 0x12},
        {"gravity", "top|end", TYPE_INT_HEX, 0x800035},
        /* dimensions and fractions in the packager's complex encoding */
        {"minWidth", "320dp", TYPE_DIMENSION, 0x00014001},
        {"defaultWidth", "600dp", TYPE_DIMENSION, 0x00025801},
        {"defaultHeight", "50%", TYPE_FRACTION, 0x40000030},
        {"defaultHeight", "25%p", TYPE_FRACTION, 0x20000031},
        {"defaultWidth", "500dip", TYPE_DIMENSION, 0x0001F401},
        {"minHeight", "1.5px", TYPE_DIMENSION, 0x00C00020},
        {"minHeight", "0.5sp", TYPE_DIMENSION, 0x40000032},
        {"minHeight", "-2pt", TYPE_DIMENSION, 0xFFFFFE03},
        {"minHeight", "3in", TYPE_DIMENSION, 0x00000304},
        {"minHeight", "100.25mm", TYPE_DIMENSION, 0x32200025},
        {"minHeight", "50%", STRING, 0},
        {"minHeight", "320", STRING, 0},
        {"minHeight", "320 dp", STRING, 0},
        {"minHeight", "320DP", STRING, 0},
        {"minHeight", "1e3dp", STRING, 0},
        /* names outside the table */
        {"theme", "#FFF", STRING, 0},
        {"package", "true", STRING, 0},
        {"package", "42", STRING, 0},
        {"package", "#FFF", STRING, 0},
        {"package", "@android:style/Theme", STRING, 0},
    };
    for (const Case &c : cases) {
        uint8_t type = 0;
        uint32_t data = 0;
        int stays_string = classify_attribute_value(c.name, c.value, &type, &data);
        SCOPED_TRACE(std::string(c.name) + "=" + c.value);
        EXPECT_EQ(stays_string, c.type == STRING ? 1 : 0);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(data, c.data);
    }
}

TEST_F(AttributeTypesTest, UnknownReferencesWarnOnEveryClassificationAndStayStrings)
{
    struct Warned {
        const char *name;
        const char *value;
        const char *warning;
    } cases[] = {
        {"label", "@string/other", "WARNING: Unknown resource name '@string/other' in XML file"},
        {"theme", "@android:style/No.Such.Theme", "WARNING: Unknown resource name 'No.Such.Theme' in XML file"},
        {"icon", "@android:layout/icon", "WARNING: Unknown resource name 'icon' in XML file"},
    };
    warnings();
    for (const Warned &c : cases) {
        for (int round = 0; round < 2; round++) {
            uint8_t type = 0;
            uint32_t data = 0;
            EXPECT_EQ(classify_attribute_value(c.name, c.value, &type, &data), 1);
            EXPECT_EQ(type, TYPE_STRING);
            EXPECT_EQ(warnings(), std::vector<std::string>{c.warning});
        }
    }
    /* Known references and non-reference values warn about nothing. */
    uint8_t type = 0;
    uint32_t data = 0;
    classify_attribute_value("label", "@string/app_name", &type, &data);
    classify_attribute_value("name", "@string/other", &type, &data);
    EXPECT_TRUE(warnings().empty());
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
