#include "engine/threadstream.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<uint8_t> bytes_of(const ThreadStreamBuffer *b)
{
    return std::vector<uint8_t>(b->data, b->data + b->length);
}

std::vector<uint8_t> le32(uint32_t v)
{
    std::vector<uint8_t> out(4);
    memcpy(out.data(), &v, 4);
    return out;
}

/* A field's bytes as they must appear: the padding is never written, so
 * only the length and the bytes up to the 0 byte are compared. */
struct BlockCase {
    const char *text; /* NULL: a NULL string */
    uint64_t occupied;
};

TEST(ThreadStreamLayout, StringsAndBlocksOccupyRoundedSizes)
{
    const BlockCase cases[] = {
        {NULL, 4}, {"", 8}, {"a", 8}, {"abc", 8}, {"abcd", 12}, {"abcdefg", 12}, {"abcdefgh", 16},
    };
    for (const BlockCase &c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(NULL)");
        ThreadStreamBuffer *b = threadstream_buffer_get();
        ASSERT_NE(b, nullptr);
        ASSERT_EQ(threadstream_write_string(b, c.text), 1);
        EXPECT_EQ(b->length, c.occupied);
        std::vector<uint8_t> got = bytes_of(b);
        if (!c.text) {
            EXPECT_EQ(got, le32(0xFFFFFFFFu));
        } else {
            size_t n = strlen(c.text);
            std::vector<uint8_t> want = le32((uint32_t)n);
            want.insert(want.end(), c.text, c.text + n);
            want.push_back(0);
            EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + want.size()), want);
        }

        uint32_t length = 99;
        const char *back = threadstream_read_string(b, &length);
        if (!c.text) {
            EXPECT_EQ(back, nullptr);
        } else {
            ASSERT_NE(back, nullptr);
            EXPECT_STREQ(back, c.text);
        }
        EXPECT_EQ(length, c.text ? strlen(c.text) : 0u);
        EXPECT_EQ(b->read_pos, c.occupied);
        EXPECT_EQ(b->error, 0);
        threadstream_buffer_release(b);
    }
}

TEST(ThreadStreamLayout, MixedFieldsReadBackInOrder)
{
    ThreadStreamBuffer *b = threadstream_buffer_get();
    int marker = 0;
    const uint8_t raw[5] = {0, 1, 0xFF, 0, 7};
    ASSERT_EQ(threadstream_write_pointer(b, &marker), 1);
    ASSERT_EQ(threadstream_write_u32(b, 0xDEADBEEFu), 1);
    ASSERT_EQ(threadstream_write_bytes(b, raw, 5), 1);
    ASSERT_EQ(threadstream_write_bytes(b, NULL, 1234), 1); /* length ignored */
    ASSERT_EQ(threadstream_write_u32(b, 5), 1);
    EXPECT_EQ(b->length, 8u + 4 + 12 + 4 + 4);

    uint64_t stored;
    memcpy(&stored, b->data, 8);
    EXPECT_EQ(stored, (uint64_t)(uintptr_t)&marker);

    EXPECT_EQ(threadstream_read_pointer(b), &marker);
    EXPECT_EQ(threadstream_read_u32(b), 0xDEADBEEFu);
    uint32_t n = 0;
    const uint8_t *block = threadstream_read_bytes(b, &n);
    ASSERT_EQ(n, 5u);
    EXPECT_EQ(memcmp(block, raw, 5), 0);
    EXPECT_EQ(block[5], 0);
    EXPECT_EQ(threadstream_read_bytes(b, &n), nullptr);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(threadstream_read_u32(b), 5u);
    EXPECT_EQ(b->error, 0);
    threadstream_buffer_release(b);
}

TEST(ThreadStreamGrowth, CapacityDoublesOnlyWhenNeeded)
{
    struct Case {
        uint64_t prefill; /* bytes already written as u32 fields */
        int field;        /* 0 pointer, 1 u32, 2 block of block_len */
        uint32_t block_len;
        uint64_t capacity;
    };
    const Case cases[] = {
        {1016, 0, 0, 1024},  /* needed 1024 equals the capacity */
        {1020, 0, 0, 2048},
        {1020, 1, 0, 1024},
        {1024, 1, 0, 2048},
        {0, 2, 1019, 1024},  /* 4 + 1019 + 1 = 1024 */
        {0, 2, 1020, 2048},
        {0, 2, 5000, 8192},  /* straight from 1024 to 8192 */
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.prefill << "/" << c.field << "/" << c.block_len);
        ThreadStreamBuffer *b = threadstream_buffer_get();
        /* A released buffer keeps its memory; start from a fresh one. */
        if (b->capacity != THREADSTREAM_INITIAL_CAPACITY) {
            SDL_free(b->data);
            b->data = (uint8_t *)SDL_malloc(THREADSTREAM_INITIAL_CAPACITY);
            b->capacity = THREADSTREAM_INITIAL_CAPACITY;
        }
        for (uint64_t i = 0; i < c.prefill; i += 4)
            ASSERT_EQ(threadstream_write_u32(b, (uint32_t)i), 1);
        ASSERT_EQ(b->capacity, 1024u);
        std::vector<uint8_t> block(c.block_len, 0xAB);
        int ok = c.field == 0   ? threadstream_write_pointer(b, b)
                 : c.field == 1 ? threadstream_write_u32(b, 1)
                                : threadstream_write_bytes(b, block.data(), c.block_len);
        EXPECT_EQ(ok, 1);
        EXPECT_EQ(b->capacity, c.capacity);
        EXPECT_LE(b->length, b->capacity);
        /* What was there before growing survives it. */
        if (c.prefill) {
            EXPECT_EQ(threadstream_read_u32(b), 0u);
        }
        threadstream_buffer_release(b);
    }
}

TEST(ThreadStreamReads, PastTheEndGivesNeutralValuesAndSetsError)
{
    ThreadStreamBuffer *b = threadstream_buffer_get();
    ASSERT_EQ(threadstream_write_u32(b, 42), 1);
    /* 4 bytes can't be a pointer; the read does not move. */
    EXPECT_EQ(threadstream_read_pointer(b), nullptr);
    EXPECT_EQ(b->error, 1);
    EXPECT_EQ(b->read_pos, 0u);
    EXPECT_EQ(threadstream_read_u32(b), 42u);
    EXPECT_EQ(threadstream_read_u32(b), 0u);
    uint32_t n = 7;
    const char *s = threadstream_read_string(b, &n);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "");
    EXPECT_EQ(n, 0u);
    threadstream_buffer_release(b);
    EXPECT_EQ(b->error, 0);
    EXPECT_EQ(b->length, 0u);
    EXPECT_EQ(b->read_pos, 0u);

    /* A length field that promises more than was written. */
    b = threadstream_buffer_get();
    ASSERT_EQ(threadstream_write_u32(b, 100), 1);
    ASSERT_EQ(threadstream_write_u32(b, 0), 1);
    s = threadstream_read_string(b, &n);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "");
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(b->error, 1);
    EXPECT_EQ(b->read_pos, 4u);
    threadstream_buffer_release(b);
}

TEST(ThreadStreamReads, NullBufferIsHarmless)
{
    EXPECT_EQ(threadstream_read_pointer(NULL), nullptr);
    EXPECT_EQ(threadstream_read_u32(NULL), 0u);
    uint32_t n = 3;
    const char *s = threadstream_read_string(NULL, &n);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "");
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(threadstream_write_u32(NULL, 1), 0);
    EXPECT_EQ(threadstream_write_string(NULL, "x"), 0);
    threadstream_buffer_release(NULL);
}

TEST(ThreadStreamErrors, ErrorIsStickyUntilRelease)
{
    ThreadStreamBuffer *b = threadstream_buffer_get();
    b->error = 1; /* as after a failed growth */
    EXPECT_EQ(threadstream_write_u32(b, 1), 0);
    EXPECT_EQ(threadstream_write_string(b, "x"), 0);
    EXPECT_EQ(b->length, 0u);
    threadstream_buffer_release(b);
    ThreadStreamBuffer *again = threadstream_buffer_get();
    EXPECT_EQ(again, b); /* the pool is last in, first out */
    EXPECT_EQ(threadstream_write_u32(again, 1), 1);
    threadstream_buffer_release(again);
}

TEST(ThreadStreamQueue, FifoOrderAndEmptyPop)
{
    ThreadStreamQueue *q = threadstream_queue_create();
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(threadstream_queue_pop(q), nullptr);
    EXPECT_EQ(q->head, nullptr);
    EXPECT_EQ(q->tail, nullptr);

    std::vector<ThreadStreamBuffer *> pushed;
    for (uint32_t i = 0; i < 5; i++) {
        ThreadStreamBuffer *b = threadstream_buffer_get();
        threadstream_write_u32(b, i);
        threadstream_queue_push(q, b);
        pushed.push_back(b);
    }
    EXPECT_EQ(SDL_AtomicGet(&q->count), 5);
    for (uint32_t i = 0; i < 5; i++) {
        ThreadStreamBuffer *b = threadstream_queue_pop(q);
        ASSERT_EQ(b, pushed[i]);
        EXPECT_EQ(b->next, nullptr);
        EXPECT_EQ(threadstream_read_u32(b), i);
        threadstream_buffer_release(b);
    }
    EXPECT_EQ(SDL_AtomicGet(&q->count), 0);
    EXPECT_EQ(threadstream_queue_pop(q), nullptr);
    EXPECT_EQ(q->head, nullptr);
    EXPECT_EQ(q->tail, nullptr);

    threadstream_queue_push(q, NULL);
    threadstream_queue_push(NULL, pushed[0]);
    EXPECT_EQ(threadstream_queue_pop(NULL), nullptr);
    EXPECT_EQ(threadstream_queue_pop(q), nullptr);
    threadstream_queue_destroy(q);
    threadstream_queue_destroy(NULL);
}

TEST(ThreadStreamQueue, DestroyReturnsQueuedBuffersToThePool)
{
    ThreadStreamQueue *q = threadstream_queue_create();
    ThreadStreamBuffer *first = threadstream_buffer_get();
    ThreadStreamBuffer *second = threadstream_buffer_get();
    threadstream_write_string(first, "kept memory");
    threadstream_write_u32(second, 2);
    threadstream_queue_push(q, first);
    threadstream_queue_push(q, second);
    threadstream_queue_destroy(q);

    /* Released in queue order, so the last one queued comes out first, and
     * empty. */
    ThreadStreamBuffer *got = threadstream_buffer_get();
    EXPECT_EQ(got, second);
    EXPECT_EQ(got->length, 0u);
    EXPECT_EQ(got->read_pos, 0u);
    EXPECT_EQ(got->next, nullptr);
    ThreadStreamBuffer *next = threadstream_buffer_get();
    EXPECT_EQ(next, first);
    threadstream_buffer_release(got);
    threadstream_buffer_release(next);
}

/* Producers on their own threads, one consumer: every message arrives once,
 * each producer's in its order. */
TEST(ThreadStreamThreads, FourProducersLoseNothing)
{
    const int producers = 4;
    const uint32_t per_producer = 10000;
    ThreadStreamQueue *q = threadstream_queue_create();
    ASSERT_NE(q, nullptr);

    std::vector<std::thread> threads;
    for (int p = 0; p < producers; p++) {
        threads.emplace_back([q, p] {
            for (uint32_t i = 0; i < per_producer; i++) {
                ThreadStreamBuffer *b = threadstream_buffer_get();
                if (!b)
                    continue;
                std::string text = "message " + std::to_string(i);
                threadstream_write_u32(b, (uint32_t)p);
                threadstream_write_u32(b, i);
                threadstream_write_string(b, text.c_str());
                threadstream_queue_push(q, b);
            }
        });
    }

    std::vector<uint32_t> next(producers, 0);
    uint32_t received = 0;
    const uint32_t total = producers * per_producer;
    int out_of_order = 0, bad_text = 0;
    while (received < total) {
        ThreadStreamBuffer *b = threadstream_queue_pop(q);
        if (!b) {
            std::this_thread::yield();
            continue;
        }
        uint32_t p = threadstream_read_u32(b);
        uint32_t i = threadstream_read_u32(b);
        const char *text = threadstream_read_string(b, NULL);
        if (p >= (uint32_t)producers || i != next[p])
            out_of_order++;
        else
            next[p]++;
        if (std::string(text) != "message " + std::to_string(i) || b->error)
            bad_text++;
        threadstream_buffer_release(b);
        received++;
    }
    for (std::thread &t : threads)
        t.join();

    EXPECT_EQ(out_of_order, 0);
    EXPECT_EQ(bad_text, 0);
    for (int p = 0; p < producers; p++)
        EXPECT_EQ(next[p], per_producer);
    EXPECT_EQ(threadstream_queue_pop(q), nullptr);
    EXPECT_EQ(SDL_AtomicGet(&q->count), 0);
    threadstream_queue_destroy(q);
}

} // namespace
