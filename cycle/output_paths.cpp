#include "output_paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "text.h"

namespace valdmora {
namespace fs = std::filesystem;

std::string follow_links(const std::string& path) {
    fs::path p(path);
    // as many hops as the kernel allows; a longer chain fails when it is opened
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
        std::error_code ec;
        const fs::path target = fs::read_symlink(p, ec);
        if (ec) break;
        p = target.is_absolute() ? target : p.parent_path() / target;
    }
    return p.string();
}

namespace {

struct FileKey {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::string name;  // for a file not there yet: its resolved folder and name
};

FileKey key_of(const std::string& path) {
    FileKey k;
    const fs::path reached(follow_links(path));
    struct stat st {};
    if (::stat(reached.c_str(), &st) == 0) {
        k.exists = true;
        k.device = st.st_dev;
        k.inode = st.st_ino;
        return k;
    }
    fs::path folder = reached.parent_path();
    if (folder.empty()) folder = ".";
    std::error_code ec;
    fs::path resolved = fs::weakly_canonical(folder, ec);
    if (ec) resolved = fs::absolute(folder, ec).lexically_normal();
    k.name = (resolved / reached.filename()).string();
    return k;
}

bool same(const FileKey& a, const FileKey& b) {
    if (a.exists != b.exists) return false;
    return a.exists ? a.device == b.device && a.inode == b.inode : a.name == b.name;
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
