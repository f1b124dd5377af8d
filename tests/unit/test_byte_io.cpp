#include "engine/out_file.h"
#include "test_support.h"
#include "zip_package.h"

#include "publish/archive/byte_io.h"
#include "publish/images/icons.h"
#include "publish/files/file_copy.h"
#include "publish/archive/zip_writer.h"

#include <SDL.h>
#include <physfs.h>

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <string>

/* Caps the size of every file this process writes, so the next write past
 * the cap comes back short and the one after it fails with EFBIG, as on a
 * file system that fills up. SIGXFSZ would end the test instead. */
class FileSizeCap {
public:
    explicit FileSizeCap(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved_);
        struct sigaction ignore;
        SDL_zero(ignore);
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGXFSZ, &ignore, &saved_action_);
        struct rlimit capped = saved_;
        capped.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &capped);
    }
    ~FileSizeCap()
    {
        setrlimit(RLIMIT_FSIZE, &saved_);
        sigaction(SIGXFSZ, &saved_action_, nullptr);
    }

private:
    struct rlimit saved_;
    struct sigaction saved_action_;
};

class ByteIoTest : public FsTest {
protected:
    /* Bytes that deflate cannot shrink, so a zip of them is as big. */
    static std::string noise(size_t n)
    {
        std::string s(n, '\0');
        uint32_t x = 2463534242u;
        for (auto &c : s) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            c = (char)(x & 0xFF);
        }
        return s;
    }

    size_t count_written(const std::string &needle) const
    {
        return (size_t)std::count_if(written.begin(), written.end(), [&](const std::string &l) {
            return l.find(needle) != std::string::npos;
        });
    }
};

TEST_F(ByteIoTest, LittleEndianFieldsRoundTrip)
{
    unsigned char b[4];
    le_put_u16(b, 0xBEEF);
    EXPECT_EQ(b[0], 0xEF);
    EXPECT_EQ(b[1], 0xBE);
    EXPECT_EQ(le_get_u16(b), 0xBEEF);
    le_put_u32(b, 0x12345678u);
    EXPECT_EQ(b[0], 0x78);
    EXPECT_EQ(b[3], 0x12);
    EXPECT_EQ(le_get_u32(b), 0x12345678u);
}

TEST_F(ByteIoTest, FieldsGoIntoTheFileLittleEndian)
{
    OutFile *f = out_file_open("fields.bin", OUT_FILE_NEW);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(byte_io_write_u16(f, 0x0102), 1);
    EXPECT_EQ(byte_io_write_u32(f, 0x03040506u), 1);
    EXPECT_EQ(byte_io_write_all(f, "", 0), 1);
    ASSERT_EQ(out_file_close(f), 1);
    EXPECT_EQ(read_native("fields.bin"), std::string("\x02\x01\x06\x05\x04\x03", 6));
}

TEST_F(ByteIoTest, WriteBeyondTheCapReportsTheSystemsCause)
{
    std::string data = noise(10000);
    OutFile *f = out_file_open("big.bin", OUT_FILE_NEW);
    ASSERT_NE(f, nullptr);
    /* A stale code from an earlier call must not stand in for the cause. */
    PHYSFS_setErrorCode(PHYSFS_ERR_NOT_FOUND);
    {
        FileSizeCap cap(4000);
        EXPECT_EQ(byte_io_write_all(f, data.data(), data.size()), 0);
    }
    EXPECT_STREQ(byte_io_error(), "File too large");
    out_file_abandon(f);
    /* The short write's bytes were kept and the rest was tried again. */
    EXPECT_EQ(read_native("big.bin").size(), 4000u);
}

TEST_F(ByteIoTest, ShortWriteInTheZipWriterLogsTheCauseOnce)
{
    write_native("tree/data.bin", noise(20000));
    {
        FileSizeCap cap(6000);
        EXPECT_EQ(zip_package_tree("out.zip", "tree", 1), 0);
    }
    EXPECT_TRUE(was_written("Write to 'out.zip' failed: File too large"));
    EXPECT_EQ(count_written("failed"), 1u);
}

TEST_F(ByteIoTest, ShortWriteInCopyStreamNamesTheOutput)
{
    write_native("src.bin", noise(9000));
    OutFile *out = out_file_open("dst.bin", OUT_FILE_NEW);
    ASSERT_NE(out, nullptr);
    {
        FileSizeCap cap(2000);
        EXPECT_EQ(copy_stream(out, "dst.bin", "src.bin"), 0);
    }
    out_file_abandon(out);
    EXPECT_TRUE(was_written("Write to 'dst.bin' failed: File too large"));
}

TEST_F(ByteIoTest, ShortWriteOfAnIconDeletesIt)
{
    mkdir_native("img");
    /* A 1 x 1 PNG: any decodable image serves. */
    static const unsigned char png1x1[] = {
        0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48,
        0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00,
        0x00, 0x1F, 0x15, 0xC4, 0x89, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x44, 0x41, 0x54, 0x78,
        0x9C, 0x63, 0xF8, 0xCF, 0xC0, 0xF0, 0x1F, 0x00, 0x05, 0x00, 0x01, 0xFF, 0x89, 0x99,
        0x3D, 0x1D, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
    write_native("img/icon.png", std::string((const char *)png1x1, sizeof png1x1));
    {
        FileSizeCap cap(10);
        EXPECT_EQ(make_windows_icon("game.ico", "img/icon.png"), 0);
    }
    EXPECT_TRUE(was_written("Writing ico 'game.ico' failed: File too large"));
    EXPECT_FALSE(native_exists("game.ico"));
}

TEST_F(ByteIoTest, ReadsGiveTheFieldsOrAnHonestCause)
{
    write_native("f.bin", std::string("\x34\x12\x78\x56\x34\x12\xAA", 7));
    PHYSFS_File *f = PHYSFS_openRead("f.bin");
    ASSERT_NE(f, nullptr);
    uint16_t a = 0;
    uint32_t b = 0;
    EXPECT_EQ(byte_io_read_u16(f, &a), 1);
    EXPECT_EQ(byte_io_read_u32(f, &b), 1);
    EXPECT_EQ(a, 0x1234);
    EXPECT_EQ(b, 0x12345678u);
    PHYSFS_Stat st;
    ASSERT_EQ(PHYSFS_stat("no-such-file", &st), 0); /* a stale "not found" */
    EXPECT_EQ(byte_io_read_u16(f, &a), 0);         /* one byte left */
    EXPECT_STREQ(byte_io_error(), "unexpected end of file");
    PHYSFS_close(f);

    /* A handle open for writing cannot be read: PhysicsFS's own cause. */
    PHYSFS_File *w = PHYSFS_openWrite("w.bin");
    ASSERT_NE(w, nullptr);
    char c;
    EXPECT_EQ(byte_io_read_all(w, &c, 1), 0);
    EXPECT_STRNE(byte_io_error(), "unexpected end of file");
    EXPECT_STRNE(byte_io_error(), "not found");
    PHYSFS_close(w);
}
