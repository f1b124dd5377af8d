#include "publish/publish_main.h"

#include <gtest/gtest.h>

#include <SDL.h>

#include <string>

/* What publish_path_in_installation makes of a path; "OUTSIDE" when it
 * refuses it. */
static std::string in_installation(const char *install, const char *path)
{
    int outside = -1;
    char *result = publish_path_in_installation(install, path, &outside);
    if (!result) {
        EXPECT_EQ(outside, 1) << path;
        return "OUTSIDE";
    }
    EXPECT_EQ(outside, 0) << path;
    std::string out = result;
    SDL_free(result);
    return out;
}

TEST(PublishPaths, CommandLinePathsBecomeInstallationRelative)
{
    struct {
        const char *path;
        const char *expected;
    } cases[] = {
        {"mygame", "mygame"},
        {"./mygame", "mygame"},
        {"mygame/", "mygame"},
        {".//mygame/./icons//a.png", "mygame/icons/a.png"},
        {"mygame/../other/x.png", "other/x.png"},
        {"../inst/mygame", "mygame"},
        {"../../../home/u/inst/a/b/../c", "a/c"},
        {"/home/u/inst/mygame", "mygame"},
        {"/home/u/inst/./sub/../mygame/", "mygame"},
        {"/home/u/other/../inst/x.ico", "x.ico"},
        {".", ""},
        {"/home/u/inst", ""},
        {"sub/..", ""},
        /* Leaving the installation, however it is spelt. */
        {"..", "OUTSIDE"},
        {"../x.png", "OUTSIDE"},
        {"mygame/../../x.png", "OUTSIDE"},
        {"../inst2/x.png", "OUTSIDE"},
        {"/home/u/inst2/x.png", "OUTSIDE"},
        {"/home/u/x.png", "OUTSIDE"},
        {"/x.png", "OUTSIDE"},
        {"/../../x.png", "OUTSIDE"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(in_installation("/home/u/inst", c.path), c.expected) << c.path;
}

TEST(PublishPaths, InstallationAtTheRootHoldsEveryAbsolutePath)
{
    EXPECT_EQ(in_installation("/", "/srv/x.png"), "srv/x.png");
    EXPECT_EQ(in_installation("/", "../../srv/x.png"), "srv/x.png");
    EXPECT_EQ(in_installation("/", "/"), "");
}

TEST(PublishPaths, InstallationNameIsComparedBySegments)
{
    /* "/home/u/inst" is a prefix of "/home/u/install" as text only. */
    EXPECT_EQ(in_installation("/home/u/inst/", "/home/u/install/x"), "OUTSIDE");
    EXPECT_EQ(in_installation("/home/u/inst/", "/home/u/inst/x"), "x");
}
