#include "test_support.h"
#include "test_http_server.h"

#include "engine/cvar.h"
#include "engine/game_metadata.h"
#include "engine/http.h"
#include "engine/log.h"
#include "platform/process.h"
#include "platform/signals.h"
#include "publish/store/butler.h"
#include "publish/publish_game.h"

#include <SDL.h>
#include <physfs.h>

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

using Argv = std::vector<std::string>;

/* --- process_run -------------------------------------------------------- */

class ProcessTest : public FsTest {};

TEST_F(ProcessTest, ReturnsTheExitStatus)
{
    struct {
        const char *script;
        int status;
    } cases[] = {
        {"exit 0", 0},
        {"exit 3", 3},
        {"exit 255", 255},
        {"kill -9 $$", 128 + 9},
    };
    for (const auto &c : cases) {
        const char *argv[] = {"/bin/sh", "-c", c.script, NULL};
        EXPECT_EQ(process_run(argv), c.status) << c.script;
    }
}

TEST_F(ProcessTest, ChildGetsTheDefaultSigpipeBack)
{
    /* The programs ignore SIGPIPE for their own console; butler must still
     * die of it like any program started from a shell. */
    void (*old)(int) = signal(SIGPIPE, SIG_IGN);
    const char *argv[] = {"/bin/sh", "-c", "kill -PIPE $$; exit 0", NULL};
    int status = process_run(argv);
    signal(SIGPIPE, old);
    EXPECT_EQ(status, 128 + SIGPIPE);
}

TEST_F(ProcessTest, AStopSignalReachesTheChildWhichIsWaitedForAndNothingNewStarts)
{
    signals_install(NULL);
    /* The child asks its parent to stop, then would sleep; the handler
     * passes the signal on, so it ends at once, and is waited for. */
    const char *argv[] = {"/bin/sh", "-c", "kill -TERM $PPID; sleep 30; exit 0", NULL};
    Uint64 started = SDL_GetTicks64();
    EXPECT_EQ(process_run(argv), 128 + SIGTERM);
    EXPECT_LT(SDL_GetTicks64() - started, 20000u);
    EXPECT_EQ(signals_pending(), SIGTERM);
    const char *next[] = {"/bin/true", NULL};
    EXPECT_EQ(process_run(next), -1);
    EXPECT_EQ(errno, EINTR);
}

TEST_F(ProcessTest, EveryElementIsOneUninterpretedArgument)
{
    std::string out = root + "/args";
    std::string script = "printf '%s\\n' \"$@\" > '" + out + "'";
    const char *argv[] = {"/bin/sh", "-c", script.c_str(), "sh", "two words", "$(touch PWNED)",
                          "`touch PWNED`", "a\"b'c", "; touch PWNED", "", NULL};
    ASSERT_EQ(process_run(argv), 0);
    EXPECT_EQ(read_native("args"),
              "two words\n$(touch PWNED)\n`touch PWNED`\na\"b'c\n; touch PWNED\n\n");
    EXPECT_FALSE(native_exists("PWNED"));
}

TEST_F(ProcessTest, ProgramsThatCannotStart)
{
    write_native("not-executable", "#!/bin/sh\nexit 0\n");
    std::string missing = root + "/missing";
    std::string plain = root + "/not-executable";
    struct {
        const char *program;
        int error;
    } cases[] = {
        {missing.c_str(), ENOENT},
        {plain.c_str(), EACCES},
        {"true", ENOENT}, /* a bare name is a path, not looked up in PATH */
    };
    for (const auto &c : cases) {
        const char *argv[] = {c.program, NULL};
        errno = 0;
        EXPECT_EQ(process_run(argv), -1) << c.program;
        EXPECT_EQ(errno, c.error) << c.program;
    }
    EXPECT_EQ(process_run(NULL), -1);
}

/* --- the upload ------------------------------------------------------------ */

static const char *const kArchivePath = "/butler/linux-amd64/LATEST/archive/default";
static const char *const kAllPushed = "All builds pushed to itch.io!";

class ButlerTest : public FsTest {
protected:
    void SetUp() override
    {
        /* Loopback only: no proxy from the environment may step in. */
        for (const char *name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY",
                                 "all_proxy", "ALL_PROXY"})
            unsetenv(name);
        FsTest::SetUp();
        ASSERT_EQ(quiet_log("info"), 1);
        ASSERT_EQ(game_metadata_register(), 1);
        ASSERT_EQ(butler_register(), 1);
        write_native("meta.txt", "devid=d\ndevtitle=D\ngameid=mygame\ngametitle=G\nversion=1\n");
        ASSERT_EQ(game_metadata_load("meta.txt"), 1);
        SDL_zero(head);
        written.clear();
    }
    void TearDown() override
    {
        built_platform_free_list(&head);
        http_shutdown();
        FsTest::TearDown();
    }

    /* A butler that records its argument vector (fields ended by 0x1F, one
     * run a line) and succeeds. */
    std::string fake_script() const
    {
        return "#!/bin/sh\nprintf '%s\\037' \"$0\" \"$@\" >> '" + root +
               "/record'\nprintf '\\n' >> '" + root + "/record'\n";
    }
    void install_fake()
    {
        write_native(".brindlecot/itchio-butler/butler", fake_script());
        chmod((root + "/.brindlecot/itchio-butler/butler").c_str(), 0755);
    }
    std::vector<Argv> calls()
    {
        std::vector<Argv> out;
        std::istringstream in(read_native("record"));
        std::string line;
        while (std::getline(in, line)) {
            Argv argv;
            size_t start = 0, end;
            while ((end = line.find('\x1f', start)) != std::string::npos) {
                argv.push_back(line.substr(start, end - start));
                start = end + 1;
            }
            out.push_back(argv);
        }
        return out;
    }
    /* The texts of the lines written out, without level and subsystem. */
    std::vector<std::string> texts() const
    {
        std::vector<std::string> out;
        for (const std::string &l : written) {
            size_t tag = l.find("[Publish] ");
            if (tag != std::string::npos)
                out.push_back(l.substr(tag + 10));
        }
        return out;
    }
    static int index_of(const std::vector<std::string> &v, const std::string &s)
    {
        for (size_t i = 0; i < v.size(); i++)
            if (v[i] == s)
                return (int)i;
        return -1;
    }
    /* Records in build order; the list ends up newest first. */
    void build(const char *platform, const char *path, int is_tree)
    {
        ASSERT_EQ(built_platform_add(&head, platform, path, is_tree), 1);
    }
    std::string native(const std::string &rel) const { return root + "/" + rel; }

    BuiltPlatform head;
};

struct Record {
    const char *platform;
    const char *path;
    int is_tree;
};

struct Push {
    const char *path;
    const char *channel;
};

TEST_F(ButlerTest, WhatIsPushedFromEachList)
{
    struct {
        const char *name;
        std::vector<Record> builds; /* in build order */
        std::vector<Push> pushes;   /* newest first */
        bool advice;
    } cases[] = {
        {"html5 and macos push their directories",
         {{"macos", "builds/mygame-macos.zip", 0},
          {"macos", "builds/macos/My Game.app", 1},
          {"html5", "builds/mygame-html5.zip", 0},
          {"html5", "builds/html5", 1}},
         {{"builds/html5", "html5"}, {"builds/macos/My Game.app", "macos"}},
         true},
        {"every kind of build",
         {{"linux-amd64", "builds/mygame-linux-amd64.bin", 0},
          {"android", "builds/mygame-android.apk", 0},
          {"linux-raspberrypi", "builds/mygame-linux-raspberrypi.bin", 0},
          {"googleplay", "builds/mygame-googleplay.aab", 0},
          {"html5", "builds/mygame-html5.zip", 0},
          {"html5", "builds/html5", 1},
          {"ios-device", "builds/mygame-ios-device", 0},
          {"oculusquest", "builds/mygame-oculusquest.apk", 0},
          {"windows-amd64", "builds/mygame-windows-amd64.exe", 0},
          {"macos", "builds/mygame-macos.zip", 0},
          {"macos", "builds/macos/G.app", 1},
          {"windows-arm64", "builds/mygame-windows-arm64.exe", 0}},
         {{"builds/macos/G.app", "macos"},
          {"builds/mygame-windows-amd64.exe", "windows-amd64"},
          {"builds/html5", "html5"},
          {"builds/mygame-linux-raspberrypi.bin", "linux-raspberrypi"},
          {"builds/mygame-linux-amd64.bin", "linux-amd64"}},
         true},
        {"android packages only",
         {{"android", "builds/mygame-android.apk", 0},
          {"googleplay", "builds/mygame-googleplay.aab", 0}},
         {},
         false},
        {"macos only: no advice",
         {{"macos", "builds/mygame-macos.zip", 0}, {"macos", "builds/macos/G.app", 1}},
         {{"builds/macos/G.app", "macos"}},
         false},
        {"names in another case keep their case as channel",
         {{"Linux-AMD64", "builds/mygame-Linux-AMD64.bin", 0},
          {"HTML5", "builds/mygame-HTML5.zip", 0},
          {"html5", "builds/html5", 1}},
         {{"builds/html5", "html5"}, {"builds/mygame-Linux-AMD64.bin", "Linux-AMD64"}},
         true},
    };
    install_fake();
    std::string butler = native(".brindlecot/itchio-butler/butler");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        built_platform_free_list(&head);
        for (const Record &r : c.builds)
            build(r.platform, r.path, r.is_tree);
        write_native("record", "");
        written.clear();

        upload_to_itchio(head.next);

        std::vector<Argv> expected = {{butler, "version"},
                                      {butler, "upgrade", "--assume-yes"},
                                      {butler, "version"}};
        std::vector<std::string> running = {
            "Running \".brindlecot/itchio-butler/butler upgrade --assume-yes\" ..."};
        for (const Push &p : c.pushes) {
            expected.push_back({butler, "push", native(p.path), std::string("d/mygame:") + p.channel});
            running.push_back(std::string("Running \".brindlecot/itchio-butler/butler push \"") +
                              p.path + "\" d/mygame:" + p.channel + "\" ...");
        }
        EXPECT_EQ(calls(), expected);

        std::vector<std::string> t = texts();
        std::vector<std::string> ran;
        for (const std::string &line : t)
            if (line.rfind("Running ", 0) == 0)
                ran.push_back(line);
        EXPECT_EQ(ran, running);
        int all = index_of(t, kAllPushed);
        ASSERT_GE(all, 0);
        if (!c.advice) {
            EXPECT_EQ(all + 1, (int)t.size());
            continue;
        }
        std::vector<std::string> advice(t.begin() + all + 1, t.end());
        ASSERT_EQ(advice.size(), 23u);
        std::string stars(69, '*');
        std::vector<std::string> expected_advice = {
            "", "", "", stars,
            "If you want your HTML5 build to play in-browser from itch.io:",
            " - Edit your itch.io project page as follows, if you haven't already:",
            "    'Kind of project': HTML",
            " - Find the 'html5' file, and make sure its",
            "    \"This file will be played in the browser\" checkbox is checked.",
            " - Then check the 'Embed options' section",
            " - Don't forget to click 'Save'!",
            "Note: 'HTML' project pages on itch still offer the non-web downloads!",
            "",
            "If you _don't_ want it to play in-browser from itch.io:",
            " - Edit your itch.io project page as follows, if you haven't already:",
            "    'Kind of project': Downloadable",
            " - Find the 'html5' file, and click its",
            "    \"Hide this file and prevent it from being downloaded\" checkbox.",
            " - Don't forget to click 'Save'!",
            stars, "", "", ""};
        EXPECT_EQ(advice, expected_advice);
    }
}

TEST_F(ButlerTest, BundleNamedAfterAHostileTitleIsOneArgument)
{
    const char *bundle = "builds/macos/$(touch PWNED) `touch PWNED2` \"q\" it's; x.app";
    build("macos", "builds/mygame-macos.zip", 0);
    build("macos", bundle, 1);
    install_fake();
    upload_to_itchio(head.next);
    std::vector<Argv> c = calls();
    ASSERT_EQ(c.size(), 4u);
    EXPECT_EQ(c[3], (Argv{native(".brindlecot/itchio-butler/butler"), "push", native(bundle),
                          "d/mygame:macos"}));
    EXPECT_NE(index_of(texts(), kAllPushed), -1);
    EXPECT_FALSE(native_exists("PWNED"));
    EXPECT_FALSE(native_exists("PWNED2"));
    struct stat st;
    EXPECT_NE(stat("PWNED", &st), 0);
    EXPECT_NE(stat("PWNED2", &st), 0);
}

TEST_F(ButlerTest, ButlerThatCannotStartIsAFailure)
{
    /* Present but not executable: nothing runs, nothing is pushed. */
    write_native(".brindlecot/itchio-butler/butler", fake_script());
    build("linux-amd64", "builds/mygame-linux-amd64.bin", 0);
    upload_to_itchio(head.next);
    std::vector<std::string> t = texts();
    EXPECT_NE(index_of(t, "Couldn't run \".brindlecot/itchio-butler/butler upgrade "
                          "--assume-yes\": Permission denied"),
              -1);
    EXPECT_NE(index_of(t, "itch.io butler reported failure!"), -1);
    EXPECT_EQ(index_of(t, kAllPushed), -1);
    EXPECT_FALSE(native_exists("record"));
}

TEST_F(ButlerTest, DownloadAddressSetting)
{
    Cvar *url = cvar_find("publish.butler_url");
    ASSERT_NE(url, nullptr);
    EXPECT_STREQ(*(char **)url->storage, "https://broth.itch.ovh");
    EXPECT_EQ(url->locked, 0);
}

/* The download archive, zipped by the system's zip; corrupt breaks the
 * deflate data of its first entry (the butler), so it mounts but does not
 * unpack. */
static std::string butler_zip(const std::string &root, const std::string &script, bool corrupt)
{
    std::string dir = root + "/zip-src";
    run_command("mkdir -p '" + dir + "'");
    {
        std::ofstream out(dir + "/butler", std::ios::binary);
        out << script << std::string(4000, '#') << "\n";
    }
    EXPECT_EQ(run_command("cd '" + dir + "' && zip -q -X -9 ../b.zip butler && cd .. && rm -rf zip-src"), 0);
    std::ifstream in(root + "/b.zip", std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string zip = ss.str();
    run_command("rm -f '" + root + "/b.zip'");
    if (corrupt) {
        size_t name_len = (unsigned char)zip[26] | ((unsigned char)zip[27] << 8);
        size_t extra_len = (unsigned char)zip[28] | ((unsigned char)zip[29] << 8);
        zip[30 + name_len + extra_len] = 0x07; /* a final block of the reserved type */
    }
    return zip;
}

TEST_F(ButlerTest, DownloadedArchiveIsUnmountedWhateverHappens)
{
    struct {
        const char *name;
        int kind; /* 0 good, 1 corrupt entry, 2 not a zip */
        bool butler_dir_stays;
        const char *error;
    } cases[] = {
        {"good archive", 0, true, NULL},
        {"corrupt entry", 1, false, "Couldn't unpack butler.zip"},
        {"not a zip", 2, true, "Couldn't mount butler.zip: "},
    };
    std::string good = butler_zip(root, fake_script(), false);
    std::string corrupt = butler_zip(root, fake_script(), true);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string body = c.kind == 0 ? good : c.kind == 1 ? corrupt : "<html>no zip</html>";
        TestHttpServer server([&](const ReceivedRequest &req, TestHttpServer &) {
            return TestHttpServer::response(req.target == kArchivePath ? 200 : 404, body);
        });
        ASSERT_EQ(cvar_set("publish.butler_url", server.url("").c_str()), 1);
        run_command("rm -rf '" + native(".brindlecot") + "' '" + native("record") + "'");
        built_platform_free_list(&head);
        build("linux-amd64", "builds/mygame-linux-amd64.bin", 0);
        written.clear();

        upload_to_itchio(head.next);

        ASSERT_EQ(server.requests().size(), 1u);
        EXPECT_EQ(server.requests()[0].target, kArchivePath);
        std::string archive = native(".brindlecot/itchio-butler/butler.zip");
        EXPECT_EQ(PHYSFS_getMountPoint(archive.c_str()), nullptr);
        char **search = PHYSFS_getSearchPath();
        int entries = 0;
        for (char **p = search; *p; p++)
            entries++;
        PHYSFS_freeList(search);
        EXPECT_EQ(entries, 1); /* only the test's own directory */
        std::vector<std::string> t = texts();
        EXPECT_NE(index_of(t, "itch.io butler downloaded!"), -1);
        EXPECT_EQ(native_exists(".brindlecot/itchio-butler"), c.butler_dir_stays);
        if (!c.error) {
            struct stat st;
            ASSERT_EQ(stat(native(".brindlecot/itchio-butler/butler").c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0755u);
            EXPECT_NE(index_of(t, "itch.io butler is good to go"), -1);
            EXPECT_EQ(calls(), (std::vector<Argv>{{native(".brindlecot/itchio-butler/butler"), "push",
                                                  native("builds/mygame-linux-amd64.bin"),
                                                  "d/mygame:linux-amd64"}}));
        } else {
            bool found = false;
            for (const std::string &line : t)
                found = found || line.rfind(c.error, 0) == 0;
            EXPECT_TRUE(found);
            EXPECT_FALSE(native_exists("record"));
            EXPECT_FALSE(native_exists(".brindlecot/itchio-butler/butler"));
        }
    }
}
