/* Gives a copy of the Windows runtime stub the game's icon and version
 * information. The stub carries a zero-filled RCDATA 300 resource (the
 * scratch space); the new icon group, icon image and version block are
 * written into it and the stub's icon group, icon 1 and version 1 data
 * entries are repointed there. Nothing is inserted or moved, so no header
 * or section size of the executable changes.
 *
 * Every offset the walk follows is checked against the file and the
 * resource section before it is used, and every check (including the room
 * in the scratch space) is made before the first byte is written: a
 * malformed stub fails with one error line and an untouched file. */
#ifndef BRINDLECOT_PUBLISH_PE_RESOURCES_H
#define BRINDLECOT_PUBLISH_PE_RESOURCES_H

#include "engine/out_file.h"

#include <physfs.h>
#include <stdint.h>

/* in: the stub, opened for reading; out: the output executable, a copy of
 * the stub being written (repositioned with out_file_seek, so bytes are
 * overwritten in place). path names the output in messages. platform is the
 * stub name ("windows-amd64"), used for the OriginalFilename string. ico is
 * a one-image .ico file with its image at offset 22, as make_windows_icon
 * writes it. The version strings come from the game_metadata_ values.
 * 1 on success; 0 after one logged error line (the caller deletes the
 * file). The caller closes both handles and frees ico. */
int patch_windows_resources(PHYSFS_File *in, OutFile *out, const char *path,
                            const char *platform, const uint8_t *ico,
                            uint64_t ico_size);

/* Where the resource table of an executable lies. */
typedef struct PeResourceSection {
    uint64_t file_size;
    uint32_t virtual_address; /* VirtualAddress of the section holding it */
    uint32_t raw_offset;      /* that section's PointerToRawData */
    uint32_t raw_size;        /* that section's SizeOfRawData */
    uint32_t dir_offset;      /* file offset of the root resource directory */
    uint32_t dir_size;        /* size of the resource table */
} PeResourceSection;

/* Walks the DOS, PE and optional headers and the section table. 1 with
 * *out filled; 0 after a logged error. */
int find_resource_section(PHYSFS_File *in, const char *path, PeResourceSection *out);

/* Looks up type / id / language 1033 through the three directory levels;
 * id -1 takes the first named entry at the second level. 1 found (*out =
 * offset of the 16-byte data entry relative to the resource directory),
 * -1 not present, 0 after a logged seek, read or bounds failure. */
int find_resource_entry(PHYSFS_File *in, const char *path,
                        const PeResourceSection *rs, uint32_t type, int32_t id,
                        uint32_t *out);

/* Writes one String record of the version block at the current position of
 * out. key and value are UTF-8 and are stored as UTF-16. *running_length
 * (2 more than a multiple of 4 at the start of a record) grows by the
 * record's length and its trailing padding. 1 on success, 0 after a logged
 * failure. */
int write_version_string(OutFile *out, const char *path, const char *key,
                         const char *value, uint32_t *running_length);

#endif
