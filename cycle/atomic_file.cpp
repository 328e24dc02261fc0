// SPDX-License-Identifier: GPL-3.0-or-later
#include "atomic_file.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

#include <algorithm>
#include <atomic>
#include <filesystem>

#include "output_paths.h"
#include "platform_file.h"
#include "text.h"

namespace valdmora {
namespace {
namespace fs = std::filesystem;
using platform::kNoFile;

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

// "" when folder is a folder, else why not.
std::string folder_problem(const fs::path& folder) {
    const std::string shown = printable(platform::path_to_utf8(folder), 200);
#ifdef _WIN32
    std::error_code ec;
    const fs::file_status status = fs::status(folder, ec);
    if (!fs::exists(status))
        return ec && ec != std::errc::no_such_file_or_directory ? ec.message() : "the folder " + shown + " does not exist";
    if (!fs::is_directory(status)) return shown + " is not a folder";
#else
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0)
        return errno == ENOENT ? "the folder " + shown + " does not exist" : std::string(std::strerror(errno));
    if (!S_ISDIR(st.st_mode)) return shown + " is not a folder";
#endif
    return {};
}

}  // namespace

void remove_live_temporaries() noexcept {
    for (TempSlot& t : g_temps)
        if (t.state.load() == 2) {
#ifdef _WIN32
            // the console's handler is an ordinary thread: the name may be converted
            try {
                platform::remove_file(platform::path_from_utf8(t.name));
            } catch (...) {
            }
#else
            ::unlink(t.name);
#endif
        }
}

AtomicFile::~AtomicFile() { discard(); }

void AtomicFile::discard() {
    if (fd_ != kNoFile) platform::close_file(fd_);
    fd_ = kNoFile;
    if (!temp_.empty()) platform::remove_file(platform::path_from_utf8(temp_));
    temp_.clear();
    free_slot(slot_);
}

std::string AtomicFile::open(const std::string& path) {
    discard();
    error_.clear();
    // a link stays a link: the file it points to is the one written, made if not there yet
    path_ = follow_links(path);
    const fs::path target = platform::path_from_utf8(path_);
    fs::path folder = target.parent_path();
    if (folder.empty()) folder = ".";
    if (std::string problem = folder_problem(folder); !problem.empty()) return error_ = problem;
    const platform::Target existing = platform::inspect_target(target);
    if (!existing.problem.empty()) return error_ = existing.problem;
    static std::atomic<unsigned> counter{0};
    std::string problem;
    slot_ = claim_slot();
    for (int attempt = 0; attempt < 100; ++attempt) {
        // the name's start only, so that a long name still leaves room for the suffix
        const std::u8string name = target.filename().u8string();
        const fs::path temp =
            folder / (u8"." + name.substr(0, 200) +
                      fs::path(".tmp-" + std::to_string(platform::process_id()) + "-" + std::to_string(counter++))
                          .u8string());
        temp_ = platform::path_to_utf8(temp);
        name_slot(slot_, temp_);
        bool exists = false;
        problem = platform::create_new_file(temp, fd_, exists);
        if (problem.empty() || !exists) break;
    }
    if (fd_ == kNoFile) {
        temp_.clear();
        free_slot(slot_);
        return error_ = problem;
    }
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

std::string not_written_message(const std::string& path, std::string_view why) {
    return "The file " + printable(path, 200) + " could not be written: " + std::string(why) + ".";
}

std::string not_written_message(std::string_view thing, std::string_view path, std::string_view why) {
    return "The " + std::string(thing) + " could not be written to " + std::string(path) + ": " + std::string(why);
}

}  // namespace valdmora
