/* Little-endian fields and whole reads and writes, for every binary format
 * the publisher reads or writes (zip, icons, PE patch, Android files). A
 * short write is retried for the rest; when a read or write fails,
 * byte_io_error() gives the real cause: the operating system's when the
 * failure came from it (so a full disk reads "No space left on device", not
 * a stale "not found"), "unexpected end of file" for a file shorter than
 * its reader expects, else PhysicsFS's code. Reads come through PhysicsFS,
 * writes go to an engine/out_file. */
#ifndef BRINDLECOT_BYTE_IO_H
#define BRINDLECOT_BYTE_IO_H

#include <stddef.h>
#include <stdint.h>

#include "engine/out_file.h"

#include <physfs.h>

void le_put_u16(unsigned char *p, uint16_t v);
void le_put_u32(unsigned char *p, uint32_t v);
uint16_t le_get_u16(const unsigned char *p);
uint32_t le_get_u32(const unsigned char *p);

/* UTF-8 text as little-endian UTF-16 units, with a zero unit after them;
 * characters beyond the BMP become surrogate pairs and invalid sequences
 * '?', as PhysicsFS converts. *units gets the count without the zero. An SDL
 * buffer the caller frees, or NULL when memory ran out (nothing logged). */
uint8_t *utf16le_from_utf8(const char *text, uint32_t *units);

/* 1 when all len bytes were written at f's position; 0 otherwise, with
 * byte_io_error() set. They never log: the caller names the file in its
 * own message. */
int byte_io_write_all(OutFile *f, const void *data, size_t len);
int byte_io_write_u16(OutFile *f, uint16_t v);
int byte_io_write_u32(OutFile *f, uint32_t v);

/* 1 when all len bytes were read; 0 otherwise, with byte_io_error() set.
 * The fields are little-endian. They never log. */
int byte_io_read_all(PHYSFS_File *f, void *data, size_t len);
int byte_io_read_u16(PHYSFS_File *f, uint16_t *v);
int byte_io_read_u32(PHYSFS_File *f, uint32_t *v);

/* The cause of the calling thread's last failed byte_io read or write. */
const char *byte_io_error(void);

#endif
