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

const EscapeCase escape_cases[] = {
    {"url_unreserved_kept", url_escape, "Az09-._~", "Az09-._~"},
    {"url_slash_space_utf8", url_escape, "a/b c\xC3\xA9", "a%2Fb%20c%C3%A9"},
    {"href_keeps_slash", href_encode, "/dir/a b#?", "/dir/a%20b%23%3F"},
    {"html_all_five", html_escape, "<a href=\"x\">'&'</a>",
     "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;"},
    {"xml_leaves_quotes", xml_text_escape, "Tom & Jerry <3 \"'", "Tom &amp; Jerry &lt;3 \"'"},
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
