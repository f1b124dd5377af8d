#include "zip_read.h"

#include <gtest/gtest.h>
#include <zlib.h>

uint32_t zip_get16(const std::string &z, size_t at)
{
    return (uint8_t)z[at] | ((uint8_t)z[at + 1] << 8);
}

uint32_t zip_get32(const std::string &z, size_t at)
{
    return zip_get16(z, at) | (zip_get16(z, at + 2) << 16);
}

std::string inflate_raw(const std::string &in, size_t expected)
{
    z_stream zs = {};
    if (inflateInit2(&zs, -15) != Z_OK)
        return "<init failed>";
    std::string out(expected + 1, '\0');
    zs.next_in = (Bytef *)in.data();
    zs.avail_in = (uInt)in.size();
    zs.next_out = (Bytef *)&out[0];
    zs.avail_out = (uInt)out.size();
    int rc = inflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    inflateEnd(&zs);
    return rc == Z_STREAM_END ? out : "<inflate failed>";
}

/* The local header of e, at its offset, against its central record. */
static void zip_read_local(const std::string &z, ZipEntryRead &e)
{
    size_t l = e.offset;
    size_t n = e.name.size();
    EXPECT_EQ(zip_get32(z, l), 0x04034B50u);
    EXPECT_EQ(zip_get16(z, l + 4), 20u);
    EXPECT_EQ(zip_get16(z, l + 6), e.flags);
    EXPECT_EQ(zip_get16(z, l + 8), e.method);
    EXPECT_EQ(zip_get16(z, l + 10), e.time);
    EXPECT_EQ(zip_get16(z, l + 12), e.date);
    EXPECT_EQ(zip_get32(z, l + 14), e.crc);
    EXPECT_EQ(zip_get32(z, l + 18), e.csize);
    EXPECT_EQ(zip_get32(z, l + 22), e.usize);
    EXPECT_EQ(zip_get16(z, l + 26), n);
    e.extra_length = zip_get16(z, l + 28);
    EXPECT_EQ(z.substr(l + 30, n), e.name);
    e.data_start = l + 30 + n + e.extra_length;
    e.raw = z.substr(e.data_start, e.csize);
    if (e.method == 8) {
        e.data = inflate_raw(e.raw, e.usize);
        EXPECT_EQ(crc32(0, (const Bytef *)e.data.data(), (uInt)e.data.size()), e.crc)
            << e.name;
    }
}

std::vector<ZipEntryRead> zip_read_entries(const std::string &z)
{
    std::vector<ZipEntryRead> out;
    if (z.size() < 22) {
        ADD_FAILURE() << "no end record in " << z.size() << " bytes";
        return out;
    }
    size_t end = z.size() - 22;
    EXPECT_EQ(zip_get32(z, end), 0x06054B50u);
    uint32_t count = zip_get16(z, end + 10);
    EXPECT_EQ(zip_get16(z, end + 8), count);
    uint32_t cd_size = zip_get32(z, end + 12);
    size_t p = zip_get32(z, end + 16);
    EXPECT_EQ(p + cd_size, end);
    for (uint32_t i = 0; i < count && p + 46 <= end; i++) {
        EXPECT_EQ(zip_get32(z, p), 0x02014B50u);
        EXPECT_EQ(zip_get16(z, p + 4), 0x0314u); /* version 20, made on Unix */
        ZipEntryRead e;
        e.flags = zip_get16(z, p + 8);
        e.method = zip_get16(z, p + 10);
        e.time = zip_get16(z, p + 12);
        e.date = zip_get16(z, p + 14);
        e.crc = zip_get32(z, p + 16);
        e.csize = zip_get32(z, p + 20);
        e.usize = zip_get32(z, p + 24);
        uint32_t n = zip_get16(z, p + 28);
        EXPECT_EQ(zip_get16(z, p + 30) | zip_get16(z, p + 32), 0u);
        e.attributes = zip_get32(z, p + 38);
        e.offset = zip_get32(z, p + 42);
        e.name = z.substr(p + 46, n);
        p += 46 + n;
        zip_read_local(z, e);
        out.push_back(e);
    }
    return out;
}
