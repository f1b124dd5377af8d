/* Thread-stream queue: carries messages from threads the program does not
 * own to the main thread.
 *
 * A producer takes an empty buffer from a process-wide pool, writes one
 * message into it as a sequence of typed fields and pushes it on a FIFO
 * queue; the consumer pops it, reads the fields back in the same order and
 * releases the buffer to the pool. Buffers keep their memory when released,
 * so steady traffic allocates nothing. Does not log.
 *
 * Field layout (native byte order, every field starts at a multiple of 4):
 *   pointer          8 bytes
 *   u32              4 bytes
 *   byte block       u32 N, the N bytes, one 0 byte, padding up to a
 *                    multiple of 4 (padding is skipped, not written)
 *   NULL byte block  the u32 0xFFFFFFFF alone
 *   string           a byte block of strlen bytes; NULL is a NULL block
 *
 * A buffer belongs to one thread at a time and is never locked; the queue
 * and the pool are safe to use from any thread. */
#ifndef BRINDLECOT_ENGINE_THREADSTREAM_H
#define BRINDLECOT_ENGINE_THREADSTREAM_H

#include <SDL.h>
#include <stdint.h>

#define THREADSTREAM_NULL_BLOCK 0xFFFFFFFFu
#define THREADSTREAM_INITIAL_CAPACITY 1024u

typedef struct ThreadStreamBuffer {
    uint8_t *data;
    uint64_t read_pos;
    uint64_t length;
    uint64_t capacity; /* 1024 at first, then only doubled */
    /* Sticky: a write that could not grow the buffer or a read past the
     * end sets it; only release clears it. */
    int error;
    struct ThreadStreamBuffer *next; /* link of the pool or the queue */
} ThreadStreamBuffer;

typedef struct ThreadStreamQueue {
    SDL_mutex *mutex; /* guards head, tail and the links of queued buffers */
    ThreadStreamBuffer *head; /* oldest */
    ThreadStreamBuffer *tail; /* newest */
    SDL_atomic_t count;
} ThreadStreamQueue;

/* An empty buffer from the pool (or a new one), NULL when memory ran out. */
ThreadStreamBuffer *threadstream_buffer_get(void);
/* Empties the buffer and returns it to the pool; NULL is ignored. */
void threadstream_buffer_release(ThreadStreamBuffer *buffer);

/* Append one field; 0 when the buffer is NULL, already in error, or could
 * not grow. */
int threadstream_write_pointer(ThreadStreamBuffer *buffer, void *pointer);
int threadstream_write_u32(ThreadStreamBuffer *buffer, uint32_t value);
int threadstream_write_bytes(ThreadStreamBuffer *buffer, const void *bytes, uint32_t length);
int threadstream_write_string(ThreadStreamBuffer *buffer, const char *string);

/* Read the next field. Past the end they set error and give a neutral value
 * (NULL, 0, or an empty string with length 0) so a reader can go on. */
void *threadstream_read_pointer(ThreadStreamBuffer *buffer);
uint32_t threadstream_read_u32(ThreadStreamBuffer *buffer);
/* A pointer into the buffer (the bytes are followed by their 0 byte), or
 * NULL for a NULL block; valid until the buffer is released or written. */
const uint8_t *threadstream_read_bytes(ThreadStreamBuffer *buffer, uint32_t *length);
const char *threadstream_read_string(ThreadStreamBuffer *buffer, uint32_t *length);

ThreadStreamQueue *threadstream_queue_create(void);
/* Returns every queued buffer to the pool; NULL is ignored. */
void threadstream_queue_destroy(ThreadStreamQueue *queue);
void threadstream_queue_push(ThreadStreamQueue *queue, ThreadStreamBuffer *buffer);
/* The oldest buffer, or NULL when the queue is empty or NULL. */
ThreadStreamBuffer *threadstream_queue_pop(ThreadStreamQueue *queue);

#endif
