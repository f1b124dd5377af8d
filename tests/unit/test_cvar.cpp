#include "test_support.h"

#include "engine/cvar.h"
#include "engine/log.h"
#include "engine/log_settings.h"

#include <stdint.h>

class CvarTest : public FsTest {};

TEST_F(CvarTest, PendingValueIsTakenAtRegistrationAndThenRemoved)
{
    ASSERT_EQ(cvar_set("x", "5"), 1);
    ASSERT_STREQ(cvar_pending_value("x"), "5");
    int32_t x = 0;
    ASSERT_EQ(cvar_register("x", CVAR_TYPE_INT, "an x", &x, "7"), 1);
    EXPECT_EQ(x, 5);
    EXPECT_EQ(cvar_pending_value("x"), nullptr);
    ASSERT_EQ(cvar_set("x", "9"), 1);
    EXPECT_EQ(x, 9);
}

TEST_F(CvarTest, RegistrationLineSaysPendingOrDefault)
{
    /* Spam lines are only queued with the threshold at spam. */
    cvar_set("log.level", "spam");
    cvar_set("log.filename", "");
    ASSERT_EQ(log_configure(), 1);
    take_log();
    cvar_set("a", "5");
    int32_t a = 0, b = 0;
    cvar_register("a", CVAR_TYPE_INT, "first", &a, "7");
    cvar_register("b", CVAR_TYPE_INT, "second", &b, "7");
    auto lines = take_log();
    EXPECT_TRUE(has_line(lines, "Registered cvar \"a\" (\"first\") [pending value: \"5\"]"));
    EXPECT_TRUE(has_line(lines, "Registered cvar \"b\" (\"second\") [default value: \"7\"]"));
}

TEST_F(CvarTest, SettingAPendingNameTwiceKeepsOneValue)
{
    cvar_set("never", "1");
    cvar_set("never", "2");
    EXPECT_STREQ(cvar_pending_value("never"), "2");
    /* Freed by cvar_shutdown in TearDown; the leak checker watches. */
}

TEST_F(CvarTest, NewestRegistrationOfANameAnswers)
{
    int32_t older = 0, newer = 0;
    cvar_register("dup", CVAR_TYPE_INT, "old", &older, "1");
    cvar_register("dup", CVAR_TYPE_INT, "new", &newer, "2");
    cvar_set("dup", "3");
    EXPECT_EQ(older, 1);
    EXPECT_EQ(newer, 3);
    cvar_lock("dup");
    EXPECT_EQ(cvar_set("dup", "4"), 0);
    Cvar *c = cvar_find("dup");
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c->description, "new");
    EXPECT_EQ(c->next->locked, 0);
}

struct TextCase {
    const char *text;
    long expected;
};

TEST_F(CvarTest, BoolTexts)
{
    const TextCase cases[] = {{"true", 1}, {"TRUE", 1}, {"1", 1},  {"-3", 1},
                              {"7abc", 1}, {"false", 0}, {"0", 0}, {"", 0},
                              {"yes", 0},  {"on", 0}};
    int32_t v = 0;
    ASSERT_EQ(cvar_register_bool("b", "bool", &v, 0), 1);
    for (const TextCase &c : cases) {
        ASSERT_EQ(cvar_set("b", c.text), 1) << c.text;
        EXPECT_EQ(v, c.expected) << c.text;
    }
}

TEST_F(CvarTest, IntTextsSaturateAt32Bits)
{
    const TextCase cases[] = {{"12abc", 12},
                              {"abc", 0},
                              {" 42", 42},
                              {"-17", -17},
                              {"2147483647", 2147483647L},
                              {"2147483648", 2147483647L},
                              {"99999999999999", 2147483647L},
                              {"-99999999999999", -2147483647L - 1}};
    int32_t v = 0;
    ASSERT_EQ(cvar_register("i", CVAR_TYPE_INT, "int", &v, "0"), 1);
    for (const TextCase &c : cases) {
        cvar_set("i", c.text);
        EXPECT_EQ(v, c.expected) << c.text;
    }
}

TEST_F(CvarTest, UintTextsSaturateAt32Bits)
{
    struct {
        const char *text;
        uint32_t expected;
    } cases[] = {{" 42", 42u},
                 {"4294967295", 4294967295u},
                 {"4294967296", 4294967295u},
                 {"-1", 4294967295u},
                 {"x", 0u}};
    uint32_t v = 0;
    ASSERT_EQ(cvar_register("u", CVAR_TYPE_UINT, "uint", &v, "0"), 1);
    for (const auto &c : cases) {
        cvar_set("u", c.text);
        EXPECT_EQ(v, c.expected) << c.text;
    }
}

TEST_F(CvarTest, FloatAndInlineStorage)
{
    ASSERT_EQ(cvar_register("f", CVAR_TYPE_FLOAT, "float", NULL, "1.5"), 1);
    EXPECT_FLOAT_EQ(cvar_find("f")->inline_storage.float_value, 1.5f);
    ASSERT_EQ(cvar_register("s", CVAR_TYPE_STRING, "string", NULL, "hello"), 1);
    EXPECT_STREQ(cvar_find("s")->inline_storage.string_value, "hello");
}

TEST_F(CvarTest, LockedCvarKeepsItsValueAndLogsOnce)
{
    char *s = NULL;
    cvar_register_string("s", "string", &s, "old");
    take_log();
    ASSERT_EQ(cvar_lock("s"), 1);
    EXPECT_EQ(cvar_set("s", "new"), 0);
    EXPECT_STREQ(s, "old");
    auto lines = take_log();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "Refusing to set locked cvar 's' to 'new'");
    EXPECT_EQ(lines[0].subsystem, "Engine");
    EXPECT_EQ(lines[0].level, (unsigned)LOG_LEVEL_ERROR);
    ASSERT_EQ(cvar_unlock("s"), 1);
    EXPECT_EQ(cvar_set("s", "new"), 1);
    EXPECT_STREQ(s, "new");
    /* The string's storage is this frame's: it is freed and cleared here,
     * not by the fixture's shutdown after the frame is gone. */
    cvar_shutdown();
    EXPECT_EQ(s, nullptr);
}

TEST_F(CvarTest, NullAndUnknownArguments)
{
    int32_t v = 0;
    EXPECT_EQ(cvar_lock("unknown"), 0);
    EXPECT_EQ(cvar_find("unknown"), nullptr);
    EXPECT_EQ(cvar_pending_value("unknown"), nullptr);
    EXPECT_EQ(cvar_set(NULL, "1"), 0);
    EXPECT_EQ(cvar_set("x", NULL), 0);
    EXPECT_EQ(cvar_set_value(NULL, "1"), 0);
    EXPECT_EQ(cvar_register(NULL, CVAR_TYPE_INT, "d", &v, "1"), 0);
    EXPECT_EQ(cvar_register("x", CVAR_TYPE_INT, "d", &v, NULL), 0);
    ASSERT_EQ(cvar_register("x", CVAR_TYPE_INT, "d", &v, "1"), 1);
    EXPECT_EQ(cvar_set_value(cvar_find("x"), NULL), 0);
    EXPECT_EQ(v, 1);
    EXPECT_EQ(cvar_register("bad", 9, "d", &v, "1"), 0);
    EXPECT_EQ(cvar_find("bad"), nullptr);
}

TEST_F(CvarTest, ShutdownClearsStringsAndKeepsNumbers)
{
    char *s = NULL;
    int32_t i = 0;
    cvar_register_string("s", "string", &s, "text");
    cvar_register("i", CVAR_TYPE_INT, "int", &i, "12");
    cvar_shutdown();
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(i, 12);
    EXPECT_EQ(cvar_find("s"), nullptr);
}
