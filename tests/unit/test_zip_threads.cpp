/* The zip writer's run: compression workers and the cache of compressed
 * data. Whatever they do, an archive must hold the bytes that one thread
 * without a cache writes. These tests run threads, so tools/test-all.sh
 * runs them under ThreadSanitizer too. */
#include "test_support.h"
#include "zip_package.h"
#include "zip_read.h"

#include "engine/game_metadata.h"
#include "publish/archive/deflate_pool.h"
#include "publish/platforms/build_platform.h"
#include "publish/publish_game.h"
#include "publish/archive/zip_cache.h"
#include "publish/archive/zip_writer.h"
#include "publish/files/staging_copies.h"
#include "publish/platforms/built_platform.h"

#include <SDL.h>
#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <utime.h>
#include <zlib.h>

#include <random>

namespace {

/* Every field of every entry, in order. With same_times 0 the DOS time and
 * date are left out: they follow the files' modification times, which
 * differ between any two stagings. */
void expect_same_entries(const std::vector<ZipEntryRead> &got, const std::vector<ZipEntryRead> &want,
                         bool same_times)
{
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); i++) {
        const ZipEntryRead &g = got[i], &w = want[i];
        EXPECT_EQ(g.name, w.name) << i;
        EXPECT_EQ(g.offset, w.offset) << g.name;
        EXPECT_EQ(g.flags, w.flags) << g.name;
        EXPECT_EQ(g.method, w.method) << g.name;
        EXPECT_EQ(g.crc, w.crc) << g.name;
        EXPECT_EQ(g.csize, w.csize) << g.name;
        EXPECT_EQ(g.usize, w.usize) << g.name;
        EXPECT_EQ(g.attributes, w.attributes) << g.name;
        EXPECT_EQ(g.extra_length, w.extra_length) << g.name;
        EXPECT_TRUE(g.raw == w.raw) << g.name;
        if (same_times) {
            EXPECT_EQ(g.date, w.date) << g.name;
            EXPECT_EQ(g.time, w.time) << g.name;
        }
    }
}

std::string noise(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char &c : s)
        c = (char)(rng() & 0xFF);
    return s;
}

std::string text(size_t n, const std::string &line)
{
    std::string s;
    while (s.size() < n)
        s += line;
    s.resize(n);
    return s;
}

/* SHA-256 by OpenSSL itself, to check the digests the writer keys by. */
void sha256_of(const std::string &data, uint8_t out[32])
{
    unsigned int length = 0;
    ASSERT_EQ(EVP_Digest(data.data(), data.size(), out, &length, EVP_sha256(), NULL), 1);
    ASSERT_EQ(length, 32u);
}

const size_t LARGE = 3 * 1024 * 1024; /* streamed, not compressed whole */

class ZipThreadsTest : public FsTest {
protected:
    /* The runs' cache files go into "cache" (the write directory itself
     * is no path a native file may take). */
    void SetUp() override
    {
        FsTest::SetUp();
        mkdir_native("cache");
    }

    void TearDown() override
    {
        zip_run_destroy(run);
        run = nullptr;
        FsTest::TearDown();
    }

    /* The run the archives of a test belong to; NULL: each its own. */
    ZipRun *run = nullptr;

    /* A tree that takes every path of the writer: empty, small, random,
     * repeated contents, a streamed file (twice), directories, a UTF-8
     * name and a bundle executable. */
    void write_mixed_tree(const std::string &top)
    {
        write_native(top + "/empty.txt", "");
        write_native(top + "/a/text.txt", text(70000, "tiles and dialogue lines "));
        write_native(top + "/a/copy-of-text.txt", text(70000, "tiles and dialogue lines "));
        write_native(top + "/a/b/noise.bin", noise(300000, 1));
        write_native(top + "/a/b/large.bin", noise(LARGE, 2) + text(LARGE, "x y z "));
        write_native(top + "/c/large-again.bin", noise(LARGE, 2) + text(LARGE, "x y z "));
        write_native(top + "/c/\xC3\xA9t\xC3\xA9.txt", "summer");
        write_native(top + "/G.app/Contents/MacOS/g", noise(5000, 3));
        for (int i = 0; i < 40; i++)
            write_native(top + "/many/f" + std::to_string(i), text(100 + i * 997, "abc"));
        mkdir_native(top + "/empty-dir");
    }

    std::vector<ZipEntryRead> zip_entries(const char *zip_path, const char *root_dir)
    {
        EXPECT_EQ(zip_package_tree(zip_path, root_dir, 1, nullptr, run), 1);
        return zip_read_entries(read_native(zip_path));
    }

    /* The reference: one thread, no cache. */
    std::string reference_zip(const char *root_dir)
    {
        ZipRun *reference = zip_run_create(NULL, 1);
        EXPECT_NE(reference, nullptr);
        EXPECT_EQ(zip_package_tree("reference.zip", root_dir, 1, nullptr, reference), 1);
        EXPECT_EQ(zip_run_stats(reference).reused, 0u);
        zip_run_destroy(reference);
        return read_native("reference.zip");
    }

    void set_mtime(const std::string &rel, time_t t)
    {
        struct utimbuf times = {t, t};
        ASSERT_EQ(utime((root + "/" + rel).c_str(), &times), 0);
    }
};

} // namespace

TEST(ZipThreadsPool, WorkersGiveTheMainThreadsBytesAndSkipKnownContent)
{
    std::vector<std::string> inputs;
    for (unsigned i = 0; i < 48; i++)
        inputs.push_back(i % 3 == 0   ? noise(1000 + i * 3001, i)
                         : i % 3 == 1 ? text(2000 + i * 5003, "line " + std::to_string(i))
                                      : std::string());
    z_stream zs;
    ASSERT_EQ(deflate_raw_init(&zs), 1);
    size_t capacity = deflateBound(&zs, 200000);

    /* The worker asks about every content; it is told that the 4th is
     * known, by its digest. */
    uint8_t known[32];
    sha256_of(inputs[4], known);
    struct Known {
        const uint8_t *digest;
        uint64_t length;
    } k = {known, inputs[4].size()};
    auto skip = [](void *user, const uint8_t digest[32], uint64_t length) -> int {
        const Known *kk = (const Known *)user;
        return length == kk->length && memcmp(digest, kk->digest, 32) == 0;
    };

    DeflatePool *pool = deflate_pool_create(4);
    ASSERT_NE(pool, nullptr);
    std::vector<DeflateJob> jobs(inputs.size());
    std::vector<std::string> outs(inputs.size(), std::string(capacity, '\0'));
    for (size_t i = 0; i < jobs.size(); i++) {
        jobs[i] = DeflateJob();
        jobs[i].in = inputs[i].data();
        jobs[i].in_length = inputs[i].size();
        jobs[i].out = &outs[i][0];
        jobs[i].out_capacity = capacity;
        jobs[i].skip_check = skip;
        jobs[i].skip_user = &k;
        deflate_pool_submit(pool, &jobs[i]);
    }
    for (size_t i = 0; i < jobs.size(); i++) {
        deflate_pool_wait(pool, &jobs[i]);
        EXPECT_EQ(jobs[i].digest_ok, 1) << i;
        if (i == 4) {
            EXPECT_EQ(jobs[i].skipped, 1);
            EXPECT_EQ(memcmp(jobs[i].digest, known, 32), 0);
            continue;
        }
        EXPECT_EQ(jobs[i].skipped, 0) << i;
        ASSERT_EQ(jobs[i].ok, 1) << i;
        std::string here(capacity, '\0');
        size_t here_length = 0;
        uint32_t crc = 0;
        ASSERT_EQ(deflate_raw_buffer(&zs, inputs[i].data(), inputs[i].size(), &here[0],
                                     capacity, &here_length, &crc),
                  1);
        EXPECT_EQ(jobs[i].crc, crc) << i;
        EXPECT_TRUE(outs[i].substr(0, jobs[i].out_length) == here.substr(0, here_length)) << i;
        EXPECT_EQ(inflate_raw(outs[i].substr(0, jobs[i].out_length), inputs[i].size()),
                  inputs[i]);
    }
    deflate_pool_destroy(pool);
    deflateEnd(&zs);
}

TEST_F(ZipThreadsTest, CacheFindsOnlyTheSameContentAndReadsItsBytes)
{
    ZipCache *cache = zip_cache_create((root + "/cache").c_str(), root.size());
    ASSERT_NE(cache, nullptr);
    /* Its file has no name: nothing shows in the directory. */
    EXPECT_EQ(run_command("test -z \"$(ls -A '" + root + "/cache')\""), 0);

    struct Content {
        std::string data, compressed;
        uint32_t crc;
        uint8_t digest[32];
    } contents[2] = {{"first content", noise(777, 9), 0x1234, {}},
                     {"second", noise(100, 8), 0x5678, {}}};
    for (Content &c : contents) {
        sha256_of(c.data, c.digest);
        uint8_t through_cache[32];
        ASSERT_EQ(zip_cache_digest_begin(cache), 1);
        ASSERT_EQ(zip_cache_digest_update(cache, c.data.data(), 5), 1);
        ASSERT_EQ(zip_cache_digest_update(cache, c.data.data() + 5, c.data.size() - 5), 1);
        ASSERT_EQ(zip_cache_digest_end(cache, through_cache), 1);
        EXPECT_EQ(memcmp(through_cache, c.digest, 32), 0);
        EXPECT_EQ(zip_cache_find(cache, c.digest, c.data.size()), nullptr);
        zip_cache_add_begin(cache);
        size_t half = c.compressed.size() / 2;
        zip_cache_add_bytes(cache, c.compressed.data(), half);
        zip_cache_add_bytes(cache, c.compressed.data() + half, c.compressed.size() - half);
        zip_cache_add_commit(cache, c.digest, c.data.size(), c.crc);
    }
    /* The same content again adds nothing. */
    zip_cache_add_begin(cache);
    zip_cache_add_bytes(cache, "other", 5);
    zip_cache_add_commit(cache, contents[0].digest, contents[0].data.size(), 1);

    for (const Content &c : contents) {
        const ZipCacheEntry *e = zip_cache_find(cache, c.digest, c.data.size());
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(zip_cache_has(cache, c.digest, c.data.size()), 1);
        EXPECT_EQ(e->crc, c.crc);
        EXPECT_EQ(e->size, c.data.size());
        ASSERT_EQ(e->compressed_size, c.compressed.size());
        std::string back(c.compressed.size(), '\0');
        ASSERT_EQ(zip_cache_read(cache, e, 0, &back[0], back.size()), 1);
        EXPECT_TRUE(back == c.compressed);
        EXPECT_EQ(zip_cache_read(cache, e, 1, &back[0], back.size()), 0);
        /* A digest with another size is another content. */
        EXPECT_EQ(zip_cache_find(cache, c.digest, c.data.size() + 1), nullptr);
        EXPECT_EQ(zip_cache_has(cache, c.digest, c.data.size() + 1), 0);
    }
    uint8_t other[32];
    sha256_of("never added", other);
    EXPECT_EQ(zip_cache_find(cache, other, 11), nullptr);
    zip_cache_destroy(cache);
}

/* Where times advance once a second, the file made after a delete can
 * get the deleted one's inode with the same size and times: the cache
 * must have forgotten the deleted one by then. */
TEST_F(ZipThreadsTest, CacheForgetsADeletedFileSoItsInodeBringsNothingAlong)
{
    ZipCache *cache = zip_cache_create(root.c_str(), root.size());
    ASSERT_NE(cache, nullptr);
    /* Two contents of the same size, each a stream in the cache's file. */
    const ZipCacheEntry *entries[2];
    for (int i = 0; i < 2; i++) {
        std::string data = i ? "the default file" : "a launcher file!";
        uint8_t digest[32];
        sha256_of(data, digest);
        uint64_t offset;
        ASSERT_EQ(zip_cache_reserve(cache, 64, &offset), 1);
        ASSERT_EQ(zip_cache_write_at(cache, offset, "stream", 6), 1);
        NativeFileIdentity source = {1, 100u + (uint64_t)i, data.size(), 5000000000, 5000000000, 0};
        zip_cache_commit_file(cache, &source, digest, (uint32_t)i, offset, 6);
        entries[i] = zip_cache_find(cache, digest, data.size());
        ASSERT_NE(entries[i], nullptr);
    }
    NativeFileIdentity launcher = {1, 100, 16, 5000000000, 5000000000, 0};
    NativeFileIdentity installed = {1, 101, 16, 5000000000, 5000000000, 0};
    /* The staged copy of the launcher file, inode 7. */
    NativeFileIdentity staged = {1, 7, 16, 6000000000, 6000000000, 0};
    zip_cache_note_copy(cache, &launcher, &staged);
    EXPECT_EQ(zip_cache_find_file(cache, &staged), entries[0]);

    /* Deleted: inode 7 then goes to a copy of the default file, whose
     * identity is the very same. */
    NativeFileIdentity any_version = staged;
    any_version.size = 1;
    zip_cache_forget_file(cache, &any_version);
    EXPECT_EQ(zip_cache_find_file(cache, &staged), nullptr);
    zip_cache_note_copy(cache, &installed, &staged);
    EXPECT_EQ(zip_cache_find_file(cache, &staged), entries[1]);
    /* The launcher file itself is still known. */
    EXPECT_EQ(zip_cache_find_file(cache, &launcher), entries[0]);

    /* A copy of bytes the cache does not know leaves nothing standing
     * under its identity, and the newest word on a version wins. */
    zip_cache_note_copy(cache, NULL, &staged);
    EXPECT_EQ(zip_cache_find_file(cache, &staged), nullptr);
    NativeFileIdentity unknown = {1, 555, 16, 1, 1, 0};
    zip_cache_note_copy(cache, &launcher, &staged);
    zip_cache_note_copy(cache, &unknown, &staged);
    EXPECT_EQ(zip_cache_find_file(cache, &staged), nullptr);
    zip_cache_note_copy(cache, &launcher, &staged);
    zip_cache_note_copy(cache, &installed, &staged);
    EXPECT_EQ(zip_cache_find_file(cache, &staged), entries[1]);

    /* Only the generation tells a reused inode from the file before it. */
    NativeFileIdentity later = staged;
    later.generation = 77;
    EXPECT_EQ(zip_cache_find_file(cache, &later), nullptr);
    zip_cache_destroy(cache);
}

TEST_F(ZipThreadsTest, ArchivesEqualTheSingleThreadedCacheFreeOne)
{
    write_mixed_tree("tree");
    std::string reference = reference_zip("tree");
    std::vector<ZipEntryRead> want = zip_read_entries(reference);
    ASSERT_EQ(want.size(), 56u); /* 48 files, 8 directories */

    ASSERT_NE(run = zip_run_create("cache", 0), nullptr);
    std::vector<ZipEntryRead> first = zip_entries("first.zip", "tree");
    ZipRunStats after_first = zip_run_stats(run);
    std::vector<ZipEntryRead> second = zip_entries("second.zip", "tree");
    ZipRunStats after_second = zip_run_stats(run);

    expect_same_entries(first, want, true);
    expect_same_entries(second, want, true);
    EXPECT_TRUE(read_native("first.zip") == reference);
    EXPECT_TRUE(read_native("second.zip") == reference);
    /* The second large file comes from the cache already in the first
     * archive; every file of the second does. */
    EXPECT_EQ(after_first.compressed + after_first.reused, 48u);
    EXPECT_GE(after_first.reused, 1u);
    EXPECT_EQ(after_second.compressed, after_first.compressed);
    EXPECT_EQ(after_second.reused, after_first.reused + 48u);
    /* A real reader takes the archive served from the cache. */
    EXPECT_EQ(run_command("unzip -tqq '" + root + "/second.zip'"), 0);
}

TEST_F(ZipThreadsTest, FileChangedBetweenTwoArchivesIsCompressedAgain)
{
    struct Case {
        const char *label;
        std::string before, after; /* same size: only the bytes differ */
    } cases[] = {
        {"compressed whole", text(50000, "old level "), text(50000, "new level ")},
        {"streamed", noise(LARGE, 4), noise(LARGE, 5)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        run_command("rm -rf '" + root + "/tree'");
        write_native("tree/kept.txt", text(20000, "kept "));
        write_native("tree/changing.bin", c.before);
        set_mtime("tree/changing.bin", 1700000000);

        ASSERT_NE(run = zip_run_create("cache", 0), nullptr);
        zip_entries("before.zip", "tree");
        ZipRunStats before = zip_run_stats(run);
        /* Same size, same modification time: only the content tells. */
        write_native("tree/changing.bin", c.after);
        set_mtime("tree/changing.bin", 1700000000);
        std::vector<ZipEntryRead> after = zip_entries("after.zip", "tree");
        ZipRunStats now = zip_run_stats(run);
        zip_run_destroy(run);
        run = nullptr;

        EXPECT_EQ(now.compressed, before.compressed + 1);
        EXPECT_EQ(now.reused, before.reused + 1); /* kept.txt */
        bool seen = false;
        for (const ZipEntryRead &e : after) {
            if (e.name != "changing.bin")
                continue;
            seen = true;
            EXPECT_EQ(e.crc, crc32(0, (const Bytef *)c.after.data(), (uInt)c.after.size()));
            EXPECT_TRUE(inflate_raw(e.raw, c.after.size()) == c.after);
        }
        EXPECT_TRUE(seen);
        EXPECT_EQ(run_command("unzip -tqq '" + root + "/after.zip'"), 0);
    }
}

namespace {

/* An installation with two Linux stubs and the default files, and a game
 * that takes every path of the writer. */
class ZipThreadsPublishTest : public ZipThreadsTest {
protected:
    void SetUp() override
    {
        ZipThreadsTest::SetUp();
        ASSERT_EQ(game_metadata_register(), 1);
        write_native(".brindlecot/stubs/linux-amd64", "#!stub amd64\n" + noise(3001, 6));
        write_native(".brindlecot/stubs/linux-raspberrypi", "#!stub pi\n" + noise(2000, 7));
        for (const char *name : {"open-source-licenses.txt", "font.ttf", "brindlecot.png",
                                 "brindlecot-controller.png", "console-logo.png"})
            write_native(name, std::string("default ") + name);
        write_native("mygame/metadata/game_metadata.txt",
                     "devid=d\ndevtitle=D\ngameid=mygame\ngametitle=G\nversion=1\n");
        write_mixed_tree("mygame/data");
    }

    std::vector<std::string> packages()
    {
        return {read_native("builds/mygame-linux-amd64.bin"),
                read_native("builds/mygame-linux-raspberrypi.bin")};
    }

    /* Both packages within one run, as a publish builds them. */
    std::vector<std::string> build_packages(ZipRun *within)
    {
        mkdir_native("builds");
        for (const char *platform : {"linux-amd64", "linux-raspberrypi"}) {
            std::string package = std::string("builds/mygame-") + platform + ".bin";
            EXPECT_EQ(build_platform(platform, package.c_str(), "mygame", NULL, within), 1);
        }
        return packages();
    }
};

} // namespace

TEST_F(ZipThreadsPublishTest, PackagesEqualASingleThreadedCacheFreePublish)
{
    ASSERT_EQ(game_metadata_load("mygame/metadata/game_metadata.txt"), 1);
    ZipRun *single = zip_run_create(NULL, 1);
    ASSERT_NE(single, nullptr);
    std::vector<std::string> reference = build_packages(single);
    zip_run_destroy(single);
    ASSERT_NE(run = zip_run_create(".brindlecot", 0), nullptr);
    std::vector<std::string> built = build_packages(run);
    ZipRunStats stats = zip_run_stats(run);
    /* The second package came from the cache. */
    EXPECT_GE(stats.reused, stats.compressed);
    /* And a publish, with its own run, writes the same. */
    ASSERT_EQ(publish_game("mygame", "linux-amd64,linux-raspberrypi", 0), 1);
    std::vector<std::string> published = packages();

    const size_t stub_sizes[] = {13 + 3001, 10 + 2000};
    for (size_t i = 0; i < 2; i++) {
        SCOPED_TRACE(i);
        std::vector<ZipEntryRead> want = zip_read_entries(reference[i].substr(stub_sizes[i]));
        EXPECT_GT(want.size(), 50u);
        for (const std::string &package : {built[i], published[i]}) {
            ASSERT_GT(package.size(), stub_sizes[i]);
            EXPECT_TRUE(package.substr(0, stub_sizes[i]) == reference[i].substr(0, stub_sizes[i]));
            expect_same_entries(zip_read_entries(package.substr(stub_sizes[i])), want, false);
        }
    }
    /* Python's reader finds the zip after the stub by itself. */
    EXPECT_EQ(run_command("/usr/bin/python3 -c \"import sys, zipfile; "
                          "sys.exit(zipfile.ZipFile(sys.argv[1]).testzip() is not None)\" '" +
                          root + "/builds/mygame-linux-raspberrypi.bin'"),
              0);
}

TEST_F(ZipThreadsTest, StoredEntryStaysStoredWhenItsContentIsCached)
{
    /* The same content deflated under another name goes into the cache
     * first; the stored entry must still hold the bytes as they are, small
     * (read whole) or large (streamed) alike. */
    struct Case {
        const char *label;
        std::string content;
    } cases[] = {
        {"small", text(50000, "table of resources ")},
        {"large", noise(LARGE, 11) + text(LARGE, "entries ")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        run_command("rm -rf '" + root + "/tree'");
        write_native("tree/a-copy.arsc", c.content);
        write_native("tree/resources.arsc", c.content);
        write_native("tree/z-copy.arsc", c.content);
        write_native("tree/other.txt", text(30000, "other "));

        ZipRun *single = zip_run_create(NULL, 1);
        ASSERT_NE(single, nullptr);
        ASSERT_EQ(zip_package_tree("reference.apk", "tree", 1, "resources.arsc", single), 1);
        zip_run_destroy(single);
        std::string reference = read_native("reference.apk");

        ASSERT_NE(run = zip_run_create("cache", 0), nullptr);
        zip_entries("deflated.zip", "tree");
        ASSERT_EQ(zip_package_tree("first.apk", "tree", 1, "resources.arsc", run), 1);
        ASSERT_EQ(zip_package_tree("second.apk", "tree", 1, "resources.arsc", run), 1);
        zip_run_destroy(run);
        run = nullptr;

        for (const char *apk : {"first.apk", "second.apk"}) {
            SCOPED_TRACE(apk);
            std::string got = read_native(apk);
            EXPECT_TRUE(got == reference);
            std::vector<ZipEntryRead> entries = zip_read_entries(got);
            ASSERT_EQ(entries.size(), 4u);
            for (const ZipEntryRead &e : entries) {
                bool stored = e.name == "resources.arsc";
                EXPECT_EQ(e.method, stored ? 0u : 8u) << e.name;
                if (stored) {
                    EXPECT_EQ(e.csize, c.content.size());
                    EXPECT_TRUE(e.raw == c.content);
                    EXPECT_EQ((e.offset + 30 + e.name.size() + e.extra_length) % 4, 0u);
                }
            }
            EXPECT_EQ(run_command("unzip -tqq '" + root + "/" + apk + "'"), 0);
            EXPECT_EQ(run_command("zipalign -c 4 '" + root + "/" + apk + "' >/dev/null"), 0);
        }
    }
}

/* A file made in a deleted file's inode within the same second can have
 * its size and both times: only the generation tells them apart. The run
 * is told (as a staged copy would tell it) that the version with the
 * file's own stat holds another content; the writer must trust that only
 * when the generation is the file's too. */
TEST_F(ZipThreadsTest, OnlyTheGenerationTellsAReusedInodeFromTheFileBeforeIt)
{
    /* As on a file system whose times are whole seconds, where this can
     * happen at all. */
    native_file_read_every_generation(1);
    struct Reset {
        ~Reset() { native_file_read_every_generation(0); }
    } reset;
    const std::string deleted = text(5000, "the deleted file's bytes ");
    const std::string own = text(5000, "this file's own bytes ");
    write_native("old/f.bin", deleted);
    write_native("tree/f.bin", own);
    NativeFileIdentity old_id, real;
    ASSERT_EQ(native_path_identity((root + "/old/f.bin").c_str(), &old_id), 1);
    ASSERT_EQ(native_path_identity((root + "/tree/f.bin").c_str(), &real), 1);
    if (real.generation == 0)
        GTEST_SKIP() << "this file system gives no inode generation";
    struct Case {
        const char *label;
        uint32_t generation;
        const std::string &expected;
        unsigned unread;
    } cases[] = {
        /* Told of this very version: trusted, so the generation was read. */
        {"the file's own generation", real.generation, deleted, 1},
        {"another generation", real.generation ^ 1u, own, 0},
    };
    const NativeEntryRule linux_native = {"linux-amd64", NULL};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_NE(run = zip_run_create("cache", 0), nullptr);
        zip_run_prepare(run, "old", &linux_native, 1);
        NativeFileIdentity told = real;
        told.generation = c.generation;
        zip_run_note_copy(run, &old_id, &told);
        std::vector<ZipEntryRead> entries = zip_entries("tree.zip", "tree");
        EXPECT_EQ(zip_run_stats(run).unread, c.unread);
        zip_run_destroy(run);
        run = nullptr;
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_TRUE(entries[0].data == c.expected);
    }
}

TEST_F(ZipThreadsTest, FirstPassLeavesTheArchivesNothingToReadOrCompress)
{
    write_mixed_tree("tree");
    write_native("tree/.git/HEAD", "excluded, never read");
    std::string reference = reference_zip("tree");

    ASSERT_NE(run = zip_run_create("cache", 0), nullptr);
    const NativeEntryRule linux_native = {"linux-amd64", NULL};
    zip_run_prepare(run, "tree", &linux_native, 1);
    ZipRunStats prepared = zip_run_stats(run);
    EXPECT_EQ(prepared.compressed, 48u); /* every file, the excluded one aside */
    EXPECT_EQ(prepared.reused, 0u);
    zip_entries("first.zip", "tree");
    ZipRunStats after = zip_run_stats(run);
    EXPECT_EQ(after.compressed, prepared.compressed);
    EXPECT_EQ(after.reused, 48u);
    EXPECT_EQ(after.unread, 48u);
    /* Streamed in pieces on a worker, the bytes are one deflate's. */
    EXPECT_TRUE(read_native("first.zip") == reference);
}

TEST_F(ZipThreadsTest, FirstPassCompressesOnlyWhatThePackagesHold)
{
    write_native("game/app/main.rb", text(3000, "def tick "));
    write_native("game/run", "a launcher at the top: in no package");
    write_native("game/app/run", "below the top, an ordinary file");
    write_native("game/native/linux-amd64/a.so", noise(2000, 1));
    write_native("game/native/android-arm64/b.so", noise(2000, 2));
    write_native("game/native/windows-amd64/c.dll", noise(2000, 3));
    struct Case {
        std::vector<NativeEntryRule> natives;
        unsigned compressed;
    } cases[] = {
        {{}, 0}, /* no package: nothing read at all */
        {{{"linux-amd64", NULL}}, 3},
        {{{"linux-amd64", NULL}, {"android", "android-"}}, 4},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.natives.size());
        ASSERT_NE(run = zip_run_create("cache", 0), nullptr);
        zip_run_prepare(run, "game", c.natives.data(), c.natives.size());
        EXPECT_EQ(zip_run_stats(run).compressed, c.compressed);
        zip_run_destroy(run);
        run = nullptr;
    }
}

namespace {

/* Every platform of a full installation (tools/make_installation.py), its
 * demo game grown with the mixed tree. */
class ZipThreadsEveryPlatformTest : public ZipThreadsTest {
protected:
    void SetUp() override
    {
        ZipThreadsTest::SetUp();
        ASSERT_EQ(game_metadata_register(), 1);
        write_native("runtime-stub", "#!runtime stub\n" + noise(4000, 12));
        ASSERT_EQ(run_command("/usr/bin/python3 '" BRINDLECOT_SOURCE_DIR
                              "/tools/make_installation.py' --runtime-stub '" +
                              root + "/runtime-stub' '" + root + "' >/dev/null"),
                  0);
        write_mixed_tree("mygame/data/mixed");
        ASSERT_EQ(game_metadata_load("mygame/metadata/game_metadata.txt"), 1);
        DIR *d = opendir((root + "/.brindlecot/stubs").c_str());
        ASSERT_NE(d, nullptr);
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                platforms.push_back(e->d_name);
        closedir(d);
        ASSERT_GE(platforms.size(), 8u);
        mkdir_native("builds");
        mkdir_native("reference");
    }

    std::vector<std::string> platforms;

    std::string package_of(const std::string &platform)
    {
        char *path = package_path_for(platform.c_str());
        std::string p = path ? path : "";
        SDL_free(path);
        return p;
    }
};

/* Compares two packages with python's zipfile: every entry's name, method,
 * CRC, sizes, flags, attributes and compressed bytes, times aside; so the
 * HTML5 manifest, which lists the staged files' times, only by its name,
 * method, flags and attributes. */
const char *const compare_packages_py = R"PY(
import sys, zipfile, struct
def entries(path):
    with zipfile.ZipFile(path) as z, open(path, "rb") as f:
        assert z.testzip() is None, path
        out = []
        for i in z.infolist():
            f.seek(i.header_offset)
            h = f.read(30)
            n, e = struct.unpack("<HH", h[26:30])
            f.seek(i.header_offset + 30 + n + e)
            data = (i.CRC, i.compress_size, i.file_size, f.read(i.compress_size))
            if i.filename == "manifest.json":
                data = ()
            out.append((i.filename, i.compress_type, i.flag_bits, i.external_attr) + data)
        return out
a, b = entries(sys.argv[1]), entries(sys.argv[2])
for x, y in zip(a, b):
    if x != y:
        print("differs:", x[:7], y[:7], file=sys.stderr)
        break
if len(a) != len(b):
    print("entries:", len(a), len(b), file=sys.stderr)
sys.exit(0 if a == b and len(a) > 0 else 1)
)PY";

} // namespace

TEST_F(ZipThreadsEveryPlatformTest, PackagesEqualTheSingleThreadedCacheFreeOnes)
{
    ZipRun *single = zip_run_create(NULL, 1);
    ASSERT_NE(single, nullptr);
    BuiltPlatform builds;
    SDL_zero(builds);
    for (const std::string &platform : platforms) {
        std::string package = package_of(platform);
        ASSERT_EQ(build_platform(platform.c_str(), package.c_str(), "mygame", &builds, single), 1)
            << platform;
        if (native_exists(package)) /* some stubs build nothing */
            write_native("reference/" + platform, read_native(package));
    }
    zip_run_destroy(single);
    built_platform_free_list(&builds);

    ASSERT_EQ(publish_game("mygame", NULL, 0), 1);
    write_native("compare.py", compare_packages_py);
    size_t compared = 0;
    for (const std::string &platform : platforms) {
        SCOPED_TRACE(platform);
        EXPECT_EQ(native_exists("reference/" + platform), native_exists(package_of(platform)));
        if (!native_exists("reference/" + platform))
            continue;
        compared++;
        EXPECT_EQ(run_command("/usr/bin/python3 '" + root + "/compare.py' '" + root +
                              "/reference/" + platform + "' '" + root + "/" +
                              package_of(platform) + "'"),
                  0);
    }
    EXPECT_GE(compared, 8u);
}

TEST_F(ZipThreadsEveryPlatformTest, FileRewrittenBetweenTwoPackagesIsReadAfresh)
{
    /* Same size, the modification time set back to the nanosecond: only
     * the change time, which no one can set, tells the new version. */
    const std::string before = noise(LARGE, 13), after = noise(LARGE, 14);
    const std::string small_before = text(40000, "old line "), small_after = text(40000, "new line ");
    write_native("mygame/data/changing.bin", before);
    write_native("mygame/data/changing.txt", small_before);
    struct timespec stamp[2] = {{1700000000, 123456789}, {1700000000, 123456789}};
    for (const char *rel : {"mygame/data/changing.bin", "mygame/data/changing.txt"})
        ASSERT_EQ(utimensat(AT_FDCWD, (root + "/" + rel).c_str(), stamp, 0), 0);

    ASSERT_NE(run = zip_run_create(".brindlecot", 0), nullptr);
    const NativeEntryRule natives[] = {{"linux-amd64", NULL}, {"linux-raspberrypi", NULL}};
    zip_run_prepare(run, "mygame", natives, 2);
    staging_observe_copies(
        [](void *r, const NativeFileIdentity *source, const NativeFileIdentity *copy) {
            zip_run_note_copy((ZipRun *)r, source, copy);
        },
        [](void *r, const NativeFileIdentity *gone) { zip_run_forget_file((ZipRun *)r, gone); },
        run);
    BuiltPlatform builds;
    SDL_zero(builds);
    ASSERT_EQ(build_platform("linux-amd64", "builds/first.bin", "mygame", &builds, run), 1);
    ZipRunStats first = zip_run_stats(run);

    write_native("mygame/data/changing.bin", after);
    write_native("mygame/data/changing.txt", small_after);
    for (const char *rel : {"mygame/data/changing.bin", "mygame/data/changing.txt"})
        ASSERT_EQ(utimensat(AT_FDCWD, (root + "/" + rel).c_str(), stamp, 0), 0);
    ASSERT_EQ(build_platform("linux-raspberrypi", "builds/second.bin", "mygame", &builds, run),
              1);
    ZipRunStats second = zip_run_stats(run);
    staging_observe_copies(NULL, NULL, NULL);
    built_platform_free_list(&builds);

    /* The two rewritten files are read and compressed again; every other
     * file of the game comes from the cache unread, through its staged copy. */
    EXPECT_EQ(second.compressed, first.compressed + 2);
    unsigned game_files = first.unread;
    EXPECT_GT(game_files, 50u);
    EXPECT_EQ(second.unread, first.unread + game_files - 2);
    struct Want {
        const char *package, *name;
        const std::string &content;
    } wants[] = {{"builds/first.bin", "data/changing.bin", before},
                 {"builds/first.bin", "data/changing.txt", small_before},
                 {"builds/second.bin", "data/changing.bin", after},
                 {"builds/second.bin", "data/changing.txt", small_after}};
    for (const Want &w : wants) {
        SCOPED_TRACE(std::string(w.package) + " " + w.name);
        std::string package = read_native(w.package);
        size_t zip_start = package.find("PK\x03\x04");
        ASSERT_NE(zip_start, std::string::npos);
        bool seen = false;
        for (const ZipEntryRead &e : zip_read_entries(package.substr(zip_start))) {
            if (e.name != w.name)
                continue;
            seen = true;
            EXPECT_EQ(e.crc, crc32(0, (const Bytef *)w.content.data(), (uInt)w.content.size()));
            EXPECT_TRUE(inflate_raw(e.raw, w.content.size()) == w.content);
        }
        EXPECT_TRUE(seen);
    }
}
