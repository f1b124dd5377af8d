/* A small installation for the macOS and HTML5 build tests: the stubs
 * those builds read, the five default files and a game "mygame" with a real
 * PNG icon, all in the FsTest temporary directory. */
#ifndef BRINDLECOT_TEST_WEB_FIXTURE_H
#define BRINDLECOT_TEST_WEB_FIXTURE_H

#include "test_support.h"

#include "publish/publish_game.h"

#include <string>

class WebBuildTest : public FsTest {
protected:
    void SetUp() override;
    void TearDown() override;

    /* The list of builds a test hands to a build; freed at TearDown. */
    BuiltPlatform head;

    /* Writes mygame/metadata/game_metadata.txt with these values and loads
     * it into the game metadata settings. */
    void load_game(const std::string &title, const std::string &gameid = "mygame",
                   const std::string &version = "1.0");

    /* The runtime executable as it must end up in the bundle; the macOS
     * stub holds it with its first four bytes complemented. */
    std::string runtime;

    static std::string icon_png(int size);
};


/* Single-quotes a path for the shell. */
std::string shell_quote(const std::string &s);

#endif
