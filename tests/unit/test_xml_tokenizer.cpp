#include "engine/xml_tokenizer.h"

#include <gtest/gtest.h>

#include <stdio.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

std::string escaped(const char *s)
{
    std::string out;
    for (; *s; s++) {
        unsigned char c = (unsigned char)*s;
        if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c >= 0x80) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += (char)c;
        }
    }
    return out;
}

std::string describe(const XmlTokenizer &t, XmlToken token)
{
    switch (token) {
    case XML_TOKEN_ELEMENT_START: return "S:" + std::string(t.element_name);
    case XML_TOKEN_CONTENT: return "C:" + escaped(t.token_data);
    case XML_TOKEN_ELEMENT_END: return "E";
    case XML_TOKEN_ATTRIBUTE_START: return "AS:" + std::string(t.attribute_name);
    case XML_TOKEN_ATTRIBUTE_VALUE: return "AV:" + escaped(t.token_data);
    case XML_TOKEN_ATTRIBUTE_END: return "AE";
    case XML_TOKEN_PI_START: return "PS:" + std::string(t.pi_target);
    case XML_TOKEN_PI_CONTENT: return "PC:" + escaped(t.token_data);
    case XML_TOKEN_PI_END: return "PE";
    default: return "ERR" + std::to_string(token) + "@" + std::to_string(t.byte_count);
    }
}

struct TokenRun {
    std::string trace;     /* tokens separated by spaces, then the error if any */
    bool complete = false; /* xml_tokenizer_eof said 0 */
    bool quiet_after_error = true;
};

/* Feeds the whole input; after an error it goes on feeding the rest and
 * checks that nothing but the same error comes back. */
TokenRun tokenize(const std::string &input, size_t stack_size = 8192)
{
    std::vector<char> stack(stack_size + 1, 'X');
    XmlTokenizer t;
    xml_tokenizer_init(&t, stack.data(), stack_size);
    TokenRun run;
    XmlToken error = 0;
    for (unsigned char c : input) {
        XmlToken token = xml_tokenizer_step(&t, c);
        if (error != 0) {
            run.quiet_after_error &= token == error;
            continue;
        }
        if (token == XML_TOKEN_NONE)
            continue;
        if (!run.trace.empty())
            run.trace += ' ';
        run.trace += describe(t, token);
        if (token < 0)
            error = token;
    }
    if (error != 0)
        run.quiet_after_error &= xml_tokenizer_step(&t, '<') == error;
    /* The byte past the caller's size must never be written. */
    EXPECT_EQ(stack[stack_size], 'X') << input;
    run.complete = xml_tokenizer_eof(&t) == 0;
    return run;
}

struct Case {
    const char *name;
    std::string input;
    const char *trace;
    bool complete;
};

/* Names the case in test listings instead of dumping its bytes. */
void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

std::string s(const char *text, size_t len) { return std::string(text, len); }

const Case CASES[] = {
    /* elements and end tags */
    {"empty element", "<a/>", "S:a E", true},
    {"end tag differs", "<a></b>", "S:a ERR-3@6", false},
    {"end tag too short", "<ab></a>", "S:ab ERR-3@8", false},
    {"end tag too long", "<a></ab>", "S:a ERR-3@7", false},
    {"end tag case differs", "<a></A>", "S:a ERR-3@6", false},
    {"end tag empty", "<a></>", "S:a ERR-3@6", false},
    {"space before end tag name", "<a></ a>", "S:a ERR-3@6", false},
    {"space after end tag name", "<a></a >", "S:a E", true},
    {"nested with space in end tag", "<a><b></b ></a>", "S:a S:b E E", true},
    {"junk after end tag name", "<a></a x>", "S:a E ERR-1@8", false},
    {"space before element name", "< a/>", "ERR-1@2", false},
    {"slash not followed by >", "<a/ >", "S:a ERR-1@4", false},
    {"name with all classes", "<_:a-b.9\xC3\xA9/>", "S:_:a-b.9\xC3\xA9 E", true},
    {"name starting with digit", "<9/>", "ERR-1@2", false},
    /* attributes */
    {"two attributes", "<a x='1' y=\"22\"/>", "S:a AS:x AV:1 AE AS:y AV:2 AV:2 AE E", true},
    {"attribute start at space", "<a x = '1'>", "S:a AS:x AV:1 AE", false},
    {"attributes without separator", "<a x='1'y='2'/>", "S:a AS:x AV:1 AE ERR-1@9", false},
    {"attribute without value", "<a x/>", "S:a ERR-1@5", false},
    {"attribute unquoted", "<a x=1/>", "S:a AS:x ERR-1@6", false},
    {"empty attribute value", "<a x=''/>", "S:a AS:x AE E", true},
    {"other quote inside value", "<a x='\"' y=\"'\"/>", "S:a AS:x AV:\" AE AS:y AV:' AE E", true},
    {"tab and line breaks as spaces", "<a x='\t\r\n\r\n'/>", "S:a AS:x AV:  AV:  AV:  AE E", true},
    {"reference line feed in value", "<a x='&#10;'/>", "S:a AS:x AV:\\n AE E", true},
    {"less-than in value", "<a x='<'/>", "S:a AS:x ERR-1@7", false},
    {"repeated attribute", "<a x='1' x='2'/>", "S:a AS:x AV:1 AE AS:x AV:2 AE E", true},
    /* references */
    {"predefined entities", "<r>&lt;&gt;&amp;&apos;&quot;</r>", "S:r C:< C:> C:& C:' C:\" E", true},
    {"decimal and hex", "<r>&#65;&#x41;&#xe9;&#x20AC;</r>",
     "S:r C:A C:A C:\\xC3\\xA9 C:\\xE2\\x82\\xAC E", true},
    {"four-byte code point", "<r>&#x10000;</r>", "S:r C:\\xF0\\x90\\x80\\x80 E", true},
    {"largest decimal", "<r>&#999999;</r>", "S:r C:\\xF3\\xB4\\x88\\xBF E", true},
    {"reference too long", "<r>&#x10FFFF;</r>", "S:r ERR-4@12", false},
    {"surrogate", "<r>&#xD800;</r>", "S:r ERR-4@11", false},
    {"zero", "<r>&#0;</r>", "S:r ERR-4@7", false},
    {"noncharacter", "<r>&#xFFFE;</r>", "S:r ERR-4@11", false},
    {"upper-case X", "<r>&#X41;</r>", "S:r ERR-4@9", false},
    {"unknown entity", "<r>&nbsp;</r>", "S:r ERR-4@9", false},
    {"entity case differs", "<r>&LT;</r>", "S:r ERR-4@7", false},
    {"hash alone", "<r>&#;</r>", "S:r ERR-4@6", false},
    {"hash x alone", "<r>&#x;</r>", "S:r ERR-4@7", false},
    {"empty reference", "<r>&;</r>", "S:r ERR-4@5", false},
    {"trailing letters", "<r>&#65a;</r>", "S:r ERR-4@9", false},
    {"dash in reference", "<r>&a-b;</r>", "S:r ERR-1@6", false},
    {"unterminated reference", "<r>&amp</r>", "S:r ERR-1@8", false},
    /* XML declaration */
    {"declaration", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><r/>", "S:r E", true},
    {"declaration all fields", "<?xml  version = '1.10'  encoding='utf_8.x-1' standalone=\"yes\" ?>\n<r/>",
     "S:r E", true},
    {"declaration standalone no", "<?xml version='1.0' standalone='no'?><r/>", "S:r E", true},
    {"declaration after space", " \n<?xml version='1.0'?><r/>", "S:r E", true},
    {"declaration after BOM", "\xEF\xBB\xBF<?xml version='1.0'?><r/>", "S:r E", true},
    {"BOM without declaration", "\xEF\xBB\xBF<r/>", "S:r E", true},
    {"BOM cut short", "\xEF\xBB<r/>", "ERR-1@3", false},
    {"version 2.0", "<?xml version='2.0'?><r/>", "ERR-1@16", false},
    {"version without digits", "<?xml version='1.'?>", "ERR-1@18", false},
    {"version quotes differ", "<?xml version='1.0\"?>", "ERR-1@19", false},
    {"version missing", "<?xml encoding='UTF-8'?>", "ERR-1@7", false},
    {"version keyword case", "<?xml Version='1.0'?>", "ERR-1@7", false},
    {"encoding after standalone", "<?xml version='1.0' standalone='no' encoding='x'?>", "ERR-1@37", false},
    {"fields without space", "<?xml version='1.0'encoding='x'?>", "ERR-1@20", false},
    {"encoding starts with dash", "<?xml version='1.0' encoding='-x'?>", "ERR-1@31", false},
    {"standalone maybe", "<?xml version='1.0' standalone='maybe'?>", "ERR-1@33", false},
    {"declaration without fields", "<?xml?><r/>", "ERR-1@6", false},
    {"declaration upper case", "<?XML version='1.0'?>", "ERR-1@6", false},
    {"declaration after comment", "<!--c--><?xml version='1.0'?><r/>", "ERR-1@14", false},
    {"declaration after root", "<r/><?xml version='1.0'?>", "S:r E ERR-1@10", false},
    {"xml then other byte", "<?xml>", "ERR-1@6", false},
    {"declaration end needs >", "<?xml version='1.0'?x", "ERR-1@21", false},
    /* processing instructions */
    {"pi with xml prefix", "<?xml-stylesheet a?><r/>", "PS:xml-stylesheet PC:a PE S:r E", true},
    {"pi held question marks", "<r><?t a?" "?></r>", "S:r PS:t PC:a PC:? PE E", true},
    {"pi question then byte", "<r><?t a?b?></r>", "S:r PS:t PC:a PC:?b PE E", true},
    {"pi content keeps spaces", "<r><?t  a ?></r>", "S:r PS:t PC:  PC:a PC:  PE E", true},
    {"pi without content", "<r><?t?></r>", "S:r PS:t PE E", true},
    {"pi with space only", "<r><?t ?></r>", "S:r PS:t PE E", true},
    {"pi target then ? needs >", "<r><?t?x", "S:r PS:t ERR-1@8", false},
    {"pi target xml in content", "<r><?XmL a?></r>", "S:r ERR-1@9", false},
    {"pi target xmlish", "<r><?xmlfoo?></r>", "S:r PS:xmlfoo PE E", true},
    {"pi bad target", "<r><? t?></r>", "S:r ERR-1@6", false},
    {"pi after root", "<r/><?t x?>", "S:r E PS:t PC:x PE", true},
    /* comments */
    {"comment in content", "<r>a<!-- <x> - -->b</r>", "S:r C:a C:b E", true},
    {"empty comment", "<r><!----></r>", "S:r E", true},
    {"double dash in comment", "<r><!-- a -- b --></r>", "S:r ERR-1@13", false},
    {"comment ending --->", "<r><!-- a ---></r>", "S:r ERR-1@13", false},
    {"single dash comment", "<r><!-x--></r>", "S:r ERR-1@7", false},
    {"dashes in content", "<r>--</r>", "S:r C:- C:- E", true},
    {"comments around root", "<!--a--><r/><!--b-->", "S:r E", true},
    /* CDATA */
    {"cdata", "<r><![CDATA[<&>]]></r>", "S:r C:< C:& C:> E", true},
    {"cdata held bracket", "<r><![CDATA[x]]]></r>", "S:r C:x C:] E", true},
    {"cdata many brackets", "<r><![CDATA[]]]]></r>", "S:r C:] C:] E", true},
    {"cdata brackets then byte", "<r><![CDATA[]]x]]></r>", "S:r C:]]x E", true},
    {"cdata bracket then byte", "<r><![CDATA[a]b]]></r>", "S:r C:a C:]b E", true},
    {"cdata keyword case", "<r><![cdata[x]]></r>", "S:r ERR-1@7", false},
    {"cdata in prolog", "<![CDATA[x]]><r/>", "ERR-1@3", false},
    {"cdata end in content", "<r>]]></r>", "S:r C:] C:] C:> E", true},
    /* line ends */
    {"CR LF in content", "<r>\r\n</r>", "S:r C:\\n E", true},
    {"lone CR in content", "<r>\rx</r>", "S:r C:\\n C:x E", true},
    {"CR CR LF", "<r>\r\r\n</r>", "S:r C:\\n C:\\n E", true},
    {"LF CR", "<r>\n\r</r>", "S:r C:\\n C:\\n E", true},
    /* document type declaration */
    {"doctype with subset",
     "<!DOCTYPE r [ <!ENTITY e 'a>b'> <!-- > --> <?p x?> <!ATTLIST r a CDATA \">\"> ]><r/>",
     "PS:p PC:x PE S:r E", true},
    {"doctype quoted >", "<!DOCTYPE r SYSTEM \"a>b\"><r/>", "S:r E", true},
    {"two doctypes", "<!DOCTYPE r><!DOCTYPE s><r/>", "S:r E", true},
    {"doctype lower case", "<!doctype r><r/>", "ERR-1@3", false},
    {"element inside doctype", "<!DOCTYPE r [ <x> ]><r/>", "ERR-1@16", false},
    {"doctype after root", "<r/><!DOCTYPE r>", "S:r E ERR-1@7", false},
    /* one root */
    {"text after root", "<r/>x", "S:r E ERR-1@5", false},
    {"second root", "<r/><s/>", "S:r E ERR-1@6", false},
    {"text before root", "x<r/>", "ERR-1@1", false},
    {"misc after root", "<r/> <!-- c --> <?p?>\n", "S:r E PS:p PE", true},
    {"empty input", "", "", false},
    {"open root", "<r>", "S:r", false},
    {"unterminated comment after root", "<r/><!-- c", "S:r E", false},
    /* NUL bytes are not counted */
    {"NUL in content", s("<r>\0</r>", 8), "S:r ERR-1@3", false},
    {"NUL first", s("\0<r/>", 5), "ERR-1@0", false},
    {"NUL in attribute value", s("<r x='\0'/>", 10), "S:r AS:x ERR-1@6", false},
};

class TokenizerTable : public ::testing::TestWithParam<Case> {};

TEST_P(TokenizerTable, Trace)
{
    const Case &c = GetParam();
    TokenRun run = tokenize(c.input);
    EXPECT_EQ(run.trace, c.trace);
    EXPECT_EQ(run.complete, c.complete);
    EXPECT_TRUE(run.quiet_after_error);
}

std::string case_name(const ::testing::TestParamInfo<Case> &info)
{
    std::string name;
    for (const char *p = info.param.name; *p; p++)
        name += isalnum((unsigned char)*p) ? *p : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Xml, TokenizerTable, ::testing::ValuesIn(CASES), case_name);

/* A 16-byte stack: the leading zero, 14 name bytes and their terminator. */
TEST(XmlTokenizer, StackLimit)
{
    EXPECT_EQ(tokenize("<abcdefghijklmn/>", 16).trace, "S:abcdefghijklmn E");
    EXPECT_EQ(tokenize("<abcdefghijklmno/>", 16).trace, "ERR-2@16");
    /* Each open element takes two bytes: seven fit, the eighth does not. */
    EXPECT_TRUE(tokenize("<a><b><c><d><e><f><g></g></f></e></d></c></b></a>", 16).complete);
    EXPECT_EQ(tokenize("<a><b><c><d><e><f><g><h>", 16).trace, "S:a S:b S:c S:d S:e S:f S:g ERR-2@23");
    /* Attribute names and targets sit on top of the open elements. */
    EXPECT_EQ(tokenize("<abcdefghijklm x='1'/>", 16).trace, "S:abcdefghijklm ERR-2@16");
    EXPECT_EQ(tokenize("<abcdefghij xy='1'/>", 16).trace, "S:abcdefghij AS:xy AV:1 AE E");
    EXPECT_EQ(tokenize("<abcdefghijkl><?pq?>", 16).trace, "S:abcdefghijkl ERR-2@18");
    /* Closing frees the space again. */
    EXPECT_TRUE(tokenize("<abcdefghijk><bc></bc><de/></abcdefghijk>", 16).complete);
    EXPECT_EQ(tokenize("<a/>", 0).trace, "ERR-2@2");
    EXPECT_EQ(tokenize("<a/>", 1).trace, "ERR-2@2");
    EXPECT_EQ(tokenize("<a/>", 3).trace, "S:a E");
}

TEST(XmlTokenizer, EveryNameLengthAgainstStack)
{
    /* Walk the limit for several stack sizes: the longest root name that
     * fits is size - 2 bytes. */
    for (size_t size = 3; size < 40; size++) {
        std::string fits = "<" + std::string(size - 2, 'n') + "/>";
        std::string too_long = "<" + std::string(size - 1, 'n') + "/>";
        EXPECT_TRUE(tokenize(fits, size).complete) << size;
        EXPECT_EQ(tokenize(too_long, size).trace, "ERR-2@" + std::to_string(size)) << size;
    }
}

struct Position {
    XmlToken token;
    uint32_t line;
    uint64_t column;
    uint64_t byte_count;
};

std::vector<Position> positions(const std::string &input)
{
    char stack[64];
    XmlTokenizer t;
    xml_tokenizer_init(&t, stack, sizeof stack);
    std::vector<Position> out;
    for (unsigned char c : input) {
        XmlToken token = xml_tokenizer_step(&t, c);
        if (token != XML_TOKEN_NONE)
            out.push_back({token, t.line, t.column, t.byte_count});
        if (token < 0)
            break;
    }
    return out;
}

TEST(XmlTokenizer, TokenPositions)
{
    std::vector<Position> p = positions("<a/>");
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0].token, XML_TOKEN_ELEMENT_START);
    EXPECT_EQ(p[0].column, 3u);
    EXPECT_EQ(p[1].token, XML_TOKEN_ELEMENT_END);
    EXPECT_EQ(p[1].column, 4u);

    /* Attribute start at '=', value at its byte, end at the closing quote. */
    p = positions("<a x='1'/>");
    ASSERT_EQ(p.size(), 5u);
    EXPECT_EQ(p[1].token, XML_TOKEN_ATTRIBUTE_START);
    EXPECT_EQ(p[1].column, 5u);
    EXPECT_EQ(p[2].column, 7u);
    EXPECT_EQ(p[3].token, XML_TOKEN_ATTRIBUTE_END);
    EXPECT_EQ(p[3].column, 8u);
}

TEST(XmlTokenizer, LineEndsAndColumns)
{
    /* The line break byte is column 1 of the new line, the next byte 2;
     * the LF of a CR LF pair is counted as a byte and nothing else. */
    for (const char *input : {"<r>\r\nx</r>", "<r>\rx</r>", "<r>\nx</r>"}) {
        std::vector<Position> p = positions(input);
        ASSERT_EQ(p.size(), 4u) << input;
        EXPECT_EQ(p[1].line, 2u) << input;
        EXPECT_EQ(p[1].column, 1u) << input;
        EXPECT_EQ(p[2].line, 2u) << input;
        EXPECT_EQ(p[2].column, 2u) << input;
        EXPECT_EQ(p[2].byte_count, strlen(input) - 4) << input;
    }
    std::vector<Position> p = positions("<r>\r\n\r\n</b>");
    ASSERT_EQ(p.size(), 4u);
    EXPECT_EQ(p[3].token, XML_ERROR_CLOSE);
    EXPECT_EQ(p[3].line, 3u);
    EXPECT_EQ(p[3].column, 4u);
    EXPECT_EQ(p[3].byte_count, 10u);
}

TEST(XmlTokenizer, InitialState)
{
    char stack[8] = {'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
    XmlTokenizer t;
    xml_tokenizer_init(&t, stack, sizeof stack);
    EXPECT_EQ(t.line, 1u);
    EXPECT_EQ(t.column, 0u);
    EXPECT_EQ(t.byte_count, 0u);
    EXPECT_EQ(t.stack_len, 0u);
    EXPECT_EQ(stack[0], 0);
    EXPECT_EQ(t.element_name, stack);
    EXPECT_EQ(t.attribute_name, stack);
    EXPECT_EQ(t.pi_target, stack);
    EXPECT_EQ(xml_tokenizer_eof(&t), XML_ERROR_EOF);
}

TEST(XmlTokenizer, StackHoldsOpenNames)
{
    char stack[32];
    XmlTokenizer t;
    xml_tokenizer_init(&t, stack, sizeof stack);
    for (unsigned char c : std::string("<ab><c x"))
        xml_tokenizer_step(&t, c);
    EXPECT_EQ(std::string(stack, t.stack_len + 1), std::string("\0ab\0c\0x\0", 8));
    EXPECT_STREQ(t.element_name, "c");
    for (unsigned char c : std::string("='1'></c>"))
        xml_tokenizer_step(&t, c);
    EXPECT_EQ(t.stack_len, 3u);
    EXPECT_STREQ(t.element_name, "ab");
}

TEST(XmlTokenizer, ErrorIsFinal)
{
    char stack[32];
    XmlTokenizer t;
    xml_tokenizer_init(&t, stack, sizeof stack);
    for (unsigned char c : std::string("<r/>"))
        xml_tokenizer_step(&t, c);
    EXPECT_EQ(xml_tokenizer_eof(&t), 0);
    EXPECT_EQ(xml_tokenizer_step(&t, 'x'), XML_ERROR_SYNTAX);
    uint64_t count = t.byte_count;
    EXPECT_EQ(xml_tokenizer_step(&t, ' '), XML_ERROR_SYNTAX);
    EXPECT_EQ(t.byte_count, count);
    /* A finished document spoilt by a bad byte is no longer complete. */
    EXPECT_EQ(xml_tokenizer_eof(&t), XML_ERROR_EOF);
}

} // namespace
