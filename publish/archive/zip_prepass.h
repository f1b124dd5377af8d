/* The first pass of a publish: before the first package, every regular
 * file of the game that a package of the run holds is read once and
 * deflated into the run's cache on the compression workers, largest first,
 * so that every package, the first included, finds its streams ready and
 * the main thread only writes.
 *
 * A file is streamed through one deflate state on one worker (never split),
 * in pieces that leave the bytes those of one deflate of the whole file,
 * and its stream goes straight into the cache's file, so memory holds one
 * pair of buffers a worker whatever the sizes. Each file is recorded under
 * the identity it had while it was read (platform/native_file.h); one that
 * changed while being read is not recorded.
 *
 * The pass logs nothing and never fails a publish: a file it could not
 * read or compress is simply left for the package that needs it, which
 * reads it as it would without the pass and reports what goes wrong. It
 * only runs when the game is reachable natively (the search path is the
 * write directory alone). */
#ifndef BRINDLECOT_PUBLISH_ZIP_PREPASS_H
#define BRINDLECOT_PUBLISH_ZIP_PREPASS_H

#include "publish/archive/deflate_pool.h"
#include "publish/archive/zip_cache.h"
#include "publish/files/game_plan.h"

/* Walks game_dir (a PhysicsFS path, excluded names left out) and deflates
 * into cache, on pool's workers, each file that a package made with one of
 * the count native code rules natives holds (game_plan.h); returns once
 * every file is done. No rule: nothing is walked. A stop signal is
 * honoured (signals.h) during the walk, and once every worker has dropped
 * its file, within one piece of it. The count of files recorded. */
unsigned zip_prepass(DeflatePool *pool, ZipCache *cache, const char *game_dir,
                     const NativeEntryRule *natives, size_t native_count);

#endif
