#include "publish/android/android_manifest.h"

#include "engine/game_metadata.h"
#include "engine/helpers.h"
#include "engine/text_escape.h"
#include "platform/clock.h"
#include "publish/android/manifest_check.h"
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
        publish_log_error("Failed to load '%s': %s", path,
                          fs_is_special_file(path) ? FS_SPECIAL_FILE_CAUSE : fs_error_text());
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

/* Where each stretch of the manifest text came from, so that a parse
 * problem can be pointed at the line to edit in the file itself. A span
 * runs from at to the next span's at; a fixed span (an inserted id or
 * version) maps every byte to the placeholder it replaced. */
enum { MANIFEST_FROM_TEMPLATE, MANIFEST_FROM_ADDITIONS, MANIFEST_SOURCE_COUNT };

typedef struct ManifestSpan {
    size_t at;
    int origin;
    size_t origin_at;
    int fixed;
} ManifestSpan;

typedef struct ManifestSources {
    const char *paths[MANIFEST_SOURCE_COUNT]; /* NULL: no such file */
    char *texts[MANIFEST_SOURCE_COUNT];       /* as read, after mending */
    ManifestSpan *spans;
    size_t span_count;
} ManifestSources;

static ManifestSpan manifest_origin(const ManifestSources *sources, size_t at)
{
    size_t i = 0;
    while (i + 1 < sources->span_count && sources->spans[i + 1].at <= at)
        i++;
    ManifestSpan found = sources->spans[i];
    if (!found.fixed)
        found.origin_at += at - found.at;
    found.at = at;
    return found;
}

/* The text's bytes [at, at + removed) became inserted bytes: from the
 * additions file, or in place of a placeholder. */
static int manifest_spans_replace(ManifestSources *sources, size_t at, size_t removed,
                                  size_t inserted, int from_additions)
{
    ManifestSpan head = manifest_origin(sources, at);
    ManifestSpan tail = manifest_origin(sources, at + removed);
    ManifestSpan *spans =
        (ManifestSpan *)SDL_malloc((sources->span_count + 2) * sizeof *spans);
    if (!spans) {
        report_out_of_memory();
        return 0;
    }
    size_t n = 0;
    for (size_t i = 0; i < sources->span_count && sources->spans[i].at < at; i++)
        spans[n++] = sources->spans[i];
    if (from_additions) {
        head.origin = MANIFEST_FROM_ADDITIONS;
        head.origin_at = 0;
        head.fixed = 0;
    } else {
        head.fixed = 1;
    }
    spans[n++] = head;
    tail.at = at + inserted;
    spans[n++] = tail;
    for (size_t i = 0; i < sources->span_count; i++) {
        if (sources->spans[i].at > at + removed) {
            spans[n] = sources->spans[i];
            spans[n++].at += inserted - removed;
        }
    }
    SDL_free(sources->spans);
    sources->spans = spans;
    sources->span_count = n;
    return 1;
}

static int manifest_replace(char **text, ManifestSources *sources, const char *placeholder,
                            const char *replacement, int from_additions)
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
        if (sources && !manifest_spans_replace(sources, before, placeholder_len,
                                               replacement_len, from_additions))
            return 0;
        /* Past the inserted text: a replacement holding its own placeholder
         * is not expanded again. */
        from = before + replacement_len;
    }
    return 1;
}

int manifest_replace_all(char **text, const char *placeholder, const char *replacement)
{
    return manifest_replace(text, NULL, placeholder, replacement, 0);
}

/* The four placeholders in this order: the additions first, so that the
 * placeholders inside them are filled too, and the version code before the
 * version, whose name is a prefix of it. */
static int manifest_fill(char **text, ManifestSources *sources, const char *additions,
                         const char *build_id)
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
             manifest_replace(text, sources, "$ZEVRA_MANIFEST_ADDITIONS", additions, 1) &&
             manifest_replace(text, sources, "$ZEVRA_PACKAGEID", package_id, 0) &&
             manifest_replace(text, sources, "$ZEVRA_VERSION_CODE", build_id, 0) &&
             manifest_replace(text, sources, "$ZEVRA_VERSION", version, 0);
    SDL_free(package_id);
    SDL_free(version);
    return ok;
}

/* Line and column of a byte, both from 1 as an editor shows them; lines
 * end at LF, CR LF or a lone CR, as for the XML reader. */
static void manifest_line_column(const char *text, size_t at, unsigned *line, unsigned *column)
{
    *line = 1;
    *column = 1;
    for (size_t i = 0; i < at && text[i]; i++) {
        if (text[i] == '\n' || (text[i] == '\r' && text[i + 1] != '\n')) {
            (*line)++;
            *column = 1;
        } else if (text[i] != '\r') {
            (*column)++;
        }
    }
}

/* Template bytes are taken as UTF-8. Malformed sequences become "?", the
 * way the APK's string pool has always written them, here once for every
 * output, so that the bundle never holds invalid UTF-8 either. */
static int manifest_mend_utf8(char **text, const char *path)
{
    size_t same = 0;
    char *mended = utf8_mend_to_question_marks(*text, &same);
    if (!mended) {
        report_out_of_memory();
        return 0;
    }
    if ((*text)[same] == '\0' && mended[same] == '\0') {
        SDL_free(mended);
        return 1;
    }
    unsigned line, column;
    manifest_line_column(*text, same, &line, &column);
    publish_log_warn("WARNING: '%s' is not valid UTF-8 (the first malformed byte is on line %u); "
                     "its malformed bytes are written as '?'",
                     path, line);
    SDL_free(*text);
    *text = mended;
    return 1;
}

/* The whole file, mended, or NULL after the failure was logged. */
static char *manifest_read_text(const char *path)
{
    char *text = manifest_read_file(path);
    if (text && !manifest_mend_utf8(&text, path)) {
        SDL_free(text);
        return NULL;
    }
    return text;
}

/* The additions file's text, "" when the game has none, or NULL after the
 * failure was logged. *path is the file's path when there is one. */
static char *manifest_read_additions(const char *platform, const char *game_dir, char **path)
{
    *path = alloc_printf("%s/metadata/%s-manifest-additions.xml", game_dir, platform);
    if (*path == NULL) {
        report_out_of_memory();
        return NULL;
    }
    if (PHYSFS_exists(*path)) {
        publish_log_info("Loading Android manifest additions from '%s' ...", *path);
        return manifest_read_text(*path);
    }
    SDL_free(*path);
    *path = NULL;
    char *additions = SDL_strdup("");
    if (additions == NULL)
        report_out_of_memory();
    return additions;
}

/* The game's template for the platform when it has one, else the stub's;
 * *path is the one read. */
static char *manifest_read_template(const char *platform, const char *game_dir, char **path)
{
    char *game_path = alloc_printf("%s/metadata/%s-manifest.xml", game_dir, platform);
    char *stub_path = alloc_printf(".brindlecot/stubs/%s/BrindlecotManifest.xml", platform);
    char *text = NULL;
    *path = NULL;
    if (game_path == NULL || stub_path == NULL) {
        report_out_of_memory();
    } else {
        int own = PHYSFS_exists(game_path);
        *path = own ? game_path : stub_path;
        publish_log_info("Loading Android manifest from '%s' ...", *path);
        text = manifest_read_text(*path);
    }
    if (*path != game_path)
        SDL_free(game_path);
    if (*path != stub_path)
        SDL_free(stub_path);
    return text;
}

static void manifest_free_sources(ManifestSources *sources)
{
    for (int i = 0; i < MANIFEST_SOURCE_COUNT; i++) {
        SDL_free((void *)sources->paths[i]);
        SDL_free(sources->texts[i]);
    }
    SDL_free(sources->spans);
}

/* The filled text; sources receives its files and where each stretch of
 * the text came from. */
static char *manifest_load(const char *platform, const char *game_dir, ManifestSources *sources)
{
    SDL_zerop(sources);
    char *template_path = NULL, *additions_path = NULL;
    char *text = manifest_read_template(platform, game_dir, &template_path);
    sources->paths[MANIFEST_FROM_TEMPLATE] = template_path;
    char *additions = text ? manifest_read_additions(platform, game_dir, &additions_path) : NULL;
    sources->paths[MANIFEST_FROM_ADDITIONS] = additions_path;
    sources->spans = (ManifestSpan *)SDL_calloc(1, sizeof *sources->spans);
    sources->span_count = 1;
    sources->texts[MANIFEST_FROM_TEMPLATE] = text ? SDL_strdup(text) : NULL;
    sources->texts[MANIFEST_FROM_ADDITIONS] = additions ? SDL_strdup(additions) : NULL;
    int ok = additions != NULL;
    if (ok && (!sources->spans || !sources->texts[0] || !sources->texts[1])) {
        report_out_of_memory();
        ok = 0;
    }
    if (ok && additions_path && !SDL_strstr(text, "$ZEVRA_MANIFEST_ADDITIONS"))
        publish_log_warn("WARNING: '%s' has no $ZEVRA_MANIFEST_ADDITIONS placeholder, so the "
                         "additions in '%s' are left out",
                         template_path, additions_path);
    char *build_id = ok ? alloc_printf("%u", (unsigned)manifest_build_id()) : NULL;
    if (ok && !build_id) {
        report_out_of_memory();
        ok = 0;
    }
    if (ok) {
        publish_log_info("This Android build will have a build ID of '%s'", build_id);
        ok = manifest_fill(&text, sources, additions, build_id);
    }
    SDL_free(build_id);
    SDL_free(additions);
    if (!ok) {
        SDL_free(text);
        return NULL;
    }
    return text;
}

char *load_android_manifest(const char *platform, const char *game_dir)
{
    ManifestSources sources;
    char *text = manifest_load(platform, game_dir, &sources);
    manifest_free_sources(&sources);
    return text;
}

/* The file and line that a byte of the filled text came from. */
static ManifestPlace manifest_place(const ManifestSources *sources, size_t at)
{
    ManifestSpan origin = manifest_origin(sources, at);
    unsigned line, column;
    manifest_line_column(sources->texts[origin.origin], origin.origin_at, &line, &column);
    ManifestPlace place = {sources->paths[origin.origin], line};
    return place;
}

/* The reader gives a node the position after its last byte. */
static ManifestPlace manifest_locate(void *user, const XmlTreeNode *node)
{
    return manifest_place((const ManifestSources *)user, node->offset > 0 ? node->offset - 1 : 0);
}

XmlTreeNode *parse_android_manifest(const char *platform, const char *game_dir)
{
    ManifestSources sources;
    char *text = manifest_load(platform, game_dir, &sources);
    XmlTreeNode *document = NULL;
    if (text) {
        uint32_t failed_at = 0;
        document = parse_xml_tree_at(text, &failed_at);
        if (!document) {
            /* The reader counts the byte it stopped on. */
            size_t at = failed_at > 0 ? failed_at - 1 : 0;
            size_t len = SDL_strlen(text);
            if (len > 0 && at >= len)
                at = len - 1;
            ManifestSpan origin = manifest_origin(&sources, at);
            unsigned line, column;
            manifest_line_column(sources.texts[origin.origin], origin.origin_at, &line, &column);
            publish_log_error("The manifest text there comes from '%s': line #%u, column #%u",
                              sources.paths[origin.origin], line, column);
        } else if (!manifest_check_tree(document, manifest_locate, &sources)) {
            free_xml_tree(document);
            document = NULL;
        }
        SDL_free(text);
    }
    manifest_free_sources(&sources);
    return document;
}
