/* The compressed data of one publish: each distinct file content is
 * deflated once per run, however many archives it goes into. A later
 * archive takes an entry's compressed stream, CRC-32 and sizes from here.
 *
 * Sameness is decided by the content's SHA-256 digest together with its
 * size, never by names or times: a file that changed between two archives
 * has another digest and is compressed again. The compressed bytes live in
 * a nameless file of the run (gone when the cache is destroyed), so memory
 * holds only the index.
 *
 * A second index knows files by what identifies one version of them
 * (NativeFileIdentity): the first pass of a publish records each file it
 * compressed, and a staged copy of it, so that a later archive takes the
 * stream of a file it finds unchanged without reading the file again. A
 * file rewritten since has another identity and is read afresh; a file
 * deleted is forgotten, so that its inode, given to the next file made,
 * brings none of its content along.
 *
 * Main thread only, except zip_cache_has, zip_cache_reserve,
 * zip_cache_write_at, zip_cache_commit_file, zip_cache_note_copy,
 * zip_cache_forget_file, zip_cache_may_know_file and zip_cache_find_file,
 * which compression
 * workers and the staging copies may call at any time. The add_ sequence must not run while workers
 * reserve space. Nothing here logs: a cache whose file fails to take
 * bytes simply stops adding entries, which costs time but never a wrong
 * byte; a failed read is the caller's to report. */
#ifndef BRINDLECOT_PUBLISH_ZIP_CACHE_H
#define BRINDLECOT_PUBLISH_ZIP_CACHE_H

#include <stddef.h>
#include <stdint.h>

#include "platform/native_file.h"

#define ZIP_CACHE_DIGEST_SIZE 32

typedef struct ZipCacheEntry {
    uint8_t digest[ZIP_CACHE_DIGEST_SIZE]; /* SHA-256 of the content */
    uint64_t size;                         /* of the content */
    uint32_t crc;                          /* CRC-32 of the content */
    uint64_t compressed_size;
    uint64_t offset;                       /* of the compressed bytes in the file */
    struct ZipCacheEntry *next;            /* same bucket */
} ZipCacheEntry;

typedef struct ZipCache ZipCache;

/* A cache whose file is made in native_dir, resolved beneath its first
 * dir_length bytes (the installation) as native_temp_file_open does. NULL
 * when the file or memory could not be had (errno tells why for the
 * file). */
ZipCache *zip_cache_create(const char *native_dir, size_t dir_length);

/* Closes (and so removes) the file and frees the index. NULL is ignored. */
void zip_cache_destroy(ZipCache *cache);

/* Digest of one content, given in pieces. 1/0. */
int zip_cache_digest_begin(ZipCache *cache);
int zip_cache_digest_update(ZipCache *cache, const void *data, size_t length);
int zip_cache_digest_end(ZipCache *cache, uint8_t digest[ZIP_CACHE_DIGEST_SIZE]);

/* The entry for this content, or NULL. */
const ZipCacheEntry *zip_cache_find(const ZipCache *cache,
                                    const uint8_t digest[ZIP_CACHE_DIGEST_SIZE],
                                    uint64_t size);

/* Whether the cache holds this content; safe on any thread. */
int zip_cache_has(ZipCache *cache, const uint8_t digest[ZIP_CACHE_DIGEST_SIZE], uint64_t size);

/* Adding an entry: its compressed bytes are appended, in as many pieces as
 * it takes, between begin and commit; commit makes them findable under the
 * content's digest, size and CRC-32. A content already present, or bytes
 * that did not all reach the file, are not added. */
void zip_cache_add_begin(ZipCache *cache);
void zip_cache_add_bytes(ZipCache *cache, const void *data, size_t length);
void zip_cache_add_commit(ZipCache *cache, const uint8_t digest[ZIP_CACHE_DIGEST_SIZE],
                          uint64_t size, uint32_t crc);

/* Room for length bytes of one content in the file, for a worker that
 * writes a stream there as it comes (zip_cache_write_at) before it knows
 * its size; what the stream leaves unused stays a hole. 1/0. */
int zip_cache_reserve(ZipCache *cache, uint64_t length, uint64_t *offset);
int zip_cache_write_at(ZipCache *cache, uint64_t offset, const void *data, size_t length);

/* Makes the stream written at offset findable as the content of the file
 * version id (its size is the content's), and by digest. A content already
 * present keeps its first stream. */
void zip_cache_commit_file(ZipCache *cache, const NativeFileIdentity *id,
                           const uint8_t digest[ZIP_CACHE_DIGEST_SIZE], uint32_t crc,
                           uint64_t offset, uint64_t compressed_size);

/* copy was made from source as it was (both stat'ed around the copy): when
 * source's content is known, copy's is the same; otherwise (or when source
 * is NULL: read while it changed, or not identified) what was known of the
 * file copy names is forgotten, since it holds other bytes now. */
void zip_cache_note_copy(ZipCache *cache, const NativeFileIdentity *source,
                         const NativeFileIdentity *copy);

/* The file gone names (its device and inode; any version) is about to be
 * deleted or rewritten: none of its versions is known any longer, so a
 * file that gets its inode afterwards is never taken for it. */
void zip_cache_forget_file(ZipCache *cache, const NativeFileIdentity *gone);

/* 1 when a version of the file is known that agrees with seen (a stat
 * identity, native_path_stat_identity) on all a stat tells, whatever its
 * generation: only then is the generation worth reading, for
 * zip_cache_find_file to decide. */
int zip_cache_may_know_file(ZipCache *cache, const NativeFileIdentity *seen);

/* The content of the file version id, or NULL when that version is not
 * known. */
const ZipCacheEntry *zip_cache_find_file(ZipCache *cache, const NativeFileIdentity *id);

/* length bytes of an entry's compressed stream, from position at within
 * it. 1/0 (errno tells why). */
int zip_cache_read(const ZipCache *cache, const ZipCacheEntry *entry, uint64_t at, void *data,
                   size_t length);

#endif
