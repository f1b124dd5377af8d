/* The list of the builds of one publish: filled by the platform builds,
 * read by the upload, freed by the publish driver. */
#ifndef BRINDLECOT_PUBLISH_BUILT_PLATFORM_H
#define BRINDLECOT_PUBLISH_BUILT_PLATFORM_H

/* One finished (or attempted) build. The list runs newest first. */
typedef struct BuiltPlatform {
    char *platform; /* stub entry name, or "macos"/"html5" for a build tree */
    char *path;     /* package file, or the build directory when is_tree */
    int is_tree;
    struct BuiltPlatform *next;
} BuiltPlatform;

/* Adds a record at the head of the list (head may be NULL: nothing to do).
 * 1, or 0 after report_out_of_memory. */
int built_platform_add(BuiltPlatform *head, const char *platform, const char *path,
                       int is_tree);

/* Frees every record after head and empties the list. */
void built_platform_free_list(BuiltPlatform *head);

#endif
