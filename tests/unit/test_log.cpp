#include "test_support.h"

#include "engine/cvar.h"
#include "engine/log.h"
#include "engine/log_settings.h"
#include "platform/console.h"
#include "platform/debug_output.h"

#include <SDL.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <physfs.h>
#include <unistd.h>

#include <set>

class LogTest : public FsTest {
protected:
    /* Configures with the given level and no log file unless named. */
    void configure(const char *level, const char *filename = "")
    {
        cvar_set("log.level", level);
        cvar_set("log.filename", filename);
        ASSERT_EQ(log_configure(), 1);
    }
};

TEST_F(LogTest, StartLinesAreQueuedUnfiltered)
{
    auto lines = take_log();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].text.rfind("Log started at ", 0), 0u);
    EXPECT_EQ(lines[1].text.rfind("This copy of the engine is git hash ", 0), 0u);
    EXPECT_EQ(lines[2].text, "Platform: Linux");
    EXPECT_EQ(lines[3].text, "");
    for (const auto &l : lines) {
        EXPECT_EQ(l.level, (unsigned)LOG_LEVEL_UNFILTERED);
        EXPECT_EQ(l.subsystem, "Engine");
    }
}

TEST_F(LogTest, ConfigureRefiltersWhatWasQueuedBefore)
{
    log_spam("Engine", "spam front-end");
    log_debug("Engine", "debug front-end");
    log_append("Engine", LOG_LEVEL_SPAM, "appended spam");
    configure("info");
    auto lines = take_log();
    EXPECT_FALSE(has_line(lines, "spam front-end"));
    EXPECT_FALSE(has_line(lines, "debug front-end"));
    EXPECT_FALSE(has_line(lines, "appended spam"));
    EXPECT_TRUE(has_line(lines, "Log started at"));
}

TEST_F(LogTest, BeforeConfigureSpamIsSkippedButAppendKeepsIt)
{
    take_log();
    log_spam("Engine", "spam front-end");
    log_debug("Engine", "debug front-end");
    log_append("Engine", LOG_LEVEL_SPAM, "appended spam");
    auto lines = take_log();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "debug front-end");
    EXPECT_EQ(lines[1].text, "appended spam");
}

TEST_F(LogTest, LevelNames)
{
    struct {
        const char *name;
        LogLevel threshold;
        bool error_line;
    } cases[] = {
        {"spam", LOG_LEVEL_SPAM, false},          {"debug", LOG_LEVEL_DEBUG, false},
        {"info", LOG_LEVEL_INFO, false},          {"warn", LOG_LEVEL_WARN, false},
        {"error", LOG_LEVEL_ERROR, false},        {"unfiltered", LOG_LEVEL_UNFILTERED, false},
        {"nothing", LOG_LEVEL_NOTHING, false},    {"INFO", LOG_LEVEL_DEBUG, true},
        {"bogus", LOG_LEVEL_DEBUG, true},
    };
    for (const auto &c : cases) {
        TearDown();
        SetUp();
        take_log();
        configure(c.name);
        EXPECT_EQ(log_get_threshold(), c.threshold) << c.name;
        auto lines = take_log();
        std::string expected = std::string("Cvar log.level value '") + c.name +
                               "' is unknown. Defaulting to 'debug'.";
        EXPECT_EQ(has_line(lines, expected), c.error_line) << c.name;
    }
}

TEST_F(LogTest, NothingDropsEverything)
{
    configure("nothing");
    take_log();
    log_unfiltered("Engine", "x");
    log_error("Engine", "x");
    log_append("Engine", LOG_LEVEL_UNFILTERED, "y");
    EXPECT_TRUE(take_log().empty());
}

TEST_F(LogTest, FilterTextGivesTwoFiltersIgnoringCase)
{
    cvar_set("log.filter_subsystems", " HTTP , ,Engine,http");
    configure("debug");
    ASSERT_EQ(log_filter_count_get(), 2);
    EXPECT_STREQ(log_filter_get(0), "HTTP");
    EXPECT_STREQ(log_filter_get(1), "Engine");
    take_log();
    log_info("http", "dropped");
    log_info("engine", "dropped");
    log_info("Publish", "kept");
    auto lines = take_log();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "kept");
}

TEST_F(LogTest, FileNameRules)
{
    struct {
        const char *name;
        const char *path;
    } cases[] = {{"mylog.txt", "logs/mylog.txt"}, {"out/x.txt", "out/x.txt"}};
    for (const auto &c : cases) {
        TearDown();
        SetUp();
        mkdir_native("logs");
        mkdir_native("out");
        configure("info", c.name);
        log_info("Engine", "hello");
        log_shutdown();
        EXPECT_NE(read_native(c.path).find("hello\r\n"), std::string::npos) << c.name;
    }
    TearDown();
    SetUp();
    configure("info", "");
    auto lines = take_log();
    EXPECT_FALSE(has_line(lines, "logfile"));
}

TEST_F(LogTest, FileGetsCrlfLinesWithPrefixes)
{
    mkdir_native("logs");
    configure("info", "t.txt");
    log_info("HTTP", "first");
    log_error("Engine", "second");
    log_drain();
    log_shutdown();
    std::string file = read_native("logs/t.txt");
    EXPECT_NE(file.find("- 000000 [HTTP] first\r\n"), std::string::npos) << file;
    EXPECT_NE(file.find("! 000000 [Engine] second\r\n"), std::string::npos);
    EXPECT_NE(file.find("* 000000 [Engine] Logging shutting down\r\n"), std::string::npos);
    EXPECT_EQ(file.find("\n\n"), std::string::npos);
}

TEST_F(LogTest, UnopenableFileIsReportedAndLoggingGoesOn)
{
    /* No "logs" directory exists, so logs/x.txt cannot be opened. */
    configure("info", "x.txt");
    auto lines = take_log();
    EXPECT_TRUE(has_line(lines, "Failed to open logfile 'logs/x.txt' ("));
    EXPECT_TRUE(has_line(lines, "Continuing on without log file"));
}

static LogLine *make_line(LogLevel level, uint64_t ms, const char *sub, const char *text)
{
    size_t ls = strlen(sub) + 1, lt = strlen(text) + 1;
    LogLine *l = (LogLine *)SDL_malloc(sizeof(LogLine) + ls + lt);
    l->level = level;
    l->timestamp_ms = ms;
    l->subsystem = (char *)(l + 1);
    l->text = l->subsystem + ls;
    memcpy(l->subsystem, sub, ls);
    memcpy(l->text, text, lt);
    l->next = NULL;
    return l;
}

static std::string write_to_stdout_captured(LogLine *line)
{
    testing::internal::CaptureStdout();
    log_write_lines(line);
    std::string out = testing::internal::GetCapturedStdout();
    log_free_lines(line);
    return out;
}

TEST_F(LogTest, LinePrefixesAndColours)
{
    configure("info");
    cvar_set("log.stdout", "true");
    cvar_set("log.stdout_color", "false");
    cvar_set("log.subsystem", "true");
    EXPECT_EQ(write_to_stdout_captured(make_line(LOG_LEVEL_INFO, 65432, "HTTP", "hi")),
              "- 000065 [HTTP] hi\n");
    EXPECT_EQ(write_to_stdout_captured(make_line(LOG_LEVEL_INFO, 123456789012ull, "A", "b")),
              "- 123456789 [A] b\n");
    cvar_set("log.subsystem", "false");
    EXPECT_EQ(write_to_stdout_captured(make_line(LOG_LEVEL_WARN, 1000, "HTTP", "hi")),
              "# 000001 hi\n");
    cvar_set("log.timing", "false");
    cvar_set("log.level_char", "false");
    EXPECT_EQ(write_to_stdout_captured(make_line(LOG_LEVEL_WARN, 1000, "HTTP", "hi")), "hi\n");
    cvar_set("log.level_char", "true");
    cvar_set("log.stdout_color", "true");
    EXPECT_EQ(write_to_stdout_captured(make_line(LOG_LEVEL_UNFILTERED, 0, "E", "u")),
              "\x1b[96m* u\x1b[m\n");
    EXPECT_EQ(write_to_stdout_captured(make_line(7, 0, "E", "odd")), "? odd\n");
    EXPECT_EQ(write_to_stdout_captured(make_line(LOG_LEVEL_ERROR, 0, "E", "bad")),
              "\x1b[91m! bad\x1b[m\n");
}

TEST_F(LogTest, NullSubsystemAndText)
{
    take_log();
    log_append(NULL, LOG_LEVEL_INFO, NULL);
    auto lines = take_log();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].subsystem, "???");
    EXPECT_EQ(lines[0].text, "(null)");
}

static void capture_debug(const uint16_t *text, void *user)
{
    auto *out = (std::vector<std::u16string> *)user;
    out->push_back(std::u16string((const char16_t *)text));
}

TEST_F(LogTest, DebuggerOutputGetsUtf16WithoutLineEnd)
{
    std::vector<std::u16string> got;
    debug_output_set_sink(capture_debug, &got);
    configure("info");
    cvar_set("log.timing", "false");
    take_log();
    log_info("E", "caf\xc3\xa9 \xf0\x9f\x8e\xae");
    log_drain();
    debug_output_set_sink(NULL, NULL);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], u"- [E] caf\u00e9 \U0001F3AE");
}

/* Makes every write past a few bytes fail, as on a full disk. */
class FullDisk {
public:
    FullDisk()
    {
        signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved);
        struct rlimit small = saved;
        small.rlim_cur = 4;
        setrlimit(RLIMIT_FSIZE, &small);
    }
    ~FullDisk() { setrlimit(RLIMIT_FSIZE, &saved); }

private:
    struct rlimit saved;
};

static std::string joined(const std::vector<std::u16string> &lines)
{
    std::string out;
    for (const auto &l : lines) {
        for (char16_t c : l)
            out += (char)c;
        out += '\n';
    }
    return out;
}

/* The other outputs are watched through the debugger output, since the
 * disk limit would break a captured standard output too. */
TEST_F(LogTest, ShortWriteStopsFileLoggingButNotTheOtherOutputs)
{
    std::vector<std::u16string> got;
    mkdir_native("logs");
    configure("info", "full.txt");
    cvar_set("log.timing", "false");
    take_log();
    debug_output_set_sink(capture_debug, &got);
    {
        FullDisk full;
        log_info("E", "one");
        log_drain();
        log_info("E", "two");
        log_drain();
    }
    debug_output_set_sink(NULL, NULL);
    std::string out = joined(got);
    EXPECT_NE(out.find("- [E] one\n! [Engine] Failed to write log file! Giving up on further "
                       "logging to this file. ("),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("- [E] two\n"), std::string::npos);
    EXPECT_EQ(read_native("logs/full.txt").find("two"), std::string::npos);
}

TEST_F(LogTest, ShutdownWritesTheErrorLineOfItsOwnDrain)
{
    std::vector<std::u16string> got;
    mkdir_native("logs");
    configure("info", "full.txt");
    take_log();
    debug_output_set_sink(capture_debug, &got);
    {
        FullDisk full;
        log_shutdown();
    }
    debug_output_set_sink(NULL, NULL);
    std::string out = joined(got);
    EXPECT_NE(out.find("Logging shutting down"), std::string::npos);
    EXPECT_NE(out.find("Failed to write log file!"), std::string::npos) << out;
}

static int log_from_thread(void *data)
{
    int id = (int)(intptr_t)data;
    for (int i = 0; i < 1000; i++)
        log_info("T", "%d:%d", id, i);
    return 0;
}

TEST_F(LogTest, EightThreadsLoseNothing)
{
    take_log();
    SDL_Thread *threads[8];
    for (int t = 0; t < 8; t++)
        threads[t] = SDL_CreateThread(log_from_thread, "log", (void *)(intptr_t)t);
    for (int t = 0; t < 8; t++)
        SDL_WaitThread(threads[t], NULL);
    LogLine *first = log_take_queue();
    std::set<std::string> seen;
    int last_per_thread[8];
    for (int &v : last_per_thread)
        v = -1;
    uint64_t last_ms = 0;
    size_t count = 0;
    for (LogLine *l = first; l; l = l->next, count++) {
        seen.insert(l->text);
        int id, i;
        ASSERT_EQ(sscanf(l->text, "%d:%d", &id, &i), 2);
        EXPECT_EQ(i, last_per_thread[id] + 1); /* each thread's order kept */
        last_per_thread[id] = i;
        EXPECT_GE(l->timestamp_ms, last_ms);
        last_ms = l->timestamp_ms;
    }
    log_free_lines(first);
    EXPECT_EQ(count, 8000u);
    EXPECT_EQ(seen.size(), 8000u);
}

/* 4 threads x 2,000 lines of 1 KiB: 8 MiB, far past the queue's bound. */
static int log_flood_from_thread(void *data)
{
    std::string text(1000, 'x');
    for (int i = 0; i < 2000; i++) {
        std::string line = std::to_string((intptr_t)data) + ":" + std::to_string(i) + text;
        log_append("Flood", LOG_LEVEL_INFO, line.c_str());
    }
    return 0;
}

TEST_F(LogTest, AFloodIsWrittenOutByItsOwnThreadsAndLosesNothing)
{
    configure("info");
    take_log();
    written.clear();
    SDL_Thread *threads[4];
    for (int t = 0; t < 4; t++)
        threads[t] = SDL_CreateThread(log_flood_from_thread, "flood", (void *)(intptr_t)t);
    for (int t = 0; t < 4; t++)
        SDL_WaitThread(threads[t], NULL);
    size_t queued_bytes = 0, queued = 0;
    LogLine *first = log_take_queue();
    for (LogLine *l = first; l; l = l->next, queued++)
        queued_bytes += SDL_strlen(l->text);
    log_free_lines(first);
    EXPECT_LE(queued_bytes, (size_t)LOG_QUEUE_BOUND + 2000) << "nobody drained, yet it stays bounded";
    EXPECT_EQ(written.size() + queued, 8000u);
}

TEST_F(LogTest, ControlCharactersAndInvalidUtf8AreEscapedWhenWritten)
{
    configure("info");
    take_log();
    written.clear();
    log_append("Publish", LOG_LEVEL_INFO, "two\nlines \x1b[31mred\x07 bad\xff end");
    log_append("Publish", LOG_LEVEL_INFO, "plain caf\xc3\xa9");
    log_drain();
    ASSERT_EQ(written.size(), 2u);
    EXPECT_NE(written[0].find("two\\x0alines \\x1b[31mred\\x07 bad\\xff end"), std::string::npos)
        << written[0];
    EXPECT_EQ(written[1].find("\\x"), std::string::npos) << "valid UTF-8 text is kept";
}

TEST(ConsoleTest, CharDeviceOnlyForTerminalsAndDevices)
{
    int saved = dup(STDOUT_FILENO);
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDOUT_FILENO);
    int on_device = console_stdout_is_char_device();
    char path[] = "/tmp/brindlecot-console-XXXXXX";
    int file = mkstemp(path);
    dup2(file, STDOUT_FILENO);
    int on_file = console_stdout_is_char_device();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    dup2(fds[1], STDOUT_FILENO);
    int on_pipe = console_stdout_is_char_device();
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(devnull);
    close(file);
    close(fds[0]);
    close(fds[1]);
    unlink(path);
    EXPECT_EQ(on_device, 1);
    EXPECT_EQ(on_file, 0);
    EXPECT_EQ(on_pipe, 0);
}
