#include "engine/game_metadata.h"

#include "engine/cvar.h"
#include "engine/helpers.h"
#include "engine/log.h"

#include <SDL.h>
#include <physfs.h>

typedef struct MetadataField {
    const char *cvar;
    CvarType type;
    void *storage;
    const char *default_text;
    const char *help;
    const char *key;   /* NULL: not settable from the file */
    unsigned required; /* flag of a required key, or 0 */
} MetadataField;

static const MetadataField metadata_fields[] = {
    {"game_metadata.devid", CVAR_TYPE_STRING, &game_metadata_devid, "brindlecot",
     "Developer ID (simple identifier)", "devid", 1},
    {"game_metadata.devtitle", CVAR_TYPE_STRING, &game_metadata_devtitle, "Brindlecot LLC",
     "Actual developer name", "devtitle", 2},
    {"game_metadata.gameid", CVAR_TYPE_STRING, &game_metadata_gameid, "hello-SDL",
     "Game ID (simple identifier)", "gameid", 4},
    {"game_metadata.gametitle", CVAR_TYPE_STRING, &game_metadata_gametitle,
     "Update metadata/game_metadata.txt in your mygame directory to change this title.",
     "Actual game name", "gametitle", 8},
    {"game_metadata.version", CVAR_TYPE_STRING, &game_metadata_version, "1.0",
     "Game's version number", "version", 16},
    {"game_metadata.icon", CVAR_TYPE_STRING, &game_metadata_icon, "metadata/icon.png",
     "Game's icon filename", "icon", 0},
    {"game_metadata.deployment", CVAR_TYPE_BOOL, &game_metadata_deployment, "false",
     "True if this is a production build", NULL, 0},
    {"game_metadata.compile_ruby", CVAR_TYPE_BOOL, &game_metadata_compile_ruby, "false",
     "True if production builds cook Ruby source code", "compile_ruby", 0},
    {"game_metadata.packageid", CVAR_TYPE_STRING, &game_metadata_packageid, "",
     "Package ID in reverse-domain format", "packageid", 0},
    {"game_metadata.vrmode", CVAR_TYPE_INT, &game_metadata_vrmode, "0", "VR mode", "vrmode",
     0},
};
#define METADATA_FIELD_COUNT ((int)SDL_arraysize(metadata_fields))
#define METADATA_REQUIRED_ALL 31u

int game_metadata_register(void)
{
    for (int i = 0; i < METADATA_FIELD_COUNT; i++) {
        const MetadataField *f = &metadata_fields[i];
        if (!cvar_register(f->cvar, f->type, f->help, f->storage, f->default_text))
            return 0;
        cvar_lock(f->cvar);
    }
    return 1;
}

static int is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

/* Trims [*start, *end) of ASCII white space at both ends. */
static void trim(char **start, char **end)
{
    while (*start < *end && is_space(**start))
        (*start)++;
    while (*end > *start && is_space((*end)[-1]))
        (*end)--;
}

static const MetadataField *field_for_key(const char *key)
{
    for (int i = 0; i < METADATA_FIELD_COUNT; i++)
        if (metadata_fields[i].key && SDL_strcasecmp(metadata_fields[i].key, key) == 0)
            return &metadata_fields[i];
    return NULL;
}

/* A line without '=' is fine when all before its first '#' is white space. */
static int is_blank_or_comment(const char *line)
{
    for (const char *p = line; *p && *p != '#'; p++)
        if (!is_space(*p))
            return 0;
    return 1;
}

/* Warnings beyond this many are only counted: a file of junk must not
 * flood the log. */
#define METADATA_MAX_WARNINGS 20
/* Far above any real metadata file; a larger one is not read at all. */
#define METADATA_MAX_BYTES (1024u * 1024u)

static int metadata_warnings;

static int metadata_may_warn(void)
{
    return ++metadata_warnings <= METADATA_MAX_WARNINGS;
}

static unsigned parse_line(char *line, int line_number)
{
    char *eq = SDL_strchr(line, '=');
    if (!eq) {
        if (!is_blank_or_comment(line) && metadata_may_warn())
            log_warn("Engine", "Invalid metadata on line %d, ignored", line_number);
        return 0;
    }
    char *key = line, *key_end = eq;
    char *value = eq + 1, *value_end = eq + 1 + SDL_strlen(eq + 1);
    trim(&key, &key_end);
    trim(&value, &value_end);
    *key_end = '\0';
    *value_end = '\0';
    const MetadataField *f = field_for_key(key);
    if (!f) {
        if (metadata_may_warn())
            log_warn("Engine", "Unknown game metadata key '%s', ignoring", key);
        return 0;
    }
    cvar_set(f->cvar, value);
    return f->required;
}

/* Splits the text in place at LF, CR or CR LF and parses each line. The
 * text ends at its first NUL; *last_line gets the number of its last line. */
static unsigned parse_text(char *text, int *last_line)
{
    unsigned seen = 0;
    int line_number = 1;
    char *p = text;
    metadata_warnings = 0;
    for (;;) {
        char *line = p;
        while (*p && *p != '\n' && *p != '\r')
            p++;
        char brk = *p;
        *p = '\0';
        seen |= parse_line(line, line_number);
        if (!brk) {
            *last_line = line_number;
            break;
        }
        p++;
        if (brk == '\r' && *p == '\n')
            p++;
        line_number++;
    }
    return seen;
}

static int fill_package_id(void)
{
    if (game_metadata_packageid && *game_metadata_packageid)
        return 1;
    char *id = alloc_printf("org.%s.%s", game_metadata_devid, game_metadata_gameid);
    int ok = id && cvar_set("game_metadata.packageid", id);
    SDL_free(id);
    return ok;
}

/* Checked before reading, so that a huge file costs no memory. */
static int metadata_size_allowed(const char *path)
{
    PHYSFS_Stat st;
    if (!PHYSFS_stat(path, &st) || st.filesize <= (PHYSFS_sint64)METADATA_MAX_BYTES)
        return 1;
    log_error("Engine", "Game metadata file '%s' is %lld bytes, more than the %u a metadata "
                        "file may have; refusing it",
              path, (long long)st.filesize, METADATA_MAX_BYTES);
    return 0;
}

int game_metadata_load(const char *path)
{
    if (!metadata_size_allowed(path))
        return 0;
    uint64_t length = 0;
    char *text = read_whole_file(path, &length);
    if (!text)
        return 0;
    /* The NUL ends the text, as it always has; the rest must not go
     * unnoticed. */
    int nul_inside = SDL_strlen(text) < length;
    for (int i = 0; i < METADATA_FIELD_COUNT; i++) {
        cvar_unlock(metadata_fields[i].cvar);
        cvar_set(metadata_fields[i].cvar, metadata_fields[i].default_text);
    }
    int result = 1;
    int last_line = 1;
    unsigned seen = parse_text(text, &last_line);
    if (metadata_warnings > METADATA_MAX_WARNINGS)
        log_warn("Engine", "%d more invalid or unknown metadata lines, not shown",
                 metadata_warnings - METADATA_MAX_WARNINGS);
    if (nul_inside)
        log_warn("Engine", "Game metadata file '%s' holds a NUL byte on line %d; everything "
                           "after it was ignored",
                 path, last_line);
    if (seen != METADATA_REQUIRED_ALL) {
        log_error("Engine", "Metadata file does not have all required fields!");
        result = 0;
    }
    if (!fill_package_id())
        result = 0;
    SDL_free(text);
    for (int i = 0; i < METADATA_FIELD_COUNT; i++)
        cvar_lock(metadata_fields[i].cvar);
    return result;
}
