#pragma once
// The module's one border with the file system: opening, reading and
// rewriting the files that callers name or that the lookups find. Every
// reader goes through here, so what holds for one holds for all:
// - a path is a byte string, as the operating system takes it; one with a
//   NUL byte names no file (the C calls would see a shorter path);
// - only regular files are read (after following links). The file is opened
//   without blocking and the opened descriptor is checked, so a FIFO,
//   device or socket is refused at once and nothing can be swapped in
//   between the check and the read;
// - a read takes an Interrupt: it is called when a signal interrupts the
//   open or a read (EINTR), after a read that returns less than asked (a
//   file that delivers slowly may block in the next one) and after every
//   kReadPollBytes read. When it throws, the file is closed and the
//   exception leaves the call as thrown, with nothing returned.
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "interrupt.h"

#include "interrupt.h"

namespace qel {
namespace file_access {

// Bytes read between two calls of the interrupt in a long read.
constexpr std::size_t kReadPollBytes = std::size_t(4) << 20;

// An error whose message names files. The message is bytes like every
// native message, and what() gives all of it; the file names in it are kept
// apart, so that they can be shown as file names are (the Python side
// decodes them as os.fsdecode does and the rest as text).
class PathError : public std::runtime_error {
public:
    struct Part {
        std::string bytes;
        bool is_path;
    };
    explicit PathError(std::vector<Part> parts);
    // before + path + after.
    PathError(const std::string &before, const std::string &path, const std::string &after = std::string());
    // before + the message of `inner`, its file names kept.
    PathError(const std::string &before, const PathError &inner);

    const std::vector<Part> &parts() const noexcept { return *parts_; }

private:
    static std::string joined(const std::vector<Part> &parts);
    std::shared_ptr<const std::vector<Part>> parts_;  // shared: copying an exception must not throw
};

// True when the path contains a NUL byte.
bool has_nul(const std::string &path);

// True when `path` opens for reading as a regular file.
bool is_readable_regular_file(const std::string &path, const Interrupt &interrupt = {});

// The complete contents of the regular file at `path`, read to its end.
// False (and `out` untouched) for anything else: a file that does not open,
// a directory, FIFO, device or socket, a read error.
bool read_regular_file(const std::string &path, std::string &out, const Interrupt &interrupt = {});

// What became of a rewrite.
struct RewriteOutcome {
    // True when the file holds the new text.
    bool done = false;
    // Not empty when the file could not be put back after a failed write:
    // the backup file that holds its old contents, kept.
    std::string kept_backup;
    // Not empty when a file of the rewrite's own (a temporary copy, or the
    // backup after a complete write) could not be removed again.
    std::string left_behind;
};

// Replaces the contents of the regular file at `path`, whose current
// contents are `old_text`, by `new_text`, keeping what the file is known by:
// its other names, owner, group, mode, inode flags and extended attributes
// (ACLs and security labels included); a symbolic link stays a link to the
// rewritten file.
//
// A temporary copy is renamed over the file only when the copy cannot be
// told from it (a single name, a directory that allows the rename and the
// removal of the copy, and owner, group, mode, flags and attributes that
// all carry over). A copy that cannot be written for lack of room (ENOSPC,
// EDQUOT, EFBIG) ends the call with the file untouched. Otherwise the file
// is written in place: its old contents first go to a backup file (made
// exclusively, mode 0600, next to the file where the directory allows it,
// else in TMPDIR or the system's temporary directory), the room for the new
// text is reserved, and a failed write puts the old bytes back and cuts the
// file to its old length; only when that fails too is the backup kept.
// Just before the rename or the first overwrite, the file must still hold
// `old_text`.
//
// Not done, with the file unchanged, when the file cannot be opened for
// reading and writing, no longer holds `old_text`, or the new text could
// not be put in place. The interrupt is called while the copy or the backup
// is written, never once the file itself is being overwritten; an exception
// from it leaves the file untouched.
RewriteOutcome rewrite_regular_file(const std::string &path, const std::string &old_text, const std::string &new_text,
                                    const Interrupt &interrupt = {});

}  // namespace file_access
}  // namespace qel
