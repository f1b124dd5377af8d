#include "web_fixture.h"

#include "engine/game_metadata.h"
#include "publish/images/image.h"

#include <SDL.h>

#include <vector>

std::string shell_quote(const std::string &s)
{
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string WebBuildTest::icon_png(int size)
{
    std::vector<uint8_t> rgba((size_t)size * size * 4);
    for (size_t i = 0; i < rgba.size(); i += 4) {
        rgba[i] = (uint8_t)(i / 4 % size * 255 / size);
        rgba[i + 1] = 80;
        rgba[i + 2] = 160;
        rgba[i + 3] = 255;
    }
    size_t length = 0;
    uint8_t *png = encode_png_scaled(rgba.data(), size, size, 0, 0, &length);
    std::string out(png ? (const char *)png : "", png ? length : 0);
    SDL_free(png);
    return out;
}

void WebBuildTest::SetUp()
{
    SDL_zero(head);
    FsTest::SetUp();
    ASSERT_EQ(game_metadata_register(), 1);

    runtime = std::string("\x7f" "ELF", 4) + std::string("runtime body\0with a NUL", 23);
    std::string stored = runtime;
    for (int i = 0; i < 4; i++)
        stored[i] = (char)~stored[i];
    write_native(".brindlecot/stubs/macos", stored);
    write_native(".brindlecot/stubs/html5/stub/index.html", "<html>stub index</html>\n");
    write_native(".brindlecot/stubs/html5/stub/css/site.css", "body {}\n");
    write_native(".brindlecot/stubs/html5/stub/.DS_Store", "junk");
    write_native(".brindlecot/stubs/html5/brindlecot-html5-loader.js", "// loader body\n");

    const char *defaults[] = {"open-source-licenses.txt", "font.ttf", "brindlecot.png",
                              "brindlecot-controller.png", "console-logo.png"};
    for (const char *name : defaults)
        write_native(name, std::string("default ") + name);

    write_native("mygame/metadata/icon.png", icon_png(64));
    write_native("mygame/app/main.rb", "puts 1\n");
    write_native("mygame/data/sub/.DS_Store", "junk");
    write_native("mygame/data/sub/level.txt", "#@#\n");
    write_native("mygame/native/macos/lib.dylib", "mac");
    write_native("mygame/native/html5/lib.wasm", "wasm");
    write_native("mygame/native/linux-amd64/lib.so", "linux");
    load_game("My Game");
}

void WebBuildTest::TearDown()
{
    built_platform_free_list(&head);
    FsTest::TearDown();
}

void WebBuildTest::load_game(const std::string &title, const std::string &gameid,
                             const std::string &version)
{
    write_native("mygame/metadata/game_metadata.txt",
                 "devid=dev\ndevtitle=Dev Title\ngameid=" + gameid + "\ngametitle=" + title +
                     "\nversion=" + version + "\nicon=metadata/icon.png\n");
    ASSERT_EQ(game_metadata_load("mygame/metadata/game_metadata.txt"), 1);
}
