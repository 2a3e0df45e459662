// Helicity of every Fourier-series file of a directory, optionally of its
// whole subtree, found with the POSIX directory calls.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "../file_access.h"
#include "internal.h"

namespace qel {
namespace qelext {

using file_access::has_nul;

namespace {

bool ends_with_fseries(const std::string &path) {
    static const char suffix[] = ".fseries";
    const std::size_t n = sizeof suffix - 1;
    return path.size() >= n && path.compare(path.size() - n, n, suffix) == 0;
}

std::string join_path(const std::string &dir, const std::string &name) {
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

void poll(const Interrupt &interrupt) {
    if (interrupt) interrupt();
}

bool is_regular_file(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

struct DirEntry {
    std::string name;
    unsigned char type;
};

// Closes a directory stream when the scope ends, also when the interrupt throws.
class DirStream {
public:
    explicit DirStream(DIR *d) noexcept : d_(d) {}
    DirStream(const DirStream &) = delete;
    DirStream &operator=(const DirStream &) = delete;
    ~DirStream() {
        if (d_ != nullptr) ::closedir(d_);
    }
    DIR *get() const noexcept { return d_; }

private:
    DIR *d_;
};

// Entries of a directory other than "." and "..", in the order readdir
// gives them; the directory is closed again before the caller descends, so
// a deep tree does not hold one descriptor per level. A walk over a whole
// file system with a cold cache takes seconds in its readdir and stat
// calls, each of which may wait for the disk: the interrupt is called
// before every one of them.
std::vector<DirEntry> list_directory(const std::string &dir, const Interrupt &interrupt) {
    std::vector<DirEntry> entries;
    poll(interrupt);
    const DirStream d(::opendir(dir.c_str()));
    if (d.get() == nullptr) return entries;
    for (;;) {
        poll(interrupt);
        const dirent *e = ::readdir(d.get());
        if (e == nullptr) break;
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        entries.push_back({name, e->d_type});
    }
    return entries;
}

// Depth-first walk. Symbolic links are never descended into: an entry is a
// directory only by its own type, and where the file system reports no
// type, lstat decides. A link to a regular ".fseries" file is collected.
void collect_fseries_recursive_posix(const std::string &dir, std::vector<std::string> &files,
                                     const Interrupt &interrupt) {
    for (const DirEntry &e : list_directory(dir, interrupt)) {
        const std::string full = join_path(dir, e.name);
        if (e.type == DT_DIR) {
            collect_fseries_recursive_posix(full, files, interrupt);
            continue;
        }
        if (e.type == DT_UNKNOWN) {
            poll(interrupt);
            struct stat st;
            if (::lstat(full.c_str(), &st) != 0) continue;
            if (S_ISDIR(st.st_mode)) {
                collect_fseries_recursive_posix(full, files, interrupt);
                continue;
            }
        }
        if (!ends_with_fseries(full)) continue;
        poll(interrupt);
        if (is_regular_file(full)) files.push_back(full);
    }
}

}  // namespace

std::vector<HelicityResult> batch_helicity_from_dir(const std::string &root_dir, int grid_size, double spacing,
                                                    int interior_margin, int nsamples, bool recurse,
                                                    const Interrupt &interrupt) {
    struct stat st;
    if (has_nul(root_dir) || ::stat(root_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        throw file_access::PathError("directory does not exist: ", root_dir);
    }
    std::vector<std::string> files;
    if (recurse) {
        collect_fseries_recursive_posix(root_dir, files, interrupt);
    } else {
        for (const DirEntry &e : list_directory(root_dir, interrupt)) {
            const std::string full = join_path(root_dir, e.name);
            if (!ends_with_fseries(full)) continue;
            poll(interrupt);
            if (is_regular_file(full)) files.push_back(full);
        }
    }
    std::vector<HelicityResult> results;
    results.reserve(files.size());
    WorkMeter meter(interrupt);
    for (const std::string &f : files) {
        meter.poll();
        results.push_back(helicity_from_fseries(f, grid_size, spacing, interior_margin, nsamples, interrupt));
    }
    std::sort(results.begin(), results.end(),
              [](const HelicityResult &a, const HelicityResult &b) { return a.path < b.path; });
    return results;
}

}  // namespace qelext
}  // namespace qel
