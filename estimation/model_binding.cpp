#include "model_binding.h"

#include <dlfcn.h>
#include <elf.h>
#include <glob.h>
#include <sys/auxv.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "cycle/user_error.h"

namespace valdmora {

const char* model_library_file() { return "libvaldmora.so"; }

namespace {

std::filesystem::path executable_dir() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : exe.parent_path();
}

// Every table the loader maps must lie within the file: a cut-off file passes dlopen and
// then faults when a page beyond its end is touched.
template <class Ehdr, class Phdr>
std::string check_elf(std::ifstream& f, uint64_t size) {
    Ehdr h{};
    f.seekg(0);
    if (!f.read(reinterpret_cast<char*>(&h), sizeof h)) return "it is shorter than an ELF header";
    if (h.e_type != ET_DYN) return "it is not a shared library";
    if (h.e_phentsize != sizeof(Phdr)) return "its program headers are damaged";
    if (h.e_phoff + static_cast<uint64_t>(h.e_phnum) * sizeof(Phdr) > size) return "it is cut off (program headers)";
    if (h.e_shnum > 0 && h.e_shoff + static_cast<uint64_t>(h.e_shnum) * h.e_shentsize > size)
        return "it is cut off (section headers)";
    for (unsigned i = 0; i < h.e_phnum; ++i) {
        Phdr p{};
        f.seekg(static_cast<std::streamoff>(h.e_phoff + i * sizeof(Phdr)));
        if (!f.read(reinterpret_cast<char*>(&p), sizeof p)) return "it is cut off";
        if ((p.p_type == PT_LOAD || p.p_type == PT_DYNAMIC) && p.p_offset + p.p_filesz > size)
            return "it is cut off (a segment ends beyond the file)";
    }
    return {};
}

// The folders the system's loader searches for a bare name, in its order: LD_LIBRARY_PATH
// (unless the program runs with raised privileges), the folders of its cache as
// /etc/ld.so.conf lists them, then the default ones.
std::vector<std::string> loader_folders() {
    std::vector<std::string> out;
    const char* env = std::getenv("LD_LIBRARY_PATH");
    if (env && ::getauxval(AT_SECURE) == 0) {
        std::string dir;
        for (const char* c = env;; ++c) {
            if (*c == ':' || *c == ';' || *c == '\0') {
                out.push_back(dir.empty() ? "." : dir);  // an empty entry is the current folder
                dir.clear();
                if (*c == '\0') break;
            } else {
                dir += *c;
            }
        }
    }
    std::vector<std::string> conf{"/etc/ld.so.conf"};
    for (std::size_t i = 0; i < conf.size() && i < 64; ++i) {
        std::ifstream f(conf[i]);
        for (std::string line; std::getline(f, line);) {
            line = line.substr(0, line.find('#'));
            while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
            if (line.rfind("include", 0) == 0) {
                std::string pattern = line.substr(7);
                pattern.erase(0, pattern.find_first_not_of(" \t"));
                glob_t g{};
                if (::glob(pattern.c_str(), 0, nullptr, &g) == 0)
                    for (std::size_t k = 0; k < g.gl_pathc; ++k) conf.emplace_back(g.gl_pathv[k]);
                ::globfree(&g);
            } else if (!line.empty() && line[0] == '/') {
                out.push_back(line);
            }
        }
    }
    for (const char* d : {"/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu", "/lib64", "/usr/lib64", "/lib", "/usr/lib"})
        out.emplace_back(d);
    return out;
}

// The file the loader would open for a bare name: the first of its folders holding one of
// this machine's kind. "" when there is none.
std::string loader_file(const std::string& name) {
    for (const std::string& dir : loader_folders()) {
        const std::string path = dir + "/" + name;
        std::error_code ec;
        if (!std::filesystem::exists(path, ec)) continue;
        // the loader passes over a file built for another kind of machine
        if (check_shared_library_file(path) == "it is built for another kind of machine") continue;
        return path;
    }
    return {};
}

}  // namespace

std::string check_shared_library_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return "it cannot be opened";
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return "it is not a regular file";
    const uint64_t size = std::filesystem::file_size(path, ec);
    if (ec) return "its size cannot be read";
    unsigned char ident[EI_NIDENT] = {};
    if (!f.read(reinterpret_cast<char*>(ident), EI_NIDENT) || std::memcmp(ident, ELFMAG, SELFMAG) != 0)
        return "it is not a shared library (no ELF header)";
    if (ident[EI_CLASS] == ELFCLASS64 && sizeof(void*) == 8) return check_elf<Elf64_Ehdr, Elf64_Phdr>(f, size);
    if (ident[EI_CLASS] == ELFCLASS32 && sizeof(void*) == 4) return check_elf<Elf32_Ehdr, Elf32_Phdr>(f, size);
    return "it is built for another kind of machine";
}

std::vector<std::string> model_library_candidates() {
    std::vector<std::string> out;
    const auto dir = executable_dir();
    if (!dir.empty()) out.push_back((dir / model_library_file()).string());
#ifdef VALDMORA_MODELLIB_FROM_BINDIR
    // an installed tree keeps the library in a private folder beside bin/
    if (!dir.empty())
        out.push_back((dir / VALDMORA_MODELLIB_FROM_BINDIR / model_library_file()).lexically_normal().string());
#endif
    out.emplace_back(model_library_file());
    return out;
}

ModelLibrary bind_model_library_from(const std::vector<std::string>& candidates) {
    std::string tried, found_without_entry;
    for (const std::string& c : candidates) {
        tried += "\n  " + c;
        // every file is checked before it is mapped: a bare name as the system's loader
        // would find it (LD_LIBRARY_PATH included), and then loaded from that very file
        std::string file = c;
        if (c.find('/') == std::string::npos) {
            const std::string found = loader_file(c);
            if (!found.empty()) file = found;
        }
        if (file.find('/') != std::string::npos) {
            std::error_code ec;
            if (!std::filesystem::exists(file, ec)) continue;
            const std::string problem = check_shared_library_file(file);
            if (!problem.empty())
                throw UserError("The model library " + file + " cannot be used: " + problem +
                                    ". Reinstall valdmora so that a whole copy lies beside the program.",
                                "Model library");
        }
        void* lib = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!lib) continue;
        ModelLibrary m;
        m.fit = reinterpret_cast<FitEntry>(dlsym(lib, "VALDMORA_FIT"));
        m.objective = reinterpret_cast<ObjectiveEntry>(dlsym(lib, "VALDMORA_OBJECTIVE"));
        m.search = reinterpret_cast<FitEntry>(dlsym(lib, "VALDMORA_SEARCH"));
        m.hessian = reinterpret_cast<HessianEntry>(dlsym(lib, "VALDMORA_HESSIAN"));
        if (m.bound() && m.search && m.hessian) return m;  // stays loaded for the life of the program
        found_without_entry = c;
    }
    if (!found_without_entry.empty())
        throw UserError("The model library " + found_without_entry +
                            " was found but lacks the entries VALDMORA_FIT, VALDMORA_SEARCH, VALDMORA_OBJECTIVE and VALDMORA_HESSIAN; it may be "
                            "an older "
                            "version, from another program, or damaged. Reinstall valdmora.",
                        "Model library");
    throw UserError(std::string("The model library ") + model_library_file() +
                        " could not be found or loaded. Places searched:" + tried +
                        "\nReinstall valdmora so that the library lies beside the program.",
                    "Model library");
}

ModelLibrary bind_model_library() {
    static std::mutex lock;
    static ModelLibrary bound;
    std::lock_guard<std::mutex> guard(lock);
    if (!bound.bound()) bound = bind_model_library_from(model_library_candidates());
    return bound;
}

}  // namespace valdmora
