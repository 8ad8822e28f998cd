// Paths, lock files and segment slots for state kept in files that several
// processes share.
//
// Three services: creating an absolute directory path with a given group and
// mode 0775 (make_path, make_parent_path); opening or creating a data file
// under an exclusive, non-blocking write lock (open_locked_file); and one
// process-wide table of 1024 reference-counted slots that describe shared
// segments by descriptor, address and size.
//
// The path operations report failures as warnings and return 0; the file
// operation ends the process with a fatal message on any failure; misuse of a
// slot is an internal consistency failure ("Assertion failed in lib/shmem
// line <n>"). Paths are copied into 256-byte buffers: a path of more than 255
// characters is refused, never cut.
#pragma once

#include <cstdint>

#include "include/helper.h"

inline constexpr char kShmemModule[] = "lib/shmem";
/// Number of slots in the table; indices 0..1023.
inline constexpr int kShmemSlots = 1024;
/// Longest path the operations accept; the local copies are 256 bytes.
inline constexpr int kShmemPathMax = 255;
/// Mode of every directory and file created, set explicitly after creation so
/// that the umask does not change it.
inline constexpr unsigned kShmemDirMode = 0775;
inline constexpr unsigned kShmemFileMode = 0664;

/// One segment slot.
struct ShmemSlot {
    uint32_t refcount;  ///< 0 = free; 1 after slot_alloc, 2 after slot_acquire
    int32_t next_free;  ///< next free slot, -1 at the end of the list or while in use
    int32_t fd;         ///< descriptor of the segment, -1 = none; closed on the last release
    uint32_t size;      ///< size of the segment in bytes
    void* addr;         ///< start of the segment
};

/// Settings of the file operations.
struct ShmemConfig {
    int32_t gid;  ///< group of every directory and file created; -1 leaves the group as it is
};

/// Creates every directory of the absolute `path`, the last component
/// included (not when the path ends with "/"). Created directories get group
/// `gid` and mode 0775; existing ones are left as they are. Returns 1 on
/// success, 0 after a warning (relative path, more than 255 characters, a
/// component that cannot be created, changed or is not a directory).
[[nodiscard]] int make_path(const char* path, int32_t gid);

/// make_path on the directory part of `path` with `config->gid`. A path
/// without a directory part is an internal consistency failure.
[[nodiscard]] int make_parent_path(const char* path, const ShmemConfig* config);

/// Opens `path` with `flags` (the open flags for an existing file) plus
/// close-on-exec; when it does not exist, creates its directories and the
/// file read-write (group `config->gid`, mode 0664). Takes a write lock over
/// the whole file without waiting. Stores the descriptor in `*fd_out`, the
/// size in `*size_out` and the modification time (whole seconds) in
/// `*mtime_out` (either may be null). Returns 1 when the file was created, 0
/// when an existing file was opened; every failure is fatal, a lock held by
/// another process included.
int open_locked_file(int* fd_out, const char* path, const ShmemConfig* config, int flags,
                     int32_t* size_out, TimeStamp* mtime_out);

/// Builds the free list: slots 0..1023 free, handed out in index order.
void slot_init();
/// Takes the first free slot with reference count 1 and the given segment;
/// returns its index, -1 when no slot is free (also before slot_init).
[[nodiscard]] int slot_alloc(int fd, void* addr, uint32_t size);
/// Adds the one permitted second reference to slot `index` whose size must be
/// at least `min_size`. Acquiring it again calls `hook` (when given) with the
/// index and is then an internal consistency failure. Returns `index`.
int slot_acquire(int index, uint32_t min_size, void (*hook)(int index));
/// Stores a new address and size in slot `index`, which must be in use.
void slot_set(int index, void* addr, uint32_t size);
/// Drops one reference; at 0 the descriptor is closed and the slot freed
/// (handed out next). Returns the remaining reference count.
int slot_release(int index);
/// The fields of slot `index` (in range; a free slot gives null and 0).
void* slot_addr(int index);
uint32_t slot_size(int index);
/// Internal consistency failure unless 0 <= index < 1024.
void slot_check(int index);
