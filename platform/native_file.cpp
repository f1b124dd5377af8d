#include "platform/native_file.h"

#include <errno.h>
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <dirent.h>
#include <linux/fs.h>
#include <sys/syscall.h>
#if defined(__has_include)
#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#define NATIVE_HAVE_OPENAT2 1
#endif
#endif
#include <sys/file.h>
#include <sys/ioctl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

int native_file_write_all(int fd, const void *data, size_t length)
{
    const char *p = (const char *)data;
    while (length > 0) {
        ssize_t n = write(fd, p, length);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return 0;
        }
        p += n;
        length -= (size_t)n;
    }
    return 1;
}

int native_file_write_at(int fd, const void *data, size_t length, uint64_t offset)
{
    const char *p = (const char *)data;
    while (length > 0) {
        ssize_t n = pwrite(fd, p, length, (off_t)offset);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return 0;
        }
        p += n;
        length -= (size_t)n;
        offset += (uint64_t)n;
    }
    return 1;
}

int native_file_read_at(int fd, void *data, size_t length, uint64_t offset)
{
    char *p = (char *)data;
    while (length > 0) {
        ssize_t n = pread(fd, p, length, (off_t)offset);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return 0;
        }
        if (n == 0) {
            errno = EIO;
            return 0;
        }
        p += n;
        length -= (size_t)n;
        offset += (uint64_t)n;
    }
    return 1;
}

int native_file_start_writeback(int fd, uint64_t offset, uint64_t length)
{
#ifdef SYNC_FILE_RANGE_WRITE
    int rc;
    do
        rc = sync_file_range(fd, (off_t)offset, (off_t)length, SYNC_FILE_RANGE_WRITE);
    while (rc != 0 && errno == EINTR);
    /* A kernel or file system without it, or a descriptor that is no file. */
    return rc == 0 || errno == ENOSYS || errno == EINVAL || errno == ESPIPE;
#else
    (void)fd;
    (void)offset;
    (void)length;
    return 1;
#endif
}

int native_file_close(int fd)
{
    /* On Linux the descriptor is gone even when close reports EINTR, so a
     * retry could close someone else's. */
    return close(fd) == 0;
}

/* The calls that change a directory or flush a file, retried when a
 * signal interrupts them: FUSE and NFS can. */
static int native_mkdirat(int dir_fd, const char *name, mode_t mode)
{
    int rc;
    do
        rc = mkdirat(dir_fd, name, mode);
    while (rc != 0 && errno == EINTR);
    return rc;
}

static int native_unlinkat(int dir_fd, const char *name, int flags)
{
    int rc;
    do
        rc = unlinkat(dir_fd, name, flags);
    while (rc != 0 && errno == EINTR);
    return rc;
}

static int native_renameat(int from_dir, const char *from, int to_dir, const char *to)
{
    int rc;
    do
        rc = renameat(from_dir, from, to_dir, to);
    while (rc != 0 && errno == EINTR);
    return rc;
}

static int native_fsync(int fd)
{
    int rc;
    do
        rc = fsync(fd);
    while (rc != 0 && errno == EINTR);
    return rc;
}

int native_file_sync(int fd)
{
    return native_fsync(fd) == 0;
}

int native_file_open_read(const char *native_path)
{
    int fd;
    do
        fd = open(native_path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    while (fd < 0 && errno == EINTR);
    return fd;
}

long long native_file_read(int fd, void *data, size_t length)
{
    ssize_t n;
    do
        n = read(fd, data, length);
    while (n < 0 && errno == EINTR);
    return (long long)n;
}

int native_file_lstat(const char *native_path, NativeFileInfo *info)
{
    struct stat st;
    if (lstat(native_path, &st) != 0)
        return 0;
    info->type = S_ISREG(st.st_mode)   ? NATIVE_FILE_REGULAR
                 : S_ISDIR(st.st_mode) ? NATIVE_FILE_DIRECTORY
                 : S_ISLNK(st.st_mode) ? NATIVE_FILE_LINK
                                       : NATIVE_FILE_OTHER;
    info->size = (uint64_t)st.st_size;
    info->modtime = (int64_t)st.st_mtime;
    info->createtime = (int64_t)st.st_ctime;
    info->accesstime = (int64_t)st.st_atime;
    return 1;
}

/* The next entry of dir other than "." and "..": NULL at the end (errno
 * 0) or on a failure (errno set). */
static struct dirent *native_next_entry(DIR *dir)
{
    struct dirent *d;
    while ((errno = 0, d = readdir(dir)) != NULL)
        if (strcmp(d->d_name, ".") != 0 && strcmp(d->d_name, "..") != 0)
            break;
    return d;
}

/* The directory open as fd, listed; fd is closed when it cannot be. */
static DIR *native_dir_stream(int fd)
{
    DIR *dir = fd >= 0 ? fdopendir(fd) : NULL;
    if (!dir && fd >= 0) {
        int saved = errno;
        close(fd);
        errno = saved;
    }
    return dir;
}

int native_file_list_directory(const char *native_path, NativeListCallback callback, void *user)
{
    DIR *dir = opendir(native_path);
    if (!dir)
        return 0;
    int result = 1;
    for (;;) {
        struct dirent *entry = native_next_entry(dir);
        if (!entry) {
            if (errno != 0)
                result = 0;
            break;
        }
        if (!callback(user, entry->d_name)) {
            result = -1;
            break;
        }
    }
    int saved_errno = errno;
    closedir(dir);
    errno = saved_errno;
    return result;
}

uint32_t native_generation_of_word(unsigned long word)
{
    uint32_t low = (uint32_t)(word & 0xFFFFFFFFul);
    if (low != 0 || sizeof word <= 4)
        return low;
    /* An int written into the first half of a zeroed long: on a big-endian
     * machine that half holds the high bits. */
    return (uint32_t)((uint64_t)word >> 32);
}

/* The inode's generation, 0 where the file system keeps none or the
 * kernel does not tell it. */
static uint32_t native_file_generation(int fd)
{
#ifdef FS_IOC_GETVERSION
    /* The request is declared for a long, and a file system may fill all
     * of one; the ones that keep a generation keep 32 bits of it. */
    long generation = 0;
    if (ioctl(fd, FS_IOC_GETVERSION, &generation) == 0)
        return native_generation_of_word((unsigned long)generation);
#else
    (void)fd;
#endif
    return 0;
}

/* Set by the tests only, before any thread reads it. */
static int native_every_generation = 0;

void native_file_read_every_generation(int on)
{
    native_every_generation = on;
}

/* A file made in a deleted file's inode can only carry its times where
 * the file system keeps them to the second: a change time with a part
 * below the second tells versions apart by itself, and its file needs no
 * ioctl (nor an open) for a generation. */
int native_identity_needs_generation(const NativeFileIdentity *id)
{
    return native_every_generation || id->changetime_ns % 1000000000 == 0;
}

static void native_identity_of(const struct stat *st, uint32_t generation,
                               NativeFileIdentity *id)
{
    id->device = (uint64_t)st->st_dev;
    id->inode = (uint64_t)st->st_ino;
    id->size = (uint64_t)st->st_size;
    id->modtime_ns = (int64_t)st->st_mtim.tv_sec * 1000000000 + st->st_mtim.tv_nsec;
    id->changetime_ns = (int64_t)st->st_ctim.tv_sec * 1000000000 + st->st_ctim.tv_nsec;
    id->generation = generation;
}

/* The stat identity of a regular file; 0 (EINVAL) for anything else. */
static int native_regular_identity(const struct stat *st, NativeFileIdentity *id)
{
    if (!S_ISREG(st->st_mode)) {
        errno = EINVAL;
        return 0;
    }
    native_identity_of(st, 0, id);
    return 1;
}

int native_file_stat_identity(int fd, NativeFileIdentity *id)
{
    struct stat st;
    return fstat(fd, &st) == 0 && native_regular_identity(&st, id);
}

int native_path_stat_identity(const char *native_path, NativeFileIdentity *id)
{
    struct stat st;
    return lstat(native_path, &st) == 0 && native_regular_identity(&st, id);
}

int native_file_identity(int fd, NativeFileIdentity *id)
{
    if (!native_file_stat_identity(fd, id))
        return 0;
    if (native_identity_needs_generation(id))
        id->generation = native_file_generation(fd);
    return 1;
}

int native_path_add_generation(const char *native_path, NativeFileIdentity *id)
{
    if (!native_identity_needs_generation(id))
        return 1;
    int fd = native_file_open_read(native_path);
    if (fd < 0)
        return 0;
    /* The file opened may not be the one stat'ed: only the same version
     * takes its generation. */
    NativeFileIdentity opened;
    int ok = native_file_stat_identity(fd, &opened) && native_identity_same_stat(id, &opened);
    if (ok)
        id->generation = native_file_generation(fd);
    int saved = errno;
    close(fd);
    errno = saved;
    return ok;
}

int native_path_identity(const char *native_path, NativeFileIdentity *id)
{
    /* Looked at first: opening a device or a pipe can do more than read. */
    if (!native_path_stat_identity(native_path, id))
        return 0;
    /* Unreadable: still the file it is, for whoever must forget it;
     * without a generation it matches no version noted with one. */
    NativeFileIdentity seen = *id;
    if (!native_path_add_generation(native_path, id))
        *id = seen;
    return 1;
}

int native_identity_same_stat(const NativeFileIdentity *a, const NativeFileIdentity *b)
{
    return native_identity_same_file(a, b) && a->size == b->size &&
           a->modtime_ns == b->modtime_ns && a->changetime_ns == b->changetime_ns;
}

int native_identity_equal(const NativeFileIdentity *a, const NativeFileIdentity *b)
{
    return native_identity_same_stat(a, b) && a->generation == b->generation;
}

int native_identity_same_file(const NativeFileIdentity *a, const NativeFileIdentity *b)
{
    return a->device == b->device && a->inode == b->inode;
}

/* One walk of native_remove_tree: the failing entry's path is kept here. */
typedef struct NativeRemoval {
    NativeRemoveVisit visit;
    void *user;
    char *failed;
} NativeRemoval;

static char *native_join(const char *relative, const char *name)
{
    size_t length = strlen(relative) + strlen(name) + 2;
    char *joined = (char *)malloc(length);
    if (joined)
        snprintf(joined, length, "%s%s%s", relative, *relative ? "/" : "", name);
    return joined;
}

static int native_remove_failed(NativeRemoval *r, const char *relative)
{
    int saved = errno;
    if (!r->failed)
        r->failed = strdup(relative);
    errno = saved;
    return 0;
}

static int native_remove_at(int dir_fd, const char *name, const char *relative,
                            NativeRemoval *r);

/* Removes everything in the directory dir_fd/name (relative names it). */
static int native_empty_directory(int dir_fd, const char *name, const char *relative,
                                  NativeRemoval *r)
{
    DIR *dir = native_dir_stream(
        openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir)
        return native_remove_failed(r, relative);
    int ok = 1;
    struct dirent *d;
    while (ok && (d = native_next_entry(dir)) != NULL) {
        char *inner = native_join(relative, d->d_name);
        if (!inner) {
            errno = ENOMEM;
            ok = native_remove_failed(r, relative);
            break;
        }
        ok = native_remove_at(dirfd(dir), d->d_name, inner, r);
        free(inner);
    }
    if (ok && errno != 0)
        ok = native_remove_failed(r, relative);
    int saved = errno;
    closedir(dir);
    errno = saved;
    return ok;
}

/* The id a holder wrote: decimal digits, nothing else counts. */
static long native_lock_holder(int fd)
{
    char text[32];
    long long n = 0;
    do
        n = pread(fd, text, sizeof text - 1, 0);
    while (n < 0 && errno == EINTR);
    long pid = 0;
    for (long long i = 0; i < n && text[i] >= '0' && text[i] <= '9' && pid < 100000000; i++)
        pid = pid * 10 + (text[i] - '0');
    return pid;
}

static int native_remove_at(int dir_fd, const char *name, const char *relative,
                            NativeRemoval *r)
{
    struct stat st;
    if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return native_remove_failed(r, relative);
    int is_directory = S_ISDIR(st.st_mode);
    if (is_directory && !native_empty_directory(dir_fd, name, relative, r))
        return 0;
    NativeFileIdentity file;
    if (r->visit)
        r->visit(r->user, relative, native_regular_identity(&st, &file) ? &file : NULL);
    if (native_unlinkat(dir_fd, name, is_directory ? AT_REMOVEDIR : 0) != 0)
        return native_remove_failed(r, relative);
    return 1;
}

int native_component_is_plain(const char *component, size_t length)
{
    return length > 0 &&
           !(component[0] == '.' && (length == 1 || (length == 2 && component[1] == '.')));
}

/* 1 when relative is a path of plain names: no empty, "." or ".."
 * component, no leading '/'. */
static int native_relative_is_plain(const char *relative)
{
    const char *component = relative;
    for (const char *p = relative;; p++) {
        if (*p != '/' && *p != '\0')
            continue;
        if (!native_component_is_plain(component, (size_t)(p - component)))
            return 0;
        if (*p == '\0')
            return 1;
        component = p + 1;
    }
}

/* How often an open that the kernel answers "try again" is tried. */
#define NATIVE_AGAIN_TRIES 3

/* Set by the tests, to run the resolution that kernels without openat2
 * get. */
static std::atomic<int> native_openat2_off(0);

void native_beneath_use_openat2(int on)
{
    native_openat2_off.store(!on);
}

/* One name opened in dir_fd, a symbolic link there refused with ELOOP: the
 * system tells a link opened with O_NOFOLLOW and O_DIRECTORY as no
 * directory, and it is told here as openat2 tells it. */
static int native_open_name(int dir_fd, const char *name, int flags, mode_t mode)
{
    int fd;
    do
        fd = openat(dir_fd, name, flags | O_NOFOLLOW | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    struct stat st;
    if (fd < 0 && errno == ENOTDIR && fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode))
        errno = ELOOP;
    return fd;
}

/* relative (plain names, or "" for dir_fd itself) opened below dir_fd one
 * component at a time, each directory on the way with O_NOFOLLOW, the last
 * name with flags. */
static int native_open_components(int dir_fd, const char *relative, int flags, mode_t mode)
{
    if (!*relative)
        return native_open_name(dir_fd, ".", flags, mode);
    int fd = dir_fd;
    const char *p = relative;
    for (;;) {
        const char *end = strchr(p, '/');
        size_t n = end ? (size_t)(end - p) : strlen(p);
        char name[NAME_MAX + 1];
        int next = -1;
        if (n > NAME_MAX) {
            errno = ENAMETOOLONG;
        } else {
            memcpy(name, p, n);
            name[n] = '\0';
            next = end ? native_open_name(fd, name, O_RDONLY | O_DIRECTORY, 0)
                       : native_open_name(fd, name, flags, mode);
        }
        if (fd != dir_fd) {
            int saved = errno;
            close(fd);
            errno = saved;
        }
        if (next < 0 || !end)
            return next;
        fd = next;
        p = end + 1;
    }
}

/* relative below dir_fd, never leaving it nor passing a symbolic link (the
 * last name included): one call where the kernel has openat2 (and a
 * container lets it through), else one open per component. */
static int native_open_relative(int dir_fd, const char *relative, int flags, mode_t mode)
{
#if defined(NATIVE_HAVE_OPENAT2) && defined(SYS_openat2)
    if (!native_openat2_off.load(std::memory_order_relaxed)) {
        struct open_how how;
        memset(&how, 0, sizeof how);
        how.flags = (uint64_t)(flags | O_CLOEXEC);
        /* openat2 refuses a mode where nothing is created. */
        if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE)
            how.mode = mode;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
        /* EAGAIN is openat2's word for a race it could not rule out (a
         * rename on the way), worth a few more tries; a file held under a
         * lease answers a non-blocking open with it too, for as long as the
         * holder keeps it, so it is never tried for ever. */
        long fd;
        int tries = 0;
        do
            fd = syscall(SYS_openat2, dir_fd, *relative ? relative : ".", &how, sizeof how);
        while (fd < 0 && (errno == EINTR || (errno == EAGAIN && ++tries < NATIVE_AGAIN_TRIES)));
        if (fd >= 0 || (errno != ENOSYS && errno != EPERM))
            return (int)fd;
    }
#endif
    return native_open_components(dir_fd, relative, flags, mode);
}

/* The directory dirs below dir_fd (plain names, "" for dir_fd itself). */
static int native_open_beneath(int dir_fd, const char *dirs)
{
    return native_open_relative(dir_fd, dirs, O_RDONLY | O_DIRECTORY, 0);
}

/* The directory that holds relative's last name, opened beneath base, and
 * that name in *name. base itself when relative has one component: the
 * caller closes what is not base. */
static int native_open_parent(int base, const char *relative, const char **name)
{
    const char *slash = strrchr(relative, '/');
    *name = slash ? slash + 1 : relative;
    if (!slash)
        return base;
    char *dirs = strndup(relative, (size_t)(slash - relative));
    if (!dirs) {
        errno = ENOMEM;
        return -1;
    }
    int fd = native_open_beneath(base, dirs);
    int saved = errno;
    free(dirs);
    errno = saved;
    return fd;
}

static void native_close_parent(int parent, int base)
{
    int saved = errno;
    if (parent >= 0 && parent != base)
        close(parent);
    errno = saved;
}

/* Descriptors of the trusted directories (the installation), opened once
 * each and kept for the process's life: resolving beneath one costs no
 * open of its own, on whatever thread. A descriptor replaced is never
 * closed, as another thread may still resolve through it. */
#define NATIVE_BASES 8

typedef struct NativeBase {
    char *dir;
    int fd;
} NativeBase;

static NativeBase native_bases[NATIVE_BASES];
static unsigned native_bases_next;
static std::mutex native_bases_lock;

/* The descriptor of the first dir_length bytes of native_path ("/" when
 * there are none); fresh opens it again, for a directory removed and made
 * anew since. */
static int native_base(const char *native_path, size_t dir_length, int fresh)
{
    std::lock_guard<std::mutex> hold(native_bases_lock);
    NativeBase *slot = NULL;
    for (NativeBase &b : native_bases) {
        if (b.dir && strlen(b.dir) == dir_length && memcmp(b.dir, native_path, dir_length) == 0) {
            if (!fresh)
                return b.fd;
            slot = &b;
        }
    }
    char *dir = strndup(native_path, dir_length);
    if (!dir) {
        errno = ENOMEM;
        return -1;
    }
    int fd;
    do
        fd = open(dir_length ? dir : "/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        int saved = errno;
        free(dir);
        errno = saved;
        return -1;
    }
    if (!slot)
        slot = &native_bases[native_bases_next++ % NATIVE_BASES];
    free(slot->dir);
    slot->dir = dir;
    slot->fd = fd;
    return fd;
}

/* 1 when the directory base no longer has a name. */
static int native_base_gone(int base)
{
    struct stat st;
    return fstat(base, &st) == 0 && st.st_nlink == 0;
}

/* What is resolved beneath the trusted directory: a negative result is a
 * failure, errno telling why. */
typedef int (*NativeBeneathOp)(int base, const char *relative, void *user);

/* native_path's part after its first dir_length bytes and the '/' there;
 * NULL when native_path does not go on that way. */
static const char *native_relative(const char *native_path, size_t dir_length)
{
    if (strnlen(native_path, dir_length) < dir_length)
        return NULL;
    const char *rest = native_path + dir_length;
    if (*rest == '/')
        return rest + 1;
    return *rest ? NULL : rest;
}

/* op on native_path's relative part, beneath the descriptor of its
 * trusted directory, once more with a fresh descriptor when the kept one
 * names a directory removed since. */
static int native_beneath(const char *native_path, size_t dir_length, NativeBeneathOp op,
                          void *user)
{
    const char *relative = native_relative(native_path, dir_length);
    if (!relative) {
        errno = EINVAL;
        return -1;
    }
    int base = native_base(native_path, dir_length, 0);
    if (base < 0)
        return -1;
    int result = op(base, relative, user);
    if (result < 0 && errno == ENOENT && native_base_gone(base)) {
        base = native_base(native_path, dir_length, 1);
        result = base < 0 ? -1 : op(base, relative, user);
    }
    return result;
}

/* 1 when relative names an entry below the trusted directory; else EINVAL. */
static int native_names_entry(const char *relative)
{
    if (native_relative_is_plain(relative))
        return 1;
    errno = EINVAL;
    return 0;
}

/* 1 when relative is the trusted directory itself or an entry below it. */
static int native_names_directory(const char *relative)
{
    return !*relative || native_names_entry(relative);
}

/* 1 when fd is a regular file with no other name; else EINVAL or EMLINK,
 * and fd is closed. */
static int native_sole_regular(int fd)
{
    struct stat st;
    int err = fstat(fd, &st) != 0 ? errno
              : !S_ISREG(st.st_mode) ? EINVAL
              : st.st_nlink > 1     ? EMLINK
                                    : 0;
    if (err == 0)
        return 1;
    close(fd);
    errno = err;
    return 0;
}

/* What is done to a name in the directory that holds it. */
typedef int (*NativeNameOp)(int parent, const char *name, void *user);

/* op on relative's last name, in its directory opened beneath base (base
 * itself for a name at the top). */
static int native_at_name(int base, const char *relative, NativeNameOp op, void *user)
{
    if (!native_names_entry(relative))
        return -1;
    const char *name;
    int parent = native_open_parent(base, relative, &name);
    if (parent < 0)
        return -1;
    int rc = op(parent, name, user);
    native_close_parent(parent, base);
    return rc;
}

/* How often a name is cleared for a file made anew: something that keeps
 * coming back there is not the publisher's to fight. */
#define NATIVE_CREATE_TRIES 8

/* name made anew in parent, exclusively: whatever stands there (a file, a
 * link, a file with other names, a pipe) is removed first, never followed
 * nor opened, so no other name of it sees a byte. */
static int native_create_in(int parent, const char *name, void *unused)
{
    (void)unused;
    int fd = -1;
    for (int tries = 0; tries < NATIVE_CREATE_TRIES; tries++) {
        if (native_unlinkat(parent, name, 0) != 0 && errno != ENOENT)
            return -1; /* EISDIR for a directory */
        fd = native_open_name(parent, name, O_WRONLY | O_CREAT | O_EXCL, 0666);
        if (fd >= 0 || errno != EEXIST)
            break;
    }
    return fd;
}

static int native_create_op(int base, const char *relative, void *unused)
{
    (void)unused;
    if (!native_names_entry(relative))
        return -1;
    /* A new name, the usual case for a tree just staged, in one call. */
    int fd = native_open_relative(base, relative, O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd >= 0 || errno != EEXIST)
        return fd;
    return native_at_name(base, relative, native_create_in, NULL);
}

int native_file_create(const char *native_path, size_t dir_length)
{
    return native_beneath(native_path, dir_length, native_create_op, NULL);
}

/* The refusal of what stands at a name that is kept, from its lstat:
 * ELOOP for a link, EISDIR for a directory, EINVAL for anything else that
 * is no regular file, EMLINK for a file with another name; 0 for a
 * regular file of its own. */
static int native_kept_refusal(const struct stat *st)
{
    return S_ISLNK(st->st_mode)   ? ELOOP
           : S_ISDIR(st->st_mode) ? EISDIR
           : !S_ISREG(st->st_mode) ? EINVAL
           : st->st_nlink > 1      ? EMLINK
                                   : 0;
}

/* name in parent opened for writing when it is still the regular file of
 * its own that seen describes; -1 (errno EAGAIN) when it is not. */
static int native_open_seen(int parent, const char *name, const struct stat *seen)
{
    int fd = native_open_name(parent, name, O_WRONLY | O_NONBLOCK | O_NOCTTY, 0);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_dev == seen->st_dev && st.st_ino == seen->st_ino &&
        native_kept_refusal(&st) == 0)
        return fd;
    close(fd);
    errno = EAGAIN;
    return -1;
}

static int native_reuse_in(int parent, const char *name, void *how_of)
{
    NativeReuse how = *(const NativeReuse *)how_of;
    struct stat st;
    if (fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT || how == NATIVE_REUSE_EXISTING)
            return -1;
        return native_create_in(parent, name, NULL);
    }
    int refusal = native_kept_refusal(&st);
    int fd = refusal ? -1 : native_open_seen(parent, name, &st);
    if (fd < 0 && how == NATIVE_REUSE_EXISTING) {
        errno = refusal ? refusal : errno == EAGAIN ? EMLINK : errno;
        return -1;
    }
    if (fd < 0)
        return native_create_in(parent, name, NULL);
    if (how == NATIVE_REUSE_EMPTY && ftruncate(fd, 0) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

static int native_reuse_op(int base, const char *relative, void *how)
{
    return native_at_name(base, relative, native_reuse_in, how);
}

int native_file_reuse(const char *native_path, size_t dir_length, NativeReuse how)
{
    return native_beneath(native_path, dir_length, native_reuse_op, &how);
}

/* 0 when name in parent (not followed) is the file open as fd; -1 with
 * ENOENT when nothing is there, EEXIST when something else is. */
static int native_name_holds(int parent, const char *name, int fd)
{
    struct stat there, own;
    if (fstatat(parent, name, &there, AT_SYMLINK_NOFOLLOW) != 0 || fstat(fd, &own) != 0)
        return -1;
    if (there.st_dev == own.st_dev && there.st_ino == own.st_ino)
        return 0;
    errno = EEXIST;
    return -1;
}

/* What native_file_publish gives a name to, and the name. */
typedef struct NativePublish {
    int fd;
    const char *to_name;
} NativePublish;

/* The three steps in the one directory, opened once: a check that the
 * temporary name still holds the file, the rename, the same check of the
 * new name (someone may have put a link there between the two), then the
 * directory flushed. */
static int native_publish_in(int parent, const char *name, void *publish)
{
    const NativePublish *p = (const NativePublish *)publish;
    if (native_name_holds(parent, name, p->fd) != 0) {
        int saved = errno == EEXIST ? ESTALE : errno;
        native_unlinkat(parent, name, 0);
        errno = saved;
        return -1;
    }
    if (native_renameat(parent, name, parent, p->to_name) != 0) {
        int saved = errno;
        native_unlinkat(parent, name, 0);
        errno = saved;
        return -1;
    }
    if (native_name_holds(parent, p->to_name, p->fd) != 0) {
        if (errno == EEXIST)
            native_unlinkat(parent, p->to_name, 0);
        errno = ESTALE;
        return -1;
    }
    native_fsync(parent); /* some file systems cannot */
    return 0;
}

static int native_publish_op(int base, const char *relative, void *publish)
{
    return native_at_name(base, relative, native_publish_in, publish);
}

/* The last name of to when it lies in from's directory, else NULL. */
static const char *native_sibling_name(const char *from, const char *to)
{
    const char *from_slash = strrchr(from, '/'), *to_slash = strrchr(to, '/');
    if (!from_slash || !to_slash || from_slash - from != to_slash - to ||
        memcmp(from, to, (size_t)(to_slash - to)) != 0 ||
        !native_component_is_plain(to_slash + 1, strlen(to_slash + 1)))
        return NULL;
    return to_slash + 1;
}

int native_file_publish(int fd, const char *from, const char *to, size_t dir_length)
{
    NativePublish p = {fd, native_sibling_name(from, to)};
    if (!p.to_name || memcmp(from, to, dir_length) != 0) {
        errno = EINVAL;
        return 0;
    }
    return native_beneath(from, dir_length, native_publish_op, &p) == 0;
}

/* For file systems without O_TMPFILE: a unique name, unlinked at once. */
static int native_temp_file_named(int dir_fd)
{
    static std::atomic<unsigned> serial(0);
    for (int tries = 0; tries < 100; tries++) {
        char name[64];
        snprintf(name, sizeof name, ".scratch-%ld-%u", (long)getpid(), serial++);
        int fd = native_open_name(dir_fd, name, O_RDWR | O_CREAT | O_EXCL, 0600);
        if (fd >= 0) {
            native_unlinkat(dir_fd, name, 0);
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

static int native_temp_op(int base, const char *relative, void *unused)
{
    (void)unused;
    if (!native_names_directory(relative))
        return -1;
    int fd = native_open_relative(base, relative, O_TMPFILE | O_RDWR, 0600);
    if (fd >= 0)
        return fd;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return -1;
    int dir = native_open_beneath(base, relative);
    if (dir < 0)
        return -1;
    fd = native_temp_file_named(dir);
    native_close_parent(dir, -1);
    return fd;
}

int native_temp_file_open(const char *native_dir, size_t dir_length)
{
    return native_beneath(native_dir, dir_length, native_temp_op, NULL);
}

/* name made in dir (or found there) and opened: -1 when what is there
 * is no directory (ENOTDIR) or a link (ELOOP). */
static int native_make_in(int dir, const char *name)
{
    if (native_mkdirat(dir, name, 0777) != 0 && errno != EEXIST)
        return -1;
    return native_open_name(dir, name, O_RDONLY | O_DIRECTORY, 0);
}

static int native_mkdir_op(int base, const char *relative, void *unused)
{
    (void)unused;
    if (!native_names_directory(relative))
        return -1;
    if (!*relative)
        return 1;
    const char *name;
    int parent = native_open_parent(base, relative, &name);
    if (parent < 0)
        return -1;
    int fd = native_make_in(parent, name);
    native_close_parent(fd, -1);
    native_close_parent(parent, base);
    return fd >= 0 ? 1 : -1;
}

int native_make_directory(const char *native_path, size_t dir_length)
{
    return native_beneath(native_path, dir_length, native_mkdir_op, NULL) > 0;
}

static int native_mkdirs_op(int base, const char *relative, void *unused)
{
    (void)unused;
    if (!native_names_directory(relative))
        return -1;
    if (!*relative)
        return 1;
    /* Usually all there already: one lookup of the whole path. */
    if (strchr(relative, '/')) {
        int fd = native_open_beneath(base, relative);
        if (fd >= 0 || errno != ENOENT) {
            native_close_parent(fd, -1);
            return fd >= 0 ? 1 : -1;
        }
    }
    char *names = strdup(relative);
    if (!names) {
        errno = ENOMEM;
        return -1;
    }
    /* One directory at a time from the top, each made in the descriptor
     * of the one before. */
    int dir = base;
    for (char *name = names;;) {
        char *slash = strchr(name, '/');
        if (slash)
            *slash = '\0';
        int fd = native_make_in(dir, name);
        native_close_parent(dir, base);
        dir = fd;
        if (fd < 0 || !slash)
            break;
        name = slash + 1;
    }
    int saved = errno;
    free(names);
    errno = saved;
    int made = dir >= 0;
    native_close_parent(dir, base);
    return made ? 1 : -1;
}

int native_make_directories(const char *native_path, size_t dir_length)
{
    return native_beneath(native_path, dir_length, native_mkdirs_op, NULL) > 0;
}

static int native_remove_name(int parent, const char *name, void *directories)
{
    int rc = native_unlinkat(parent, name, 0);
    if (rc != 0 && errno == EISDIR && directories)
        rc = native_unlinkat(parent, name, AT_REMOVEDIR);
    return rc;
}

static int native_remove_op(int base, const char *relative, void *directories)
{
    return native_at_name(base, relative, native_remove_name, directories);
}

int native_file_remove(const char *native_path, size_t dir_length)
{
    return native_beneath(native_path, dir_length, native_remove_op, NULL) == 0;
}

int native_entry_remove(const char *native_path, size_t dir_length)
{
    static int directories = 1;
    return native_beneath(native_path, dir_length, native_remove_op, &directories) == 0;
}

static int native_entry_op(int base, const char *relative, void *unused)
{
    (void)unused;
    if (!native_names_directory(relative))
        return -1;
    return native_open_relative(base, relative, O_RDONLY | O_NONBLOCK | O_NOCTTY, 0);
}

int native_entry_open(const char *native_path, size_t dir_length)
{
    return native_beneath(native_path, dir_length, native_entry_op, NULL);
}

/* How long a lease another program holds on the lock file is waited
 * for: the kernel asks the holder to let go at the first open, and one
 * that does so answers within a moment; one that keeps it would hold the
 * run for the kernel's whole lease-break time. */
#define NATIVE_LEASE_TRIES 20
#define NATIVE_LEASE_PAUSE_US 100000

/* The lock file opened as it is, or made anew where there is none. */
static int native_lock_open(int base, const char *relative)
{
    for (int tries = 0; tries < NATIVE_CREATE_TRIES; tries++) {
        int fd = native_open_relative(base, relative, O_RDWR | O_NONBLOCK | O_NOCTTY, 0);
        if (fd >= 0 || errno != ENOENT)
            return fd;
        fd = native_open_relative(base, relative, O_RDWR | O_CREAT | O_EXCL | O_NOCTTY, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

/* Not truncated on open: the holder's id stays readable by the runs it
 * turns away. Nothing is read or written before the file is known to be
 * the installation's own. */
static int native_lock_op(int base, const char *relative, void *unused)
{
    (void)unused;
    if (!native_names_entry(relative))
        return -1;
    int fd = native_lock_open(base, relative);
    for (int tries = 1; fd < 0 && errno == EAGAIN && tries < NATIVE_LEASE_TRIES; tries++) {
        usleep(NATIVE_LEASE_PAUSE_US);
        fd = native_lock_open(base, relative);
    }
    if (fd < 0 && errno == EAGAIN)
        errno = EBUSY; /* not the lock's own EWOULDBLOCK: nobody holds that */
    if (fd < 0 || !native_sole_regular(fd))
        return -1;
    return fd;
}

int native_file_lock(const char *native_path, size_t dir_length, long *holder)
{
    int fd = native_beneath(native_path, dir_length, native_lock_op, NULL);
    if (fd < 0)
        return -1;
    int rc;
    do
        rc = flock(fd, LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int saved = errno;
        if (holder)
            *holder = native_lock_holder(fd);
        close(fd);
        errno = saved == EAGAIN ? EWOULDBLOCK : saved;
        return -1;
    }
    char text[32];
    int len = snprintf(text, sizeof text, "%ld\n", (long)getpid());
    /* The id only helps the message of a run turned away; the lock holds
     * without it. */
    if (ftruncate(fd, 0) == 0)
        native_file_write_at(fd, text, (size_t)len, 0);
    return fd;
}

/* native_dir/relative, to free with free(); NULL (ENOMEM) when memory ran
 * out. */
static char *native_below(const char *native_dir, const char *relative)
{
    size_t length = strlen(native_dir) + strlen(relative) + 2;
    char *native = (char *)malloc(length);
    if (native)
        snprintf(native, length, "%s/%s", native_dir, relative);
    else
        errno = ENOMEM;
    return native;
}

/* relative's last name removed with all below it, its directories
 * resolved beneath the installation's kept descriptor. */
static int native_remove_below(int base, const char *relative, void *removal)
{
    NativeRemoval *r = (NativeRemoval *)removal;
    if (!native_relative_is_plain(relative)) {
        errno = EINVAL;
        native_remove_failed(r, "");
        return -1;
    }
    const char *name;
    int parent = native_open_parent(base, relative, &name);
    struct stat st;
    int ok;
    if (parent < 0 || fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        ok = errno == ENOENT || native_remove_failed(r, ""); /* nothing there */
    else
        ok = native_remove_at(parent, name, "", r);
    native_close_parent(parent, base);
    return ok ? 0 : -1;
}

int native_remove_tree(const char *native_dir, const char *relative, NativeRemoveVisit visit,
                       void *user, char **failed)
{
    NativeRemoval r = {visit, user, NULL};
    char *native = native_below(native_dir, relative);
    int ok = native && native_beneath(native, strlen(native_dir), native_remove_below, &r) == 0;
    if (!native)
        native_remove_failed(&r, "");
    int saved = errno;
    free(native);
    if (failed)
        *failed = r.failed;
    else
        free(r.failed);
    errno = saved;
    return ok;
}

/* One native_prune_directory: what to keep, whom to tell. */
typedef struct NativePrune {
    NativeKeepEntry keep;
    NativeRemoveFailed failed;
    NativeRemoval removal;
} NativePrune;

/* Each entry of the open directory dir that is not kept, removed. */
static int native_prune_entries(DIR *dir, NativePrune *p)
{
    struct dirent *d;
    while ((d = native_next_entry(dir)) != NULL) {
        if (p->keep(p->removal.user, d->d_name))
            continue;
        if (native_remove_at(dirfd(dir), d->d_name, d->d_name, &p->removal))
            continue;
        if (p->failed)
            p->failed(p->removal.user, p->removal.failed, errno);
        free(p->removal.failed);
        p->removal.failed = NULL;
    }
    return errno == 0;
}

static int native_prune_op(int base, const char *relative, void *prune)
{
    if (!native_relative_is_plain(relative)) {
        errno = EINVAL;
        return -1;
    }
    DIR *dir = native_dir_stream(native_open_beneath(base, relative));
    if (!dir)
        return errno == ENOENT ? 0 : -1; /* nothing there */
    int ok = native_prune_entries(dir, (NativePrune *)prune);
    int saved = errno;
    closedir(dir);
    errno = saved;
    return ok ? 0 : -1;
}

int native_prune_directory(const char *native_dir, const char *relative, NativeKeepEntry keep,
                           NativeRemoveVisit visit, NativeRemoveFailed failed, void *user)
{
    NativePrune p = {keep, failed, {visit, user, NULL}};
    char *native = native_below(native_dir, relative);
    if (!native)
        return 0;
    int ok = native_beneath(native, strlen(native_dir), native_prune_op, &p) == 0;
    int saved = errno;
    free(native);
    errno = saved;
    return ok;
}

/* The rest of a copy from both descriptors' positions on: one read, one
 * whole write, until the end of src. */
static int native_copy_through(int src_fd, int dst_fd, void *buffer, size_t capacity,
                               int *write_failed)
{
    for (;;) {
        long long n = native_file_read(src_fd, buffer, capacity);
        if (n <= 0) {
            *write_failed = 0;
            return n == 0;
        }
        if (!native_file_write_all(dst_fd, buffer, (size_t)n)) {
            *write_failed = 1;
            return 0;
        }
    }
}

int native_file_copy(int src_fd, int dst_fd, void *buffer, size_t capacity, int *write_failed)
{
#ifdef FICLONE
    /* Where the file system has no clone (ext4, tmpfs...) nothing was
     * done, whatever the cause, and the copies below still apply. */
    if (ioctl(dst_fd, FICLONE, src_fd) == 0)
        return 1;
#endif
    /* Inside the kernel: no pass through our memory. Whatever error it
     * meets, the loop below goes on from the same positions: a file system
     * without it refuses the first call (ENOSYS, EXDEV, EINVAL,
     * EOPNOTSUPP), and a true fault comes back on the read or the write
     * that names its side. Some special file systems report 0 on the first
     * call for a file that has data, so the loop also confirms the end. */
    for (;;) {
        ssize_t n = copy_file_range(src_fd, NULL, dst_fd, NULL, (size_t)1 << 30, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
    }
    return native_copy_through(src_fd, dst_fd, buffer, capacity, write_failed);
}
