#include "publish/images/pe_resources.h"

#include "engine/game_metadata.h"
#include "engine/helpers.h"
#include "publish/archive/byte_io.h"
#include "publish/files/output_file.h"
#include "publish/publish_log.h"

#include <SDL.h>

#define RT_ICON 3
#define RT_RCDATA 10
#define RT_GROUP_ICON 14
#define RT_VERSION 16
#define LANG_EN_US 1033
#define SCRATCH_ID 300

#define PE_SIGNATURE 0x00004550u
#define PE_MAX_SECTIONS 96 /* the most sections the Windows loader accepts */
#define ICON_GROUP_SIZE 20
#define ICO_HEADER_SIZE 22
#define VERSION_FIXED_END 152 /* the version block up to its first String */
#define VERSION_VARINFO_SIZE 68

static int pe_seek(PHYSFS_File *f, const char *path, uint64_t pos)
{
    if (PHYSFS_seek(f, pos))
        return 1;
    publish_log_error("Seek in '%s' failed: %s", path, fs_error_text());
    return 0;
}

/* A short read means the headers point past the end of the file; the
 * cause says so rather than repeating an older call's error. */
static int pe_read16(PHYSFS_File *f, const char *path, uint16_t *v)
{
    if (byte_io_read_u16(f, v))
        return 1;
    publish_log_error("Read in '%s' failed: %s", path, byte_io_error());
    return 0;
}

static int pe_read32(PHYSFS_File *f, const char *path, uint32_t *v)
{
    if (byte_io_read_u32(f, v))
        return 1;
    publish_log_error("Read in '%s' failed: %s", path, byte_io_error());
    return 0;
}

/* The executable's files belong to the caller, who opens and closes
 * them. */
static const OutputTexts pe_texts = {{NULL, NULL}, {"Write in ", " failed"}, {NULL, NULL}};

static int pe_write(OutFile *f, const char *path, const void *data, uint64_t size)
{
    return output_write(f, path, data, (size_t)size, &pe_texts);
}

static int pe_write16(OutFile *f, const char *path, uint16_t v)
{
    uint8_t b[2];
    le_put_u16(b, v);
    return pe_write(f, path, b, 2);
}

static int pe_write32(OutFile *f, const char *path, uint32_t v)
{
    uint8_t b[4];
    le_put_u32(b, v);
    return pe_write(f, path, b, 4);
}

static int pe_tell(PHYSFS_File *f, const char *path, uint64_t *pos)
{
    PHYSFS_sint64 p = PHYSFS_tell(f);
    if (p >= 0) {
        *pos = (uint64_t)p;
        return 1;
    }
    publish_log_error("Seek in '%s' failed: %s", path, fs_error_text());
    return 0;
}

/* The output's position is its own: moving it cannot fail. */
static int pe_out_seek(OutFile *f, const char *path, uint64_t pos)
{
    (void)path;
    out_file_seek(f, pos);
    return 1;
}

static int pe_out_tell(OutFile *f, const char *path, uint64_t *pos)
{
    (void)path;
    *pos = out_file_tell(f);
    return 1;
}

static int malformed_directory(const char *path)
{
    publish_log_error("File '%s' has a malformed resource directory", path);
    return 0;
}

/* ---- Locating the resource table ---- */

/* The file header and the optional header's magic; O is where the optional
 * header starts, *opt_size its declared size, *k the PE32+ field shift. */
static int read_pe_headers(PHYSFS_File *in, const char *path, uint16_t *sections,
                           uint64_t *opt_start, uint16_t *opt_size, uint32_t *k)
{
    uint32_t e_lfanew, sig, skip;
    uint16_t machine, characteristics, magic;
    if (!pe_seek(in, path, 60) || !pe_read32(in, path, &e_lfanew) ||
        !pe_seek(in, path, e_lfanew) || !pe_read32(in, path, &sig))
        return 0;
    if (sig != PE_SIGNATURE) {
        publish_log_error("File '%s' is not a Windows .exe", path);
        return 0;
    }
    if (!pe_read16(in, path, &machine) || !pe_read16(in, path, sections) ||
        !pe_read32(in, path, &skip) || !pe_read32(in, path, &skip) ||
        !pe_read32(in, path, &skip) || !pe_read16(in, path, opt_size) ||
        !pe_read16(in, path, &characteristics))
        return 0;
    if (*opt_size == 0) {
        publish_log_error("File '%s' doesn't have a Windows .exe 'optional' header", path);
        return 0;
    }
    if (!pe_tell(in, path, opt_start) || !pe_read16(in, path, &magic))
        return 0;
    if (magic != 0x10B && magic != 0x20B) {
        publish_log_error("File '%s' is not a PE32 or PE32+ exe", path);
        return 0;
    }
    *k = magic == 0x20B ? 16 : 0;
    return 1;
}

/* Data directory 2; it must lie inside the declared optional header. */
static int read_resource_dir_entry(PHYSFS_File *in, const char *path, uint64_t o,
                                   uint16_t opt_size, uint32_t k, uint32_t *rva,
                                   uint32_t *size)
{
    uint32_t count;
    if (opt_size < k + 120) {
        publish_log_error("File '%s' doesn't have a resource table", path);
        return 0;
    }
    if (!pe_seek(in, path, o + k + 92) || !pe_read32(in, path, &count))
        return 0;
    if (count <= 2) {
        publish_log_error("File '%s' doesn't have a resource table", path);
        return 0;
    }
    if (!pe_seek(in, path, o + k + 112) || !pe_read32(in, path, rva) ||
        !pe_read32(in, path, size))
        return 0;
    if (*size == 0) {
        publish_log_error("File '%s' doesn't have a resource table", path);
        return 0;
    }
    return 1;
}

typedef struct PeSection {
    uint32_t virtual_size, virtual_address, raw_size, raw_offset;
} PeSection;

static int read_section_header(PHYSFS_File *in, const char *path, PeSection *s)
{
    uint32_t name[2], rest[3];
    uint16_t counts[2];
    return pe_read32(in, path, &name[0]) && pe_read32(in, path, &name[1]) &&
           pe_read32(in, path, &s->virtual_size) &&
           pe_read32(in, path, &s->virtual_address) && pe_read32(in, path, &s->raw_size) &&
           pe_read32(in, path, &s->raw_offset) && pe_read32(in, path, &rest[0]) &&
           pe_read32(in, path, &rest[1]) && pe_read16(in, path, &counts[0]) &&
           pe_read16(in, path, &counts[1]) && pe_read32(in, path, &rest[2]);
}

int find_resource_section(PHYSFS_File *in, const char *path, PeResourceSection *out)
{
    PHYSFS_sint64 length = PHYSFS_fileLength(in);
    if (length < 0) {
        publish_log_error("Read in '%s' failed: %s", path, fs_error_text());
        return 0;
    }
    uint16_t sections, opt_size;
    uint64_t o;
    uint32_t k, rva, size;
    if (!read_pe_headers(in, path, &sections, &o, &opt_size, &k) ||
        !read_resource_dir_entry(in, path, o, opt_size, k, &rva, &size))
        return 0;
    /* The section table follows the optional header as declared, whatever
     * the number of data directories says. */
    if (sections > PE_MAX_SECTIONS)
        sections = PE_MAX_SECTIONS;
    if (sections == 0) {
        publish_log_error("File '%s' doesn't have a section for resource table", path);
        return 0;
    }
    if (!pe_seek(in, path, o + opt_size))
        return 0;
    for (uint16_t i = 0; i < sections; i++) {
        PeSection s;
        if (!read_section_header(in, path, &s))
            return 0;
        if (s.virtual_address > rva ||
            (uint64_t)s.virtual_address + s.raw_size < (uint64_t)rva + size)
            continue;
        uint64_t dir = (uint64_t)rva - s.virtual_address + s.raw_offset;
        if (dir + size > (uint64_t)length)
            return malformed_directory(path);
        out->file_size = (uint64_t)length;
        out->virtual_address = s.virtual_address;
        out->raw_offset = s.raw_offset;
        out->raw_size = s.raw_size;
        out->dir_offset = (uint32_t)dir;
        out->dir_size = size;
        return 1;
    }
    publish_log_error("File '%s' doesn't have a section for resource table", path);
    return 0;
}

/* ---- Resource directory lookups ---- */

/* Seeks to a directory or data entry of `need` bytes at offset rel of the
 * resource table, refusing anything that would end outside it. */
static int seek_in_table(PHYSFS_File *in, const char *path, const PeResourceSection *rs,
                         uint32_t rel, uint32_t need)
{
    if ((uint64_t)rel + need > rs->dir_size)
        return malformed_directory(path);
    return pe_seek(in, path, (uint64_t)rs->dir_offset + rel);
}

/* Reads the resource directory at the current position of in (which must
 * lie in the resource table). 1 found (*out = the entry's offset field with
 * the subdirectory bit cleared), -1 not present, 0 after a logged failure. */
static int find_resource_dir_entry(PHYSFS_File *in, const char *path,
                            const PeResourceSection *rs, int32_t id, uint32_t *out)
{
    uint64_t pos;
    uint32_t skip, entry_id, offset;
    uint16_t major, minor, named, ids;
    if (!pe_tell(in, path, &pos))
        return 0;
    if (!pe_read32(in, path, &skip) || !pe_read32(in, path, &skip) ||
        !pe_read16(in, path, &major) || !pe_read16(in, path, &minor) ||
        !pe_read16(in, path, &named) || !pe_read16(in, path, &ids))
        return 0;
    /* The entry counts are trusted only as far as the table reaches. */
    uint64_t table_end = (uint64_t)rs->dir_offset + rs->dir_size;
    if (pos < rs->dir_offset || pos + 16 + 8 * ((uint64_t)named + ids) > table_end)
        return malformed_directory(path);
    if (named > 0) {
        if (id == -1) {
            if (!pe_read32(in, path, &entry_id) || !pe_read32(in, path, &offset))
                return 0;
            *out = offset & 0x7FFFFFFFu;
            return 1;
        }
        if (!pe_seek(in, path, pos + 16 + 8 * (uint64_t)named))
            return 0;
    }
    for (uint16_t i = 0; i < ids; i++) {
        if (!pe_read32(in, path, &entry_id) || !pe_read32(in, path, &offset))
            return 0;
        if (id != -1 && entry_id == (uint32_t)id) {
            *out = offset & 0x7FFFFFFFu;
            return 1;
        }
    }
    return -1;
}

int find_resource_entry(PHYSFS_File *in, const char *path, const PeResourceSection *rs,
                        uint32_t type, int32_t id, uint32_t *out)
{
    const int32_t keys[3] = {(int32_t)type, id, LANG_EN_US};
    uint32_t rel = 0;
    for (int level = 0; level < 3; level++) {
        if (!seek_in_table(in, path, rs, rel, 16))
            return 0;
        int rc = find_resource_dir_entry(in, path, rs, keys[level], &rel);
        if (rc != 1)
            return rc;
    }
    if ((uint64_t)rel + 16 > rs->dir_size)
        return malformed_directory(path);
    *out = rel;
    return 1;
}

/* ---- Version block ---- */

/* Little-endian UTF-16 with a zero unit; NULL after the out-of-memory
 * line. */
static uint8_t *utf16_from_utf8(const char *text, uint32_t *units)
{
    uint8_t *bytes = utf16le_from_utf8(text, units);
    if (!bytes)
        report_out_of_memory();
    return bytes;
}

/* A String record's padding after its key (0 or 2), its wLength, and the
 * padding after its value that brings the next record to a multiple of 4
 * (not counted in wLength). */
typedef struct VersionRecord {
    uint32_t key_padding;
    uint64_t length;
    uint32_t trailing;
} VersionRecord;

static VersionRecord version_record(uint32_t key_units, uint32_t value_units,
                                    uint32_t running_length)
{
    VersionRecord r;
    r.key_padding = (running_length + 2 * (uint64_t)key_units + 2) % 4 ? 2 : 0;
    r.length = 2 * (uint64_t)key_units + 2 * (uint64_t)value_units + 10 + r.key_padding;
    r.trailing = value_units % 2 == 0 ? 2 : 0;
    return r;
}

int write_version_string(OutFile *out, const char *path, const char *key,
                         const char *value, uint32_t *running_length)
{
    static const uint8_t zero[2] = {0, 0};
    uint32_t k, v;
    uint8_t *key16 = utf16_from_utf8(key, &k);
    uint8_t *value16 = key16 ? utf16_from_utf8(value, &v) : NULL;
    if (!value16) {
        SDL_free(key16);
        return 0;
    }
    VersionRecord r = version_record(k, v, *running_length);
    int ok = pe_write16(out, path, (uint16_t)r.length) &&
             pe_write16(out, path, (uint16_t)(v + 1)) && pe_write16(out, path, 1) &&
             pe_write(out, path, key16, 2 * ((uint64_t)k + 1)) &&
             (!r.key_padding || pe_write(out, path, zero, 2)) &&
             pe_write(out, path, value16, 2 * ((uint64_t)v + 1)) &&
             (!r.trailing || pe_write(out, path, zero, 2));
    SDL_free(key16);
    SDL_free(value16);
    if (ok)
        *running_length += (uint32_t)(r.length + r.trailing);
    return ok;
}

typedef struct VersionInfo {
    uint16_t parts[4];
    const char *keys[8];
    const char *values[8];
    char copyright[256];
    char original_filename[64];
} VersionInfo;

static const char *text_or_empty(const char *s)
{
    return s ? s : "";
}

/* SDL_snprintf cuts at a byte: drop a character it cut in half. */
static void trim_partial_utf8(char *s)
{
    size_t len = SDL_strlen(s), lead = len;
    while (lead > 0 && len - lead < 4 && ((uint8_t)s[lead - 1] & 0xC0) == 0x80)
        lead--;
    if (lead == 0)
        return;
    uint8_t c = (uint8_t)s[lead - 1];
    size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (lead - 1 + need > len)
        s[lead - 1] = '\0';
}

/* Up to four dot-separated numbers from the first 31 bytes; missing ones 0. */
static void parse_version_parts(const char *version, uint16_t parts[4])
{
    char copy[32];
    SDL_strlcpy(copy, version, sizeof copy);
    int n = 0;
    char *piece = copy;
    for (char *dot; n < 4 && (dot = SDL_strchr(piece, '.')) != NULL; piece = dot + 1) {
        *dot = '\0';
        parts[n++] = (uint16_t)SDL_atoi(piece);
    }
    if (n < 4 && *piece)
        parts[n] = (uint16_t)SDL_atoi(piece);
}

static void version_info_init(VersionInfo *vi, const char *platform)
{
    static const char *const keys[8] = {"CompanyName",    "FileDescription", "FileVersion",
                                        "InternalName",   "LegalCopyright",  "OriginalFilename",
                                        "ProductName",    "ProductVersion"};
    const char *devtitle = text_or_empty(game_metadata_devtitle);
    const char *gametitle = text_or_empty(game_metadata_gametitle);
    const char *version = text_or_empty(game_metadata_version);
    const char *gameid = text_or_empty(game_metadata_gameid);
    int year;
    time_local_parts(&year, NULL, NULL, NULL, NULL, NULL);

    SDL_memset(vi, 0, sizeof *vi);
    parse_version_parts(version, vi->parts);
    if (SDL_snprintf(vi->copyright, sizeof vi->copyright, "Copyright (C) %d %s", year,
                     devtitle) >= (int)sizeof vi->copyright)
        trim_partial_utf8(vi->copyright);
    if (SDL_snprintf(vi->original_filename, sizeof vi->original_filename, "%s-%s.exe",
                     gameid, text_or_empty(platform)) >= (int)sizeof vi->original_filename)
        trim_partial_utf8(vi->original_filename);
    const char *values[8] = {devtitle, gametitle,     version,   gameid, vi->copyright,
                             vi->original_filename, gametitle, version};
    for (int i = 0; i < 8; i++) {
        vi->keys[i] = keys[i];
        vi->values[i] = values[i];
    }
}

/* The whole block's length, computed before anything is written so the
 * space and 16-bit checks come first. abs_start is the block's file
 * position: the closing padding unit depends on it. 0 on allocation
 * failure (reported). */
static uint64_t version_block_length(const VersionInfo *vi, uint64_t abs_start)
{
    uint32_t running = 2;
    uint64_t length = VERSION_FIXED_END;
    for (int i = 0; i < 8; i++) {
        uint32_t k, v;
        uint8_t *key16 = utf16_from_utf8(vi->keys[i], &k);
        uint8_t *value16 = key16 ? utf16_from_utf8(vi->values[i], &v) : NULL;
        SDL_free(key16);
        SDL_free(value16);
        if (!value16)
            return 0;
        VersionRecord r = version_record(k, v, running);
        length += r.length + r.trailing;
        running += (uint32_t)(r.length + r.trailing);
    }
    length += VERSION_VARINFO_SIZE;
    if ((abs_start + length) % 4 == 2)
        length += 2;
    return length;
}

static int write_utf16_literal(OutFile *out, const char *path, const char *text)
{
    uint32_t units;
    uint8_t *t = utf16_from_utf8(text, &units);
    if (!t)
        return 0;
    int ok = pe_write(out, path, t, 2 * ((uint64_t)units + 1));
    SDL_free(t);
    return ok;
}

/* wLength, wValueLength, wType and the zero-terminated key of a header. */
static int write_block_header(OutFile *out, const char *path, uint16_t length,
                              uint16_t value_length, uint16_t type, const char *key)
{
    return pe_write16(out, path, length) && pe_write16(out, path, value_length) &&
           pe_write16(out, path, type) && write_utf16_literal(out, path, key);
}

static int write_fixed_file_info(OutFile *out, const char *path, const uint16_t *parts)
{
    uint32_t high = ((uint32_t)parts[0] << 16) | parts[1];
    uint32_t low = ((uint32_t)parts[2] << 16) | parts[3];
    if (!pe_write32(out, path, 0xFEEF04BDu) || !pe_write32(out, path, 0x00010000u) ||
        !pe_write32(out, path, high) || !pe_write32(out, path, low) ||
        !pe_write32(out, path, high) || !pe_write32(out, path, low))
        return 0;
    for (int i = 0; i < 7; i++) /* flags mask, flags, OS, type, subtype, date */
        if (!pe_write32(out, path, 0))
            return 0;
    return 1;
}

static int write_var_file_info(OutFile *out, const char *path)
{
    return write_block_header(out, path, VERSION_VARINFO_SIZE, 0, 1, "VarFileInfo") &&
           pe_write16(out, path, 0) && write_block_header(out, path, 36, 4, 0, "Translation") &&
           pe_write16(out, path, 0) && pe_write32(out, path, 0x04E40409u);
}

static int patch_length_field(OutFile *out, const char *path, uint64_t at,
                              uint64_t length)
{
    return pe_out_seek(out, path, at) && pe_write16(out, path, (uint16_t)length);
}

/* Writes the block at the current position of out; *length gets its size. */
static int write_version_block(OutFile *out, const char *path, const VersionInfo *vi,
                               uint64_t *length)
{
    uint64_t start, string_info, string_table, var_info, end;
    if (!pe_out_tell(out, path, &start) ||
        !write_block_header(out, path, 0, 52, 0, "VS_VERSION_INFO") ||
        !pe_write16(out, path, 0) || !write_fixed_file_info(out, path, vi->parts) ||
        !pe_out_tell(out, path, &string_info) ||
        !write_block_header(out, path, 0, 0, 1, "StringFileInfo") ||
        !pe_out_tell(out, path, &string_table) ||
        !write_block_header(out, path, 0, 0, 1, "040904E4"))
        return 0;
    uint32_t running = 2;
    for (int i = 0; i < 8; i++)
        if (!write_version_string(out, path, vi->keys[i], vi->values[i], &running))
            return 0;
    if (!pe_out_tell(out, path, &var_info) || !write_var_file_info(out, path) ||
        !pe_out_tell(out, path, &end))
        return 0;
    if (end % 4 == 2) {
        if (!pe_write16(out, path, 0))
            return 0;
        end += 2;
    }
    if (!patch_length_field(out, path, start, end - start) ||
        !patch_length_field(out, path, string_info, var_info - string_info) ||
        !patch_length_field(out, path, string_table, var_info - string_table) ||
        !pe_out_seek(out, path, end))
        return 0;
    *length = end - start;
    return 1;
}

/* ---- The patch ---- */

typedef struct PatchPlan {
    PeResourceSection rs;
    uint32_t scratch_entry, group_entry, icon_entry, version_entry;
    uint32_t scratch_rva, scratch_size;
    uint64_t scratch_offset;
    uint64_t version_at; /* V: the version block's offset in the scratch space */
} PatchPlan;

static int find_required(PHYSFS_File *in, const char *path, const PeResourceSection *rs,
                         uint32_t type, int32_t id, uint32_t *entry, const char *missing)
{
    int rc = find_resource_entry(in, path, rs, type, id, entry);
    if (rc == -1)
        publish_log_error("%s", missing);
    return rc == 1;
}

/* The scratch data must lie in the resource section and in the file. */
static int locate_scratch(const char *path, PatchPlan *p)
{
    const PeResourceSection *rs = &p->rs;
    uint64_t in_section = (uint64_t)p->scratch_rva - rs->virtual_address;
    if (p->scratch_rva < rs->virtual_address ||
        in_section + p->scratch_size > rs->raw_size ||
        rs->raw_offset + in_section + p->scratch_size > rs->file_size) {
        publish_log_error("File '%s' has resource scratch space outside its resource section",
                          path);
        return 0;
    }
    p->scratch_offset = rs->raw_offset + in_section;
    publish_log_info("Windows scratch resource is %u bytes at %u offset",
                     (unsigned)p->scratch_size, (unsigned)p->scratch_offset);
    return 1;
}

/* Writing the new data must not overwrite the entries that point at it. */
static int check_entries_outside_scratch(const char *path, const PatchPlan *p)
{
    const PeResourceSection *rs = &p->rs;
    const uint32_t entries[4] = {p->scratch_entry, p->group_entry, p->icon_entry,
                                 p->version_entry};
    for (int i = 0; i < 4; i++) {
        uint64_t at = (uint64_t)rs->dir_offset + entries[i];
        if (at + 16 > p->scratch_offset && at < p->scratch_offset + p->scratch_size)
            return malformed_directory(path);
    }
    return 1;
}

static int plan_patch(PHYSFS_File *in, const char *path, PatchPlan *p)
{
    if (!find_resource_section(in, path, &p->rs))
        return 0;
    const PeResourceSection *rs = &p->rs;
    if (!find_required(in, path, rs, RT_RCDATA, SCRATCH_ID, &p->scratch_entry,
                       "Couldn't find application resource scratch space") ||
        !pe_seek(in, path, (uint64_t)rs->dir_offset + p->scratch_entry) ||
        !pe_read32(in, path, &p->scratch_rva) || !pe_read32(in, path, &p->scratch_size) ||
        !locate_scratch(path, p))
        return 0;
    if (!find_required(in, path, rs, RT_GROUP_ICON, -1, &p->group_entry,
                       "Couldn't find application icon group resource") ||
        !find_required(in, path, rs, RT_ICON, 1, &p->icon_entry,
                       "Couldn't find application icon resource") ||
        !find_required(in, path, rs, RT_VERSION, 1, &p->version_entry,
                       "Couldn't find application version resource"))
        return 0;
    return check_entries_outside_scratch(path, p);
}

/* One image, stored right after the 22 header bytes: what make_windows_icon
 * writes and what the 20-byte icon group below is copied from. */
static int check_ico(const char *path, const uint8_t *ico, uint64_t ico_size)
{
    if (ico && ico_size >= ICO_HEADER_SIZE && ico_size <= UINT32_MAX && ico[0] == 0 &&
        ico[1] == 0 && ico[2] == 1 && ico[3] == 0 && ico[4] == 1 && ico[5] == 0 &&
        ico[18] == ICO_HEADER_SIZE && ico[19] == 0 && ico[20] == 0 && ico[21] == 0)
        return 1;
    publish_log_error("Icon for '%s' is not an .ico file with one image at offset 22", path);
    return 0;
}

static int check_room(const char *path, const PatchPlan *p, uint64_t version_length)
{
    if (version_length > 0xFFFF) {
        publish_log_error("Version information for '%s' needs %u bytes, more than 65535",
                          path, (unsigned)SDL_min(version_length, UINT32_MAX));
        return 0;
    }
    uint64_t used = p->version_at + version_length;
    if (used > p->scratch_size) {
        publish_log_error("Needed %u bytes of resource scratch space, only had %u",
                          (unsigned)SDL_min(used, UINT32_MAX), (unsigned)p->scratch_size);
        return 0;
    }
    return 1;
}

static int write_data_entry(OutFile *out, const char *path, const PatchPlan *p,
                            uint32_t entry, uint64_t rel, uint64_t size)
{
    return pe_out_seek(out, path, (uint64_t)p->rs.dir_offset + entry) &&
           pe_write32(out, path, (uint32_t)(p->scratch_rva + rel)) &&
           pe_write32(out, path, (uint32_t)size);
}

static int write_icon(OutFile *out, const char *path, const PatchPlan *p,
                      const uint8_t *ico, uint64_t ico_size)
{
    return write_data_entry(out, path, p, p->group_entry, 0, ICON_GROUP_SIZE) &&
           pe_out_seek(out, path, p->scratch_offset) && pe_write(out, path, ico, 18) &&
           pe_write16(out, path, 1) &&
           write_data_entry(out, path, p, p->icon_entry, ICON_GROUP_SIZE,
                            ico_size - ICO_HEADER_SIZE) &&
           pe_out_seek(out, path, p->scratch_offset + ICON_GROUP_SIZE) &&
           pe_write(out, path, ico + ICO_HEADER_SIZE, ico_size - ICO_HEADER_SIZE);
}

int patch_windows_resources(PHYSFS_File *in, OutFile *out, const char *path,
                            const char *platform, const uint8_t *ico, uint64_t ico_size)
{
    publish_log_info("Updating Windows .exe resources...");
    PatchPlan plan;
    if (!plan_patch(in, path, &plan) || !check_ico(path, ico, ico_size))
        return 0;

    /* The version block starts on a multiple of 4 after the icon image,
     * with a gap of 1 to 4 bytes. */
    plan.version_at = ico_size + 2 - ((ico_size - ICO_HEADER_SIZE) % 4);
    VersionInfo vi;
    version_info_init(&vi, platform);
    uint64_t expected = version_block_length(&vi, plan.scratch_offset + plan.version_at);
    if (expected == 0 || !check_room(path, &plan, expected))
        return 0;

    uint64_t length;
    if (!write_icon(out, path, &plan, ico, ico_size) ||
        !pe_out_seek(out, path, plan.scratch_offset + plan.version_at) ||
        !write_version_block(out, path, &vi, &length) ||
        !write_data_entry(out, path, &plan, plan.version_entry, plan.version_at, length))
        return 0;
    uint64_t used = plan.version_at + length;
    publish_log_info("Used %u bytes of resource scratch space out of %u", (unsigned)used,
                     (unsigned)plan.scratch_size);
    return write_data_entry(out, path, &plan, plan.scratch_entry, used,
                            plan.scratch_size - used);
}
