#include "engine/threadstream.h"

/* What a failed or past-the-end block read gives: a valid empty string, so a
 * reader that does not check error still has something to print. */
static const char threadstream_empty[1] = {0};

/* The process-wide stack of free buffers (last returned, first taken). */
static ThreadStreamBuffer *threadstream_pool;

/* The pool's lock has to exist before the first producer thread takes a
 * buffer, and buffers may be taken before any queue exists; a function-local
 * static is created exactly once, safely, by whichever thread comes first. */
static SDL_mutex *threadstream_pool_mutex(void)
{
    static SDL_mutex *mutex = SDL_CreateMutex();
    return mutex;
}

static uint64_t round_up4(uint64_t n)
{
    return (n + 3) & ~(uint64_t)3;
}

ThreadStreamBuffer *threadstream_buffer_get(void)
{
    SDL_mutex *mutex = threadstream_pool_mutex();
    if (!mutex)
        return NULL;
    SDL_LockMutex(mutex);
    ThreadStreamBuffer *buffer = threadstream_pool;
    if (buffer)
        threadstream_pool = buffer->next;
    SDL_UnlockMutex(mutex);
    if (buffer) {
        buffer->next = NULL;
        return buffer;
    }

    buffer = (ThreadStreamBuffer *)SDL_calloc(1, sizeof *buffer);
    if (!buffer)
        return NULL;
    buffer->data = (uint8_t *)SDL_malloc(THREADSTREAM_INITIAL_CAPACITY);
    if (!buffer->data) {
        SDL_free(buffer);
        return NULL;
    }
    buffer->capacity = THREADSTREAM_INITIAL_CAPACITY;
    return buffer;
}

void threadstream_buffer_release(ThreadStreamBuffer *buffer)
{
    if (!buffer)
        return;
    buffer->error = 0;
    buffer->read_pos = 0;
    buffer->length = 0;
    SDL_mutex *mutex = threadstream_pool_mutex();
    if (!mutex) {
        /* Without the lock there is no safe way back into the pool. */
        SDL_free(buffer->data);
        SDL_free(buffer);
        return;
    }
    SDL_LockMutex(mutex);
    buffer->next = threadstream_pool;
    threadstream_pool = buffer;
    SDL_UnlockMutex(mutex);
}

/* Makes room for a field of field_size bytes (padding not counted). */
static int threadstream_reserve(ThreadStreamBuffer *buffer, uint64_t field_size)
{
    if (!buffer || buffer->error)
        return 0;
    uint64_t needed = buffer->length + field_size;
    uint64_t capacity = buffer->capacity;
    while (capacity < needed) {
        if (capacity > UINT64_MAX / 2) {
            buffer->error = 1;
            return 0;
        }
        capacity *= 2;
    }
    if (capacity > buffer->capacity) {
        if (capacity > SIZE_MAX) {
            buffer->error = 1;
            return 0;
        }
        uint8_t *grown = (uint8_t *)SDL_realloc(buffer->data, (size_t)capacity);
        if (!grown) {
            buffer->error = 1;
            return 0;
        }
        buffer->data = grown;
        buffer->capacity = capacity;
    }
    return 1;
}

int threadstream_write_pointer(ThreadStreamBuffer *buffer, void *pointer)
{
    if (!threadstream_reserve(buffer, 8))
        return 0;
    uint64_t value = (uint64_t)(uintptr_t)pointer;
    SDL_memcpy(buffer->data + buffer->length, &value, 8);
    buffer->length += 8;
    return 1;
}

int threadstream_write_u32(ThreadStreamBuffer *buffer, uint32_t value)
{
    if (!threadstream_reserve(buffer, 4))
        return 0;
    SDL_memcpy(buffer->data + buffer->length, &value, 4);
    buffer->length += 4;
    return 1;
}

int threadstream_write_bytes(ThreadStreamBuffer *buffer, const void *bytes, uint32_t length)
{
    if (!bytes)
        return threadstream_write_u32(buffer, THREADSTREAM_NULL_BLOCK);
    /* The marker value can't double as a length: it would read back as NULL. */
    if (length == THREADSTREAM_NULL_BLOCK) {
        if (buffer)
            buffer->error = 1;
        return 0;
    }
    if (!threadstream_reserve(buffer, (uint64_t)length + 5))
        return 0;
    uint8_t *at = buffer->data + buffer->length;
    SDL_memcpy(at, &length, 4);
    if (length)
        SDL_memcpy(at + 4, bytes, length);
    at[4 + length] = 0;
    buffer->length = round_up4(buffer->length + 4 + (uint64_t)length + 1);
    return 1;
}

int threadstream_write_string(ThreadStreamBuffer *buffer, const char *string)
{
    if (!string)
        return threadstream_write_u32(buffer, THREADSTREAM_NULL_BLOCK);
    size_t length = SDL_strlen(string);
    if (length >= THREADSTREAM_NULL_BLOCK) {
        if (buffer)
            buffer->error = 1;
        return 0;
    }
    return threadstream_write_bytes(buffer, string, (uint32_t)length);
}

void *threadstream_read_pointer(ThreadStreamBuffer *buffer)
{
    if (!buffer)
        return NULL;
    if (buffer->read_pos + 8 > buffer->length) {
        buffer->error = 1;
        return NULL;
    }
    uint64_t value;
    SDL_memcpy(&value, buffer->data + buffer->read_pos, 8);
    buffer->read_pos += 8;
    return (void *)(uintptr_t)value;
}

uint32_t threadstream_read_u32(ThreadStreamBuffer *buffer)
{
    if (!buffer)
        return 0;
    if (buffer->read_pos + 4 > buffer->length) {
        buffer->error = 1;
        return 0;
    }
    uint32_t value;
    SDL_memcpy(&value, buffer->data + buffer->read_pos, 4);
    buffer->read_pos += 4;
    return value;
}

const uint8_t *threadstream_read_bytes(ThreadStreamBuffer *buffer, uint32_t *length)
{
    if (length)
        *length = 0;
    if (!buffer)
        return (const uint8_t *)threadstream_empty;
    if (buffer->read_pos + 4 > buffer->length) {
        buffer->error = 1;
        return (const uint8_t *)threadstream_empty;
    }
    uint32_t n;
    SDL_memcpy(&n, buffer->data + buffer->read_pos, 4);
    buffer->read_pos += 4;
    if (n == THREADSTREAM_NULL_BLOCK)
        return NULL;
    if (buffer->read_pos + (uint64_t)n + 1 > buffer->length) {
        buffer->error = 1;
        return (const uint8_t *)threadstream_empty;
    }
    const uint8_t *bytes = buffer->data + buffer->read_pos;
    if (length)
        *length = n;
    buffer->read_pos = round_up4(buffer->read_pos + (uint64_t)n + 1);
    return bytes;
}

const char *threadstream_read_string(ThreadStreamBuffer *buffer, uint32_t *length)
{
    return (const char *)threadstream_read_bytes(buffer, length);
}

ThreadStreamQueue *threadstream_queue_create(void)
{
    ThreadStreamQueue *queue = (ThreadStreamQueue *)SDL_calloc(1, sizeof *queue);
    if (!queue)
        return NULL;
    queue->mutex = SDL_CreateMutex();
    if (!queue->mutex) {
        SDL_free(queue);
        return NULL;
    }
    return queue;
}

void threadstream_queue_destroy(ThreadStreamQueue *queue)
{
    if (!queue)
        return;
    ThreadStreamBuffer *buffer;
    while ((buffer = threadstream_queue_pop(queue)) != NULL)
        threadstream_buffer_release(buffer);
    SDL_DestroyMutex(queue->mutex);
    SDL_free(queue);
}

void threadstream_queue_push(ThreadStreamQueue *queue, ThreadStreamBuffer *buffer)
{
    if (!queue || !buffer)
        return;
    buffer->next = NULL;
    SDL_LockMutex(queue->mutex);
    if (queue->tail)
        queue->tail->next = buffer;
    else
        queue->head = buffer;
    queue->tail = buffer;
    SDL_AtomicAdd(&queue->count, 1);
    SDL_UnlockMutex(queue->mutex);
}

ThreadStreamBuffer *threadstream_queue_pop(ThreadStreamQueue *queue)
{
    if (!queue)
        return NULL;
    SDL_LockMutex(queue->mutex);
    ThreadStreamBuffer *buffer = queue->head;
    if (buffer) {
        queue->head = buffer->next;
        if (!queue->head)
            queue->tail = NULL;
        buffer->next = NULL;
        SDL_AtomicAdd(&queue->count, -1);
    }
    SDL_UnlockMutex(queue->mutex);
    return buffer;
}
