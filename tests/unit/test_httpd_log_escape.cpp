#include "engine/text_escape.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <string>

TEST(HttpdLogEscape, ControlBytesAndInvalidUtf8AreWrittenAsHex)
{
    struct Case {
        const char *name;
        std::string in;
        std::string out;
    } cases[] = {
        {"plain", "/docs/a%20b.txt?x=1", "/docs/a%20b.txt?x=1"},
        {"escape sequence", "/\x1b[2J", "/\\x1b[2J"},
        {"bare CR and LF", "/a\rb\nc\t", "/a\\x0db\\x0ac\\x09"},
        {"DEL", "/\x7f", "/\\x7f"},
        {"valid UTF-8 kept", "/caf\xc3\xa9/\xe2\x82\xac/\xf0\x9f\x98\x80", "/caf\xc3\xa9/\xe2\x82\xac/\xf0\x9f\x98\x80"},
        {"C1 control (CSI)", "/\xc2\x9b" "2J", "/\\xc2\\x9b2J"},
        {"lone continuation", "/\x80x", "/\\x80x"},
        {"truncated sequence", "/\xe2\x82", "/\\xe2\\x82"},
        {"overlong slash", "/\xc0\xaf", "/\\xc0\\xaf"},
        {"surrogate", "/\xed\xa0\x80", "/\\xed\\xa0\\x80"},
        {"past U+10FFFF", "/\xf4\x90\x80\x80", "/\\xf4\\x90\\x80\\x80"},
        {"invalid lead", "/\xff\xfe", "/\\xff\\xfe"},
        {"empty", "", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        char *out = log_escape_text(c.in.c_str());
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(std::string(out), c.out);
        SDL_free(out);
    }
    EXPECT_EQ(log_escape_text(NULL), nullptr);
}
