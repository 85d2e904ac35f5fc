// Local files: open modes, raw I/O, positions and last-write times over POSIX descriptors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orvane::platform {

using FileHandle = int;
inline constexpr FileHandle kInvalidFile = -1;

// Open modes of the local file record: 1 read an existing file, 2 create or replace for
// reading and writing, 3 open or create for reading and writing (position at the start).
inline constexpr int kOpenRead = 1;
inline constexpr int kOpenWrite = 2;
inline constexpr int kOpenAppend = 3;
// Like kOpenAppend, but every write goes to the end at the moment it is made (O_APPEND), so
// writers of several processes, and a copy-and-truncate log rotation, lose nothing.
inline constexpr int kOpenAppendAlways = 4;
// Added to a mode: the item must be a regular file. The open never waits (a FIFO without a writer
// would block it forever) and anything else fails with kErrorNotRegular.
inline constexpr int kOpenRegularOnly = 0x10;
// The error number of an item that is not a regular file (outside the system's own numbers).
inline constexpr int kErrorNotRegular = 0x10001;

FileHandle file_open(const std::string& path, int mode);
void file_close(FileHandle h);
// Read or write up to n bytes; the count done, or -1 on failure. Writes loop over short writes.
int64_t file_read(FileHandle h, void* data, size_t n);
int64_t file_write(FileHandle h, const void* data, size_t n);
// Position from the start (whence 0), the current position (1) or the end (2); new position or -1.
int64_t file_seek(FileHandle h, int64_t offset, int whence);
int64_t file_size(FileHandle h);
// The permission bits (st_mode & 07777) of an open file, or -1.
int file_permissions(FileHandle h);

// FILETIME: 100 ns ticks since 1601-01-01 UTC, the system's internal time type.
inline constexpr uint64_t kFiletimeUnixEpoch = 116444736000000000ULL;
uint64_t filetime_from_unix(int64_t seconds, int64_t nanoseconds = 0);
int64_t unix_from_filetime(uint64_t filetime);

// Last-write time of an open file or a path; 0 on failure.
uint64_t file_last_write_time(FileHandle h);
uint64_t path_last_write_time(const std::string& path);
// Sets only the last-write time (the access time is left alone). 0 on success.
int file_set_last_write_time(FileHandle h, uint64_t filetime);

bool path_exists(const std::string& path);
bool path_is_folder(const std::string& path);
int64_t path_size(const std::string& path);  // -1 when missing
// Removes a file. 0 on success; otherwise errno is left set.
int path_remove(const std::string& path);
// Renames, replacing an existing target. 0 on success.
int path_rename(const std::string& from, const std::string& to);
// Creates a folder and its missing parents, new ones readable by the owner only (as ~/.ssh is).
// 0 when it exists afterwards; otherwise errno is left set.
int make_private_folders(const std::string& path);
// Appends bytes at the end of a file in one write (O_APPEND, so writers of several processes do
// not overwrite each other), creating it if needed. 0 on success; otherwise errno is left set.
int append_to_file(const std::string& path, const void* data, size_t n);

// Replaces the file at `path` with the bytes, for its owner alone (mode 0600 from its creation):
// written beside it under a temporary name and renamed over it, so a crash leaves the old file.
// 0 on success; otherwise errno is left set.
int write_private_file(const std::string& path, const void* data, size_t n);

// A new file with no name in TMPDIR (else /tmp), readable and writable by this process only, gone
// when closed: room for data too large to hold in memory. kInvalidFile on failure (errno set).
FileHandle open_unnamed_temp_file();
// A new folder in TMPDIR (else /tmp) that only this user can enter, under a name nobody could
// have prepared (mkdtemp); empty on failure (errno set).
std::string make_private_temp_folder();
// Takes (lock) or drops an exclusive advisory lock on the whole file, waiting for other holders.
// 0 on success.
int file_lock(FileHandle h, bool lock);

// Takes an exclusive advisory lock on the lock file at `path` without waiting, held until the
// returned handle is closed. The file is made for this user alone (mode 0600, never through a
// link); one that other users can open, who could then hold the lock, is refused. kInvalidFile
// with *busy set when another holder has it; kInvalidFile with errno set otherwise.
FileHandle try_lock_private_file(const std::string& path, bool* busy);

// One item of a local folder ("." and ".." are left out; symbolic links are followed).
struct FolderItem {
    std::string name;
    bool is_folder = false;
    uint64_t size = 0;
    uint64_t last_write_time = 0;  // FILETIME
    bool is_special = false;       // a FIFO, socket or device: nothing to read or write as a file
};
std::vector<FolderItem> list_folder(const std::string& folder);
// The same, telling an empty folder from one that cannot be read: 0, or 1 with errno left set.
int read_folder(const std::string& folder, std::vector<FolderItem>& items);
// Creates one folder (mode 0777 less the umask). 0 on success; otherwise errno is left set.
int make_folder(const std::string& path);
// The device and inode of what a path names (symbolic links followed): two paths name the same
// folder when these match. 0 on success.
int path_identity(const std::string& path, uint64_t& device, uint64_t& inode);

}  // namespace orvane::platform
