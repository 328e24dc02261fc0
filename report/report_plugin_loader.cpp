// SPDX-License-Identifier: GPL-3.0-or-later
#include "report_plugin_loader.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <filesystem>
#include <new>

#include "cycle/platform_file.h"
#include "cycle/user_error.h"
#include "estimation/model_binding.h"

namespace valdmora {

namespace {

constexpr const char* kWhat = "Report plugin";

#ifdef _WIN32
std::filesystem::path program_dir() {
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

// The plugin's own dependencies (Qt, the runtime) from its own folder first.
void* open_plugin(const std::string& path, std::string& why) {
    HMODULE lib = LoadLibraryExW(platform::path_from_utf8(path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!lib) {
        const DWORD code = GetLastError();
        wchar_t* text = nullptr;
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
        why = text ? platform::path_to_utf8(text) : "error " + std::to_string(code);
        if (text) LocalFree(text);
        while (!why.empty() && (why.back() == '\n' || why.back() == '\r' || why.back() == ' ' || why.back() == '.'))
            why.pop_back();
    }
    return reinterpret_cast<void*>(lib);
}

void* entry(void* lib, const char* name = VALDMORA_REPORT_ENTRY) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(lib), name));
}
#else
std::filesystem::path program_dir() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : exe.parent_path();
}

void* open_plugin(const std::string& path, std::string& why) {
    void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        const char* e = dlerror();
        why = e ? e : "the loader gave no reason";
    }
    return lib;
}

void* entry(void* lib, const char* name = VALDMORA_REPORT_ENTRY) { return dlsym(lib, name); }
#endif

int keep_bytes(void* context, const char* bytes, size_t size) {
    try {
        static_cast<std::string*>(context)->assign(bytes, size);
        return 0;
    } catch (const std::bad_alloc&) {
        return 1;
    }
}

}  // namespace

const char* report_plugin_file() {
#ifdef _WIN32
    return "valdmora_report.dll";
#else
    return "libvaldmora_report.so";
#endif
}

std::vector<std::string> report_plugin_candidates() {
    std::vector<std::string> out;
    const std::filesystem::path dir = program_dir();
    if (dir.empty()) return out;
    out.push_back(platform::path_to_utf8(dir / report_plugin_file()));
#ifdef VALDMORA_REPORT_PLUGIN_FROM_BINDIR
    out.push_back(platform::path_to_utf8((dir / VALDMORA_REPORT_PLUGIN_FROM_BINDIR / report_plugin_file()).lexically_normal()));
#endif
    return out;
}

ReportPlugin load_report_plugin(const std::vector<std::string>& candidates) {
    std::string searched;
    for (const std::string& c : candidates) {
        searched += "\n  " + c;
        std::error_code ec;
        if (!std::filesystem::exists(platform::path_from_utf8(c), ec)) continue;
        // a cut-off copy would pass the loader and crash at its first call
        const std::string problem = check_shared_library_file(c);
        if (!problem.empty())
            throw UserError("The report plugin " + c + " cannot be used: " + problem +
                                ". Reinstall valdmora so that a whole copy lies beside the program.",
                            kWhat);
        std::string why;
        void* lib = open_plugin(c, why);
        if (!lib)
            throw UserError("The report plugin " + c + " could not be loaded: " + why +
                                ". The report needs Qt's libraries; reinstall valdmora.",
                            kWhat);
        ReportPlugin p;
        p.path = c;
        p.paint = reinterpret_cast<valdmora_report_pdf_entry>(entry(lib));
        p.paint_png = reinterpret_cast<valdmora_report_png_entry>(entry(lib, VALDMORA_REPORT_PNG_ENTRY));
        if (!p.paint)
            throw UserError("The report plugin " + c + " lacks its entry " VALDMORA_REPORT_ENTRY
                            "; it may be from another program, or damaged. Reinstall valdmora.",
                            kWhat);
        return p;  // stays loaded for the life of the program: its Qt application lives there
    }
    throw UserError(std::string("The report plugin ") + report_plugin_file() +
                        " is missing, and the report needs it to write the PDF. Places searched:" + searched +
                        "\nReinstall valdmora so that it lies in one of these places.",
                    kWhat);
}

std::string ReportPlugin::pdf(const ReportPages& pages) const {
    std::string bytes;
    char message[1024] = {};
    const int code = paint(VALDMORA_REPORT_BUILD, &pages, keep_bytes, &bytes, message, sizeof message);
    if (code == VALDMORA_REPORT_OK) return bytes;
    if (code == VALDMORA_REPORT_OTHER_BUILD)
        throw UserError("The report plugin " + path + " belongs to another build of valdmora (" + message +
                            "; this program is " VALDMORA_REPORT_BUILD "). Reinstall valdmora.",
                        kWhat);
    throw UserError(std::string("The report could not be made: ") + message, kWhat);
}

std::string ReportPlugin::png(const MapPicture& picture) const {
    if (!paint_png)
        throw UserError("The report plugin " + path + " lacks its entry " VALDMORA_REPORT_PNG_ENTRY
                        "; it may be from an older valdmora. Reinstall valdmora.",
                        kWhat);
    std::string bytes;
    char message[1024] = {};
    const int code = paint_png(VALDMORA_REPORT_BUILD, &picture, keep_bytes, &bytes, message, sizeof message);
    if (code == VALDMORA_REPORT_OK) return bytes;
    if (code == VALDMORA_REPORT_OTHER_BUILD)
        throw UserError("The report plugin " + path + " belongs to another build of valdmora (" + message +
                            "; this program is " VALDMORA_REPORT_BUILD "). Reinstall valdmora.",
                        kWhat);
    throw UserError(std::string("The map's image could not be made: ") + message, kWhat);
}

}  // namespace valdmora
