/* The entries of an archive between their read and their write: each file
 * up to ZIP_WHOLE_FILE_LIMIT is read whole into a slot of the run and
 * compressed there (on a worker when the run has them), or its stream is
 * taken from the cache; the slots go out strictly in walk order, the
 * oldest first, while later ones are being compressed. A directory takes a
 * slot too, so that it keeps its place among the files. */
#ifndef BRINDLECOT_PUBLISH_ZIP_SLOTS_H
#define BRINDLECOT_PUBLISH_ZIP_SLOTS_H

#include "publish/archive/zip_archive.h"
#include "publish/archive/zip_cache.h"

/* Writes every waiting entry, in order. 1/0 (logged). */
int zip_flush_slots(ZipContext *ctx);

/* After a failure: nothing more is written, but no job may outlive its
 * buffers. */
void zip_drop_slots(ZipContext *ctx);

/* The next free slot, with copies of e's strings; it counts as used only
 * once zip_commit_slot says so. NULL after a logged failure. */
ZipSlot *zip_prepare_slot(ZipContext *ctx, const ZipPending *e);
void zip_commit_slot(ZipContext *ctx);

/* Reads e's file whole into a slot and queues it for compressing. 1
 * queued, -1 the file has outgrown the limit (nothing queued), 0 after a
 * logged failure. */
int zip_add_whole(ZipContext *ctx, const ZipPending *e);

/* Queues the entry with its stream from the cache. 1/0 (logged). */
int zip_add_known(ZipContext *ctx, const ZipPending *e, const ZipCacheEntry *known);

#endif
