/* A strict reader of the archives the zip writer makes, for the tests that
 * compare them field by field: every local header is checked against its
 * central record, deflated data is inflated and its CRC checked. */
#ifndef BRINDLECOT_TEST_ZIP_READ_H
#define BRINDLECOT_TEST_ZIP_READ_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

uint32_t zip_get16(const std::string &z, size_t at);
uint32_t zip_get32(const std::string &z, size_t at);

/* One entry as both of its headers describe it. */
struct ZipEntryRead {
    std::string name;
    uint32_t flags, method, time, date, crc, csize, usize, attributes, offset;
    uint32_t extra_length; /* of the local header: the alignment padding */
    size_t data_start;
    std::string raw;       /* the entry's bytes as stored */
    std::string data;      /* inflated, for a deflated entry */
};

/* Every entry, in central-directory order; failures are reported to the
 * running test. */
std::vector<ZipEntryRead> zip_read_entries(const std::string &z);

/* Raw inflate of in; "<init failed>" or "<inflate failed>" on errors. */
std::string inflate_raw(const std::string &in, size_t expected);

#endif
