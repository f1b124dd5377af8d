#include "test_support.h"
#include "zip_package.h"
#include "zip_read.h"

#include "publish/archive/zip_writer.h"

#include <physfs.h>
#include <zlib.h>

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <random>

/* While armed, every absolute move in a file (SEEK_SET) is refused as a
 * pipe would refuse it; asking for the position (SEEK_CUR) still works.
 * The program's definition comes before the C library's for PhysicsFS
 * too. */
static volatile int zip_test_fail_seeks = 0;

extern "C" off_t lseek(int fd, off_t offset, int whence)
{
    typedef off_t (*LseekFunction)(int, off_t, int);
    static LseekFunction real_lseek = (LseekFunction)dlsym(RTLD_NEXT, "lseek");
    if (zip_test_fail_seeks && whence == SEEK_SET) {
        errno = ESPIPE;
        return -1;
    }
    return real_lseek(fd, offset, whence);
}

namespace {

using Entry = ZipEntryRead;

std::vector<Entry> parse_zip(const std::string &z)
{
    return zip_read_entries(z);
}

const Entry *find_entry(const std::vector<Entry> &entries, const std::string &name)
{
    for (const Entry &e : entries)
        if (e.name == name)
            return &e;
    return nullptr;
}

std::vector<std::string> names(const std::vector<Entry> &entries)
{
    std::vector<std::string> out;
    for (const Entry &e : entries)
        out.push_back(e.name);
    std::sort(out.begin(), out.end());
    return out;
}

class ZipTest : public FsTest {
protected:
    std::vector<Entry> zip(const char *root_dir, int add_directory_entries)
    {
        EXPECT_EQ(zip_package_tree("out.zip", root_dir, add_directory_entries), 1);
        return parse_zip(read_native("out.zip"));
    }
};

TEST(ZipDosTime, ConvertsInUtcWithTheFormatsRange)
{
    struct Case {
        int64_t unix_seconds;
        uint16_t date, time;
    } cases[] = {
        {-1, 0, 0},                     /* unknown time */
        {0, 0, 0},
        {315532799, 0, 0},              /* 1979-12-31 23:59:59 */
        {315532800, 0x0021, 0},         /* 1980-01-01 00:00:00 */
        {315532801, 0x0021, 0},         /* odd seconds round down */
        {951825601, 0x285D, 0x6000},    /* 2000-02-29 12:00:01 */
        {1709251199, 0x585D, 0xBF7D},   /* 2024-02-29 23:59:59 */
        {1735669800, 0x599F, 0x93C0},   /* 2024-12-31 18:30:00 */
        {4354819198, 0xFF9F, 0xBF7D},   /* 2107-12-31 23:59:58, the last one */
        {4354819200, 0x0021, 0},        /* 2108-01-01: the year wraps */
    };
    for (const Case &c : cases) {
        uint16_t date = 0xFFFF, time = 0xFFFF;
        unix_time_to_dos(c.unix_seconds, &date, &time);
        EXPECT_EQ(date, c.date) << c.unix_seconds;
        EXPECT_EQ(time, c.time) << c.unix_seconds;
    }
}

TEST_F(ZipTest, EmptyRootGivesTheBareEndRecord)
{
    mkdir_native("empty");
    ASSERT_EQ(zip_package_tree("out.zip", "empty", 1), 1);
    std::string expected("PK\x05\x06", 4);
    expected.append(18, '\0');
    EXPECT_EQ(read_native("out.zip"), expected);
    EXPECT_TRUE(was_written("Zipping out.zip ..."));
    EXPECT_TRUE(was_written("Zipfile 'out.zip' successfully created!"));
}

TEST_F(ZipTest, RootThatIsNotADirectoryFails)
{
    write_native("afile", "x");
    struct Case {
        const char *root;
        const char *message;
    } cases[] = {
        {"missing", "Failed to stat 'missing': "},
        {"afile", "Can't zip 'afile': not a directory"},
    };
    for (const Case &c : cases) {
        written.clear();
        EXPECT_EQ(zip_package_tree("out.zip", c.root, 1), 0) << c.root;
        EXPECT_TRUE(was_written(c.message)) << c.message;
        EXPECT_FALSE(native_exists("out.zip"));
    }
}

TEST_F(ZipTest, ArchiveThatCannotBeCreatedFails)
{
    mkdir_native("tree");
    EXPECT_EQ(zip_package_tree("nodir/out.zip", "tree", 1), 0);
    EXPECT_TRUE(was_written("Opening 'nodir/out.zip' for write failed: "));
}

TEST_F(ZipTest, EntryDataStartsAtAMultipleOfFour)
{
    struct Case {
        const char *name;
        uint32_t padding;
        size_t data_start;
    } cases[] = {
        {"abcde.txt", 1, 40},  /* Q = 26, 26 + 9 = 35 */
        {"abcdef.txt", 4, 44}, /* 36 is aligned already: 4 bytes, never 0 */
        {"abcdefg.txt", 3, 44},
    };
    for (const Case &c : cases) {
        run_command("rm -rf '" + root + "/tree'");
        write_native(std::string("tree/") + c.name, "hello hello hello");
        std::vector<Entry> entries = zip("tree", 1);
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].offset, 0u);
        EXPECT_EQ(entries[0].extra_length, c.padding) << c.name;
        EXPECT_EQ(entries[0].data_start, c.data_start) << c.name;
        EXPECT_EQ(entries[0].data, "hello hello hello");
    }
}

TEST_F(ZipTest, DirectoryEntriesComeFirstAndEmptyFilesAreDeflated)
{
    write_native("tree/d/e", "");
    write_native("tree/d/sub/f.txt", "f");
    std::vector<Entry> entries = zip("tree", 1);
    ASSERT_EQ(entries.size(), 4u);

    EXPECT_EQ(entries[0].name, "d/");
    const Entry *dir = &entries[0];
    EXPECT_EQ(dir->method, 0u);
    EXPECT_EQ(dir->flags, 0u);
    EXPECT_EQ(dir->crc | dir->csize | dir->usize, 0u);
    EXPECT_EQ(dir->attributes, 0x41ED0010u);
    EXPECT_EQ(dir->data_start % 4, 0u);

    const Entry *empty = find_entry(entries, "d/e");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->method, 8u);
    EXPECT_EQ(empty->flags, 2u);
    EXPECT_EQ(empty->crc, 0u);
    EXPECT_EQ(empty->usize, 0u);
    EXPECT_EQ(empty->csize, 2u);
    EXPECT_EQ(empty->attributes, 0x81A40000u);

    size_t sub = 0, file = 0;
    for (size_t i = 0; i < entries.size(); i++) {
        if (entries[i].name == "d/sub/")
            sub = i;
        if (entries[i].name == "d/sub/f.txt")
            file = i;
    }
    EXPECT_LT(sub, file);
    EXPECT_TRUE(was_written("Adding 'd' to zip..."));
    EXPECT_TRUE(was_written("Adding 'd/sub/f.txt' to zip..."));
}

TEST_F(ZipTest, WithoutDirectoryEntriesOnlyFilesAppear)
{
    write_native("tree/d/sub/f.txt", "f");
    mkdir_native("tree/emptydir");
    std::vector<Entry> entries = zip("tree", 0);
    EXPECT_EQ(names(entries), std::vector<std::string>({"d/sub/f.txt"}));
}

TEST_F(ZipTest, ExcludedNamesAreNeverArchived)
{
    write_native("tree/a.txt", "a");
    write_native("tree/sub/.DS_Store", "ds");
    write_native("tree/sub/deep/.git/HEAD", "ref");
    write_native("tree/__MACOSX/x", "x");
    std::vector<Entry> entries = zip("tree", 1);
    EXPECT_EQ(names(entries), std::vector<std::string>({"a.txt", "sub/", "sub/deep/"}));
}

TEST_F(ZipTest, ThePackageRuleMakesOnlyFilesInAnAppBundlesMacOSDirectoryExecutable)
{
    struct Case {
        const char *path;
        uint32_t attributes;
    } cases[] = {
        {"My Game 2.0.app/Contents/MacOS/mygame", 0x81ED0000u},
        {"My Game.app/Contents/Info.plist", 0x81A40000u},
        {"My Game.app/Contents/Resources/mygame", 0x81A40000u},
        {"x.APP/Contents/MacOS/y", 0x81A40000u},
        {"plain.txt", 0x81A40000u},
    };
    for (const Case &c : cases)
        write_native(std::string("tree/") + c.path, "x");
    std::vector<Entry> entries = zip("tree", 1);
    for (const Case &c : cases) {
        const Entry *e = find_entry(entries, c.path);
        ASSERT_NE(e, nullptr) << c.path;
        EXPECT_EQ(e->attributes, c.attributes) << c.path;
    }
    EXPECT_EQ(find_entry(entries, "My Game.app/Contents/MacOS/") == nullptr, true);
    EXPECT_EQ(find_entry(entries, "My Game 2.0.app/Contents/MacOS/")->attributes, 0x41ED0010u);
}

TEST_F(ZipTest, WithoutARuleNoFileIsExecutableOrStored)
{
    write_native("tree/G.app/Contents/MacOS/g", "x");
    write_native("tree/resources.arsc", "table");
    ZipOptions options = {1, NULL, NULL};
    ASSERT_EQ(zip_directory(NULL, "out.zip", "tree", &options), 1);
    std::vector<Entry> entries = parse_zip(read_native("out.zip"));
    for (const char *name : {"G.app/Contents/MacOS/g", "resources.arsc"}) {
        const Entry *e = find_entry(entries, name);
        ASSERT_NE(e, nullptr) << name;
        EXPECT_EQ(e->attributes, 0x81A40000u) << name;
        EXPECT_EQ(e->method, 8u) << name;
    }
}

TEST_F(ZipTest, ModificationTimeIsStoredAsDosTime)
{
    write_native("tree/leap.txt", "x");
    struct utimbuf t = {1709251199, 1709251199};
    ASSERT_EQ(utime((root + "/tree/leap.txt").c_str(), &t), 0);
    std::vector<Entry> entries = zip("tree", 1);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].date, 0x585Du);
    EXPECT_EQ(entries[0].time, 0xBF7Du);
}

TEST_F(ZipTest, NonAsciiNamesCarryTheUtf8Flag)
{
    write_native("tree/\xC3\xA9t\xC3\xA9/n\xC3\xAFve.txt", "x");
    write_native("tree/ascii.txt", "x");
    std::vector<Entry> entries = zip("tree", 1);
    EXPECT_EQ(find_entry(entries, "\xC3\xA9t\xC3\xA9/")->flags, 0x0800u);
    EXPECT_EQ(find_entry(entries, "\xC3\xA9t\xC3\xA9/n\xC3\xAFve.txt")->flags, 0x0802u);
    EXPECT_EQ(find_entry(entries, "ascii.txt")->flags, 0x0002u);
}

TEST_F(ZipTest, IncompressibleFileLargerThanTheBuffersIsArchivedWhole)
{
    std::mt19937 gen(7);
    std::string data(9 * 1024 * 1024 + 3, '\0');
    for (auto &c : data)
        c = (char)(gen() & 0xFF);
    write_native("tree/random.bin", data);
    write_native("tree/text.txt", std::string(100000, 'a'));
    std::vector<Entry> entries = zip("tree", 1);
    const Entry *random = find_entry(entries, "random.bin");
    ASSERT_NE(random, nullptr);
    EXPECT_EQ(random->usize, data.size());
    EXPECT_GT(random->csize, random->usize);
    EXPECT_TRUE(random->data == data);
    const Entry *text = find_entry(entries, "text.txt");
    ASSERT_NE(text, nullptr);
    EXPECT_LT(text->csize, 1000u);
    EXPECT_EQ(text->data, std::string(100000, 'a'));
}

TEST_F(ZipTest, MoreEntriesThanTheFormatHoldsAreRefused)
{
    /* Directory entries are the cheapest way to reach the limit; a memory
     * file system keeps 65,536 of them quick to make and remove. */
    char templ[] = "/dev/shm/brindlecot-zip-XXXXXX";
    std::string many = mkdtemp(templ) ? templ : root + "/many";
    run_command("mkdir -p '" + many + "'");
    for (int i = 1; i < 65535; i++)
        ASSERT_EQ(mkdir((many + "/" + std::to_string(i)).c_str(), 0755), 0);
    ASSERT_EQ(mkdir((many + "/last").c_str(), 0755), 0);
    ASSERT_NE(PHYSFS_mount(many.c_str(), "many", 1), 0);

    /* many/1 .. many/65534 and many/last: 65535 entries fit exactly. */
    EXPECT_EQ(zip_package_tree("out.zip", "many", 1), 1);
    std::string z = read_native("out.zip");
    EXPECT_EQ(zip_get16(z, z.size() - 22 + 10), 65535u);

    ASSERT_EQ(mkdir((many + "/one-too-many").c_str(), 0755), 0);
    written.clear();
    EXPECT_EQ(zip_package_tree("out.zip", "many", 1), 0);
    EXPECT_TRUE(was_written("a zip archive holds at most 65535 entries"));
    run_command("rm -rf '" + many + "'");
}

TEST_F(ZipTest, FileOfFourGibibytesIsRefused)
{
    mkdir_native("tree");
    /* Sparse: takes no room, but its size is past what 32 bits record. */
    int fd = open((root + "/tree/huge.bin").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, (off_t)4 * 1024 * 1024 * 1024), 0);
    close(fd);
    EXPECT_EQ(zip_package_tree("out.zip", "tree", 1), 0);
    EXPECT_TRUE(was_written("Can't add 'huge.bin' to 'out.zip': the zip format's sizes and offsets "
                       "stop below 4 GiB"));
}

TEST_F(ZipTest, StreamedHeaderIsPatchedWithoutMovingTheFile)
{
    /* Past the whole-file limit: streamed, then its header patched, which
     * writes at the header's offset: no move of the file can fail it. */
    std::string data(3 * 1024 * 1024, 'a');
    write_native("tree/a.txt", data);
    zip_test_fail_seeks = 1;
    int result = zip_package_tree("out.zip", "tree", 1);
    zip_test_fail_seeks = 0;
    EXPECT_EQ(result, 1);
    EXPECT_FALSE(was_written("failed"));
    std::vector<Entry> entries = parse_zip(read_native("out.zip"));
    const Entry *a = find_entry(entries, "a.txt");
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(a->data == data);
    EXPECT_EQ(run_command("unzip -tq '" + root + "/out.zip' > /dev/null"), 0);
}

/* A staged tree is the publisher's own: a link or a pipe in it was put
 * there by someone else, and fails the package instead of being left out
 * of it. */
TEST_F(ZipTest, ALinkOrAPipeInAStagedTreeFailsItsPackage)
{
    struct Case {
        const char *what;
        int (*plant)(const std::string &at);
        const char *line;
    } cases[] = {
        {"link", [](const std::string &at) { return symlink("/etc/hostname", at.c_str()); },
         "'tree/sub/classes.dex' is a symbolic link, and nothing the publisher staged is one"},
        {"pipe", [](const std::string &at) { return mkfifo(at.c_str(), 0600); },
         "'tree/sub/classes.dex' is not a regular file or directory, and nothing the "
         "publisher staged is one"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        written.clear();
        write_native("tree/a.txt", "a");
        mkdir_native("tree/sub");
        unlink((root + "/tree/sub/classes.dex").c_str());
        ASSERT_EQ(c.plant(root + "/tree/sub/classes.dex"), 0);
        EXPECT_EQ(zip_package_tree("out.zip", "tree", 1), 0);
        EXPECT_TRUE(was_written(c.line));
        EXPECT_FALSE(native_exists("out.zip"));
    }
}

} // namespace
