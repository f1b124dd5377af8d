/* The zip writer: packs one directory tree of the virtual file system into
 * a zip archive in one pass. Regular files are raw-deflated at level 9,
 * directories optionally get entries of their own, the data of every entry
 * starts at a multiple of 4 bytes from the start of the archive, and each
 * entry's CRC and sizes are patched into its local header after the data
 * (no data descriptors). One disk, no ZIP64, no comments, no encryption: a
 * tree that does not fit the classic format (more than 65,535 entries, or a
 * size or offset of 4 GiB or more) is refused. Excluded names (staging.h) are
 * never archived.
 *
 * A publish makes many archives of nearly the same files, so the writer
 * works within a run (zip_run_begin .. zip_run_end): one deflate state and
 * one buffer pair for the whole run, a few worker threads that compress
 * whole files while the main thread reads and writes, and a cache of
 * compressed data, so that each distinct content is compressed once per
 * run. None of it changes a byte of an archive: entries are written in walk
 * order, each compressed on its own with the same settings. Files larger
 * than 2 MiB, and a file stored uncompressed, are streamed through the
 * run's buffers on the main thread; a stored file never comes from or goes
 * into the cache, which holds deflated data only. */
#ifndef BRINDLECOT_PUBLISH_ZIP_WRITER_H
#define BRINDLECOT_PUBLISH_ZIP_WRITER_H

#include <physfs.h>
#include <stdint.h>

/* Creates (or truncates) zip_path in the write directory and packs every
 * entry below root_dir (given without a trailing '/'). A missing root_dir
 * fails. After a failure the partial archive is left for the caller to
 * delete. 1/0. */
int zip_directory(const char *zip_path, const char *root_dir, int add_directory_entries);

/* zip_directory, except that the file whose entry name is stored_name (a
 * path relative to root_dir, or NULL for none) is stored uncompressed, its
 * data 4-byte aligned like every entry's, so a reader can map it straight
 * from the archive. */
int zip_directory_storing(const char *zip_path, const char *root_dir, int add_directory_entries,
                          const char *stored_name);

/* As zip_directory, but the archive goes into out (open for writing) from
 * its current position on, as if that position were the start of a file of
 * its own: offsets and alignment count from there, so the bytes are the
 * ones zip_directory writes. out stays open and belongs to the caller;
 * out_path names it in messages. 1/0. */
int zip_directory_to(PHYSFS_File *out, const char *out_path, const char *root_dir,
                     int add_directory_entries);

/* Begins a run. cache_dir (a write-directory path, or NULL for none) is
 * where the cache keeps its nameless file; without it, or when the file
 * cannot be made there, every archive is compressed in full. zip_directory
 * outside a run makes a run of its own. Runs nest; only the outermost one
 * counts. 1, or 0 after a logged error. */
int zip_run_begin(const char *cache_dir);

/* Ends the run: stops the workers, drops the cache and the buffers. */
void zip_run_end(void);

/* Non-zero: runs begun from now on compress every entry on the main thread
 * and keep no cache, the reference that the other runs must equal byte for
 * byte. For tests. */
void zip_writer_set_single_threaded(int on);

typedef struct ZipRunStats {
    unsigned compressed; /* file entries deflated */
    unsigned reused;     /* file entries served from the cache */
} ZipRunStats;

/* Counts of the current run, or of the last one after it ended. */
ZipRunStats zip_run_stats(void);

/* MS-DOS date and time of a Unix time, in UTC. Times before 1980 (and
 * PhysicsFS's -1 for unknown) give 0 and 0; years after 2107 wrap. Both
 * outputs are always written. */
void unix_time_to_dos(int64_t unix_seconds, uint16_t *dos_date, uint16_t *dos_time);

#endif
