/* The package and publish operation: loads the game's metadata, walks the
 * installation's stub directory and builds one package per stub entry that
 * passes the platform filter, keeps the finished builds in a list and, when
 * publishing, hands that list to the upload. */
#ifndef BRINDLECOT_PUBLISH_GAME_H
#define BRINDLECOT_PUBLISH_GAME_H

#include <physfs.h>

/* One finished (or attempted) build. The list runs newest first. */
typedef struct BuiltPlatform {
    char *platform; /* stub entry name, or "macos"/"html5" for a build tree */
    char *path;     /* package file, or the build directory when is_tree */
    int is_tree;
    struct BuiltPlatform *next;
} BuiltPlatform;

/* What every stub entry of one walk gets. */
typedef struct PublishContext {
    const char *game_dir;
    char **platform_filter; /* NULL: build every stub */
    int platform_filter_count;
    BuiltPlatform *builds; /* list head; builds->next is the newest record */
} PublishContext;

/* 1 on success. platform_list is the text after "--platforms=" or NULL;
 * upload is 1 for a publish, 0 for packaging only. */
int publish_game(const char *game_dir, const char *platform_list, int upload);

/* Walk callback over ".brindlecot/stubs": 1 go on, -1 a build failed. */
PHYSFS_EnumerateCallbackResult build_stub_entry(void *context, const char *origdir,
                                                const char *name);

/* "builds/<gameid>-<platform><suffix>", the one name every package has;
 * NULL when out of memory. */
char *package_path_for(const char *platform);

/* Adds a record at the head of the list (head may be NULL: nothing to do).
 * 1, or 0 after report_out_of_memory. */
int built_platform_add(BuiltPlatform *head, const char *platform, const char *path,
                       int is_tree);

/* Frees every record after head and empties the list. */
void built_platform_free_list(BuiltPlatform *head);

#endif
