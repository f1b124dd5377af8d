/* The zip writer: packs one directory tree of the virtual file system into
 * a zip archive in one pass. Regular files are raw-deflated at level 9,
 * directories optionally get entries of their own, the data of every entry
 * starts at a multiple of 4 bytes from the start of the archive, and each
 * entry's CRC and sizes are patched into its local header after the data
 * (no data descriptors). One disk, no ZIP64, no comments, no encryption: a
 * tree that does not fit the classic format (more than 65,535 entries, or a
 * size or offset of 4 GiB or more) is refused. Excluded names (staging.h) are
 * never archived. */
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

/* MS-DOS date and time of a Unix time, in UTC. Times before 1980 (and
 * PhysicsFS's -1 for unknown) give 0 and 0; years after 2107 wrap. Both
 * outputs are always written. */
void unix_time_to_dos(int64_t unix_seconds, uint16_t *dos_date, uint16_t *dos_time);

#endif
