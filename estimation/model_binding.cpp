// SPDX-License-Identifier: GPL-3.0-or-later
#include "model_binding.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#include <elf.h>
#include <glob.h>
#include <sys/auxv.h>

#include <cctype>
#include <cstdlib>
#endif

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "cycle/platform_file.h"
#include "cycle/user_error.h"

namespace valdmora {

namespace {

template <class T>
T little_endian_at(const std::string& bytes, std::size_t at) {
    T v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) v |= static_cast<T>(static_cast<T>(static_cast<unsigned char>(bytes[at + i])) << (8 * i));
    return v;
}

}  // namespace

std::string check_pe_library(const std::string& file, uint16_t machine) {
    const uint64_t size = file.size();
    // DOS stub, then at e_lfanew "PE\0\0", the file header and the optional header
    if (file.size() < 64 || file[0] != 'M' || file[1] != 'Z') return "it is not a DLL (no MZ header)";
    const uint64_t pe = little_endian_at<uint32_t>(file, 0x3c);
    if (pe + 24 > size) return "it is cut off (PE header)";
    if (file.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return "it is not a DLL (no PE header)";
    if (little_endian_at<uint16_t>(file, pe + 4) != machine) return "it is built for another kind of machine";
    const uint16_t sections = little_endian_at<uint16_t>(file, pe + 6);
    const uint32_t symbols_at = little_endian_at<uint32_t>(file, pe + 12);
    const uint32_t symbols = little_endian_at<uint32_t>(file, pe + 16);
    const uint16_t optional_size = little_endian_at<uint16_t>(file, pe + 20);
    const uint16_t characteristics = little_endian_at<uint16_t>(file, pe + 22);
    if (!(characteristics & 0x2000)) return "it is not a DLL";
    const uint64_t table = pe + 24 + optional_size;
    if (table + 40ull * sections > size) return "it is cut off (section table)";
    // every section's bytes the loader maps must lie within the file
    for (unsigned i = 0; i < sections; ++i) {
        const uint64_t raw_size = little_endian_at<uint32_t>(file, table + 40 * i + 16);
        const uint64_t raw_at = little_endian_at<uint32_t>(file, table + 40 * i + 20);
        if (raw_size > 0 && raw_at + raw_size > size) return "it is cut off (a section ends beyond the file)";
    }
    // the symbols and their names, where the linker left them, end the file
    if (symbols_at != 0) {
        const uint64_t names = uint64_t{symbols_at} + 18ull * symbols;
        if (names + 4 > size || names + little_endian_at<uint32_t>(file, names) > size)
            return "it is cut off (symbol table)";
    }
    return {};
}

#ifdef _WIN32

const char* model_library_file() { return "valdmora.dll"; }

namespace {

std::filesystem::path executable_dir() {
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
        if (n == 0) return {};
        if (n < name.size()) {
            name.resize(n);
            return std::filesystem::path(name).parent_path();
        }
        name.resize(name.size() * 2);
    }
}

#else

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

#endif

}  // namespace

std::string check_shared_library_file(const std::string& path) {
    const std::filesystem::path native = platform::path_from_utf8(path);
    std::ifstream f(native, std::ios::binary);
    if (!f) return "it cannot be opened";
    std::error_code ec;
    if (!std::filesystem::is_regular_file(native, ec)) return "it is not a regular file";
    const uint64_t size = std::filesystem::file_size(native, ec);
    if (ec) return "its size cannot be read";
#ifdef _WIN32
    if (size > (uint64_t{1} << 28)) return "it is far too large for the model library";
    std::string file(static_cast<std::size_t>(size), '\0');
    if (!f.read(file.data(), static_cast<std::streamsize>(file.size()))) return "it cannot be read";
    return check_pe_library(file, sizeof(void*) == 8 ? 0x8664 : 0x14c);
#else
    unsigned char ident[EI_NIDENT] = {};
    if (!f.read(reinterpret_cast<char*>(ident), EI_NIDENT) || std::memcmp(ident, ELFMAG, SELFMAG) != 0)
        return "it is not a shared library (no ELF header)";
    if (ident[EI_CLASS] == ELFCLASS64 && sizeof(void*) == 8) return check_elf<Elf64_Ehdr, Elf64_Phdr>(f, size);
    if (ident[EI_CLASS] == ELFCLASS32 && sizeof(void*) == 4) return check_elf<Elf32_Ehdr, Elf32_Phdr>(f, size);
    return "it is built for another kind of machine";
#endif
}

std::vector<std::string> model_library_candidates() {
    std::vector<std::string> out;
    const auto dir = executable_dir();
#ifdef _WIN32
    // beside the program alone: never the current folder or PATH, where anyone may put a DLL
    if (!dir.empty()) out.push_back(platform::path_to_utf8(dir / model_library_file()));
    return out;
#else
    if (!dir.empty()) out.push_back((dir / model_library_file()).string());
#endif
#ifdef VALDMORA_MODELLIB_FROM_BINDIR
    // an installed tree keeps the library in a private folder beside bin/
    if (!dir.empty())
        out.push_back((dir / VALDMORA_MODELLIB_FROM_BINDIR / model_library_file()).lexically_normal().string());
#endif
    out.emplace_back(model_library_file());
    return out;
}

namespace {

#ifdef _WIN32
constexpr const char* kFolderSeparators = "/\\";

void* open_library(const std::string& path) {
    // its own dependencies (NLopt, the runtime) from its own folder first
    return reinterpret_cast<void*>(
        LoadLibraryExW(platform::path_from_utf8(path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
}

void* entry(void* lib, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(lib), name));
}
#else
constexpr const char* kFolderSeparators = "/";

void* open_library(const std::string& path) { return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }
void* entry(void* lib, const char* name) { return dlsym(lib, name); }
#endif

}  // namespace

ModelLibrary bind_model_library_from(const std::vector<std::string>& candidates) {
    std::string tried, found_without_entry;
    for (const std::string& c : candidates) {
        tried += "\n  " + c;
        // every file is checked before it is mapped: a bare name as the system's loader
        // would find it (LD_LIBRARY_PATH included), and then loaded from that very file;
        // Windows candidates are whole paths only
        std::string file = c;
#ifndef _WIN32
        if (c.find('/') == std::string::npos) {
            const std::string found = loader_file(c);
            if (!found.empty()) file = found;
        }
#endif
        if (file.find_first_of(kFolderSeparators) != std::string::npos) {
            std::error_code ec;
            if (!std::filesystem::exists(platform::path_from_utf8(file), ec)) continue;
            const std::string problem = check_shared_library_file(file);
            if (!problem.empty())
                throw UserError("The model library " + file + " cannot be used: " + problem +
                                    ". Reinstall valdmora so that a whole copy lies beside the program.",
                                "Model library");
        }
        void* lib = open_library(file);
        if (!lib) continue;
        ModelLibrary m;
        m.fit = reinterpret_cast<FitEntry>(entry(lib, "VALDMORA_FIT"));
        m.objective = reinterpret_cast<ObjectiveEntry>(entry(lib, "VALDMORA_OBJECTIVE"));
        m.search = reinterpret_cast<FitEntry>(entry(lib, "VALDMORA_SEARCH"));
        m.hessian = reinterpret_cast<HessianEntry>(entry(lib, "VALDMORA_HESSIAN"));
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
