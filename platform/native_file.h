/* Files written natively, outside the virtual file system, for the
 * publisher's intermediate files (staging trees, build trees before they are
 * zipped, the run's cache of compressed data) and for every other file the
 * programs write (engine/out_file): PhysicsFS opens a name it has checked
 * for links, so a link or a second name put there in between carries its
 * write elsewhere. Nothing here flushes to the disk unless asked.
 *
 * The walks over game and staged trees also stat and read through here
 * when the search path is the write directory alone: PhysicsFS checks
 * every component of a path for symbolic links on each call, which costs
 * more system calls than the reading.
 *
 * Every function that can fail returns 0 (or -1 for a descriptor) with
 * errno telling why; nothing here logs. */
#ifndef BRINDLECOT_PLATFORM_NATIVE_FILE_H
#define BRINDLECOT_PLATFORM_NATIVE_FILE_H

#include <stddef.h>
#include <stdint.h>

/* Every function here that creates, removes, renames or changes an entry
 * takes a native path whose first dir_length bytes are a directory it
 * trusts (the installation: fs_native_write_path tells where that part
 * ends), followed by '/' and plain names. Those names are resolved beneath
 * a descriptor of that directory, kept open for the process's life, and
 * none of them may be a symbolic link, the last one included: a link on
 * the way fails with ELOOP and nothing is written through it, so a link
 * planted in the installation never sends a write elsewhere. An empty, "."
 * or ".." name fails with EINVAL. Safe on any thread. */

/* Creates native_path anew for writing, mode 0666 under the umask,
 * exclusively (O_CREAT|O_EXCL): whatever stands at the name (a file, a
 * link, a file with another name, a pipe) is removed first, never followed
 * nor opened, so no other name of it ever sees a byte. A directory there
 * fails with EISDIR; a name that something keeps taking again fails with
 * EEXIST. A descriptor, or -1. */
int native_file_create(const char *native_path, size_t dir_length);

/* How native_file_reuse treats a regular file of its own at the name. */
typedef enum NativeReuse {
    NATIVE_REUSE_EMPTY,    /* emptied and written anew (a log) */
    NATIVE_REUSE_KEEP,     /* kept as it is (appended to) */
    NATIVE_REUSE_EXISTING  /* kept, and must be there: nothing is made */
} NativeReuse;

/* Opens native_path for writing where it is a regular file with no other
 * name, without following or opening anything else first. For EMPTY and
 * KEEP, anything else at the name (a link, a file with another name, a
 * pipe) is replaced as native_file_create replaces it, and a missing file
 * is made; EXISTING refuses it instead: ELOOP for a link, EMLINK for a
 * file with another name, EISDIR for a directory, EINVAL for anything
 * else, ENOENT when nothing is there. The descriptor is at the file's
 * start; -1 on failure. */
int native_file_reuse(const char *native_path, size_t dir_length, NativeReuse how);

/* Gives the file open as fd, written at from, the name to in the same
 * directory in one step (rename(2): a reader of to sees the old file or
 * the new one, never a part of either), and only while from still is
 * that file: a name is given only to the file that was written. Whatever
 * stands at from instead (a link, another file) is removed, never
 * followed, and the call fails with ESTALE (ENOENT when nothing is
 * there); so does anything found at to after the rename that is not fd's
 * file. The directory is then flushed, so that the name survives a power
 * loss. 1/0; EINVAL when to lies in another directory. */
int native_file_publish(int fd, const char *from, const char *to, size_t dir_length);

/* Flushes fd's data to the disk. 1/0. */
int native_file_sync(int fd);

/* For the tests: 0 turns openat2 off, so that every resolution takes the
 * path of kernels without it (one O_NOFOLLOW open per component); 1 turns
 * it back on. */
void native_beneath_use_openat2(int on);

/* 1 when the length bytes at component make a plain name: not empty, not
 * "." and not "..", the names that would lead elsewhere. */
int native_component_is_plain(const char *component, size_t length);

/* Opens the entry at native_path (a file or a directory, not a link) for
 * reading, without blocking on a pipe: for a change of its mode that
 * cannot reach a link's target. A descriptor, or -1. */
int native_entry_open(const char *native_path, size_t dir_length);

/* All of length bytes at the current position (short writes are retried).
 * 1/0. */
int native_file_write_all(int fd, const void *data, size_t length);

/* All of length bytes at offset, leaving the position alone. 1/0. */
int native_file_write_at(int fd, const void *data, size_t length, uint64_t offset);

/* Exactly length bytes from offset; a file that ends first fails with EIO.
 * 1/0. */
int native_file_read_at(int fd, void *data, size_t length, uint64_t offset);

/* Asks the system to start writing length bytes of fd from offset to the
 * disk and returns without waiting, so that a later flush of the file has
 * less left to wait for. Only a hint: where the system has no such call,
 * or not for this file, it does nothing and succeeds. 1/0. */
int native_file_start_writeback(int fd, uint64_t offset, uint64_t length);

/* Closes without flushing to the disk. 1/0 (a failed close still releases
 * the descriptor). */
int native_file_close(int fd);

/* A nameless file for reading and writing, in the directory native_dir
 * (which may be the trusted directory itself), that disappears when it is
 * closed (or when the process ends). A descriptor, or -1. */
int native_temp_file_open(const char *native_dir, size_t dir_length);

/* Opens native_path for reading; a symbolic link at the end of the path is
 * refused (ELOOP), and a pipe put there does not block the open. A
 * descriptor, or -1. */
int native_file_open_read(const char *native_path);

/* Up to length bytes at the current position (interrupted reads are
 * retried): the count, 0 at the end of the file, -1 on failure. */
long long native_file_read(int fd, void *data, size_t length);

/* What native_file_lstat tells of a path. */
typedef enum NativeFileType {
    NATIVE_FILE_REGULAR,
    NATIVE_FILE_DIRECTORY,
    NATIVE_FILE_LINK,     /* a symbolic link */
    NATIVE_FILE_OTHER     /* a device, a pipe... */
} NativeFileType;

typedef struct NativeFileInfo {
    NativeFileType type;
    uint64_t size;
    int64_t modtime, createtime, accesstime; /* seconds since 1970 */
} NativeFileInfo;

/* The path itself, a symbolic link not followed. 1/0. */
int native_file_lstat(const char *native_path, NativeFileInfo *info);

/* Called with each name in a directory listing; 1 go on, 0 stop. */
typedef int (*NativeListCallback)(void *user, const char *name);

/* Calls back with every name in the directory native_path except "." and
 * "..", in the order the system lists them (the order PhysicsFS gives
 * too). 1 when the whole directory was listed, 0 when it could not be
 * opened or read (errno tells why), -1 when the callback stopped it. */
int native_file_list_directory(const char *native_path, NativeListCallback callback,
                               void *user);

/* What tells one version of a file from another without reading it: a
 * rewrite changes the change time even when the size stays and the
 * modification time is set back, and a copy is another inode. Where times
 * only advance once a second, a file deleted and the next one made can
 * share the inode number, the size and both times: the inode's generation,
 * which the file system draws anew for each file it makes in an inode,
 * tells them apart where the kernel gives it (0 where it does not). It is
 * read only where the change time is a whole second, since finer times
 * tell such files apart by themselves (0 otherwise, for every version
 * alike). Even so, whoever deletes a file it has noted drops what it
 * noted. */
typedef struct NativeFileIdentity {
    uint64_t device, inode, size;
    int64_t modtime_ns, changetime_ns; /* nanoseconds since 1970 */
    uint32_t generation;
} NativeFileIdentity;

/* 1 when the generation is read for a file of this stat identity: its
 * change time is a whole second (or the tests asked for every file). */
int native_identity_needs_generation(const NativeFileIdentity *id);

/* For the tests: with on, the generation is read for every file, as on a
 * file system that keeps its times to the second. */
void native_file_read_every_generation(int on);

/* Of an open descriptor, and of a path (a symbolic link not followed; the
 * file is opened for its generation where one is read, and has none when
 * it cannot be). 0
 * also for anything but a regular file (EINVAL). 1/0. */
int native_file_identity(int fd, NativeFileIdentity *id);
int native_path_identity(const char *native_path, NativeFileIdentity *id);

/* What a stat alone tells (no generation: 0), of an open descriptor and of
 * a path (a symbolic link not followed, nothing opened). Enough to forget a
 * file, or to see that no version of it is known; a version is only
 * trusted once its generation agrees too. 0 also for anything but a
 * regular file (EINVAL). 1/0. */
int native_file_stat_identity(int fd, NativeFileIdentity *id);
int native_path_stat_identity(const char *native_path, NativeFileIdentity *id);

/* Completes id, taken by native_path_stat_identity of native_path, with
 * the generation of the file there: 1 when the file opened is still the
 * version id names (its generation now set), 0 when it changed in between
 * or cannot be opened. Where no generation is read (a change time below
 * the second), 1 at once, nothing opened. */
int native_path_add_generation(const char *native_path, NativeFileIdentity *id);

/* The generation in the word that FS_IOC_GETVERSION filled (zeroed
 * first): the request is declared for a long, but file systems write an
 * int into it, which on a big-endian machine fills the long's high half. */
uint32_t native_generation_of_word(unsigned long word);

/* 1 when both name the same version of the same file. */
int native_identity_equal(const NativeFileIdentity *a, const NativeFileIdentity *b);

/* 1 when both agree on all a stat tells (device, inode, size, times),
 * whatever their generations: within one open of a file, the generation
 * cannot change, so this is all a second look at the descriptor needs. */
int native_identity_same_stat(const NativeFileIdentity *a, const NativeFileIdentity *b);

/* 1 when both name the same file, whatever its version: the same inode of
 * the same device. */
int native_identity_same_file(const NativeFileIdentity *a, const NativeFileIdentity *b);

/* Told of each entry just before native_remove_tree removes it: its path
 * below the top ("" for the top itself), contents before their directory,
 * and, for a regular file, its stat identity as the removal saw it
 * (NULL for anything else), so that whoever noted it can forget it
 * without looking it up again. */
typedef void (*NativeRemoveVisit)(void *user, const char *relative,
                                  const NativeFileIdentity *file);

/* Removes relative, a path below the directory native_dir ("" is the
 * root), and everything below it, with one system call an entry, never
 * following a symbolic link (a link is removed itself). relative is
 * resolved one component at a time below native_dir, so that it can lead
 * nowhere else: an empty, "." or ".." component fails with EINVAL, and a
 * symbolic link before its last component with ELOOP, before anything is
 * removed. A path that is not there is 1. 0 when an entry would not go:
 * errno tells why and *failed (when failed is not NULL) is that entry's
 * path below relative ("" for relative itself), to free with free(); the
 * entries visited before it are gone. */
int native_remove_tree(const char *native_dir, const char *relative, NativeRemoveVisit visit,
                       void *user, char **failed);

/* Asked of each entry native_prune_directory lists: 1 keeps it, 0 has it
 * removed. */
typedef int (*NativeKeepEntry)(void *user, const char *name);

/* Told of an entry of a pruned directory that would not go: its path below
 * the directory, and errno's value then. */
typedef void (*NativeRemoveFailed)(void *user, const char *relative, int error);

/* Removes each entry of the directory relative (below native_dir, as for
 * native_remove_tree) that keep does not keep, with all below it: visit is
 * told of each as native_remove_tree tells, its path below relative. An
 * entry that will not go is left as it is, failed told of it, and the
 * others still go. The directory is opened once, and nothing but entries
 * that go costs a system call. 1 when it was listed through (nothing there
 * is nothing to do); 0 when it could not be listed or read (errno). */
int native_prune_directory(const char *native_dir, const char *relative, NativeKeepEntry keep,
                           NativeRemoveVisit visit, NativeRemoveFailed failed, void *user);

/* Makes the directory, mode 0777 under the umask, in a parent that is
 * there. 1 when it was made or already exists as a directory (ENOTDIR when
 * something else is there); 0 otherwise. */
int native_make_directory(const char *native_path, size_t dir_length);

/* The same for native_path and every directory on its way that is not
 * there yet (mkdir -p); ENOTDIR or ELOOP names what stands in the way. */
int native_make_directories(const char *native_path, size_t dir_length);

/* Removes the file (not a directory; a link itself). 1/0. */
int native_file_remove(const char *native_path, size_t dir_length);

/* Removes the file, the link itself, or the empty directory. 1/0. */
int native_entry_remove(const char *native_path, size_t dir_length);

/* Takes an exclusive advisory lock (flock) on native_path, creating the file
 * (exclusively) when missing, and writes this process's id into it. The
 * lock lasts until the descriptor is closed or the process ends, however it
 * ends, so a crashed holder never blocks the next one. Something there that
 * is no regular file is refused with EINVAL, and a file with another name
 * with EMLINK, before anything is read or written. A descriptor, or -1:
 * errno is EWOULDBLOCK when another process holds the lock, and *holder
 * (when not NULL) then gets the id it wrote there, or 0 when it cannot be
 * read; EBUSY when another program holds a lease on the file and has not
 * let it go within two seconds. */
int native_file_lock(const char *native_path, size_t dir_length, long *holder);

/* Copies the whole of src_fd into dst_fd, both just opened (dst created
 * empty): a copy-on-write clone where the file system has one, else a copy
 * inside the kernel (copy_file_range), else read and write through the
 * caller's buffer of capacity bytes. Never a link: a change to either file
 * leaves the other as it was. 1, or 0 with errno telling why and
 * *write_failed 1 when writing failed, 0 when reading did. */
int native_file_copy(int src_fd, int dst_fd, void *buffer, size_t capacity, int *write_failed);

#endif
