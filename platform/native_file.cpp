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
#include <sys/stat.h>
#include <unistd.h>

int native_file_create(const char *native_path)
{
    int fd;
    do
        fd = open(native_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    return fd;
}

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

/* For file systems without O_TMPFILE: a unique name, unlinked at once. */
static int native_temp_file_named(const char *native_dir)
{
    size_t length = strlen(native_dir) + sizeof "/.scratch-XXXXXX";
    char *path = (char *)malloc(length);
    if (!path) {
        errno = ENOMEM;
        return -1;
    }
    snprintf(path, length, "%s/.scratch-XXXXXX", native_dir);
    int fd = mkostemp(path, O_CLOEXEC);
    if (fd >= 0)
        unlink(path);
    int saved = errno;
    free(path);
    errno = saved;
    return fd;
}

int native_temp_file_open(const char *native_dir)
{
    int fd = open(native_dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0)
        return fd;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return -1;
    return native_temp_file_named(native_dir);
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

int native_make_directory(const char *native_path)
{
    if (mkdir(native_path, 0777) == 0)
        return 1;
    if (errno != EEXIST)
        return 0;
    struct stat st;
    if (stat(native_path, &st) != 0)
        return 0;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return 0;
    }
    return 1;
}

int native_file_list_directory(const char *native_path, NativeListCallback callback, void *user)
{
    DIR *dir = opendir(native_path);
    if (!dir)
        return 0;
    int result = 1;
    for (;;) {
        errno = 0;
        struct dirent *entry = readdir(dir);
        if (!entry) {
            if (errno != 0)
                result = 0;
            break;
        }
        const char *name = entry->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
            continue;
        if (!callback(user, name)) {
            result = -1;
            break;
        }
    }
    int saved_errno = errno;
    closedir(dir);
    errno = saved_errno;
    return result;
}

int native_file_rename(const char *from, const char *to)
{
    return rename(from, to) == 0;
}

int native_file_remove(const char *native_path)
{
    return unlink(native_path) == 0;
}

int native_directory_sync(const char *native_dir)
{
    int fd;
    do
        fd = open(native_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return 0;
    int ok = fsync(fd) == 0;
    int saved = errno;
    close(fd);
    errno = saved;
    return ok;
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
        return (uint32_t)((unsigned long)generation & 0xFFFFFFFFul);
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
    int fd = openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR *dir = fd >= 0 ? fdopendir(fd) : NULL;
    if (!dir) {
        if (fd >= 0)
            close(fd);
        return native_remove_failed(r, relative);
    }
    int ok = 1;
    struct dirent *d;
    while (ok && (errno = 0, d = readdir(dir)) != NULL) {
        if (strcmp(d->d_name, ".") == 0 || strcmp(d->d_name, "..") == 0)
            continue;
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

int native_file_lock(const char *native_path, long *holder)
{
    int fd;
    /* Not truncated on open: the holder's id stays readable by the runs it
     * turns away. */
    do
        fd = open(native_path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
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
    if (unlinkat(dir_fd, name, is_directory ? AT_REMOVEDIR : 0) != 0)
        return native_remove_failed(r, relative);
    return 1;
}

/* 1 when relative is a path of plain names: no empty, "." or ".."
 * component, no leading '/'. */
static int native_relative_is_plain(const char *relative)
{
    const char *component = relative;
    for (const char *p = relative;; p++) {
        if (*p != '/' && *p != '\0')
            continue;
        size_t n = (size_t)(p - component);
        if (n == 0 || (component[0] == '.' && (n == 1 || (n == 2 && component[1] == '.'))))
            return 0;
        if (*p == '\0')
            return 1;
        component = p + 1;
    }
}

/* Opens the directory dirs (plain names, or "" for dir_fd itself) below
 * dir_fd, passing no symbolic link, one component at a time. */
static int native_open_components(int dir_fd, char *dirs)
{
    int fd = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    char *save = NULL;
    for (char *name = strtok_r(dirs, "/", &save); fd >= 0 && name;
         name = strtok_r(NULL, "/", &save)) {
        int next = openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat st;
        /* The system says a link is no directory; it is told as openat2
         * tells it. */
        if (next < 0 && errno == ENOTDIR && fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(st.st_mode))
            errno = ELOOP;
        int saved = errno;
        close(fd);
        errno = saved;
        fd = next;
    }
    return fd;
}

/* The directory dirs below dir_fd, never leaving it nor passing a symbolic
 * link: one call where the kernel has openat2 (and a container lets it
 * through), else one open per component. */
static int native_open_beneath(int dir_fd, char *dirs)
{
#if defined(NATIVE_HAVE_OPENAT2) && defined(SYS_openat2)
    struct open_how how;
    memset(&how, 0, sizeof how);
    how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
    long fd;
    do
        fd = syscall(SYS_openat2, dir_fd, *dirs ? dirs : ".", &how, sizeof how);
    while (fd < 0 && errno == EAGAIN);
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM))
        return (int)fd;
#endif
    return native_open_components(dir_fd, dirs);
}

/* relative below native_dir: its directories resolved beneath
 * native_dir, then its last name removed with all below it. */
static int native_remove_below(const char *native_dir, const char *relative, NativeRemoval *r)
{
    if (!native_relative_is_plain(relative)) {
        errno = EINVAL;
        return native_remove_failed(r, "");
    }
    char *dirs = strdup(relative);
    if (!dirs) {
        errno = ENOMEM;
        return native_remove_failed(r, "");
    }
    /* dirs is cut at its last '/'; the opens below only write inside the
     * part before it, so name stays whole. */
    char *slash = strrchr(dirs, '/');
    const char *name = slash ? slash + 1 : relative;
    if (slash)
        *slash = '\0';
    else
        dirs[0] = '\0';
    int ok = 0;
    int base = open(*native_dir ? native_dir : "/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int parent = base >= 0 ? native_open_beneath(base, dirs) : -1;
    struct stat st;
    if (parent < 0 || fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        ok = errno == ENOENT || native_remove_failed(r, ""); /* nothing there */
    else
        ok = native_remove_at(parent, name, "", r);
    int saved = errno;
    if (parent >= 0)
        close(parent);
    if (base >= 0)
        close(base);
    free(dirs);
    errno = saved;
    return ok;
}

int native_remove_tree(const char *native_dir, const char *relative, NativeRemoveVisit visit,
                       void *user, char **failed)
{
    NativeRemoval r = {visit, user, NULL};
    int ok = native_remove_below(native_dir, relative, &r);
    int saved = errno;
    if (failed)
        *failed = r.failed;
    else
        free(r.failed);
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
