#include "publish/archive/zip_cache.h"

#include <SDL.h>
#include <errno.h>
#include <openssl/evp.h>
#include <string.h>

#include "platform/native_file.h"

#define ZIP_CACHE_FIRST_BUCKETS 1024

struct ZipCache {
    int fd;
    uint64_t end;           /* committed bytes of the file */
    uint64_t adding;        /* bytes of the entry being added, after end */
    int add_failed;         /* some bytes of it did not reach the file */
    ZipCacheEntry **buckets;
    size_t bucket_count;    /* a power of two */
    size_t entry_count;
    EVP_MD_CTX *md;
    SDL_mutex *lock;        /* the index, between the main thread's changes
                             * and the workers' zip_cache_has */
};

ZipCache *zip_cache_create(const char *native_dir)
{
    ZipCache *cache = (ZipCache *)SDL_calloc(1, sizeof *cache);
    if (!cache) {
        errno = ENOMEM;
        return NULL;
    }
    cache->bucket_count = ZIP_CACHE_FIRST_BUCKETS;
    cache->buckets = (ZipCacheEntry **)SDL_calloc(cache->bucket_count, sizeof(ZipCacheEntry *));
    cache->md = EVP_MD_CTX_new();
    cache->lock = SDL_CreateMutex();
    cache->fd = -1;
    if (!cache->buckets || !cache->md || !cache->lock) {
        zip_cache_destroy(cache);
        errno = ENOMEM;
        return NULL;
    }
    cache->fd = native_temp_file_open(native_dir);
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
    if (cache->buckets) {
        for (size_t i = 0; i < cache->bucket_count; i++) {
            ZipCacheEntry *e = cache->buckets[i];
            while (e) {
                ZipCacheEntry *next = e->next;
                SDL_free(e);
                e = next;
            }
        }
        SDL_free(cache->buckets);
    }
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

/* The digest is already uniformly spread: its first bytes make the index. */
static size_t zip_cache_bucket(const uint8_t *digest, size_t bucket_count)
{
    uint64_t h;
    memcpy(&h, digest, sizeof h);
    return (size_t)(h & (bucket_count - 1));
}

const ZipCacheEntry *zip_cache_find(const ZipCache *cache,
                                    const uint8_t digest[ZIP_CACHE_DIGEST_SIZE], uint64_t size)
{
    for (const ZipCacheEntry *e = cache->buckets[zip_cache_bucket(digest, cache->bucket_count)];
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

/* Doubles the buckets when they hold as many entries as there are of
 * them; a failed growth only makes the chains longer. */
static void zip_cache_grow(ZipCache *cache)
{
    size_t count = cache->bucket_count * 2;
    ZipCacheEntry **grown = (ZipCacheEntry **)SDL_calloc(count, sizeof(ZipCacheEntry *));
    if (!grown)
        return;
    for (size_t i = 0; i < cache->bucket_count; i++) {
        ZipCacheEntry *e = cache->buckets[i];
        while (e) {
            ZipCacheEntry *next = e->next;
            size_t b = zip_cache_bucket(e->digest, count);
            e->next = grown[b];
            grown[b] = e;
            e = next;
        }
    }
    SDL_free(cache->buckets);
    cache->buckets = grown;
    cache->bucket_count = count;
}

void zip_cache_add_commit(ZipCache *cache, const uint8_t digest[ZIP_CACHE_DIGEST_SIZE],
                          uint64_t size, uint32_t crc)
{
    if (cache->add_failed || zip_cache_find(cache, digest, size))
        return;
    ZipCacheEntry *e = (ZipCacheEntry *)SDL_calloc(1, sizeof *e);
    if (!e)
        return;
    memcpy(e->digest, digest, ZIP_CACHE_DIGEST_SIZE);
    e->size = size;
    e->crc = crc;
    e->compressed_size = cache->adding;
    e->offset = cache->end;
    cache->end += cache->adding;
    cache->adding = 0;
    /* Only this thread changes the index, so its own lookups need no lock;
     * the workers' do. */
    SDL_LockMutex(cache->lock);
    if (cache->entry_count >= cache->bucket_count)
        zip_cache_grow(cache);
    size_t b = zip_cache_bucket(digest, cache->bucket_count);
    e->next = cache->buckets[b];
    cache->buckets[b] = e;
    cache->entry_count++;
    SDL_UnlockMutex(cache->lock);
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
