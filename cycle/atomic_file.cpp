#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace valdmora {
namespace {

std::string why(int error) { return std::strerror(error); }

}  // namespace

AtomicFile::~AtomicFile() { discard(); }

void AtomicFile::discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
}

std::string AtomicFile::open(const std::string& path) {
    namespace fs = std::filesystem;
    discard();
    path_ = path;
    error_.clear();
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        // a link stays a link: the file it points to is the one replaced
        std::error_code ec;
        const fs::path resolved = fs::weakly_canonical(fs::path(path), ec);
        if (ec) return error_ = "the link " + path + " cannot be followed: " + ec.message();
        path_ = resolved.string();
    }
    const fs::path target(path_);
    fs::path folder = target.parent_path();
    if (folder.empty()) folder = ".";
    if (::stat(folder.c_str(), &st) != 0)
        return error_ = errno == ENOENT ? "the folder " + folder.string() + " does not exist" : why(errno);
    if (!S_ISDIR(st.st_mode)) return error_ = folder.string() + " is not a folder";
    mode_t mode = 0666;
    bool keep_mode = false;
    if (::stat(path_.c_str(), &st) == 0) {
        // a rename over a device or a folder would replace it, not write into it
        if (S_ISDIR(st.st_mode)) return error_ = "it is a folder";
        if (!S_ISREG(st.st_mode)) return error_ = "it is not a regular file (a device or a pipe)";
        // the rename needs only the folder's permission: a file its owner protected stays
        if (::faccessat(AT_FDCWD, path_.c_str(), W_OK, AT_EACCESS) != 0) return error_ = why(errno);
        mode = st.st_mode & 07777;
        keep_mode = true;
    }
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        // the name's start only, so that a long name still leaves room for the suffix
        temp_ = (folder / ("." + target.filename().string().substr(0, 200) + ".tmp-" + std::to_string(::getpid()) +
                           "-" + std::to_string(counter++)))
                    .string();
        fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ >= 0 || errno != EEXIST) break;
    }
    if (fd_ < 0) {
        const int e = errno;
        temp_.clear();
        return error_ = why(e);
    }
    if (keep_mode) (void)::fchmod(fd_, mode);
    return {};
}

std::string AtomicFile::write(std::string_view data) {
    if (!error_.empty()) return error_;
    if (fd_ < 0) return error_ = "the file is not open";
    while (!data.empty()) {
        const ssize_t n = ::write(fd_, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            error_ = why(errno);
            discard();
            return error_;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

std::string AtomicFile::commit() {
    if (!error_.empty()) return error_;
    if (fd_ < 0) return error_ = "the file is not open";
    // a full disk may show only here; and the data reach the disk before the name does,
    // so that a system crash cannot leave the new name on an empty file
    const int fd = fd_;
    fd_ = -1;
    if (::fdatasync(fd) != 0 && errno != EINVAL && errno != EROFS) {
        const int e = errno;
        ::close(fd);
        error_ = why(e);
        discard();
        return error_;
    }
    if (::close(fd) != 0) {
        error_ = why(errno);
        discard();
        return error_;
    }
    if (::rename(temp_.c_str(), path_.c_str()) != 0) {
        error_ = why(errno);
        discard();
        return error_;
    }
    temp_.clear();
    return {};
}

std::string write_file_atomically(const std::string& path, std::string_view content) {
    AtomicFile f;
    std::string e = f.open(path);
    if (e.empty()) e = f.write(content);
    if (e.empty()) e = f.commit();
    return e;
}

}  // namespace valdmora
