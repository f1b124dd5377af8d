#include "publish/android/android_manifest.h"

#include "engine/game_metadata.h"
#include "engine/helpers.h"
#include "engine/text_escape.h"
#include "platform/clock.h"
#include "publish/publish_log.h"

#include <SDL.h>
#include <physfs.h>

uint32_t android_build_id = 0;

/* 1970-01-01 00:00 UTC in 100-nanosecond units since 1601. */
#define MANIFEST_TICKS_AT_1970 116444736000000000ULL
/* The last tick before 2020-01-01 00:00 UTC, counted from 1970. */
#define MANIFEST_TICKS_BEFORE_2020 15778367999999999ULL
#define MANIFEST_SECONDS_AT_2020 1577836800ULL
#define MANIFEST_TICKS_PER_SECOND 10000000ULL
#define MANIFEST_SECONDS_PER_BUILD_ID 30ULL

/* The whole file, refused when it holds a NUL byte: the text is handled as
 * a C string from here on and would silently lose everything after it. */
static char *manifest_read_file(const char *path)
{
    uint64_t length = 0;
    char *text = read_whole_file(path, &length);
    if (text == NULL) {
        publish_log_error("Failed to load '%s': %s", path, fs_error_text());
        return NULL;
    }
    if (SDL_strlen(text) != length) {
        publish_log_error("There appears to be a null char in '%s' which we don't allow.", path);
        SDL_free(text);
        return NULL;
    }
    return text;
}

/* Computed once per run so that every Android build of a publish carries
 * the same version code; a clock that cannot be right gives 0 for this
 * manifest only, and the next load looks at the clock again. */
static uint32_t manifest_build_id(void)
{
    if (android_build_id != 0)
        return android_build_id;
    uint64_t ticks = clock_utc_ticks_since_1601();
    /* Compared before subtracting: a reading before 1970 would wrap round
     * to a huge unsigned value and pass for a date far in the future. */
    if (ticks <= MANIFEST_TICKS_AT_1970 + MANIFEST_TICKS_BEFORE_2020) {
        publish_log_error("It looks like your system clock is wrong, please fix it!");
        return 0;
    }
    uint64_t seconds = (ticks - MANIFEST_TICKS_AT_1970) / MANIFEST_TICKS_PER_SECOND;
    android_build_id =
        (uint32_t)((seconds - MANIFEST_SECONDS_AT_2020) / MANIFEST_SECONDS_PER_BUILD_ID);
    return android_build_id;
}

int manifest_replace_all(char **text, const char *placeholder, const char *replacement)
{
    size_t placeholder_len = SDL_strlen(placeholder);
    size_t replacement_len = SDL_strlen(replacement);
    /* An empty placeholder matches everywhere and would never end. */
    if (placeholder_len == 0)
        return 1;
    size_t from = 0;
    const char *found;
    while ((found = SDL_strstr(*text + from, placeholder)) != NULL) {
        size_t before = (size_t)(found - *text);
        size_t after = SDL_strlen(found + placeholder_len);
        char *joined = (char *)SDL_malloc(before + replacement_len + after + 1);
        if (joined == NULL) {
            report_out_of_memory();
            return 0;
        }
        SDL_memcpy(joined, *text, before);
        SDL_memcpy(joined + before, replacement, replacement_len);
        SDL_memcpy(joined + before + replacement_len, found + placeholder_len, after + 1);
        SDL_free(*text);
        *text = joined;
        /* Past the inserted text: a replacement holding its own placeholder
         * is not expanded again. */
        from = before + replacement_len;
    }
    return 1;
}

/* The four placeholders in this order: the additions first, so that the
 * placeholders inside them are filled too, and the version code before the
 * version, whose name is a prefix of it. */
static int manifest_fill(char **text, const char *additions, const char *build_id)
{
    /* The package id and version come from the game's metadata as plain
     * text and land inside attribute values: markup characters in them must
     * stay characters rather than end the value or the element, and bytes
     * XML cannot carry must not make the manifest unreadable. */
    char *package_id = xml_attribute_escape(game_metadata_packageid ? game_metadata_packageid : "");
    char *version = xml_attribute_escape(game_metadata_version ? game_metadata_version : "");
    if (package_id == NULL || version == NULL)
        report_out_of_memory();
    int ok = package_id != NULL && version != NULL &&
             manifest_replace_all(text, "$ZEVRA_MANIFEST_ADDITIONS", additions) &&
             manifest_replace_all(text, "$ZEVRA_PACKAGEID", package_id) &&
             manifest_replace_all(text, "$ZEVRA_VERSION_CODE", build_id) &&
             manifest_replace_all(text, "$ZEVRA_VERSION", version);
    SDL_free(package_id);
    SDL_free(version);
    return ok;
}

/* The additions file's text, "" when the game has none, or NULL after the
 * failure was logged. */
static char *manifest_read_additions(const char *platform, const char *game_dir)
{
    char *path = alloc_printf("%s/metadata/%s-manifest-additions.xml", game_dir, platform);
    if (path == NULL) {
        report_out_of_memory();
        return NULL;
    }
    char *additions;
    if (PHYSFS_exists(path)) {
        publish_log_info("Loading Android manifest additions from '%s' ...", path);
        additions = manifest_read_file(path);
    } else {
        additions = SDL_strdup("");
        if (additions == NULL)
            report_out_of_memory();
    }
    SDL_free(path);
    return additions;
}

/* The game's template for the platform when it has one, else the stub's. */
static char *manifest_read_template(const char *platform, const char *game_dir)
{
    char *game_path = alloc_printf("%s/metadata/%s-manifest.xml", game_dir, platform);
    char *stub_path = alloc_printf(".brindlecot/stubs/%s/BrindlecotManifest.xml", platform);
    char *text = NULL;
    if (game_path == NULL || stub_path == NULL) {
        report_out_of_memory();
    } else {
        const char *path = PHYSFS_exists(game_path) ? game_path : stub_path;
        publish_log_info("Loading Android manifest from '%s' ...", path);
        text = manifest_read_file(path);
    }
    SDL_free(game_path);
    SDL_free(stub_path);
    return text;
}

char *load_android_manifest(const char *platform, const char *game_dir)
{
    char *text = manifest_read_template(platform, game_dir);
    if (text == NULL)
        return NULL;
    char *additions = manifest_read_additions(platform, game_dir);
    if (additions == NULL) {
        SDL_free(text);
        return NULL;
    }
    char *build_id = alloc_printf("%u", (unsigned)manifest_build_id());
    int ok = build_id != NULL;
    if (!ok) {
        report_out_of_memory();
    } else {
        publish_log_info("This Android build will have a build ID of '%s'", build_id);
        ok = manifest_fill(&text, additions, build_id);
    }
    SDL_free(build_id);
    SDL_free(additions);
    if (!ok) {
        SDL_free(text);
        return NULL;
    }
    return text;
}
