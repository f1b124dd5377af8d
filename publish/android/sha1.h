/* SHA-1 digests as FIPS 180 defines them, for the signature that a Dalvik
 * executable carries in its header. The context belongs to the caller (on
 * its stack is fine); nothing is allocated and nothing can fail. */
#ifndef BRINDLECOT_SHA1_H
#define BRINDLECOT_SHA1_H

#include <stdint.h>

#define SHA1_DIGEST_SIZE 20
#define SHA1_BLOCK_SIZE 64

typedef struct Sha1Context {
    uint32_t state[5];   /* the running hash value */
    uint64_t bit_count;  /* message bits taken in so far */
    uint8_t buffer[SHA1_BLOCK_SIZE]; /* (bit_count / 8) % 64 bytes wait here */
} Sha1Context;

void sha1_init(Sha1Context *context);

/* Takes in length bytes; data may be NULL when length is 0. Whole blocks
 * are compressed straight from the caller's data. */
void sha1_update(Sha1Context *context, const void *data, uint32_t length);

/* Pads the message and writes the 20-byte digest (NULL skips only the
 * writing). The context is spent afterwards: init it again before reuse. */
void sha1_final(uint8_t digest[SHA1_DIGEST_SIZE], Sha1Context *context);

#endif
