#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "output_paths.h"
#include "text.h"

namespace valdmora {
namespace {

std::string why(int error) { return std::strerror(error); }

// The temporary files alive now, in fixed storage that a signal handler may read: a slot is
// claimed before its file is created and freed once the file is renamed or removed.
constexpr int kSlots = 64;
constexpr std::size_t kNameMax = 4096;
struct TempSlot {
    std::atomic<int> state{0};  // 0 free, 1 being filled, 2 names a live file
    char name[kNameMax];
};
TempSlot g_temps[kSlots];

int claim_slot() {
    for (int i = 0; i < kSlots; ++i) {
        int expected = 0;
        if (g_temps[i].state.compare_exchange_strong(expected, 1)) return i;
    }
    return -1;
}

void name_slot(int slot, const std::string& name) {
    if (slot < 0) return;
    g_temps[slot].state.store(1);
    const std::size_t n = std::min(name.size(), kNameMax - 1);
    name.copy(g_temps[slot].name, n);
    g_temps[slot].name[n] = '\0';
    g_temps[slot].state.store(name.size() < kNameMax ? 2 : 1);
}

void free_slot(int& slot) {
    if (slot >= 0) g_temps[slot].state.store(0);
    slot = -1;
}

}  // namespace

void remove_live_temporaries() noexcept {
    for (TempSlot& t : g_temps)
        if (t.state.load() == 2) ::unlink(t.name);
}

AtomicFile::~AtomicFile() { discard(); }

void AtomicFile::discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
    free_slot(slot_);
}

std::string AtomicFile::open(const std::string& path) {
    namespace fs = std::filesystem;
    discard();
    path_ = path;
    error_.clear();
    struct stat st {};
    // a link stays a link: the file it points to is the one written, made if not there yet
    path_ = follow_links(path);
    const fs::path target(path_);
    fs::path folder = target.parent_path();
    if (folder.empty()) folder = ".";
    if (::stat(folder.c_str(), &st) != 0)
        return error_ = errno == ENOENT ? "the folder " + printable(folder.string(), 200) + " does not exist" : why(errno);
    if (!S_ISDIR(st.st_mode)) return error_ = printable(folder.string(), 200) + " is not a folder";
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
    slot_ = claim_slot();
    for (int attempt = 0; attempt < 100; ++attempt) {
        // the name's start only, so that a long name still leaves room for the suffix
        temp_ = (folder / ("." + target.filename().string().substr(0, 200) + ".tmp-" + std::to_string(::getpid()) +
                           "-" + std::to_string(counter++)))
                    .string();
        name_slot(slot_, temp_);
        fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ >= 0 || errno != EEXIST) break;
    }
    if (fd_ < 0) {
        const int e = errno;
        temp_.clear();
        free_slot(slot_);
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
    free_slot(slot_);
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
