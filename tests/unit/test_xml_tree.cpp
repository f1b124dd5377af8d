#include "test_support.h"

#include "alloc_countdown.h"

#include "engine/cvar.h"
#include "engine/log.h"
#include "publish/android/xml_tree.h"

#include <SDL.h>

#include <string.h>

#include <string>
#include <vector>

namespace {

std::string quoted(const char *text)
{
    std::string out = "\"";
    for (const char *p = text; *p; p++)
        out += *p == '\n' ? std::string("\\n") : std::string(1, *p);
    return out + "\"";
}

/* "[x=three@b y=two@a]": each declaration in scope, innermost first, as
 * prefix=URI@owner. */
std::string chain(const XmlTreeNode *scope)
{
    std::string out = "[";
    for (const XmlTreeNode *d = scope; d; d = d->ns_scope) {
        if (out.size() > 1)
            out += ' ';
        EXPECT_EQ(d->type, XML_NODE_ATTRIBUTE);
        EXPECT_EQ(strncmp(d->name, "xmlns:", 6), 0);
        out += std::string(d->name + 6) + "=" + d->text + "@" + d->parent->text;
    }
    return out + "]";
}

/* One line per node, indented by depth; attributes in list order (newest
 * first) before the children. Checks the links on the way. */
void dump(const XmlTreeNode *n, int depth, std::string &out)
{
    std::string indent((size_t)depth, ' ');
    if (n->text) {
        EXPECT_EQ(n->text_len, strlen(n->text));
    }
    switch (n->type) {
    case XML_NODE_DOCUMENT:
        EXPECT_EQ(n->parent, nullptr);
        EXPECT_EQ(n->ns_scope, nullptr);
        out += indent + "D\n";
        break;
    case XML_NODE_ELEMENT:
        out += indent + "E " + n->text + " " + chain(n->ns_scope) + "\n";
        break;
    case XML_NODE_TEXT:
        EXPECT_EQ(n->ns_scope, nullptr);
        out += indent + "T " + quoted(n->text) + "\n";
        return;
    default:
        ADD_FAILURE() << "node of type " << n->type << " among children";
        return;
    }
    for (const XmlTreeNode *a = n->first_attribute; a; a = a->next_sibling) {
        EXPECT_EQ(a->type, XML_NODE_ATTRIBUTE);
        EXPECT_EQ(a->parent, n);
        EXPECT_EQ(a->name_len, strlen(a->name));
        out += indent + " A " + a->name + "=" + a->text + " " + chain(a->ns_scope) + "\n";
    }
    const XmlTreeNode *last = nullptr;
    for (const XmlTreeNode *c = n->first_child; c; c = c->next_sibling) {
        EXPECT_EQ(c->parent, n);
        dump(c, depth + 1, out);
        last = c;
    }
    EXPECT_EQ(n->last_child, last);
}

struct TreeCase {
    const char *name;
    const char *doc;
    const char *tree;
};

const TreeCase TREE_CASES[] = {
    {"manifest with two children",
     "<manifest xmlns:android=\"http://a\" package=\"com.x\">\n  <a/>\n  <b></b>\n</manifest>",
     "D\n"
     " E manifest [android=http://a@manifest]\n"
     "  A package=com.x [android=http://a@manifest]\n"
     "  A xmlns:android=http://a []\n"
     "  T \"\\n  \"\n"
     "  E a [android=http://a@manifest]\n"
     "  T \"\\n  \"\n"
     "  E b [android=http://a@manifest]\n"
     "  T \"\\n\"\n"},
    {"scope chain x y x",
     "<a xmlns:x='one' xmlns:y='two'><b xmlns:x='three' x:k='v'/></a>",
     "D\n"
     " E a [y=two@a x=one@a]\n"
     "  A xmlns:y=two [x=one@a]\n"
     "  A xmlns:x=one []\n"
     "  E b [x=three@b y=two@a x=one@a]\n"
     "   A x:k=v [x=three@b y=two@a x=one@a]\n"
     "   A xmlns:x=three [y=two@a x=one@a]\n"},
    {"attribute before its own declaration", "<a x:n='v' xmlns:x='u'/>",
     "D\n"
     " E a [x=u@a]\n"
     "  A xmlns:x=u []\n"
     "  A x:n=v []\n"},
    {"default and upper-case declarations join no chain",
     "<a xmlns='d' XMLNS:x='u' k='v'><b/></a>",
     "D\n"
     " E a []\n"
     "  A k=v []\n"
     "  A XMLNS:x=u []\n"
     "  A xmlns=d []\n"
     "  E b []\n"},
    {"mixed text and elements kept in order", "<a>t1<b>t2</b>t3<c/></a>",
     "D\n"
     " E a []\n"
     "  T \"t1\"\n"
     "  E b []\n"
     "   T \"t2\"\n"
     "  T \"t3\"\n"
     "  E c []\n"},
    {"text merged with references and CDATA", "<a>x &amp; <![CDATA[<y>]]><!--c-->z</a>",
     "D\n"
     " E a []\n"
     "  T \"x & <y>z\"\n"},
    {"declaration and empty PI make no node; an empty value is kept",
     "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<a e=''><?p?></a>",
     "D\n"
     " E a []\n"
     "  A e= []\n"},
};

class XmlTreeTest : public FsTest {
protected:
    void SetUp() override
    {
        FsTest::SetUp();
        ASSERT_EQ(quiet_log(), 1);
        written.clear();
    }

    /* The error lines written in "Publish" since the last call. */
    std::vector<std::string> errors()
    {
        const std::string prefix = "! [Publish] ";
        std::vector<std::string> out;
        for (const std::string &l : written)
            if (l.compare(0, prefix.size(), prefix) == 0)
                out.push_back(l.substr(prefix.size()));
        written.clear();
        return out;
    }
};

TEST_F(XmlTreeTest, ShapesOfSmallDocuments)
{
    for (const TreeCase &c : TREE_CASES) {
        XmlTreeNode *doc = parse_xml_tree(c.doc);
        ASSERT_NE(doc, nullptr) << c.name;
        std::string out;
        dump(doc, 0, out);
        EXPECT_EQ(out, c.tree) << c.name;
        EXPECT_EQ(doc->next_sibling, nullptr);
        free_xml_tree(doc);
        EXPECT_TRUE(errors().empty()) << c.name;
    }
    free_xml_tree(NULL);
}

TEST_F(XmlTreeTest, SourcePositions)
{
    XmlTreeNode *doc = parse_xml_tree("<a>\n<b/>\n<c k='v'>\n</c>\n</a>");
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(doc->line, 0u);
    EXPECT_EQ(doc->column, 0u);
    EXPECT_EQ(doc->offset, 0u);
    EXPECT_EQ(doc->text, nullptr);

    const XmlTreeNode *a = doc->first_child;
    EXPECT_EQ(a->line, 1u);
    EXPECT_EQ(a->end_line, 5u);
    const XmlTreeNode *b = a->first_child->next_sibling;
    ASSERT_STREQ(b->text, "b");
    /* An empty-element tag gets both events. */
    EXPECT_EQ(b->line, 2u);
    EXPECT_EQ(b->end_line, 2u);
    EXPECT_EQ(b->first_child, nullptr);
    EXPECT_EQ(b->last_child, nullptr);
    EXPECT_EQ(b->first_attribute, nullptr);
    const XmlTreeNode *c = b->next_sibling->next_sibling;
    ASSERT_STREQ(c->text, "c");
    EXPECT_EQ(c->line, 3u);
    EXPECT_EQ(c->end_line, 4u);
    /* The reader's position where the value ended: its closing quote. */
    const XmlTreeNode *k = c->first_attribute;
    EXPECT_EQ(k->line, 3u);
    EXPECT_EQ(k->column, 9u);
    EXPECT_EQ(k->offset, 17u);
    free_xml_tree(doc);
}

struct FailureCase {
    const char *name;
    const char *doc;
    std::vector<std::string> lines; /* after the PI line, the three failure lines */
};

TEST_F(XmlTreeTest, FailuresLogAndLeaveNothing)
{
    const FailureCase cases[] = {
        {"processing instruction with content",
         "<manifest>\n  <?xml-stylesheet href='s.css'?>\n</manifest>",
         {"XML Processing Instructions are currently unsupported (line 2)",
          "XML failed to parse! XML text:",
          "<manifest>\\x0a  <?xml-stylesheet href='s.css'?>\\x0a</manifest>",
          "XML parse problem: Cancelled on line #2, column #34"}},
        {"processing instruction before the root", "<?p x?><a/>",
         {"XML Processing Instructions are currently unsupported (line 1)",
          "XML failed to parse! XML text:", "<?p x?><a/>",
          "XML parse problem: Cancelled on line #1, column #7"}},
        {"truncated", "<manifest>\n<a k='v'>t",
         /* the log keeps one entry per line: the line break is escaped */
         {"XML failed to parse! XML text:", "<manifest>\\x0a<a k='v'>t",
          "XML parse problem: XML document is incomplete or malformed on line #2, column #11"}},
        {"empty", "",
         {"XML failed to parse! XML text:", "",
          "XML parse problem: XML document is incomplete or malformed on line #0, column #0"}},
        {"mismatched end tag", "<a><b></a>",
         {"XML failed to parse! XML text:", "<a><b></a>",
          "XML parse problem: Close tag does not match open tag (<Tag> .. </OtherTag>) on line "
          "#1, column #9"}},
    };
    for (const FailureCase &c : cases) {
        EXPECT_EQ(parse_xml_tree(c.doc), nullptr) << c.name;
        EXPECT_EQ(errors(), c.lines) << c.name;
    }
}

TEST_F(XmlTreeTest, OutOfMemoryAtEachAllocation)
{
    const char *doc = "<a xmlns:x='u' x:k='v'>t<b>u</b></a>";
    XmlTreeNode *tree = NULL;
    int failures = 0;
    for (int budget = 0; budget < 1000 && tree == NULL; budget++) {
        alloc_countdown_start(budget);
        tree = parse_xml_tree(doc);
        alloc_countdown_stop();
        if (tree == NULL) {
            failures++;
            errors();
        }
    }
    ASSERT_NE(tree, nullptr);
    EXPECT_GT(failures, 10);
    std::string out;
    dump(tree, 0, out);
    EXPECT_EQ(out, "D\n"
                   " E a [x=u@a]\n"
                   "  A x:k=v [x=u@a]\n"
                   "  A xmlns:x=u []\n"
                   "  T \"t\"\n"
                   "  E b [x=u@a]\n"
                   "   T \"u\"\n");
    free_xml_tree(tree);
}

TEST_F(XmlTreeTest, HundredThousandSiblings)
{
    const int count = 100000;
    std::string doc = "<a>";
    for (int i = 0; i < count; i++)
        doc += "<b k='1'/>";
    doc += "</a>";
    XmlTreeNode *tree = parse_xml_tree(doc.c_str());
    ASSERT_NE(tree, nullptr);
    int seen = 0;
    for (const XmlTreeNode *b = tree->first_child->first_child; b; b = b->next_sibling)
        seen++;
    EXPECT_EQ(seen, count);
    EXPECT_STREQ(tree->first_child->last_child->first_attribute->text, "1");
    free_xml_tree(tree);
}

} // namespace
