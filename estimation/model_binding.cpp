#include "model_binding.h"

#include <filesystem>
#include <mutex>

#include "cycle/user_error.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace valdmora {

const char* model_library_file() {
#if defined(_WIN32)
    return "valdmora.dll";
#elif defined(__APPLE__)
    return "libvaldmora.dylib";
#else
    return "libvaldmora.so";
#endif
}

namespace {

std::filesystem::path executable_dir() {
#if defined(_WIN32)
    wchar_t buf[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
    if (n == 0 || n == MAX_PATH) return {};
    return std::filesystem::path(buf).parent_path();
#else
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : exe.parent_path();
#endif
}

}  // namespace

std::vector<std::string> model_library_candidates() {
    std::vector<std::string> out;
    const auto dir = executable_dir();
    if (!dir.empty()) out.push_back((dir / model_library_file()).string());
    out.emplace_back(model_library_file());
    return out;
}

FitEntry bind_model_library_from(const std::vector<std::string>& candidates) {
    std::string tried, found_without_entry;
    for (const std::string& c : candidates) {
        tried += "\n  " + c;
#if defined(_WIN32)
        HMODULE lib = LoadLibraryA(c.c_str());
        if (!lib) continue;
        auto entry = reinterpret_cast<FitEntry>(GetProcAddress(lib, "N_E04JYF"));
#else
        void* lib = dlopen(c.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!lib) continue;
        auto entry = reinterpret_cast<FitEntry>(dlsym(lib, "N_E04JYF"));
#endif
        if (entry) return entry;  // stays loaded for the life of the program
        found_without_entry = c;
    }
    if (!found_without_entry.empty())
        throw UserError("The model library " + found_without_entry +
                            " was found but has no entry N_E04JYF; it may be from another program or damaged. "
                            "Reinstall valdmora.",
                        "Model library");
    throw UserError(std::string("The model library ") + model_library_file() +
                        " could not be found or loaded. Places searched:" + tried +
                        "\nReinstall valdmora so that the library lies beside the program.",
                    "Model library");
}

FitEntry bind_model_library() {
    static std::mutex lock;
    static FitEntry bound = nullptr;
    std::lock_guard<std::mutex> guard(lock);
    if (!bound) bound = bind_model_library_from(model_library_candidates());
    return bound;
}

}  // namespace valdmora
