/* The daemon's command line: "<game_directory> [port]" and "--set" pairs. */
#include "test_support.h"

#include "engine/cvar.h"
#include "httpd/httpd_main.h"

#include <string>
#include <vector>

namespace {

class HttpdCommandLineTest : public FsTest {
protected:
    int parse(std::vector<std::string> args, HttpdOptions *out)
    {
        storage = args;
        storage.insert(storage.begin(), "brindlecot-httpd");
        argv.clear();
        for (std::string &a : storage)
            argv.push_back(&a[0]);
        return httpd_parse_command_line((int)argv.size(), argv.data(), out);
    }
    std::vector<std::string> storage;
    std::vector<char *> argv;
};

TEST_F(HttpdCommandLineTest, Table)
{
    struct Row {
        std::vector<std::string> args;
        int ok;
        const char *dir;
        int port;
    } rows[] = {
        {{}, 0, nullptr, 8080},
        {{"--set", "a", "b"}, 0, nullptr, 8080},
        {{"game"}, 1, "game", 8080},
        {{"game", "32767"}, 1, "game", 32767},
        {{"game", "0"}, 1, "game", 0},
        {{"game", "80"}, 1, "game", 80},
        {{"game", "8081abc"}, 1, "game", 8081},
        {{"game", "abc"}, 1, "game", 0},
        {{"game", "32768"}, 0, "game", 8080},
        {{"game", "-1"}, 0, "game", 8080},
        {{"game", "4294967296"}, 0, "game", 8080}, /* must not wrap to 0 */
        {{"game", "8080", "extra"}, 0, "game", 8080},
        {{"game", "--set", "x", "y", "8080", "--set", "p", "q", "extra"}, 0, "game", 8080},
        {{"--set", "x", "y", "game", "1234"}, 1, "game", 1234},
        {{"game", "--set"}, 1, "game", 8080},
        {{"game", "--set", "only-one"}, 1, "game", 8080},
        {{"game", "--set", "x", "5", "--set", "y"}, 1, "game", 8080},
        {{"--set", "x", "y", "--SET"}, 1, "--SET", 8080},
    };
    for (const Row &row : rows) {
        HttpdOptions o;
        std::string joined;
        for (const std::string &a : row.args)
            joined += a + " ";
        EXPECT_EQ(parse(row.args, &o), row.ok) << joined;
        if (row.dir) {
            EXPECT_STREQ(o.game_directory, row.dir) << joined;
        } else {
            EXPECT_EQ(o.game_directory, nullptr) << joined;
        }
        if (row.ok) {
            EXPECT_EQ(o.port, row.port) << joined;
        }
    }
}

TEST_F(HttpdCommandLineTest, SetPairsBecomePendingValues)
{
    HttpdOptions o;
    ASSERT_EQ(parse({"--set", "log.level", "debug", "game", "--set", "log.timing", "true", "--set", "z"}, &o), 1);
    EXPECT_STREQ(cvar_pending_value("log.level"), "debug");
    EXPECT_STREQ(cvar_pending_value("log.timing"), "true");
    EXPECT_EQ(cvar_pending_value("z"), nullptr);
}

} // namespace
