#include <gtest/gtest.h>

#include "engine/text_escape.h"

#include <SDL.h>

#include <ostream>
#include <string>

namespace {

struct EscapeCase {
    const char *name;
    char *(*escape)(const char *);
    const char *in;
    const char *out;
};

void PrintTo(const EscapeCase &c, std::ostream *os) { *os << c.name; }

class TextEscapeTest : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(TextEscapeTest, GivesTheExpectedText)
{
    const EscapeCase &c = GetParam();
    char *out = c.escape(c.in);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(std::string(out), std::string(c.out));
    SDL_free(out);
}

#define FFFD "\xEF\xBF\xBD" /* the replacement character */

const EscapeCase escape_cases[] = {
    {"url_unreserved_kept", url_escape, "Az09-._~", "Az09-._~"},
    {"url_slash_space_utf8", url_escape, "a/b c\xC3\xA9", "a%2Fb%20c%C3%A9"},
    {"href_keeps_slash", href_encode, "/dir/a b#?", "/dir/a%20b%23%3F"},
    {"html_all_five", html_escape, "<a href=\"x\">'&'</a>",
     "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;"},
    {"xml_leaves_quotes", xml_text_escape, "Tom & Jerry <3 \"'", "Tom &amp; Jerry &lt;3 \"'"},
    {"xml_attribute_quotes", xml_attribute_escape, "a<b>'c\" & d",
     "a&lt;b&gt;&apos;c&quot; &amp; d"},
    /* What no XML reader accepts: control bytes go (tab and newline stay),
     * each ill-formed UTF-8 sequence becomes one U+FFFD, as do U+FFFE and
     * U+FFFF; well-formed characters of every length pass unchanged. */
    {"xml_controls_dropped", xml_text_escape, "a\x01\x1b[2J\tb\nc\rd\x7f", "a[2J\tb\ncd"},
    {"xml_valid_utf8_kept", xml_text_escape, "\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80\xEF\xBF\xBD",
     "\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80\xEF\xBF\xBD"},
    {"xml_stray_bytes", xml_text_escape, "a\xFF" "b\x80" "c\xC0\xAF",
     "a" FFFD "b" FFFD "c" FFFD FFFD},
    {"xml_truncated_sequences", xml_text_escape, "\xE6\x97x\xF0\x9F\x98", FFFD "x" FFFD},
    {"xml_surrogate_and_overlong", xml_text_escape, "\xED\xA0\x80\xE0\x80\xAF",
     FFFD FFFD FFFD FFFD FFFD FFFD},
    {"xml_past_10ffff", xml_text_escape, "\xF4\x90\x80\x80z", FFFD FFFD FFFD FFFD "z"},
    {"xml_noncharacters_fffe_ffff", xml_attribute_escape, "\xEF\xBF\xBE\xEF\xBF\xBF&",
     FFFD FFFD "&amp;"},
    {"js_quotes_and_controls", js_string_escape, "it's\\\n\r\t\x01", "it\\'s\\\\\\n\\r\\t\\x01"},
    {"js_line_separators", js_string_escape, "a\xE2\x80\xA8" "b\xE2\x80\xA9", "a\\u2028b\\u2029"},
    {"js_other_utf8_kept", js_string_escape, "\xE2\x80\xA7\xC3\xA9", "\xE2\x80\xA7\xC3\xA9"},
    {"json_quotes_and_controls", json_string_escape, "\"\\\n\r\t\b\f\x1F",
     "\\\"\\\\\\n\\r\\t\\b\\f\\u001F"},
    {"json_apostrophe_kept", json_string_escape, "it's", "it's"},
    {"empty", html_escape, "", ""},
};

INSTANTIATE_TEST_SUITE_P(Cases, TextEscapeTest, ::testing::ValuesIn(escape_cases),
                         [](const ::testing::TestParamInfo<EscapeCase> &info) {
                             return std::string(info.param.name);
                         });

TEST(TextEscape, UrlEscapeOfNullIsNull)
{
    EXPECT_EQ(url_escape(nullptr), nullptr);
}

} // namespace

#include "test_support.h"

#include <random>

namespace {

class XmlEscapeReaderTest : public FsTest {};

/* Random bytes, heavy on the ones that break XML: controls, stray and
 * truncated UTF-8, surrogates, U+FFFE/U+FFFF and markup characters. Python's
 * expat must read every escaped value back as the text the bytes decode to
 * with each ill-formed sequence replaced (Python's own "replace" rule), the
 * two non-characters replaced and the controls gone. */
TEST_F(XmlEscapeReaderTest, ExpatReadsHostileBytesBackAsTheMendedText)
{
    static const unsigned char pool[] = {
        0x01, 0x09, 0x0A, 0x0D, 0x1B, 0x7F, 0x80, 0xBF, 0xC0, 0xC3, 0xA9, 0xE0,
        0xED, 0xA0, 0xEF, 0xBE, 0xF0, 0x9F, 0xF4, 0x90, 0xFF, '&',  '<',  '>',
        '"',  '\'', 'a',  ' ',  ']',  0xE6, 0x97, 0xA5, 0x98, 0x80, 0xBD, 0xF5,
    };
    std::mt19937 gen(20261210);
    std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<r>\n", samples;
    for (int i = 0; i < 300; i++) {
        std::string s(gen() % 24, '\0');
        for (auto &c : s)
            c = (char)pool[gen() % sizeof pool];
        static const char hex[] = "0123456789abcdef";
        for (unsigned char c : s)
            samples += {hex[c >> 4], hex[c & 15]};
        samples += "\n";
        char *attr = xml_attribute_escape(s.c_str());
        char *text = xml_text_escape(s.c_str());
        ASSERT_NE(attr, nullptr);
        ASSERT_NE(text, nullptr);
        doc += std::string("<v a=\"") + attr + "\" b='" + attr + "'>" + text + "</v>\n";
        SDL_free(attr);
        SDL_free(text);
    }
    doc += "</r>\n";
    write_native("doc.xml", doc);
    write_native("samples.txt", samples);
    std::string out;
    int status = run_command(
        "timeout 60 /usr/bin/python3 -c '\n"
        "import sys, xml.etree.ElementTree as ET\n"
        "def mend(b):\n"
        "    t = b.decode(\"utf-8\", \"replace\").replace(\"\\ufffe\", \"\\ufffd\")\n"
        "    t = t.replace(\"\\uffff\", \"\\ufffd\")\n"
        "    return \"\".join(c for c in t\n"
        "                   if c in \"\\t\\n\" or not (c < \" \" or c == \"\\x7f\"))\n"
        "samples = [bytes.fromhex(l) for l in open(sys.argv[2]).read().split(\"\\n\")[:-1]]\n"
        "vs = ET.parse(sys.argv[1]).getroot().findall(\"v\")\n"
        "assert len(vs) == len(samples), len(vs)\n"
        /* a reader turns tab and newline in an attribute into spaces */
        "def spaced(t):\n"
        "    return t.replace(\"\\t\", \" \").replace(\"\\n\", \" \")\n"
        "bad = [s.hex() for s, v in zip(samples, vs) if (v.text or \"\") != mend(s) or\n"
        "       not (v.get(\"a\") == v.get(\"b\") == spaced(mend(s)))]\n"
        "print(len(samples), \"bad\", bad[:3])\n"
        "' \"" + root + "/doc.xml\" \"" + root + "/samples.txt\"",
        &out);
    ASSERT_EQ(status, 0) << out;
    EXPECT_EQ(out, "300 bad []\n");
}

} // namespace
