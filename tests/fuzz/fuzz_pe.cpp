/* libFuzzer target for the Windows resource walker and patch: the input is
 * the runtime stub. Every lookup the patch makes is tried on its own, then
 * the patch itself writes a fixed icon and the version strings into a copy.
 * A patch that fails must leave the file as it was. */
#include "engine/out_file.h"
#include "fuzz_support.h"

#include "publish/images/pe_resources.h"

#include <SDL.h>
#include <physfs.h>

#include <string.h>

/* A one-image icon file: the 22-byte header and directory entry, then the
 * image (any bytes will do; the patch copies them). */
static void fuzz_make_ico(uint8_t *ico, size_t size)
{
    memset(ico, 0, size);
    ico[2] = 1;              /* type: icon */
    ico[4] = 1;              /* one image */
    ico[10] = 1;             /* planes */
    ico[12] = 32;            /* bits per pixel */
    ico[14] = (uint8_t)(size - 22);
    ico[18] = 22;            /* image offset */
    memcpy(ico + 22, "\x89PNG\r\n\x1a\n", 8);
}

static void fuzz_lookups(const char *path)
{
    PHYSFS_File *in = PHYSFS_openRead(path);
    FUZZ_CHECK(in != NULL);
    PeResourceSection rs;
    if (find_resource_section(in, path, &rs)) {
        FUZZ_CHECK((uint64_t)rs.dir_offset + rs.dir_size <= rs.file_size);
        const struct {
            uint32_t type;
            int32_t id;
        } lookups[] = {{14, -1}, {3, 1}, {16, 1}, {10, 300}};
        for (const auto &l : lookups) {
            uint32_t entry = 0;
            int found = find_resource_entry(in, path, &rs, l.type, l.id, &entry);
            FUZZ_CHECK(found == 1 || found == 0 || found == -1);
            if (found == 1)
                FUZZ_CHECK((uint64_t)entry + 16 <= rs.dir_size);
        }
    }
    PHYSFS_close(in);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_support_init();
    const char *path = "stub.exe";
    fuzz_write_file(path, data, size);
    fuzz_lookups(path);

    uint8_t ico[62];
    fuzz_make_ico(ico, sizeof ico);
    PHYSFS_File *in = PHYSFS_openRead(path);
    OutFile *out = out_file_open(path, OUT_FILE_MODIFY);
    FUZZ_CHECK(in != NULL && out != NULL);
    int ok = patch_windows_resources(in, out, path, "windows-amd64", ico, sizeof ico);
    PHYSFS_close(in);
    FUZZ_CHECK(out_file_close(out) != 0);

    PHYSFS_File *check = PHYSFS_openRead(path);
    FUZZ_CHECK(check != NULL);
    FUZZ_CHECK(PHYSFS_fileLength(check) == (PHYSFS_sint64)size);
    if (!ok && size > 0) {
        uint8_t *after = (uint8_t *)SDL_malloc(size);
        FUZZ_CHECK(after != NULL);
        FUZZ_CHECK(PHYSFS_readBytes(check, after, size) == (PHYSFS_sint64)size);
        FUZZ_CHECK(memcmp(after, data, size) == 0);
        SDL_free(after);
    }
    PHYSFS_close(check);
    fuzz_discard_log();
    return 0;
}
