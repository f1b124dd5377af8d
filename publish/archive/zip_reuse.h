/* What the zip writer takes from the run's cache instead of reading or
 * compressing: the stream of a file version the run has read already
 * (recorded under its identity, platform/native_file.h), the stream of a
 * content it has compressed already (by digest), and the copy of a cached
 * stream into the archive. */
#ifndef BRINDLECOT_PUBLISH_ZIP_REUSE_H
#define BRINDLECOT_PUBLISH_ZIP_REUSE_H

#include <stddef.h>

#include "publish/archive/zip_archive.h"
#include "publish/archive/zip_cache.h"

/* Writes an entry's compressed stream from the cache, through buffer
 * (capacity bytes). 1/0 (logged). */
int zip_copy_cached(ZipContext *ctx, const ZipCacheEntry *cached, unsigned char *buffer,
                    size_t capacity);

/* Looks the content of the slot (length bytes in s->in) up in the cache on
 * this thread, for a run without workers; remembers its digest for adding
 * it once compressed. 1 when the cache has it. */
int zip_slot_from_cache(ZipRun *run, ZipSlot *s, size_t length);

/* The cached content of the file at path when this run has read that very
 * version of it (the first pass, or a staged copy of what it read), or
 * NULL. */
const ZipCacheEntry *zip_known_file(ZipRun *run, const char *path);

#endif
