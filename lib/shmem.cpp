#include "lib/shmem.h"

#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "sdr/log.h"

namespace {

// A path copy: at most 255 characters and the terminating zero.
constexpr int kPathBuffer = kShmemPathMax + 1;

constinit ShmemSlot g_slots[kShmemSlots] = {};
// Index of the first free slot, -1 when the list is empty (also before
// slot_init).
constinit int32_t g_free_head = -1;

// Copies `path` into `buf` (kPathBuffer bytes); false when it is longer than
// 255 characters.
bool copy_path(char* buf, const char* path) {
    size_t len = strnlen(path, kPathBuffer);
    if (len > static_cast<size_t>(kShmemPathMax)) return false;
    memcpy(buf, path, len + 1);
    return true;
}

// Creates the directory `dir` (mode 0775, then group `gid` and mode 0775
// explicitly) unless it exists as a directory. Returns 0, or the error number
// after a warning; `last` picks the wording for the final component.
int create_component(const char* dir, int32_t gid, bool last) {
    if (mkdir(dir, kShmemDirMode) != 0) {
        int err = errno;
        if (err == EEXIST) {
            // Existing components are kept as they are, but they must be
            // directories, or the path is not there after all.
            struct stat st;
            if (stat(dir, &st) != 0)
                err = errno;
            else if (S_ISDIR(st.st_mode))
                return 0;
            else
                err = ENOTDIR;
        }
        log_warning(last ? "Cannot create last path component %s (%s)"
                         : "Cannot create path component %s (%s)",
                    dir, strerror(err));
        return err;
    }
    if (chown(dir, static_cast<uid_t>(-1), static_cast<gid_t>(gid)) != 0) {
        int err = errno;
        log_warning(last ? "Cannot change group (%d) of last path component %s (%s)"
                         : "Cannot change group (%d) of path component %s (%s)",
                    static_cast<int>(gid), dir, strerror(err));
        return err;
    }
    if (chmod(dir, kShmemDirMode) != 0) {
        int err = errno;
        log_warning(last ? "Cannot change mode (0%o) of last path component %s (%s)"
                         : "Cannot change mode (0%o) of path component %s (%s)",
                    kShmemDirMode, dir, strerror(err));
        return err;
    }
    return 0;
}

// The directory part of `path` in `buf` (kPathBuffer bytes), as dirname
// gives it; false when the path is longer than 255 characters. A path
// without a "/" has no directory part: an internal consistency failure.
bool parent_of(char* buf, const char* path) {
    if (!copy_path(buf, path)) return false;
    VX_ASSERT(kShmemModule, strchr(buf, '/') != nullptr);
    // dirname works in place on the copy, or returns "/" or "." itself.
    const char* dir = dirname(buf);
    if (dir != buf) memmove(buf, dir, strlen(dir) + 1);
    return true;
}

// Warns about a path of more than 255 characters; returns 0 with errno
// ENAMETOOLONG.
int refuse_long_path(const char* path) {
    log_warning("Cannot process long path %s (more than %d characters)", path, kShmemPathMax);
    errno = ENAMETOOLONG;
    return 0;
}

}  // namespace

int make_path(const char* path, int32_t gid) {
    VX_ASSERT(kShmemModule, path != nullptr);
    char buf[kPathBuffer];
    if (!copy_path(buf, path)) return refuse_long_path(path);
    if (buf[0] != '/') {
        log_warning("Cannot process relative path %s (please specify an absolute path)", buf);
        errno = EINVAL;
        return 0;
    }
    // Each "/" after the first character ends a prefix that must exist.
    size_t len = strlen(buf);
    for (size_t i = 1; i < len; i++) {
        if (buf[i] != '/') continue;
        buf[i] = '\0';
        int err = create_component(buf, gid, false);
        buf[i] = '/';
        if (err != 0) {
            errno = err;
            return 0;
        }
    }
    if (buf[len - 1] != '/') {
        int err = create_component(buf, gid, true);
        if (err != 0) {
            errno = err;
            return 0;
        }
    }
    return 1;
}

int make_parent_path(const char* path, const ShmemConfig* config) {
    VX_ASSERT(kShmemModule, path != nullptr);
    VX_ASSERT(kShmemModule, config != nullptr);
    char dir[kPathBuffer];
    if (!parent_of(dir, path)) return refuse_long_path(path);
    return make_path(dir, config->gid);
}

int open_locked_file(int* fd_out, const char* path, const ShmemConfig* config, int flags,
                     int32_t* size_out, TimeStamp* mtime_out) {
    VX_ASSERT(kShmemModule, fd_out != nullptr);
    VX_ASSERT(kShmemModule, path != nullptr);
    char dir[kPathBuffer];
    if (!parent_of(dir, path))
        log_fatal("Cannot process long path %s (more than %d characters)", path, kShmemPathMax);

    int created = 0;
    int fd = open(path, flags | O_CLOEXEC, kShmemFileMode);
    if (fd < 0 && errno == ENOENT) {
        VX_ASSERT(kShmemModule, config != nullptr);
        if (!make_path(dir, config->gid))
            log_fatal("Cannot create directory path %s (%s)", dir, strerror(errno));
        // Exclusive creation: a process that starts at the same time and
        // creates the file first keeps it, and whatever it has written; this
        // one opens the existing file instead and then finds it locked.
        fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kShmemFileMode);
        if (fd >= 0) {
            created = 1;
            if (fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(config->gid)) != 0)
                log_fatal("Cannot change group (%d) of file %s (%s)", static_cast<int>(config->gid),
                          path, strerror(errno));
            if (fchmod(fd, kShmemFileMode) != 0)
                log_fatal("Cannot change mode (0%o) of file %s (%s)", kShmemFileMode, path,
                          strerror(errno));
        } else if (errno == EEXIST) {
            fd = open(path, flags | O_CLOEXEC, kShmemFileMode);
            if (fd < 0) log_fatal("Cannot open %s (%s)", path, strerror(errno));
        } else {
            log_fatal("After creating directory path -- Cannot create file %s (%s)", path,
                      strerror(errno));
        }
    } else if (fd < 0) {
        log_fatal("Cannot open %s (%s)", path, strerror(errno));
    }

    // A write lock over the whole file, without waiting.
    struct flock lock;
    memset(&lock, 0, sizeof lock);
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    if (fcntl(fd, F_SETLK, &lock) != 0)
        log_fatal("Cannot get read and write lock for %s (%s)", path, strerror(errno));

    struct stat st;
    bool stat_ok = fstat(fd, &st) == 0;
    if (!stat_ok) log_warning("Cannot stat %s (%s)", path, strerror(errno));
    VX_ASSERT(kShmemModule, stat_ok);
    // The size is reported in 32 bits; a larger file would come out wrong.
    if (st.st_size > INT32_MAX)
        log_fatal("File %s is too large (%lld bytes, at most %d)", path,
                  static_cast<long long>(st.st_size), INT32_MAX);

    *fd_out = fd;
    if (size_out) *size_out = static_cast<int32_t>(st.st_size);
    if (mtime_out) *mtime_out = ts_make(static_cast<uint32_t>(st.st_mtim.tv_sec), 0);
    return created;
}

void slot_init() {
    for (int i = 0; i < kShmemSlots; i++) {
        g_slots[i].refcount = 0;
        g_slots[i].next_free = i + 1;
        g_slots[i].fd = -1;
        g_slots[i].size = 0;
        g_slots[i].addr = nullptr;
    }
    g_slots[kShmemSlots - 1].next_free = -1;
    g_free_head = 0;
}

int slot_alloc(int fd, void* addr, uint32_t size) {
    if (g_free_head < 0) return -1;
    int index = g_free_head;
    ShmemSlot& s = g_slots[index];
    VX_ASSERT(kShmemModule, s.refcount == 0);
    s.refcount = 1;
    g_free_head = s.next_free;
    s.next_free = -1;
    s.fd = fd;
    s.addr = addr;
    s.size = size;
    return index;
}

int slot_acquire(int index, uint32_t min_size, void (*hook)(int index)) {
    slot_check(index);
    ShmemSlot& s = g_slots[index];
    VX_ASSERT(kShmemModule, s.refcount != 0);
    VX_ASSERT(kShmemModule, s.size >= min_size);
    // A slot is acquired once: one reference from slot_alloc, one more here.
    if (s.refcount >= 2) {
        if (hook) hook(index);
        VX_ASSERT(kShmemModule, s.refcount < 2);
    }
    s.refcount++;
    return index;
}

void slot_set(int index, void* addr, uint32_t size) {
    slot_check(index);
    ShmemSlot& s = g_slots[index];
    VX_ASSERT(kShmemModule, s.refcount != 0);
    s.addr = addr;
    s.size = size;
}

int slot_release(int index) {
    slot_check(index);
    ShmemSlot& s = g_slots[index];
    VX_ASSERT(kShmemModule, s.refcount != 0);
    s.refcount--;
    if (s.refcount == 0) {
        s.addr = nullptr;
        s.size = 0;
        if (s.fd >= 0) close(s.fd);
        s.fd = -1;
        s.next_free = g_free_head;
        g_free_head = index;
    }
    return static_cast<int>(s.refcount);
}

void* slot_addr(int index) {
    slot_check(index);
    return g_slots[index].addr;
}

uint32_t slot_size(int index) {
    slot_check(index);
    return g_slots[index].size;
}

void slot_check(int index) {
    VX_ASSERT(kShmemModule, index >= 0 && index < kShmemSlots);
}
