#include "web_fixture.h"

#include "publish/platforms/build_html5.h"
#include "publish/platforms/build_platform.h"

#include <SDL.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <sstream>

#define PACKAGE "builds/mygame-html5.zip"
#define SITE "builds/mygame-html5-1.0"

class Html5Test : public WebBuildTest {
protected:
    int build() { return build_platform("html5", PACKAGE, "mygame", &head, NULL); }

    /* "<hex of key> <filesize>" for every key of the manifest at rel, as
     * python's json module reads it (the empty closing key included). */
    std::set<std::string> manifest_keys(const std::string &rel)
    {
        std::string out;
        int status = run_command(
            "timeout 30 /usr/bin/python3 -c 'import json,sys; "
            "d=json.load(open(sys.argv[1],encoding=\"utf-8\")); "
            "[print(k.encode().hex(), v.get(\"filesize\", \"-\")) for k,v in d.items()]' " +
                shell_quote(root + "/" + rel),
            &out);
        EXPECT_EQ(status, 0) << read_native(rel);
        std::set<std::string> keys;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);)
            keys.insert(line);
        return keys;
    }
};

static std::string key(const std::string &path, size_t size)
{
    return hex_of(path) + " " + std::to_string(size);
}

TEST_F(Html5Test, LoaderHeaderReadsBackInNode)
{
    const char *values[] = {
        "plain",
        "Bob's Game",
        "C:\\Games\\x",
        "ends in a backslash\\",
        "two\nlines",
        "tab\tcr\r\x01 bell\x07",
        "double \"quotes\" and </script>",
        "Caf\xc3\xa9 \xe6\x97\xa5 line\xe2\x80\xa8sep para\xe2\x80\xa9sep",
        "",
    };
    for (const char *v : values) {
        char *header = html5_loader_header(v, v, "Dev", "1.0", v);
        ASSERT_NE(header, nullptr);
        write_native("header.js",
                     std::string(header) +
                         "for (const v of [GBrindlecotGameId, GBrindlecotGameTitle, "
                         "GBrindlecotDevTitle, GBrindlecotGameVersion, GBrindlecotIcon])\n"
                         "  console.log(Buffer.from(v, 'utf8').toString('hex'));\n");
        SDL_free(header);
        std::string out;
        ASSERT_EQ(run_command("timeout 30 /usr/bin/node " + shell_quote(root + "/header.js"), &out),
                  0)
            << v;
        EXPECT_EQ(out, hex_of(v) + "\n" + hex_of(v) + "\n" + hex_of("Dev") + "\n" +
                           hex_of("1.0") + "\n" + hex_of(std::string("/") + v) + "\n")
            << v;
    }
}

TEST_F(Html5Test, LoaderHeaderLines)
{
    char *header = html5_loader_header("mygame", "Bob's Game", "D", "1.0", "metadata/icon.png");
    ASSERT_NE(header, nullptr);
    EXPECT_STREQ(header, "var GBrindlecotGameId = 'mygame';\n"
                         "var GBrindlecotGameTitle = 'Bob\\'s Game';\n"
                         "var GBrindlecotDevTitle = 'D';\n"
                         "var GBrindlecotGameVersion = '1.0';\n"
                         "var GBrindlecotIcon = '/metadata/icon.png';\n\n");
    SDL_free(header);
}

TEST_F(Html5Test, ManifestListsRegularFilesAsValidJson)
{
    write_native("tree/a.txt", "12345");
    write_native("tree/sub/deeper/b.bin", std::string(300, 'b'));
    write_native("tree/sub/.DS_Store", "junk");
    write_native("tree/.git/HEAD", "ref");
    write_native("tree/sub/.SVN/entries", "x");
    write_native("tree/say \"hi\".txt", "hi");
    write_native("tree/tab\there\nnewline", "");
    write_native("tree/caf\xc3\xa9.txt", "\xc3\xa9");
    mkdir_native("tree/empty");
    ASSERT_EQ(write_manifest_json("tree", "manifest.json"), 1);

    std::set<std::string> expected = {
        key("a.txt", 5), key("sub/deeper/b.bin", 300), key("say \"hi\".txt", 2),
        key("tab\there\nnewline", 0), key("caf\xc3\xa9.txt", 2), " -",
    };
    EXPECT_EQ(manifest_keys("manifest.json"), expected);

    /* The time is the file's modification time in Unix seconds. */
    struct stat st;
    ASSERT_EQ(stat((root + "/tree/a.txt").c_str(), &st), 0);
    std::string text = read_native("manifest.json");
    EXPECT_NE(text.find("\t\"a.txt\" : { \"filesize\" : 5, \"filetime\" : " +
                        std::to_string((long long)st.st_mtime) + " },\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.substr(0, 2), "{\n");
    EXPECT_EQ(text.substr(text.size() - 11), "\t\"\" : {}\n}\n");
}

TEST_F(Html5Test, ManifestOfAnEmptyTreeIsJustTheClosingEntry)
{
    mkdir_native("tree");
    ASSERT_EQ(write_manifest_json("tree", "manifest.json"), 1);
    EXPECT_EQ(read_native("manifest.json"), "{\n\t\"\" : {}\n}\n");
}

TEST_F(Html5Test, BuildsTheSiteAndRecordsBothPaths)
{
    ASSERT_EQ(build(), 1);
    EXPECT_EQ(read_native(SITE "/index.html"), "<html>stub index</html>\n");
    EXPECT_TRUE(native_exists(SITE "/css/site.css"));
    EXPECT_FALSE(native_exists(SITE "/.DS_Store"));

    std::string loader = read_native(SITE "/brindlecot-html5-loader.js");
    EXPECT_EQ(loader.substr(0, 34), "var GBrindlecotGameId = 'mygame';\n");
    EXPECT_NE(loader.find("var GBrindlecotIcon = '/metadata/icon.png';\n\n// loader body\n"),
              std::string::npos);
    EXPECT_EQ(loader.substr(loader.size() - 15), "// loader body\n");

    /* The staged game, with the manifest listing exactly its files. */
    std::set<std::string> expected = {" -"};
    const char *files[] = {"app/main.rb", "data/sub/level.txt", "native/html5/lib.wasm",
                           "metadata/icon.png", "metadata/game_metadata.txt",
                           "metadata/BRINDLECOT_PRODUCTION_BUILD", "open-source-licenses.txt",
                           "font.ttf", "brindlecot.png", "brindlecot-controller.png",
                           "console-logo.png"};
    for (const char *f : files) {
        EXPECT_TRUE(native_exists(std::string(SITE "/gamedata/") + f)) << f;
        std::string data = read_native(std::string(SITE "/gamedata/") + f);
        expected.insert(key(f, data.size()));
    }
    EXPECT_EQ(manifest_keys(SITE "/manifest.json"), expected);
    EXPECT_FALSE(native_exists(SITE "/gamedata/native/macos"));
    EXPECT_FALSE(native_exists(SITE "/gamedata/data/sub/.DS_Store"));

    /* A PNG whose header says 512 x 512. */
    std::string favicon = read_native(SITE "/favicon.png");
    ASSERT_GT(favicon.size(), 24u);
    EXPECT_EQ(favicon.substr(0, 8), "\x89PNG\r\n\x1a\n");
    EXPECT_EQ(hex_of(favicon.substr(16, 8)), "0000020000000200");
    EXPECT_TRUE(native_exists(PACKAGE));

    ASSERT_NE(head.next, nullptr);
    EXPECT_STREQ(head.next->platform, "html5");
    EXPECT_STREQ(head.next->path, SITE);
    EXPECT_EQ(head.next->is_tree, 1);
    ASSERT_NE(head.next->next, nullptr);
    EXPECT_STREQ(head.next->next->path, PACKAGE);
    EXPECT_EQ(head.next->next->is_tree, 0);
}

TEST_F(Html5Test, RebuildRemovesTheOldSite)
{
    ASSERT_EQ(build(), 1);
    EXPECT_FALSE(was_written("Deleting '" SITE "'..."));
    write_native(SITE "/stale.html", "old");
    write_native(SITE "/gamedata/app/stale.rb", "old");
    ASSERT_EQ(build(), 1);
    EXPECT_TRUE(was_written("Deleting '" SITE "'..."));
    EXPECT_FALSE(native_exists(SITE "/stale.html"));
    EXPECT_FALSE(native_exists(SITE "/gamedata/app/stale.rb"));
    EXPECT_EQ(read_native(SITE "/manifest.json").find("stale"), std::string::npos);
}

TEST_F(Html5Test, FailuresDeleteThePackageAndKeepTheRecord)
{
    struct {
        const char *what;
        const char *remove;
        const char *plant; /* a file that blocks the old site's removal */
        const char *message;
    } cases[] = {
        {"no icon", "mygame/metadata/icon.png", NULL,
         "Failed to load image 'mygame/metadata/icon.png'"},
        {"no loader body", ".brindlecot/stubs/html5/brindlecot-html5-loader.js", NULL,
         "Can't open '.brindlecot/stubs/html5/brindlecot-html5-loader.js' for reading: "},
        {"old site stays", NULL, SITE "/stale", "Failed to delete '" SITE "/stale': "},
    };
    for (const auto &c : cases) {
        if (c.remove)
            PHYSFS_delete(c.remove);
        if (c.plant && !write_undeletable(c.plant, "old"))
            continue; /* no immutable files here */
        write_native(PACKAGE, "an older package");
        written.clear();
        EXPECT_EQ(build(), 0) << c.what;
        EXPECT_TRUE(was_written(c.message)) << c.what;
        EXPECT_FALSE(native_exists(PACKAGE)) << c.what;
        ASSERT_NE(head.next, nullptr);
        EXPECT_STREQ(head.next->path, SITE) << c.what;
        EXPECT_EQ(head.next->is_tree, 1);
    }
    EXPECT_FALSE(was_written("Preparing JavaScript loader..."));
}

TEST_F(Html5Test, MissingWebRootFailsTheBuildNamingTheDirectory)
{
    /* Gone, or a file where the directory should be: either would have
     * given a site without index.html. */
    for (bool as_file : {false, true}) {
        SCOPED_TRACE(as_file ? "a file" : "missing");
        std::filesystem::remove_all(root + "/.brindlecot/stubs/html5/stub");
        if (as_file)
            write_native(".brindlecot/stubs/html5/stub", "not a directory");
        write_native(PACKAGE, "an older package");
        written.clear();
        EXPECT_EQ(build(), 0);
        EXPECT_TRUE(was_written("The HTML5 stub has no web root directory "
                                "'.brindlecot/stubs/html5/stub'"));
        EXPECT_FALSE(native_exists(PACKAGE));
        EXPECT_FALSE(native_exists(SITE "/index.html"));
        EXPECT_FALSE(was_written("Preparing JavaScript loader..."));
    }
}
