/* The zip writer: packs one directory tree of the virtual file system into
 * a zip archive in one pass. Regular files are raw-deflated at level 9,
 * directories optionally get entries of their own, the data of every entry
 * starts at a multiple of 4 bytes from the start of the archive, and each
 * entry's CRC and sizes are patched into its local header after the data
 * (no data descriptors). One disk, no ZIP64, no comments, no encryption: a
 * tree that does not fit the classic format (more than 65,535 entries, or a
 * size or offset of 4 GiB or more) is refused. Excluded names (engine/tree_walk.h)
 * are never archived.
 *
 * A publish makes many archives of nearly the same files, so the writer
 * works within a run (zip_run_create .. zip_run_destroy): one deflate state and
 * one buffer pair for the whole run, a few worker threads that compress
 * whole files while the main thread reads and writes, and a cache of
 * compressed data, so that each distinct content is compressed once per
 * run, and a first pass (zip_run_prepare) that compresses every file of
 * the game on the workers before the first archive; a file the run has
 * read is not read again while it stays the same version (its identity,
 * platform/native_file.h). None of it changes a byte of an archive: entries are written in walk
 * order, each compressed on its own with the same settings. Files larger
 * than 2 MiB, and a file stored uncompressed, are streamed through the
 * run's buffers on the main thread; a stored file never comes from or goes
 * into the cache, which holds deflated data only.
 *
 * The writer knows nothing of platforms: which entries are executable or
 * stored is the caller's rule (ZipOptions). */
#ifndef BRINDLECOT_PUBLISH_ZIP_WRITER_H
#define BRINDLECOT_PUBLISH_ZIP_WRITER_H

#include <physfs.h>
#include <stdint.h>

#include "engine/out_file.h"
#include "publish/archive/zip_run.h"
#include "publish/files/game_plan.h"

/* What the caller says about one file entry before it is written. Both
 * fields start at 0: deflated, mode 0644. */
typedef struct ZipEntrySpec {
    int executable; /* mode 0755 */
    int stored;     /* kept uncompressed, its data 4-byte aligned like every
                     * entry's, so a reader can map it straight from the
                     * archive */
} ZipEntrySpec;

/* Called for each file entry with its stored name (the path below the
 * root) and a zeroed spec to fill in. */
typedef void (*ZipEntryRule)(void *user, const char *name, ZipEntrySpec *spec);

typedef struct ZipOptions {
    int add_directory_entries; /* every directory gets an entry of its own */
    ZipEntryRule entry_rule;   /* NULL: every file deflated, mode 0644 */
    void *rule_user;
} ZipOptions;

/* Creates (or truncates) zip_path in the write directory and packs every
 * entry below root_dir (given without a trailing '/'). run is the run the
 * archive belongs to, or NULL for a run of its own. A missing root_dir
 * fails. After a failure the partial archive is left for the caller to
 * delete. 1/0. */
int zip_directory(ZipRun *run, const char *zip_path, const char *root_dir,
                  const ZipOptions *options);

/* Writes the entries of plan (game_plan.h), in its order, each read from
 * its source, into out (open for writing) from its current position on, as
 * if that position were the start of a file of its own: offsets and
 * alignment count from there, and the bytes are the ones zip_directory
 * writes for a staged tree of the plan, with no tree written. out stays
 * open and belongs to the caller; out_path names it in messages. 1/0. */
int zip_plan_to(ZipRun *run, OutFile *out, const char *out_path, const GamePlan *plan,
                const ZipOptions *options);

/* MS-DOS date and time of a Unix time, in UTC. Times before 1980 (and
 * PhysicsFS's -1 for unknown) give 0 and 0; years after 2107 wrap. Both
 * outputs are always written. */
void unix_time_to_dos(int64_t unix_seconds, uint16_t *dos_date, uint16_t *dos_time);

#endif
