// Graph files at a path: a save replaces the file there only with a whole
// new one, and a load reads exactly one file.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fstream>
#include <utility>

#include "symbolic/files/graph_file.hpp"

namespace zarnik::symbolic {

namespace {

using detail::graph_files::refuse_load;

[[noreturn]] void path_error(const std::string& what, const std::filesystem::path& path, int error) {
    throw std::filesystem::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

// An open file descriptor, closed with it.
class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }

    int get() const noexcept { return fd_; }
    // Closes now: 0, or the error close reports (some file systems report a
    // failed write only there). The descriptor is released either way.
    int close() noexcept {
        const int result = ::close(std::exchange(fd_, -1));
        return result == 0 ? 0 : errno;
    }

private:
    int fd_;
};

// A new file in the directory of `target`, removed when this ends unless kept:
// a file is only ever replaced by a complete one, and a failed save leaves
// nothing behind.
class Temporary {
public:
    explicit Temporary(const std::filesystem::path& target) : fd_(create(target, path_)) {}
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;
    ~Temporary() {
        if (!path_.empty()) {
            ::unlink(path_.c_str());
        }
    }

    const std::filesystem::path& path() const noexcept { return path_; }
    Descriptor& descriptor() noexcept { return fd_; }
    void keep() noexcept { path_.clear(); }

private:
    static int create(const std::filesystem::path& target, std::filesystem::path& path) {
        static std::atomic<std::uint64_t> counter{0};
        const std::string process = "." + std::to_string(::getpid()) + "-";
        std::string prefix = "." + target.filename().string() + process;
        // A name left by a process of the same id that died is skipped.
        for (int attempt = 0;; ++attempt) {
            path = target.parent_path() / (prefix + std::to_string(counter++) + ".tmp");
            // 0666 less the umask, as any new file gets.
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) {
                return fd;
            }
            const int error = errno;
            // A target whose name is as long as the folder allows leaves no
            // room for more: the temporary goes without it.
            if (error == ENAMETOOLONG && prefix != ".zarnik" + process) {
                prefix = ".zarnik" + process;
                continue;
            }
            if (error != EEXIST || attempt == 100) {
                path.clear();
                path_error("cannot save graph: cannot create a file in the directory of", target, error);
            }
        }
    }

    std::filesystem::path path_;  // before fd_, which create() fills it for
    Descriptor fd_;
};

// What one write takes at most: the poll runs between such pieces, so that a
// large save can be interrupted while it writes.
constexpr std::size_t write_piece = std::size_t{1} << 20U;

void write_all(int fd, std::string_view bytes, const std::filesystem::path& target, const GraphFilePoll& poll) {
    while (!bytes.empty()) {
        const ::ssize_t written = ::write(fd, bytes.data(), std::min(bytes.size(), write_piece));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            path_error("cannot save graph: writing failed for", target, written < 0 ? errno : EIO);
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
        if (!bytes.empty() && poll) {
            poll();
        }
    }
}

// Where a save to `path` writes: the file that its symbolic links lead to,
// so that the links stay and the file they name is replaced (or made, for a
// link that names no file yet), as writing through them would.
std::filesystem::path destination(const std::filesystem::path& path) {
    std::filesystem::path target = path;
    // As many links as the kernel follows for one path.
    for (int links = 0; links < 40; ++links) {
        std::error_code error;
        if (!std::filesystem::is_symlink(std::filesystem::symlink_status(target, error))) {
            return target;
        }
        const std::filesystem::path next = std::filesystem::read_symlink(target, error);
        if (error) {
            return target;
        }
        target = next.is_absolute() ? next : target.parent_path() / next;
    }
    path_error("cannot save graph: cannot follow the links of", path, ELOOP);
}

// What is no regular file (a pipe, a device such as /dev/null) is written
// into, as opening it for writing would, and never replaced by a file.
void write_into(const std::filesystem::path& target, std::string_view bytes, const GraphFilePoll& poll) {
    Descriptor opened(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (opened.get() < 0) {
        path_error("cannot save graph: cannot open", target, errno);
    }
    write_all(opened.get(), bytes, target, poll);
    if (const int error = opened.close(); error != 0) {
        path_error("cannot save graph: writing failed for", target, error);
    }
}

// Writes `bytes` to a temporary file beside the destination, makes them
// durable, then renames the temporary over it: readers see the old file or
// the new one, never a part, and the old one stays when anything fails or
// the poll throws.
void replace_file(const std::filesystem::path& path, std::string_view bytes, const GraphFilePoll& poll) {
    if (!path.has_filename()) {
        path_error("cannot save graph: the path names no file", path, EISDIR);
    }
    const std::filesystem::path target = destination(path);
    struct ::stat old{};
    const bool existed = ::stat(target.c_str(), &old) == 0;
    if (!existed && errno != ENOENT) {
        path_error("cannot save graph: cannot examine", target, errno);
    }
    if (existed && !S_ISREG(old.st_mode)) {
        write_into(target, bytes, poll);
        return;
    }
    // A file its user may not write is refused, as opening it would refuse,
    // though the directory would take a new file in its place.
    if (existed && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
        path_error("cannot save graph: cannot write", target, errno);
    }
    Temporary temporary(target);
    const int fd = temporary.descriptor().get();
    write_all(fd, bytes, target, poll);
    if (::fsync(fd) != 0) {
        path_error("cannot save graph: flushing to the disk failed for", target, errno);
    }
    if (existed) {
        // The replaced file's owner and permission bits. Only root may give
        // a file to another owner: anyone else's save leaves the new file
        // theirs, as a rewrite by them would.
        if (::fchown(fd, old.st_uid, old.st_gid) != 0 && errno != EPERM) {
            path_error("cannot save graph: cannot keep the owner of", target, errno);
        }
        // After fchown, which drops the set-id bits.
        if (::fchmod(fd, old.st_mode & 07777) != 0) {
            path_error("cannot save graph: cannot keep the permissions of", target, errno);
        }
    }
    if (const int error = temporary.descriptor().close(); error != 0) {
        path_error("cannot save graph: writing failed for", target, error);
    }
    if (poll) {
        poll();
    }
    if (::rename(temporary.path().c_str(), target.c_str()) != 0) {
        path_error("cannot save graph: cannot replace", target, errno);
    }
    temporary.keep();
    // The rename itself made durable. The file is in place whatever this
    // gives, so a failure (some file systems cannot sync a directory) is not
    // the save's.
    const std::filesystem::path directory = target.parent_path().empty() ? "." : target.parent_path();
    if (const int directory_fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); directory_fd >= 0) {
        const Descriptor opened(directory_fd);
        static_cast<void>(::fsync(directory_fd));
    }
}

}  // namespace

void save(const std::filesystem::path& path, const GraphFile& file, const GraphFilePoll& poll) {
    // Encoded first: contents that no file holds never touch the directory.
    replace_file(path, save_to_bytes(file, poll), poll);
}

void save(const std::filesystem::path& path, const Value& output) { save(path, graph_file(output)); }
void save(const std::filesystem::path& path, const Tape& tape) { save(path, graph_file(tape)); }
void save(const std::filesystem::path& path, const Function& function) { save(path, graph_file(function)); }

GraphFile load(const std::filesystem::path& path) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        path_error("cannot load graph: cannot read", path, EISDIR);
    }
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        path_error("cannot load graph: cannot open", path, errno != 0 ? errno : EIO);
    }
    GraphFile file = load(in);
    if (in.peek() != std::ifstream::traits_type::eof()) {
        refuse_load("bytes follow the end of the file");
    }
    if (in.bad()) {
        path_error("cannot load graph: reading failed for", path, EIO);
    }
    return file;
}

}  // namespace zarnik::symbolic
