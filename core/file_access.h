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
    // backup of a file that holds its old or its new text) could not be
    // removed again.
    std::string left_behind;
    // True when another writer made the file longer (or shorter) while it
    // was being written: its bytes were not cut off. With kept_backup empty
    // the file holds its old text followed by theirs.
    bool changed_by_other = false;
};

// Replaces the contents of the regular file at `path`, whose current
// contents are `old_text`, by `new_text`, keeping what the file is known by:
// its other names, owner, group, mode, inode flags, file-system attributes
// (project id, XFS flags, extent size hints) and extended attributes (ACLs
// and security labels included); a symbolic link stays a link to the
// rewritten file. Every name the rewrite makes, renames or removes is taken
// relative to the file's directory as it was opened at the start.
//
// A temporary copy is renamed over the file only when the copy cannot be
// told from it (a single name, a directory that allows the rename and the
// removal of the copy, and owner, group, mode, flags and attributes that
// all carry over). Lack of room (ENOSPC, EDQUOT, EFBIG) at any step of that
// road ends the call with the file untouched. Just before the rename, the
// file must still be known by what the copy carries (else it is written in
// place, which keeps whatever changed), hold `old_text` and be named by
// `path`.
//
// Otherwise the file is written in place: its old contents first go to a
// backup file (made exclusively, mode 0600, next to the file where the
// directory takes new files; where it refuses them, in the first usable
// temporary directory, tried as Python's tempfile.gettempdir() does; lack
// of room for it ends the call untouched), and the room for the new text is
// reserved. Just before the first overwrite the file must still hold
// `old_text` and be named by `path`. The part of the new text inside the
// old length is written first; a file that grew meanwhile (another writer
// appended) gets its old bytes back with the appended ones kept, and a
// file longer than what was written is never cut. A failed write puts the
// old bytes back and cuts the file to its old length; only when that fails
// too is the backup kept.
//
// Not done, with the file unchanged, when the file cannot be opened for
// reading and writing, no longer holds `old_text`, or the new text could
// not be put in place. The interrupt is called while the text is compared
// and while the copy or the backup is written and made durable, never once
// the file itself is being overwritten; an exception from it leaves the
// file untouched and nothing behind.
RewriteOutcome rewrite_regular_file(const std::string &path, const std::string &old_text, const std::string &new_text,
                                    const Interrupt &interrupt = {});

}  // namespace file_access
}  // namespace qel
