#include "atomic_file.h"

#include <atomic>
#include <filesystem>

#include "platform_file.h"

namespace valdmora {
namespace fs = std::filesystem;
using platform::kNoFile;

AtomicFile::~AtomicFile() { discard(); }

void AtomicFile::discard() {
    if (fd_ != kNoFile) platform::close_file(fd_);
    fd_ = kNoFile;
    if (!temp_.empty()) platform::remove_file(platform::path_from_utf8(temp_));
    temp_.clear();
}

std::string AtomicFile::open(const std::string& path) {
    discard();
    path_ = path;
    error_.clear();
    std::error_code ec;
    if (fs::is_symlink(platform::path_from_utf8(path), ec)) {
        // a link stays a link: the file it points to is the one replaced
        const fs::path resolved = fs::weakly_canonical(platform::path_from_utf8(path), ec);
        if (ec) return error_ = "the link " + path + " cannot be followed: " + ec.message();
        path_ = platform::path_to_utf8(resolved);
    }
    const fs::path target = platform::path_from_utf8(path_);
    fs::path folder = target.parent_path();
    if (folder.empty()) folder = ".";
    const fs::file_status folder_status = fs::status(folder, ec);
    if (!fs::exists(folder_status))
        return error_ = ec && ec != std::errc::no_such_file_or_directory
                            ? ec.message()
                            : "the folder " + platform::path_to_utf8(folder) + " does not exist";
    if (!fs::is_directory(folder_status)) return error_ = platform::path_to_utf8(folder) + " is not a folder";
    const platform::Target existing = platform::inspect_target(target);
    if (!existing.problem.empty()) return error_ = existing.problem;
    static std::atomic<unsigned> counter{0};
    std::string problem;
    fs::path temp;
    for (int attempt = 0; attempt < 100; ++attempt) {
        // the name's start only, so that a long name still leaves room for the suffix
        const std::u8string name = target.filename().u8string();
        temp = folder / (u8"." + name.substr(0, 200) +
                         fs::path(".tmp-" + std::to_string(platform::process_id()) + "-" + std::to_string(counter++))
                             .u8string());
        bool exists = false;
        problem = platform::create_new_file(temp, fd_, exists);
        if (problem.empty() || !exists) break;
    }
    if (fd_ == kNoFile) return error_ = problem;
    temp_ = platform::path_to_utf8(temp);
    if (existing.exists) platform::keep_permissions(fd_, existing.permissions);
    return {};
}

std::string AtomicFile::write(std::string_view data) {
    if (!error_.empty()) return error_;
    if (fd_ == kNoFile) return error_ = "the file is not open";
    error_ = platform::write_all(fd_, data);
    if (!error_.empty()) discard();
    return error_;
}

std::string AtomicFile::commit() {
    if (!error_.empty()) return error_;
    if (fd_ == kNoFile) return error_ = "the file is not open";
    // a full disk may show only here; and the data reach the disk before the name does,
    // so that a system crash cannot leave the new name on an empty file
    const platform::FileHandle fd = fd_;
    fd_ = kNoFile;
    error_ = platform::flush_and_close(fd);
    if (error_.empty()) error_ = platform::replace_file(platform::path_from_utf8(temp_), platform::path_from_utf8(path_));
    if (!error_.empty()) {
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
