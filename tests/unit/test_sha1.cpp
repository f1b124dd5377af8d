#include "test_support.h"

#include "publish/android/sha1.h"

#include <SDL.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

namespace
{

std::string hex(const uint8_t *bytes, size_t n)
{
    return hex_of(std::string((const char *)bytes, n));
}

std::string sha1_of(const std::string &data)
{
    Sha1Context c;
    sha1_init(&c);
    sha1_update(&c, data.data(), (uint32_t)data.size());
    uint8_t digest[SHA1_DIGEST_SIZE];
    sha1_final(digest, &c);
    return hex(digest, sizeof digest);
}

/* The digest as sha1sum computes it from a file holding the data. */
std::string sha1sum_of(const std::string &data)
{
    char path[] = "/tmp/brindlecot-sha1-XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, data.data(), data.size()), (ssize_t)data.size());
    close(fd);
    std::string out;
    EXPECT_EQ(run_command(std::string("sha1sum ") + path, &out), 0);
    unlink(path);
    return out.substr(0, 40);
}

const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";

} // namespace

TEST(Sha1, Fips180Messages)
{
    struct {
        std::string message;
        const char *digest;
    } cases[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {two_blocks, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message.size());
        EXPECT_EQ(sha1_of(c.message), c.digest);
    }
}

TEST(Sha1, MillionAInUnevenPieces)
{
    /* Pieces that start and end at every position within a block. */
    const std::string a(1000000, 'a');
    const uint32_t pieces[] = {1, 63, 64, 65, 7, 128, 200, 3, 0, 1000};
    Sha1Context c;
    sha1_init(&c);
    size_t done = 0;
    for (size_t i = 0; done < a.size(); i++) {
        uint32_t n = pieces[i % SDL_arraysize(pieces)];
        if (n > a.size() - done)
            n = (uint32_t)(a.size() - done);
        sha1_update(&c, a.data() + done, n);
        done += n;
    }
    uint8_t digest[SHA1_DIGEST_SIZE];
    sha1_final(digest, &c);
    EXPECT_EQ(hex(digest, sizeof digest), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(Sha1, SplitAtEveryBoundaryGivesTheOneCallDigest)
{
    std::string message;
    for (int i = 0; i < 130; i++)
        message += (char)(i * 37 + 11);
    const std::string whole = sha1_of(message);
    EXPECT_EQ(whole, sha1sum_of(message));
    for (size_t first = 0; first <= message.size(); first++)
        for (size_t second = first; second <= message.size(); second++) {
            Sha1Context c;
            sha1_init(&c);
            sha1_update(&c, message.data(), (uint32_t)first);
            sha1_update(&c, message.data() + first, (uint32_t)(second - first));
            sha1_update(&c, message.data() + second, (uint32_t)(message.size() - second));
            uint8_t digest[SHA1_DIGEST_SIZE];
            sha1_final(digest, &c);
            ASSERT_EQ(hex(digest, sizeof digest), whole) << first << " " << second;
        }
}

TEST(Sha1, PaddingEdges)
{
    /* 55 bytes still take the length in their own block; 56 to 63 need an
     * extra block; 64 fill one exactly. */
    for (size_t n : {55, 56, 57, 63, 64, 65, 119, 120}) {
        SCOPED_TRACE(n);
        std::string message;
        for (size_t i = 0; i < n; i++)
            message += (char)('A' + i % 26);
        EXPECT_EQ(sha1_of(message), sha1sum_of(message));
    }
}

TEST(Sha1, OneCallOf512MiBKeepsTheBitCount)
{
    /* 2^29 bytes are 2^32 bits: a count kept in 32 bits would wrap to 0. */
    const size_t n = (size_t)1 << 29;
    void *zeros = mmap(NULL, n, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(zeros, MAP_FAILED);
    Sha1Context c;
    sha1_init(&c);
    sha1_update(&c, zeros, (uint32_t)n);
    munmap(zeros, n);
    EXPECT_EQ(c.bit_count, (uint64_t)n * 8);
    uint8_t digest[SHA1_DIGEST_SIZE];
    sha1_final(digest, &c);
    /* head -c 536870912 /dev/zero | sha1sum */
    EXPECT_EQ(hex(digest, sizeof digest), "5b088492c9f4778f409b7ae61477dec124c99033");
}

TEST(Sha1, NullDigestSkipsOnlyTheWriting)
{
    Sha1Context c;
    sha1_init(&c);
    sha1_update(&c, "abc", 3);
    sha1_final(NULL, &c);
    EXPECT_EQ(c.state[0], 0xa9993e36u);
    EXPECT_EQ(c.state[4], 0x9cd0d89du);
}
