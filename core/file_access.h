#pragma once
// The module's one border with the file system: opening, reading and
// rewriting the files that callers name or that the lookups find. Every
// reader goes through here, so what holds for one holds for all:
// - a path is a byte string, as the operating system takes it; one with a
//   NUL byte names no file (the C calls would see a shorter path);
// - only regular files are read (after following links). The file is opened
//   without blocking and the opened descriptor is checked, so a FIFO,
//   device or socket is refused at once and nothing can be swapped in
//   between the check and the read.
#include <string>

namespace qel {
namespace file_access {

// True when the path contains a NUL byte.
bool has_nul(const std::string &path);

// True when `path` opens for reading as a regular file.
bool is_readable_regular_file(const std::string &path);

// The complete contents of the regular file at `path`, read to its end.
// False (and `out` untouched) for anything else: a file that does not open,
// a directory, FIFO, device or socket, a read error.
bool read_regular_file(const std::string &path, std::string &out);

// Replaces the contents of the regular file at `path`, whose current
// contents are `old_text`, by `new_text`, keeping what the file is known by:
// its other names, owner, group, mode and extended attributes (ACLs and
// security labels included); a symbolic link stays a link to the rewritten
// file. A temporary copy is renamed over the file only when the copy cannot
// be told from it (a single name, a directory that allows the rename, and
// owner, group, mode and attributes that all carry over); otherwise the file
// is written in place, the room for the new text reserved before the first
// old byte is overwritten. False, with the file unchanged, when the file
// cannot be opened for reading and writing, no longer holds `old_text`, or
// the new text could not be put in place; no temporary file remains.
bool rewrite_regular_file(const std::string &path, const std::string &old_text, const std::string &new_text);

}  // namespace file_access
}  // namespace qel
