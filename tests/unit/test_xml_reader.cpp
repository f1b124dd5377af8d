#include "engine/xml_reader.h"

#include <gtest/gtest.h>

#include <string.h>

#include <ostream>
#include <string>

namespace {

/* Builds a trace of the callbacks: "S:a A:x=1 T:hi P:target=content E
 * END:1". cancel_at names the callback ("B", "S", "A", "T", "P", "E") that
 * returns 0. */
struct Recorder {
    std::string trace;
    std::string cancel_at;
    bool with_positions = false;
    int ends = 0;
};

Recorder *rec(XmlReader *r) { return static_cast<Recorder *>(r->user); }

int record(XmlReader *r, const std::string &kind, const std::string &what)
{
    Recorder *R = rec(r);
    if (!R->trace.empty())
        R->trace += ' ';
    R->trace += kind;
    if (!what.empty())
        R->trace += ":" + what;
    if (R->with_positions)
        R->trace += "@" + std::to_string(r->line) + "." + std::to_string(r->column);
    return R->cancel_at == kind ? 0 : 1;
}

std::string text_of(XmlReader *r) { return std::string(r->text, (size_t)r->text_len); }
std::string name_of(XmlReader *r) { return std::string(r->name, (size_t)r->name_len); }

int on_begin(XmlReader *r)
{
    EXPECT_EQ(r->status, 0);
    return record(r, "B", "");
}

int on_element_start(XmlReader *r)
{
    EXPECT_EQ(r->name, nullptr);
    EXPECT_EQ((size_t)r->text_len, strlen(r->text));
    return record(r, "S", text_of(r));
}

int on_attribute(XmlReader *r) { return record(r, "A", name_of(r) + "=" + text_of(r)); }

int on_text(XmlReader *r)
{
    EXPECT_EQ(r->name, nullptr);
    EXPECT_EQ(r->name_len, 0);
    return record(r, "T", text_of(r));
}

int on_pi(XmlReader *r) { return record(r, "P", name_of(r) + "=" + text_of(r)); }

int on_element_end(XmlReader *r)
{
    EXPECT_EQ(r->text, nullptr);
    EXPECT_EQ(r->name, nullptr);
    return record(r, "E", "");
}

void on_end(XmlReader *r)
{
    rec(r)->ends++;
    record(r, "END", std::to_string(r->status));
}

XmlReader make_reader(Recorder *R)
{
    XmlReader r;
    memset(&r, 0, sizeof r);
    r.user = R;
    r.on_begin = on_begin;
    r.on_end = on_end;
    r.on_element_start = on_element_start;
    r.on_text = on_text;
    r.on_attribute = on_attribute;
    r.on_element_end = on_element_end;
    r.on_processing_instruction = on_pi;
    return r;
}

struct Case {
    const char *name;
    std::string doc;
    const char *trace; /* without the leading "B" */
    int status;
    const char *error;
    uint32_t line, column;
};

/* Names the case in test listings instead of dumping its bytes. */
void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

const char *const SYNTAX = "Syntax error (unexpected byte)";
const char *const CLOSE = "Close tag does not match open tag (<Tag> .. </OtherTag>)";
const char *const REFERENCE = "Invalid character or entity reference (&whatever;)";
const char *const INCOMPLETE = "XML document is incomplete or malformed";

std::string s(const char *text, size_t len) { return std::string(text, len); }

const Case CASES[] = {
    {"element attribute text", "<a x=\"1\">hi</a>", "S:a A:x=1 T:hi E END:1", 1, nullptr, 1, 15},
    {"text across comment cdata reference", "<a>x<!--c-->y<![CDATA[z]]>&amp;</a>",
     "S:a T:xyz& E END:1", 1, nullptr, 1, 35},
    {"references in value and text", "<a t='&lt;&#x41;&#66;&#xe9;'>&quot;&apos;&gt;</a>",
     "S:a A:t=<AB\xC3\xA9 T:\"'> E END:1", 1, nullptr, 1, 49},
    {"empty attribute value", "<a x=''/>", "S:a A:x= E END:1", 1, nullptr, 1, 9},
    {"empty values among others", "<a x=\"\" y='1' z=''/>", "S:a A:x= A:y=1 A:z= E END:1", 1,
     nullptr, 1, 20},
    {"several attributes", "<a x='1' y=\"two\" z='3'/>", "S:a A:x=1 A:y=two A:z=3 E END:1", 1, nullptr, 1, 24},
    {"nested elements", "<a><b>1</b><c/>2</a>", "S:a S:b T:1 E S:c E T:2 E END:1", 1, nullptr, 1, 20},
    {"CR and CR LF", "<a>x\r\ny\rz</a>", "S:a T:x\ny\nz E END:1", 1, nullptr, 3, 6},
    {"line breaks in value", "<a x='1\r\n2'/>", "S:a A:x=1 2 E END:1", 1, nullptr, 2, 5},
    {"mismatched end tag", "<a>hi</b>", "S:a END:-1", -1, CLOSE, 1, 8},
    {"mismatch after CR LF lines", "<a>\r\n\r\n</b>", "S:a END:-1", -1, CLOSE, 3, 4},
    {"second root", "<a/><b/>", "S:a E END:-1", -1, SYNTAX, 1, 6},
    {"text after root", "<a/>x", "S:a E END:-1", -1, SYNTAX, 1, 5},
    {"NUL byte", s("<a>\0</a>", 8), "S:a END:-1", -1, SYNTAX, 1, 3},
    {"bad reference", "<a>&nbsp;</a>", "S:a END:-1", -1, REFERENCE, 1, 9},
    {"incomplete", "<a>", "S:a END:-1", -1, INCOMPLETE, 1, 3},
    {"incomplete in text", "<a>hi", "S:a END:-1", -1, INCOMPLETE, 1, 5},
    {"empty", "", "END:-1", -1, INCOMPLETE, 0, 0},
    {"only white space", "  \n", "END:-1", -1, INCOMPLETE, 0, 0},
    {"pi with content", "<?p a b?><a/>", "P:p=a b S:a E END:1", 1, nullptr, 1, 13},
    {"pi content keeps spaces", "<a><?p  x ?></a>", "S:a P:p= x  E END:1", 1, nullptr, 1, 16},
    {"pi without content", "<?p?><a/>", "S:a E END:1", 1, nullptr, 1, 9},
    {"pi with space only", "<?p ?><a/>", "S:a E END:1", 1, nullptr, 1, 10},
    {"pi splits text", "<a>x<?p y?>z</a>", "S:a T:x P:p=y T:z E END:1", 1, nullptr, 1, 16},
    {"declaration and doctype", "<?xml version='1.0' encoding='utf-8'?>\n<!DOCTYPE a>\n<a/>\n",
     "S:a E END:1", 1, nullptr, 3, 5},
};

class ReaderTable : public ::testing::TestWithParam<Case> {};

TEST_P(ReaderTable, Trace)
{
    const Case &c = GetParam();
    Recorder R;
    XmlReader r = make_reader(&R);
    int result = xml_parse(c.doc.data(), c.doc.size(), &r);
    EXPECT_EQ(R.trace, std::string("B ") + c.trace);
    EXPECT_EQ(result, c.status == 1 ? 1 : 0);
    EXPECT_EQ(r.status, c.status);
    if (c.error)
        EXPECT_STREQ(r.error, c.error);
    else
        EXPECT_EQ(r.error, nullptr);
    EXPECT_EQ(r.line, c.line);
    EXPECT_EQ(r.column, c.column);
    EXPECT_EQ(R.ends, 1);
    EXPECT_EQ(r.text, nullptr);
    EXPECT_EQ(r.name, nullptr);
}

std::string case_name(const ::testing::TestParamInfo<Case> &info)
{
    std::string name;
    for (const char *p = info.param.name; *p; p++)
        name += isalnum((unsigned char)*p) ? *p : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Xml, ReaderTable, ::testing::ValuesIn(CASES), case_name);

struct CancelCase {
    const char *at;
    const char *trace;
};

TEST(XmlReader, CancelFromEachCallback)
{
    const std::string doc = "<?p c?><a x='1'>t</a>";
    const CancelCase cases[] = {
        {"B", "B END:-1"},
        {"P", "B P:p=c END:-1"},
        {"S", "B P:p=c S:a END:-1"},
        {"A", "B P:p=c S:a A:x=1 END:-1"},
        {"T", "B P:p=c S:a A:x=1 T:t END:-1"},
        {"E", "B P:p=c S:a A:x=1 T:t E END:-1"},
    };
    for (const CancelCase &c : cases) {
        Recorder R;
        R.cancel_at = c.at;
        XmlReader r = make_reader(&R);
        EXPECT_EQ(xml_parse(doc.data(), doc.size(), &r), 0) << c.at;
        EXPECT_EQ(R.trace, c.trace);
        EXPECT_EQ(r.status, -1);
        EXPECT_STREQ(r.error, "Cancelled");
        EXPECT_EQ(R.ends, 1);
    }
}

TEST(XmlReader, PositionsOfEvents)
{
    /* A value is reported where its run ended: an attribute at its closing
     * quote, text where the next markup token came, a PI at its '>'. */
    Recorder R;
    R.with_positions = true;
    XmlReader r = make_reader(&R);
    const std::string doc = "<a x='1'>\n hi<b/>\n<?p q?></a>";
    ASSERT_EQ(xml_parse(doc.data(), doc.size(), &r), 1);
    EXPECT_EQ(R.trace, "B@0.0 S:a@1.3 A:x=1@1.8 T:\n hi@2.7 S:b@2.7 E@2.8 T:\n@3.5 P:p=q@3.8 "
                       "E@3.12 END:1@3.12");
}

TEST(XmlReader, LongTextAndValue)
{
    std::string run(100 * 1024, 'x');
    for (size_t i = 0; i < run.size(); i += 97)
        run[i] = 'a' + (char)(i % 26);
    std::string doc = "<a v='" + run + "'>" + run + "&amp;</a>";
    struct Seen {
        int texts = 0, attributes = 0;
        std::string text, value;
    } seen;
    XmlReader r;
    memset(&r, 0, sizeof r);
    r.user = &seen;
    r.on_text = [](XmlReader *r) {
        Seen *S = static_cast<Seen *>(r->user);
        S->texts++;
        S->text.assign(r->text, (size_t)r->text_len);
        return 1;
    };
    r.on_attribute = [](XmlReader *r) {
        Seen *S = static_cast<Seen *>(r->user);
        S->attributes++;
        S->value.assign(r->text, (size_t)r->text_len);
        return 1;
    };
    ASSERT_EQ(xml_parse(doc.data(), doc.size(), &r), 1);
    EXPECT_EQ(seen.texts, 1);
    EXPECT_EQ(seen.attributes, 1);
    EXPECT_EQ(seen.text, run + "&");
    EXPECT_EQ(seen.value, run);
}

/* One function for every value callback: the names still follow the event. */
TEST(XmlReader, SharedValueCallback)
{
    std::string trace;
    XmlReader r;
    memset(&r, 0, sizeof r);
    r.user = &trace;
    XmlReaderCallback value = [](XmlReader *r) {
        std::string *T = static_cast<std::string *>(r->user);
        *T += r->name ? std::string(r->name, (size_t)r->name_len) : std::string("(none)");
        *T += "=" + std::string(r->text, (size_t)r->text_len) + " ";
        return 1;
    };
    r.on_text = value;
    r.on_attribute = value;
    r.on_processing_instruction = value;
    const std::string doc = "<a x='1'>t<?p c?></a>";
    ASSERT_EQ(xml_parse(doc.data(), doc.size(), &r), 1);
    EXPECT_EQ(trace, "x=1 (none)=t p=c ");
}

TEST(XmlReader, AttributeWithoutTextCallback)
{
    std::string trace;
    XmlReader r;
    memset(&r, 0, sizeof r);
    r.user = &trace;
    r.on_attribute = [](XmlReader *r) {
        *static_cast<std::string *>(r->user) +=
            std::string(r->name, (size_t)r->name_len) + "=" + std::string(r->text, (size_t)r->text_len);
        return 1;
    };
    const std::string doc = "<a>hi<b x='1'/>there</a>";
    ASSERT_EQ(xml_parse(doc.data(), doc.size(), &r), 1);
    EXPECT_EQ(trace, "x=1");
}

TEST(XmlReader, NoCallbacksAtAll)
{
    XmlReader r;
    memset(&r, 0, sizeof r);
    const std::string doc = "<a x='1'>t<?p c?></a>";
    EXPECT_EQ(xml_parse(doc.data(), doc.size(), &r), 1);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(xml_parse(doc.data(), 3, &r), 0);
    EXPECT_EQ(r.status, -1);
    EXPECT_STREQ(r.error, INCOMPLETE);
}

TEST(XmlReader, NullReaderAndData)
{
    EXPECT_EQ(xml_parse("<a/>", 4, nullptr), 0);
    Recorder R;
    XmlReader r = make_reader(&R);
    EXPECT_EQ(xml_parse(nullptr, 0, &r), 0);
    EXPECT_EQ(R.trace, "B END:-1");
    EXPECT_STREQ(r.error, INCOMPLETE);
}

TEST(XmlReader, FeedsExactlyLength)
{
    /* Bytes past the given length are never looked at. */
    Recorder R;
    XmlReader r = make_reader(&R);
    EXPECT_EQ(xml_parse("<a/>junk", 4, &r), 1);
    EXPECT_EQ(R.trace, "B S:a E END:1");
    EXPECT_EQ(r.offset, 4u);
}

TEST(XmlReader, ReuseResetsState)
{
    Recorder R;
    XmlReader r = make_reader(&R);
    EXPECT_EQ(xml_parse("<a>", 3, &r), 0);
    EXPECT_EQ(r.status, -1);
    R.trace.clear();
    EXPECT_EQ(xml_parse("<b/>", 4, &r), 1);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.error, nullptr);
    EXPECT_EQ(R.trace, "B S:b E END:1");
    EXPECT_EQ(R.ends, 2);
}

/* The tokenizer's stack is 8192 bytes: deep nesting and long names fail
 * with its error, never by writing past it. */
TEST(XmlReader, StackLimit)
{
    const char *overflow =
        "Stack overflow (too deeply nested tags or too long element/attribute name)";
    struct {
        std::string doc;
        int result;
    } cases[] = {
        {std::string(8190, 'n'), 1},  /* longest root name */
        {std::string(8191, 'n'), 0},
        {std::string(), 1},           /* 4095 nested elements fit */
        {std::string(), 0},           /* 4096 do not */
    };
    cases[0].doc = "<" + cases[0].doc + "/>";
    cases[1].doc = "<" + cases[1].doc + "/>";
    for (int depth : {4095, 4096}) {
        std::string doc;
        for (int i = 0; i < depth; i++)
            doc += "<a>";
        for (int i = 0; i < depth; i++)
            doc += "</a>";
        cases[depth == 4095 ? 2 : 3].doc = doc;
    }
    for (auto &c : cases) {
        XmlReader r;
        memset(&r, 0, sizeof r);
        EXPECT_EQ(xml_parse(c.doc.data(), c.doc.size(), &r), c.result);
        EXPECT_STREQ(r.error, c.result ? nullptr : overflow);
    }
    /* A long attribute name on top of a long element name. */
    std::string doc = "<" + std::string(4000, 'e') + " " + std::string(4200, 'a') + "='1'/>";
    XmlReader r;
    memset(&r, 0, sizeof r);
    EXPECT_EQ(xml_parse(doc.data(), doc.size(), &r), 0);
    EXPECT_STREQ(r.error, overflow);
    EXPECT_EQ(r.column, 4000u + 2 + 4190);
}

} // namespace
