#include "test_support.h"
#include "zip_package.h"

#include "publish/archive/zip_writer.h"

#include <string>

namespace
{

class ZipStoredTest : public FsTest
{
  protected:
    /* Python's zipfile on the archive: "<name> <method> <data offset mod 4>
     * <matches the source>" a line, in archive order, after testzip. */
    std::string python_report(const std::string &zip, const std::string &tree)
    {
        write_native("report.py",
                     "import os, struct, sys, zipfile\n"
                     "zip_path, tree = sys.argv[1], sys.argv[2]\n"
                     "raw = open(zip_path, 'rb').read()\n"
                     "with zipfile.ZipFile(zip_path) as z:\n"
                     "    assert z.testzip() is None\n"
                     "    for i in z.infolist():\n"
                     "        n, m = struct.unpack_from('<HH', raw, i.header_offset + 26)\n"
                     "        start = i.header_offset + 30 + n + m\n"
                     "        same = i.is_dir() or z.read(i) == open(os.path.join(tree, "
                     "i.filename), 'rb').read()\n"
                     "        print(i.filename, i.compress_type, start % 4, same)\n");
        std::string out;
        EXPECT_EQ(run_command("/usr/bin/python3 '" + root + "/report.py' '" + root + "/" + zip +
                                  "' '" + root + "/" + tree + "' 2>&1",
                              &out),
                  0)
            << out;
        return out;
    }
};

} // namespace

TEST_F(ZipStoredTest, OneNamedFileIsStoredAndAligned)
{
    /* Sizes around the copy buffer, and names that only resemble the
     * stored one, which stay deflated. */
    struct Case {
        size_t size;
        const char *stored;
    } cases[] = {{0, "resources.arsc"}, {1, "resources.arsc"},
                 {4 * 1024 * 1024 + 3, "resources.arsc"}, {2048, "sub/resources.arsc"},
                 {2048, NULL}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " " + (c.stored ? c.stored : "none"));
        std::string data;
        for (size_t i = 0; i < c.size; i++)
            data += (char)((i * 2654435761u) >> 13);
        write_native("tree/resources.arsc", data);
        write_native("tree/sub/resources.arsc", data);
        write_native("tree/resources.arsc.txt", "text\n");
        write_native("tree/odd-name", "x");
        ASSERT_EQ(zip_package_tree("out.apk", "tree", 1, c.stored), 1);

        std::string report = python_report("out.apk", "tree");
        for (const char *name : {"resources.arsc", "sub/resources.arsc", "resources.arsc.txt",
                                 "odd-name"}) {
            int method = c.stored && std::string(name) == c.stored ? 0 : 8;
            std::string line = std::string(name) + " " + std::to_string(method) + " 0 True\n";
            EXPECT_NE(report.find(line), std::string::npos) << line << report;
        }
        EXPECT_NE(report.find("sub/ 0 0 True\n"), std::string::npos) << report;

        std::string out;
        EXPECT_EQ(run_command("zipalign -c -v 4 '" + root + "/out.apk' 2>&1", &out), 0) << out;
        EXPECT_EQ(run_command("unzip -tq '" + root + "/out.apk' 2>&1", &out), 0) << out;
    }
}
