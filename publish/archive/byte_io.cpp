#include "publish/archive/byte_io.h"

#include "engine/helpers.h"

#include <errno.h>
#include <string.h>

#include <SDL.h>

static thread_local const char *byte_io_cause = "unknown error";

void le_put_u16(unsigned char *p, uint16_t v)
{
    p[0] = (unsigned char)(v & 0xFF);
    p[1] = (unsigned char)(v >> 8);
}

void le_put_u32(unsigned char *p, uint32_t v)
{
    le_put_u16(p, (uint16_t)(v & 0xFFFF));
    le_put_u16(p + 2, (uint16_t)(v >> 16));
}

uint16_t le_get_u16(const unsigned char *p)
{
    return (uint16_t)(p[0] | (p[1] << 8));
}

uint32_t le_get_u32(const unsigned char *p)
{
    return (uint32_t)le_get_u16(p) | ((uint32_t)le_get_u16(p + 2) << 16);
}

/* No UTF-8 byte gives more than one unit, so len + 1 units always hold the
 * text and its zero. */
uint8_t *utf16le_from_utf8(const char *text, uint32_t *units)
{
    size_t len = SDL_strlen(text);
    if (len >= 0x7FFFFFFF)
        return NULL;
    PHYSFS_uint16 *buf = (PHYSFS_uint16 *)SDL_malloc((len + 1) * sizeof(PHYSFS_uint16));
    if (!buf)
        return NULL;
    PHYSFS_utf8ToUtf16(text, buf, (len + 1) * sizeof(PHYSFS_uint16));
    uint32_t n = 0;
    while (buf[n])
        n++;
    uint8_t *bytes = (uint8_t *)buf;
    for (uint32_t i = 0; i <= n; i++)
        le_put_u16(bytes + 2 * i, buf[i]);
    *units = n;
    return bytes;
}

/* PhysicsFS leaves its error code alone when the operating system wrote
 * less than asked without an error of its own. */
static void byte_io_set_cause(int saved_errno)
{
    PHYSFS_ErrorCode code = PHYSFS_getLastErrorCode();
    if (code == PHYSFS_ERR_OK && saved_errno == 0)
        byte_io_cause = "no bytes written";
    else
        byte_io_cause = fs_error_cause(code, saved_errno);
}

int byte_io_write_all(OutFile *f, const void *data, size_t len)
{
    if (out_file_write(f, data, len))
        return 1;
    byte_io_cause = strerror(errno);
    return 0;
}

int byte_io_write_u16(OutFile *f, uint16_t v)
{
    unsigned char b[2];
    le_put_u16(b, v);
    return byte_io_write_all(f, b, sizeof b);
}

int byte_io_write_u32(OutFile *f, uint32_t v)
{
    unsigned char b[4];
    le_put_u32(b, v);
    return byte_io_write_all(f, b, sizeof b);
}

int byte_io_read_all(PHYSFS_File *f, void *data, size_t len)
{
    PHYSFS_setErrorCode(PHYSFS_ERR_OK);
    errno = 0;
    PHYSFS_sint64 n = PHYSFS_readBytes(f, data, len);
    int saved_errno = errno;
    if (n >= 0 && (size_t)n == len)
        return 1;
    /* A short read at the end sets no error at all: whatever code is left
     * is an older call's. */
    if (n >= 0 && PHYSFS_eof(f))
        byte_io_cause = "unexpected end of file";
    else
        byte_io_set_cause(saved_errno);
    return 0;
}

int byte_io_read_u16(PHYSFS_File *f, uint16_t *v)
{
    unsigned char b[2];
    if (!byte_io_read_all(f, b, sizeof b))
        return 0;
    *v = le_get_u16(b);
    return 1;
}

int byte_io_read_u32(PHYSFS_File *f, uint32_t *v)
{
    unsigned char b[4];
    if (!byte_io_read_all(f, b, sizeof b))
        return 0;
    *v = le_get_u32(b);
    return 1;
}

const char *byte_io_error(void)
{
    return byte_io_cause;
}
