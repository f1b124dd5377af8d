#include "publish/android/android_checks.h"

#include "engine/game_metadata.h"
#include "engine/helpers.h"
#include "publish/publish_log.h"

#include <SDL.h>
#include <physfs.h>

static int android_letter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

static int android_segment_char(char c)
{
    return android_letter(c) || (c >= '0' && c <= '9') || c == '_';
}

/* What is wrong with the id (an SDL allocation), or NULL when nothing is;
 * *oom is set when the text could not be made. */
static char *android_package_id_fault(const char *id, int *oom)
{
    size_t len = SDL_strlen(id);
    char *fault = NULL;
    if (len == 0) {
        fault = alloc_printf("it is empty");
    } else if (len > ANDROID_PACKAGE_ID_MAX) {
        fault = alloc_printf("it is %u bytes long, at most %u fit", (unsigned)len,
                             (unsigned)ANDROID_PACKAGE_ID_MAX);
    } else if (!SDL_strchr(id, '.')) {
        fault = alloc_printf("it has one segment, at least two separated by '.' are needed");
    } else {
        for (const char *segment = id; !fault; segment++) {
            const char *end = SDL_strchr(segment, '.');
            int n = end ? (int)(end - segment) : (int)SDL_strlen(segment);
            if (n == 0) {
                fault = alloc_printf("it has an empty segment");
                break;
            }
            if (!android_letter(segment[0])) {
                fault = alloc_printf("segment '%.*s' does not start with a letter", n, segment);
                break;
            }
            for (int i = 1; i < n && !fault; i++) {
                unsigned char c = (unsigned char)segment[i];
                if (android_segment_char((char)c))
                    continue;
                if (c >= 0x20 && c < 0x7F)
                    fault = alloc_printf("segment '%.*s' holds '%c', where only letters, digits "
                                         "and '_' may follow the first letter",
                                         n, segment, c);
                else
                    fault = alloc_printf("segment '%.*s' holds a byte that is not a letter, "
                                         "digit or '_' of ASCII",
                                         n, segment);
            }
            if (!end)
                break;
            segment = end;
        }
        if (!fault)
            return NULL;
    }
    *oom = fault == NULL;
    return fault;
}

int check_android_package_id(void)
{
    const char *id = game_metadata_packageid ? game_metadata_packageid : "";
    int oom = 0;
    char *fault = android_package_id_fault(id, &oom);
    if (!fault && !oom)
        return 1;
    /* The default id is made of two other keys, which is where to look
     * when packageid was never written. */
    char *made = alloc_printf("org.%s.%s", game_metadata_devid ? game_metadata_devid : "",
                              game_metadata_gameid ? game_metadata_gameid : "");
    if (!fault || !made) {
        report_out_of_memory();
    } else if (SDL_strcmp(made, id) == 0) {
        publish_log_error("Package id '%s' is not one Android accepts: %s. It is made of the "
                          "metadata keys devid and gameid; set packageid to an id Android accepts",
                          id, fault);
    } else {
        publish_log_error("Package id '%s' is not one Android accepts: %s. It is set by the "
                          "metadata key packageid",
                          id, fault);
    }
    SDL_free(made);
    SDL_free(fault);
    return 0;
}

int check_android_stub(const char *platform, int bundle)
{
    char *path = alloc_printf(".brindlecot/stubs/%s/%s", platform,
                              bundle ? "stub/dex/classes.dex" : "stub/classes.dex");
    if (!path) {
        report_out_of_memory();
        return 0;
    }
    PHYSFS_Stat st;
    int ok = PHYSFS_stat(path, &st) && st.filetype == PHYSFS_FILETYPE_REGULAR;
    if (!ok)
        publish_log_error("The Android stub lacks '%s', the runtime's main executable, without "
                          "which no device starts the package",
                          path);
    SDL_free(path);
    return ok;
}

int check_bundle_title(void)
{
    size_t bytes = game_metadata_gametitle ? SDL_strlen(game_metadata_gametitle) : 0;
    if (bytes <= BUNDLE_STRING_MAX_BYTES)
        return 1;
    publish_log_error("The game title (metadata key gametitle) is %u bytes of UTF-8; an app "
                      "bundle's strings hold at most %u",
                      (unsigned)bytes, (unsigned)BUNDLE_STRING_MAX_BYTES);
    return 0;
}
