#include "publish/android/sha1.h"

#include <SDL.h>

#include <stddef.h>

static uint32_t rol32(uint32_t v, int bits)
{
    return (v << bits) | (v >> (32 - bits));
}

static uint32_t be_get_u32(const uint8_t *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}

/* Message schedule in a 16-word ring: word i >= 16 replaces word i - 16. */
#define SCHEDULE(i)                                                               \
    (w[(i) & 15] = rol32(w[((i) + 13) & 15] ^ w[((i) + 8) & 15] ^ w[((i) + 2) & 15] \
                         ^ w[(i) & 15], 1))

/* One round each; the callers rotate the five working variables through
 * the argument positions instead of moving values between them. */
#define R0(v, x, y, z, u, i) \
    u += ((x & (y ^ z)) ^ z) + w[i] + 0x5A827999u + rol32(v, 5); x = rol32(x, 30)
#define R1(v, x, y, z, u, i) \
    u += ((x & (y ^ z)) ^ z) + SCHEDULE(i) + 0x5A827999u + rol32(v, 5); x = rol32(x, 30)
#define R2(v, x, y, z, u, i) \
    u += (x ^ y ^ z) + SCHEDULE(i) + 0x6ED9EBA1u + rol32(v, 5); x = rol32(x, 30)
#define R3(v, x, y, z, u, i) \
    u += (((x | y) & z) | (x & y)) + SCHEDULE(i) + 0x8F1BBCDCu + rol32(v, 5); x = rol32(x, 30)
#define R4(v, x, y, z, u, i) \
    u += (x ^ y ^ z) + SCHEDULE(i) + 0xCA62C1D6u + rol32(v, 5); x = rol32(x, 30)

/* The compression function over one 64-byte block, added into the state. */
static void sha1_transform(Sha1Context *context, const uint8_t block[SHA1_BLOCK_SIZE])
{
    uint32_t w[16];
    w[0] = be_get_u32(block);       w[1] = be_get_u32(block + 4);
    w[2] = be_get_u32(block + 8);   w[3] = be_get_u32(block + 12);
    w[4] = be_get_u32(block + 16);  w[5] = be_get_u32(block + 20);
    w[6] = be_get_u32(block + 24);  w[7] = be_get_u32(block + 28);
    w[8] = be_get_u32(block + 32);  w[9] = be_get_u32(block + 36);
    w[10] = be_get_u32(block + 40); w[11] = be_get_u32(block + 44);
    w[12] = be_get_u32(block + 48); w[13] = be_get_u32(block + 52);
    w[14] = be_get_u32(block + 56); w[15] = be_get_u32(block + 60);

    uint32_t a = context->state[0], b = context->state[1], c = context->state[2];
    uint32_t d = context->state[3], e = context->state[4];

    R0(a,b,c,d,e,0); R0(e,a,b,c,d,1); R0(d,e,a,b,c,2); R0(c,d,e,a,b,3); R0(b,c,d,e,a,4);
    R0(a,b,c,d,e,5); R0(e,a,b,c,d,6); R0(d,e,a,b,c,7); R0(c,d,e,a,b,8); R0(b,c,d,e,a,9);
    R0(a,b,c,d,e,10); R0(e,a,b,c,d,11); R0(d,e,a,b,c,12); R0(c,d,e,a,b,13); R0(b,c,d,e,a,14);
    R0(a,b,c,d,e,15); R1(e,a,b,c,d,16); R1(d,e,a,b,c,17); R1(c,d,e,a,b,18); R1(b,c,d,e,a,19);
    R2(a,b,c,d,e,20); R2(e,a,b,c,d,21); R2(d,e,a,b,c,22); R2(c,d,e,a,b,23); R2(b,c,d,e,a,24);
    R2(a,b,c,d,e,25); R2(e,a,b,c,d,26); R2(d,e,a,b,c,27); R2(c,d,e,a,b,28); R2(b,c,d,e,a,29);
    R2(a,b,c,d,e,30); R2(e,a,b,c,d,31); R2(d,e,a,b,c,32); R2(c,d,e,a,b,33); R2(b,c,d,e,a,34);
    R2(a,b,c,d,e,35); R2(e,a,b,c,d,36); R2(d,e,a,b,c,37); R2(c,d,e,a,b,38); R2(b,c,d,e,a,39);
    R3(a,b,c,d,e,40); R3(e,a,b,c,d,41); R3(d,e,a,b,c,42); R3(c,d,e,a,b,43); R3(b,c,d,e,a,44);
    R3(a,b,c,d,e,45); R3(e,a,b,c,d,46); R3(d,e,a,b,c,47); R3(c,d,e,a,b,48); R3(b,c,d,e,a,49);
    R3(a,b,c,d,e,50); R3(e,a,b,c,d,51); R3(d,e,a,b,c,52); R3(c,d,e,a,b,53); R3(b,c,d,e,a,54);
    R3(a,b,c,d,e,55); R3(e,a,b,c,d,56); R3(d,e,a,b,c,57); R3(c,d,e,a,b,58); R3(b,c,d,e,a,59);
    R4(a,b,c,d,e,60); R4(e,a,b,c,d,61); R4(d,e,a,b,c,62); R4(c,d,e,a,b,63); R4(b,c,d,e,a,64);
    R4(a,b,c,d,e,65); R4(e,a,b,c,d,66); R4(d,e,a,b,c,67); R4(c,d,e,a,b,68); R4(b,c,d,e,a,69);
    R4(a,b,c,d,e,70); R4(e,a,b,c,d,71); R4(d,e,a,b,c,72); R4(c,d,e,a,b,73); R4(b,c,d,e,a,74);
    R4(a,b,c,d,e,75); R4(e,a,b,c,d,76); R4(d,e,a,b,c,77); R4(c,d,e,a,b,78); R4(b,c,d,e,a,79);

    context->state[0] += a;
    context->state[1] += b;
    context->state[2] += c;
    context->state[3] += d;
    context->state[4] += e;
}

#undef SCHEDULE
#undef R0
#undef R1
#undef R2
#undef R3
#undef R4

void sha1_init(Sha1Context *context)
{
    context->state[0] = 0x67452301u;
    context->state[1] = 0xEFCDAB89u;
    context->state[2] = 0x98BADCFEu;
    context->state[3] = 0x10325476u;
    context->state[4] = 0xC3D2E1F0u;
    context->bit_count = 0;
}

void sha1_update(Sha1Context *context, const void *data, uint32_t length)
{
    const uint8_t *p = (const uint8_t *)data;
    size_t waiting = (size_t)(context->bit_count / 8 % SHA1_BLOCK_SIZE);
    /* In 64 bits: a single call of 512 MiB or more must not wrap the count. */
    context->bit_count += (uint64_t)length * 8;

    if (waiting) {
        size_t take = SHA1_BLOCK_SIZE - waiting;
        if (length < take) {
            SDL_memcpy(context->buffer + waiting, p, length);
            return;
        }
        SDL_memcpy(context->buffer + waiting, p, take);
        sha1_transform(context, context->buffer);
        p += take;
        length -= (uint32_t)take;
    }
    for (; length >= SHA1_BLOCK_SIZE; p += SHA1_BLOCK_SIZE, length -= SHA1_BLOCK_SIZE)
        sha1_transform(context, p);
    if (length)
        SDL_memcpy(context->buffer, p, length);
}

void sha1_final(uint8_t digest[SHA1_DIGEST_SIZE], Sha1Context *context)
{
    uint8_t length_field[8];
    uint64_t bits = context->bit_count;
    for (int i = 0; i < 8; i++)
        length_field[i] = (uint8_t)(bits >> (56 - 8 * i));

    /* One 0x80, then zeros until 56 bytes into a block (the next block when
     * fewer than 9 bytes are left in this one), then the bit length. */
    static const uint8_t padding[SHA1_BLOCK_SIZE] = {0x80};
    size_t waiting = (size_t)(bits / 8 % SHA1_BLOCK_SIZE);
    size_t pad = waiting < 56 ? 56 - waiting : 120 - waiting;
    sha1_update(context, padding, (uint32_t)pad);
    sha1_update(context, length_field, sizeof length_field);

    if (!digest)
        return;
    for (int i = 0; i < 5; i++) {
        digest[4 * i] = (uint8_t)(context->state[i] >> 24);
        digest[4 * i + 1] = (uint8_t)(context->state[i] >> 16);
        digest[4 * i + 2] = (uint8_t)(context->state[i] >> 8);
        digest[4 * i + 3] = (uint8_t)context->state[i];
    }
}
