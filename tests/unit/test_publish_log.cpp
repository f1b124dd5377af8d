#include "test_support.h"

#include "engine/cvar.h"
#include "engine/log.h"
#include "engine/log_settings.h"
#include "publish/publish_log.h"

class PublishLogTest : public FsTest {
protected:
    void SetUp() override
    {
        FsTest::SetUp();
        cvar_set("log.filename", "");
        cvar_set("log.timing", "false");
        cvar_set("log.stdout_color", "false");
        cvar_set("log.stdout", "true");
    }
    void configure(const char *level)
    {
        cvar_set("log.level", level);
        ASSERT_EQ(log_configure(), 1);
        take_log();
    }
};

TEST_F(PublishLogTest, LinesAreWrittenOutAtOnce)
{
    configure("info");
    testing::internal::CaptureStdout();
    publish_log_info("step %d", 1);
    std::string after_info = testing::internal::GetCapturedStdout();
    EXPECT_EQ(after_info, "- [Publish] step 1\n");
    testing::internal::CaptureStdout();
    publish_log_error("%s", "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "! [Publish] \n");
    EXPECT_TRUE(take_log().empty());
}

TEST_F(PublishLogTest, InfoBelowLevelStillDrainsOthers)
{
    configure("error");
    log_error("Engine", "queued elsewhere");
    testing::internal::CaptureStdout();
    publish_log_info("hidden");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "! [Engine] queued elsewhere\n");
}

TEST_F(PublishLogTest, OutOfMemoryReport)
{
    configure("info");
    testing::internal::CaptureStdout();
    report_out_of_memory();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "\n\n\nOut of memory!\n\n\n\n! [Publish] Out of memory!\n");
}
