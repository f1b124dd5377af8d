#include "publish/archive/zip_cache.h"

#include <SDL.h>
#include <errno.h>
#include <openssl/evp.h>
#include <string.h>

#include "platform/native_file.h"

#define ZIP_CACHE_FIRST_BUCKETS 1024

/* One version of one file whose content is in the cache. */
typedef struct ZipCacheIdentity {
    NativeFileIdentity id;
    const ZipCacheEntry *entry;
    struct ZipCacheIdentity *next; /* same bucket */
} ZipCacheIdentity;

/* Chains of records hashed by a key; grown as they fill. */
typedef struct ZipCacheTable {
    void **buckets;
    size_t bucket_count; /* a power of two */
    size_t entry_count;
} ZipCacheTable;

struct ZipCache {
    int fd;
    uint64_t end;           /* committed or reserved bytes of the file */
    uint64_t adding;        /* bytes of the entry being added, after end */
    int add_failed;         /* some bytes of it did not reach the file */
    ZipCacheTable contents;  /* ZipCacheEntry, by digest */
    ZipCacheTable versions;  /* ZipCacheIdentity, by inode */
    EVP_MD_CTX *md;
    SDL_mutex *lock;        /* both tables and the file's end, between the
                             * main thread and the workers */
};

/* Where a record's next pointer is, and the key it is hashed by. */
typedef struct ZipCacheTableKind {
    void **(*next_of)(void *record);
    uint64_t (*key_of)(const void *record);
} ZipCacheTableKind;

static void **zip_cache_entry_next(void *record)
{
    return (void **)&((ZipCacheEntry *)record)->next;
}

/* The digest is already uniformly spread: its first bytes make the key. */
static uint64_t zip_cache_digest_key(const uint8_t *digest)
{
    uint64_t h;
    memcpy(&h, digest, sizeof h);
    return h;
}

static uint64_t zip_cache_entry_key(const void *record)
{
    return zip_cache_digest_key(((const ZipCacheEntry *)record)->digest);
}

static void **zip_cache_identity_next(void *record)
{
    return (void **)&((ZipCacheIdentity *)record)->next;
}

static uint64_t zip_cache_identity_key_of(const NativeFileIdentity *id)
{
    return (id->inode ^ (id->device << 32)) * 0x9E3779B97F4A7C15ull >> 16;
}

static uint64_t zip_cache_identity_key(const void *record)
{
    return zip_cache_identity_key_of(&((const ZipCacheIdentity *)record)->id);
}

static const ZipCacheTableKind zip_cache_entry_kind = {zip_cache_entry_next,
                                                       zip_cache_entry_key};
static const ZipCacheTableKind zip_cache_identity_kind = {zip_cache_identity_next,
                                                          zip_cache_identity_key};

static int zip_cache_table_init(ZipCacheTable *t)
{
    t->bucket_count = ZIP_CACHE_FIRST_BUCKETS;
    t->buckets = (void **)SDL_calloc(t->bucket_count, sizeof(void *));
    return t->buckets != NULL;
}

static void zip_cache_table_free(ZipCacheTable *t, const ZipCacheTableKind *kind)
{
    if (!t->buckets)
        return;
    for (size_t i = 0; i < t->bucket_count; i++) {
        void *e = t->buckets[i];
        while (e) {
            void *next = *kind->next_of(e);
            SDL_free(e);
            e = next;
        }
    }
    SDL_free(t->buckets);
}

static void *zip_cache_table_first(const ZipCacheTable *t, uint64_t key)
{
    return t->buckets[key & (t->bucket_count - 1)];
}

/* Doubles the buckets when they hold as many records as there are of
 * them; a failed growth only makes the chains longer. */
static void zip_cache_table_grow(ZipCacheTable *t, const ZipCacheTableKind *kind)
{
    size_t count = t->bucket_count * 2;
    void **grown = (void **)SDL_calloc(count, sizeof(void *));
    if (!grown)
        return;
    for (size_t i = 0; i < t->bucket_count; i++) {
        void *e = t->buckets[i];
        while (e) {
            void *next = *kind->next_of(e);
            size_t b = (size_t)(kind->key_of(e) & (count - 1));
            *kind->next_of(e) = grown[b];
            grown[b] = e;
            e = next;
        }
    }
    SDL_free(t->buckets);
    t->buckets = grown;
    t->bucket_count = count;
}

/* Under the lock. */
static void zip_cache_table_insert(ZipCacheTable *t, const ZipCacheTableKind *kind, void *e)
{
    if (t->entry_count >= t->bucket_count)
        zip_cache_table_grow(t, kind);
    size_t b = (size_t)(kind->key_of(e) & (t->bucket_count - 1));
    *kind->next_of(e) = t->buckets[b];
    t->buckets[b] = e;
    t->entry_count++;
}

ZipCache *zip_cache_create(const char *native_dir, size_t dir_length)
{
    ZipCache *cache = (ZipCache *)SDL_calloc(1, sizeof *cache);
    if (!cache) {
        errno = ENOMEM;
        return NULL;
    }
    cache->fd = -1;
    int tables = zip_cache_table_init(&cache->contents) && zip_cache_table_init(&cache->versions);
    cache->md = EVP_MD_CTX_new();
    cache->lock = SDL_CreateMutex();
    if (!tables || !cache->md || !cache->lock) {
        zip_cache_destroy(cache);
        errno = ENOMEM;
        return NULL;
    }
    cache->fd = native_temp_file_open(native_dir, dir_length);
    if (cache->fd < 0) {
        int saved = errno;
        zip_cache_destroy(cache);
        errno = saved;
        return NULL;
    }
    return cache;
}

void zip_cache_destroy(ZipCache *cache)
{
    if (!cache)
        return;
    zip_cache_table_free(&cache->contents, &zip_cache_entry_kind);
    zip_cache_table_free(&cache->versions, &zip_cache_identity_kind);
    if (cache->md)
        EVP_MD_CTX_free(cache->md);
    if (cache->lock)
        SDL_DestroyMutex(cache->lock);
    if (cache->fd >= 0)
        native_file_close(cache->fd);
    SDL_free(cache);
}

int zip_cache_digest_begin(ZipCache *cache)
{
    return EVP_DigestInit_ex(cache->md, EVP_sha256(), NULL) == 1;
}

int zip_cache_digest_update(ZipCache *cache, const void *data, size_t length)
{
    return EVP_DigestUpdate(cache->md, data, length) == 1;
}

int zip_cache_digest_end(ZipCache *cache, uint8_t digest[ZIP_CACHE_DIGEST_SIZE])
{
    unsigned int length = 0;
    return EVP_DigestFinal_ex(cache->md, digest, &length) == 1 &&
           length == ZIP_CACHE_DIGEST_SIZE;
}

const ZipCacheEntry *zip_cache_find(const ZipCache *cache,
                                    const uint8_t digest[ZIP_CACHE_DIGEST_SIZE], uint64_t size)
{
    for (const ZipCacheEntry *e = (const ZipCacheEntry *)zip_cache_table_first(
             &cache->contents, zip_cache_digest_key(digest));
         e; e = e->next) {
        if (e->size == size && memcmp(e->digest, digest, ZIP_CACHE_DIGEST_SIZE) == 0)
            return e;
    }
    return NULL;
}

int zip_cache_has(ZipCache *cache, const uint8_t digest[ZIP_CACHE_DIGEST_SIZE], uint64_t size)
{
    SDL_LockMutex(cache->lock);
    int found = zip_cache_find(cache, digest, size) != NULL;
    SDL_UnlockMutex(cache->lock);
    return found;
}

void zip_cache_add_begin(ZipCache *cache)
{
    cache->adding = 0;
    cache->add_failed = 0;
}

void zip_cache_add_bytes(ZipCache *cache, const void *data, size_t length)
{
    if (cache->add_failed)
        return;
    if (!native_file_write_at(cache->fd, data, length, cache->end + cache->adding)) {
        cache->add_failed = 1;
        return;
    }
    cache->adding += length;
}

/* Under the lock: the entry for the content, made when it is new (its
 * bytes at offset), or NULL when memory ran out. */
static const ZipCacheEntry *zip_cache_insert(ZipCache *cache,
                                             const uint8_t digest[ZIP_CACHE_DIGEST_SIZE],
                                             uint64_t size, uint32_t crc, uint64_t offset,
                                             uint64_t compressed_size)
{
    const ZipCacheEntry *found = zip_cache_find(cache, digest, size);
    if (found)
        return found;
    ZipCacheEntry *e = (ZipCacheEntry *)SDL_calloc(1, sizeof *e);
    if (!e)
        return NULL;
    memcpy(e->digest, digest, ZIP_CACHE_DIGEST_SIZE);
    e->size = size;
    e->crc = crc;
    e->compressed_size = compressed_size;
    e->offset = offset;
    zip_cache_table_insert(&cache->contents, &zip_cache_entry_kind, e);
    return e;
}

void zip_cache_add_commit(ZipCache *cache, const uint8_t digest[ZIP_CACHE_DIGEST_SIZE],
                          uint64_t size, uint32_t crc)
{
    if (cache->add_failed || zip_cache_find(cache, digest, size))
        return;
    SDL_LockMutex(cache->lock);
    if (zip_cache_insert(cache, digest, size, crc, cache->end, cache->adding))
        cache->end += cache->adding;
    SDL_UnlockMutex(cache->lock);
    cache->adding = 0;
}

int zip_cache_reserve(ZipCache *cache, uint64_t length, uint64_t *offset)
{
    SDL_LockMutex(cache->lock);
    *offset = cache->end;
    cache->end += length;
    SDL_UnlockMutex(cache->lock);
    return 1;
}

int zip_cache_write_at(ZipCache *cache, uint64_t offset, const void *data, size_t length)
{
    return native_file_write_at(cache->fd, data, length, offset);
}

static ZipCacheIdentity *zip_cache_find_version(const ZipCache *cache,
                                                const NativeFileIdentity *id)
{
    for (ZipCacheIdentity *v = (ZipCacheIdentity *)zip_cache_table_first(
             &cache->versions, zip_cache_identity_key_of(id));
         v; v = v->next) {
        if (native_identity_equal(&v->id, id))
            return v;
    }
    return NULL;
}

/* Under the lock. The newest word on a version is the true one: a record
 * left from a file that has gone since must not stand for this one. */
static void zip_cache_note(ZipCache *cache, const NativeFileIdentity *id,
                           const ZipCacheEntry *entry)
{
    ZipCacheIdentity *v = zip_cache_find_version(cache, id);
    if (v) {
        v->entry = entry;
        return;
    }
    v = (ZipCacheIdentity *)SDL_calloc(1, sizeof *v);
    if (!v)
        return;
    v->id = *id;
    v->entry = entry;
    zip_cache_table_insert(&cache->versions, &zip_cache_identity_kind, v);
}

/* Under the lock: every version of the file id names. */
static void zip_cache_drop(ZipCache *cache, const NativeFileIdentity *id)
{
    ZipCacheTable *t = &cache->versions;
    void **link = &t->buckets[zip_cache_identity_key_of(id) & (t->bucket_count - 1)];
    while (*link) {
        ZipCacheIdentity *v = (ZipCacheIdentity *)*link;
        if (native_identity_same_file(&v->id, id)) {
            *link = v->next;
            SDL_free(v);
            t->entry_count--;
        } else {
            link = (void **)&v->next;
        }
    }
}

void zip_cache_commit_file(ZipCache *cache, const NativeFileIdentity *id,
                           const uint8_t digest[ZIP_CACHE_DIGEST_SIZE], uint32_t crc,
                           uint64_t offset, uint64_t compressed_size)
{
    SDL_LockMutex(cache->lock);
    const ZipCacheEntry *e = zip_cache_insert(cache, digest, id->size, crc, offset,
                                              compressed_size);
    if (e)
        zip_cache_note(cache, id, e);
    else
        zip_cache_drop(cache, id);
    SDL_UnlockMutex(cache->lock);
}

void zip_cache_note_copy(ZipCache *cache, const NativeFileIdentity *source,
                         const NativeFileIdentity *copy)
{
    SDL_LockMutex(cache->lock);
    const ZipCacheIdentity *v = source ? zip_cache_find_version(cache, source) : NULL;
    if (v && v->id.size == copy->size)
        zip_cache_note(cache, copy, v->entry);
    else
        zip_cache_drop(cache, copy);
    SDL_UnlockMutex(cache->lock);
}

void zip_cache_forget_file(ZipCache *cache, const NativeFileIdentity *gone)
{
    SDL_LockMutex(cache->lock);
    zip_cache_drop(cache, gone);
    SDL_UnlockMutex(cache->lock);
}

int zip_cache_may_know_file(ZipCache *cache, const NativeFileIdentity *seen)
{
    SDL_LockMutex(cache->lock);
    int found = 0;
    for (const ZipCacheIdentity *v = (const ZipCacheIdentity *)zip_cache_table_first(
             &cache->versions, zip_cache_identity_key_of(seen));
         v && !found; v = v->next)
        found = native_identity_same_stat(&v->id, seen);
    SDL_UnlockMutex(cache->lock);
    return found;
}

const ZipCacheEntry *zip_cache_find_file(ZipCache *cache, const NativeFileIdentity *id)
{
    SDL_LockMutex(cache->lock);
    const ZipCacheIdentity *v = zip_cache_find_version(cache, id);
    const ZipCacheEntry *e = v ? v->entry : NULL;
    SDL_UnlockMutex(cache->lock);
    return e;
}

int zip_cache_read(const ZipCache *cache, const ZipCacheEntry *entry, uint64_t at, void *data,
                   size_t length)
{
    if (at > entry->compressed_size || length > entry->compressed_size - at) {
        errno = EINVAL;
        return 0;
    }
    return native_file_read_at(cache->fd, data, length, entry->offset + at);
}
