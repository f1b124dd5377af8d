#include "test_support.h"

#include "publish/android/manifest_check.h"
#include "publish/android/xml_tree.h"

#include <SDL.h>

#include <string>
#include <vector>

namespace {

class ManifestCheckTest : public FsTest {
protected:
    /* The check's verdict on text; the lines it wrote are in `written`. */
    int check(const char *text)
    {
        written.clear();
        XmlTreeNode *doc = parse_xml_tree(text);
        EXPECT_NE(doc, nullptr);
        if (!doc)
            return -1;
        int ok = manifest_check_tree(doc, place, NULL);
        free_xml_tree(doc);
        return ok;
    }
    static ManifestPlace place(void *user, const XmlTreeNode *node)
    {
        (void)user;
        ManifestPlace p = {"m.xml", node->line};
        return p;
    }
    size_t lines_with(const std::string &needle)
    {
        size_t n = 0;
        for (const std::string &l : written)
            n += l.find(needle) != std::string::npos;
        return n;
    }
};

#define NS "xmlns:android=\"http://schemas.android.com/apk/res/android\""

TEST_F(ManifestCheckTest, SoundManifestPassesSilently)
{
    EXPECT_EQ(check("<manifest " NS " package=\"a.b\" android:versionCode=\" 7\">\n"
                    "<application android:label=\"@string/app_name\" xml:lang=\"en\"/>"
                    "</manifest>"),
              1);
    EXPECT_TRUE(written.empty());
}

TEST_F(ManifestCheckTest, EachRefusalIsOneLineAndAllAreReported)
{
    EXPECT_EQ(check("<manifest " NS " package=\"a.b\">\n"
                    "<application android:exported=\"yes\"\n"
                    "  android:debuggable=\"1\" x:y=\"1\"/>\n"
                    "</manifest>"),
              0);
    EXPECT_EQ(lines_with("In 'm.xml', line 2: the value 'yes' of attribute 'android:exported' "
                         "fits none of the formats it takes (boolean)"),
              1u);
    EXPECT_EQ(lines_with("In 'm.xml', line 3: the value '1' of attribute 'android:debuggable'"),
              1u);
    EXPECT_EQ(lines_with("In 'm.xml', line 3: the prefix 'x' of 'x:y' is bound to no namespace"),
              1u);
    EXPECT_EQ(lines_with("In 'm.xml'"), 3u);
}

TEST_F(ManifestCheckTest, KeptCasesWarnOnce)
{
    EXPECT_EQ(check("<manifest " NS " package=\"a.b\">"
                    "<application android:label=\"@string/none\" android:newThing=\"1\""
                    " android:taskAffinity=\"a\\.b\"/></manifest>"),
              1);
    EXPECT_EQ(lines_with("WARNING: Unknown resource name '@string/none' in XML file"), 1u);
    EXPECT_EQ(lines_with("WARNING: Attribute 'android:newThing' on line 1 (value '1') is not an "
                         "Android attribute of API level 26"),
              1u);
    EXPECT_EQ(lines_with("holds the escape '\\.', which Android's packager reads as '.'"), 1u);
}

/* A refused value that reads as a reference once its blanks are trimmed
 * gets the hint on how a reference is written, whichever of the blanks
 * the typing trims stands before it; and no blank of them may end a
 * version code. */
TEST_F(ManifestCheckTest, EveryBlankTheTypingTrimsCountsAsOne)
{
    static const char *const blanks[] = {" ", "\t", "\v", "\f"};
    for (const char *blank : blanks) {
        SCOPED_TRACE(testing::Message() << "blank 0x" << std::hex << (int)blank[0]);
        std::string text = std::string("<manifest " NS " package=\"a.b\">"
                                       "<application android:exported=\"") +
                           blank + "@bogus\"/></manifest>";
        EXPECT_EQ(check(text.c_str()), 0);
        EXPECT_EQ(lines_with("fits none of the formats it takes (boolean), so Android's "
                             "packager refuses it; a reference is written"),
                  1u);
        text = std::string("<manifest " NS " package=\"a.b\" android:versionCode=\"7") + blank +
               "\"/>";
        EXPECT_EQ(check(text.c_str()), 0);
        EXPECT_EQ(lines_with("has a blank after the number"), 1u);
    }
}

TEST_F(ManifestCheckTest, PrefixesResolveAsXmlReadsThem)
{
    XmlTreeNode *doc = parse_xml_tree("<a b:n=\"1\" xmlns:b=\"one\" B:m=\"2\"><b:c/></a>");
    ASSERT_NE(doc, nullptr);
    const XmlTreeNode *a = doc->first_child;
    /* Newest first: B:m, xmlns:b, b:n. A declaration later in the start
     * tag binds an attribute before it; prefixes are case-sensitive. */
    const XmlTreeNode *m = a->first_attribute, *n = m->next_sibling->next_sibling;
    EXPECT_STREQ(xml_tree_namespace_uri(n), "one");
    EXPECT_EQ(xml_tree_namespace_uri(m), nullptr);
    EXPECT_STREQ(xml_tree_namespace_uri(a->first_child), "one");
    EXPECT_EQ(xml_tree_namespace_uri(a), nullptr);
    free_xml_tree(doc);
    EXPECT_EQ(check("<a xmlns:x=\"u\" x:k=\"1\" xmlns:y=\"u\" y:k=\"2\"/>"), 0);
    EXPECT_EQ(lines_with("attribute 'y:k' is given twice in one element"), 1u);
}

} // namespace
