/* One archive as the zip writer's modules share it while it is written:
 * the entry on its way from the walk, the slot that holds an entry read
 * but not yet written, the central record queued for the end, and the
 * context that carries them; and the records of the format themselves
 * (local header, its patch, central directory, end record), each write
 * counted in the archive's position. Failures are logged here, once, with
 * the archive's path. */
#ifndef BRINDLECOT_PUBLISH_ZIP_ARCHIVE_H
#define BRINDLECOT_PUBLISH_ZIP_ARCHIVE_H

#include <physfs.h>
#include <stdint.h>

#include "publish/archive/deflate_pool.h"
#include "publish/archive/zip_cache.h"
#include "publish/files/output_file.h"

typedef struct ZipRun ZipRun;
typedef struct ZipOptions ZipOptions;

/* Files up to this size are read whole and compressed in one call, on a
 * worker when the run has them; a slot holds one such file and its
 * compressed form. Larger files are streamed through the run's buffer
 * pair, ZIP_BUFFER_SIZE each. */
#define ZIP_WHOLE_FILE_LIMIT (2 * 1024 * 1024)
#define ZIP_BUFFER_SIZE (4 * 1024 * 1024)

#define ZIP_METHOD_STORED 0
#define ZIP_METHOD_DEFLATED 8
#define ZIP_ATTR_DIRECTORY 0x41ED0010u
#define ZIP_ATTR_FILE 0x81A40000u
#define ZIP_ATTR_EXECUTABLE 0x81ED0000u
/* The classic format's fields: 16-bit counts and lengths, 32-bit sizes and
 * offsets. */
#define ZIP_MAX_ENTRIES 65535u
#define ZIP_MAX_NAME_LENGTH 65535u
#define ZIP_MAX_OFFSET 0xFFFFFFFFull

/* One archived entry, queued until the central directory is written. */
typedef struct ZipCentralEntry {
    char *name;            /* as stored: relative path, "/" ended for a directory */
    uint16_t name_length;
    uint32_t compressed_size;
    uint32_t uncompressed_size;
    uint32_t local_header_offset;
    uint32_t crc32;
    uint32_t external_attributes;
    uint16_t dos_date;
    uint16_t dos_time;
    uint32_t is_directory; /* 0 or 1 */
    uint16_t method;       /* 0 stored (directories, the stored file), 8 deflated */
    struct ZipCentralEntry *next;
} ZipCentralEntry;

/* One entry between the walk and its place in the archive. */
typedef struct ZipPending {
    char *path;           /* full path, for reading and messages */
    int empty;            /* nothing to read: an empty file of the caller's,
                           * path only names it */
    char *name;           /* stored name, "/" ended for a directory */
    uint32_t name_length;
    int is_directory;
    uint16_t method;
    uint32_t attributes;
    uint16_t dos_date;
    uint16_t dos_time;
    uint32_t offset;      /* of the local header */
    uint32_t crc;
    uint64_t compressed;
    uint64_t uncompressed;
} ZipPending;

typedef enum ZipSlotState {
    ZIP_SLOT_DIRECTORY,   /* nothing to compress */
    ZIP_SLOT_COMPRESSING, /* its job is with the workers */
    ZIP_SLOT_COMPRESSED,  /* the job's results are in */
    ZIP_SLOT_CACHED       /* the data comes from the cache */
} ZipSlotState;

/* An entry read but not yet written: entries go out strictly in walk
 * order, while later ones are being compressed. */
typedef struct ZipSlot {
    ZipPending entry;     /* path and name are the slot's own copies */
    ZipSlotState state;
    unsigned char *in;    /* ZIP_WHOLE_FILE_LIMIT bytes, kept for the run */
    unsigned char *out;   /* the run's slot_out_capacity bytes */
    DeflateJob job;
    const ZipCacheEntry *cached;
    uint8_t digest[ZIP_CACHE_DIGEST_SIZE];
    int add_to_cache;     /* the digest is good and the result is new */
} ZipSlot;

/* One archive being written; handed to every walk callback as its data. */
typedef struct ZipContext {
    ZipCentralEntry entries; /* head sentinel: entries.next is the first */
    ZipCentralEntry *tail;   /* last queued entry, initially &entries */
    const char *zip_path;    /* for messages */
    OutFile *out;
    uint32_t entry_count;    /* queued entries, checked against the format's limit */
    const ZipOptions *options;
    ZipRun *run;
    uint64_t base;           /* position in out of the archive's first byte */
    uint64_t pos;            /* archive position, counted from base */
    int head;                /* first occupied slot */
    int used;                /* occupied slots */
} ZipContext;

/* The words of the archive's open and write failures. */
extern const OutputTexts zip_texts;

/* Writes length bytes at the archive's position. 1/0 (logged). */
int zip_write(ZipContext *ctx, const void *data, uint64_t length);

/* The line for an entry (what) past the format's 4 GiB. */
void zip_report_too_large(ZipContext *ctx, const char *what);

/* The local header of e at the archive's position, padded so that its data
 * starts at a multiple of 4; sets e->offset. 1/0 (logged). */
int zip_write_local_header(ZipContext *ctx, ZipPending *e);

/* Writes e's CRC and sizes into its local header and returns to the end.
 * 1/0 (logged). */
int zip_patch_local_header(ZipContext *ctx, const ZipPending *e);

/* Whether e's sizes fit the format. 1/0 (logged). */
int zip_data_fits(ZipContext *ctx, const ZipPending *e);

/* Queues e's central record (a copy of its name). 1/0 (logged). */
int zip_queue_entry(ZipContext *ctx, const ZipPending *e);

/* path opened through PhysicsFS, or NULL after a logged failure. */
PHYSFS_File *zip_open_path(const char *path);

/* The central directory of the queued entries and the end record. 1/0
 * (logged). */
int zip_write_directory_and_end(ZipContext *ctx);

/* Frees the queued central records. */
void zip_free_entries(ZipContext *ctx);

#endif
