// SPDX-License-Identifier: GPL-3.0-or-later
#include "output_paths.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <filesystem>

#include "platform_file.h"
#include "text.h"

namespace valdmora {
namespace fs = std::filesystem;

std::string follow_links(const std::string& path) {
    fs::path p = platform::path_from_utf8(path);
    // as many hops as the kernel allows; a longer chain fails when it is opened
    for (int hop = 0; hop < 40; ++hop) {
        std::error_code ec;
#ifdef _WIN32
        if (!fs::is_symlink(fs::symlink_status(p, ec))) break;
#else
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
#endif
        const fs::path target = fs::read_symlink(p, ec);
        if (ec) break;
        p = target.is_absolute() ? target : p.parent_path() / target;
    }
    return platform::path_to_utf8(p);
}

namespace {

struct FileKey {
    bool exists = false;
#ifdef _WIN32
    fs::path reached;  // Windows has no inode to compare: fs::equivalent asks the volume
#else
    dev_t device = 0;
    ino_t inode = 0;
#endif
    std::string name;  // for a file not there yet: its resolved folder and name
};

FileKey key_of(const std::string& path) {
    FileKey k;
    const fs::path reached = platform::path_from_utf8(follow_links(path));
#ifdef _WIN32
    std::error_code ec;
    if (fs::exists(reached, ec)) {
        k.exists = true;
        k.reached = reached;
        return k;
    }
#else
    struct stat st {};
    if (::stat(reached.c_str(), &st) == 0) {
        k.exists = true;
        k.device = st.st_dev;
        k.inode = st.st_ino;
        return k;
    }
#endif
    fs::path folder = reached.parent_path();
    if (folder.empty()) folder = ".";
    std::error_code ec2;
    fs::path resolved = fs::weakly_canonical(folder, ec2);
    if (ec2) resolved = fs::absolute(folder, ec2).lexically_normal();
    k.name = platform::path_to_utf8(resolved / reached.filename());
#ifdef _WIN32
    // names differ only in case reach the same file
    for (char& c : k.name)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
#endif
    return k;
}

bool same(const FileKey& a, const FileKey& b) {
    if (a.exists != b.exists) return false;
#ifdef _WIN32
    if (!a.exists) return a.name == b.name;
    std::error_code ec;
    return fs::equivalent(a.reached, b.reached, ec) && !ec;
#else
    return a.exists ? a.device == b.device && a.inode == b.inode : a.name == b.name;
#endif
}

}  // namespace

std::optional<NamedPath> same_file_as(const std::string& output, const std::vector<NamedPath>& taken) {
    const FileKey key = key_of(output);
    for (const NamedPath& t : taken)
        if (!t.path.empty() && same(key, key_of(t.path))) return t;
    return std::nullopt;
}

std::string output_clash(const std::vector<NamedPath>& inputs, const std::vector<NamedPath>& outputs) {
    std::vector<NamedPath> taken = inputs;
    for (const NamedPath& o : outputs) {
        if (o.path.empty()) continue;
        if (const auto hit = same_file_as(o.path, taken)) {
            const std::string what = hit->path == o.path ? "" : " (" + printable(hit->path, 200) + ")";
            std::string role = o.role;
            if (!role.empty() && role[0] >= 'a' && role[0] <= 'z') role[0] = static_cast<char>(role[0] - 'a' + 'A');
            return role + " " + printable(o.path, 200) + " is " + hit->role + what +
                   ": writing it would destroy that file. Choose another name.";
        }
        taken.push_back(o);
    }
    return {};
}

}  // namespace valdmora
