// Small files of the data directory written so that a crash or a power
// loss leaves either the old or the new content, never a truncated file:
// the text goes to a temporary file beside the target, is synced, renamed
// over the target, and the directory is synced.
#pragma once

#include <string>

namespace kry {

// 0, or the errno of the step that failed (the target is then unchanged).
int WriteFileDurably(const std::string& path, const std::string& contents);
// The same without the two syncs: a killed process still leaves the old or
// the new content, while a power loss may leave either, or an empty file.
int WriteFileReplacing(const std::string& path, const std::string& contents);
// Makes the temporary file that the two calls above write for `path`, of
// `bytes` bytes, so that a later replacement of up to that size needs no
// new space on the disk. 0 or errno.
int ReserveRoomToReplace(const std::string& path, size_t bytes);
// Syncs a file and its directory. 0 or errno.
int SyncFileAndDirectory(const std::string& path);
// Syncs the directory that holds `path` (a rename or unlink in it then
// survives a power loss). 0 or errno.
int SyncDirectoryOf(const std::string& path);
// Renames `from` over `to` and syncs the directory of `to`. 0 or errno.
int RenameDurably(const std::string& from, const std::string& to);
// Removes `path` (absent counts as removed) and syncs its directory. 0 or
// errno.
int RemoveFileDurably(const std::string& path);

}  // namespace kry
