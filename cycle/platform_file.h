// SPDX-License-Identifier: GPL-3.0-or-later
// The few file operations that differ between POSIX and Windows, for the atomic writer and
// the count file reader. Paths travel through the program as UTF-8 strings (on POSIX: the
// bytes as the system gave them) and become std::filesystem::path only here, so that a
// Windows name outside the ANSI code page survives.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace valdmora::platform {

std::filesystem::path path_from_utf8(const std::string& text);
std::string path_to_utf8(const std::filesystem::path& path);

using FileHandle = std::intptr_t;
constexpr FileHandle kNoFile = -1;

// What the atomic writer needs to know about the file it will replace.
struct Target {
    std::string problem;       // "" when it may be replaced or made
    bool exists = false;
    unsigned permissions = 0;  // POSIX mode bits to keep; unused on Windows
};
Target inspect_target(const std::filesystem::path& path);

// Creates a new file, failing with exists = true when the name is taken.
std::string create_new_file(const std::filesystem::path& path, FileHandle& handle, bool& exists);
void keep_permissions(FileHandle handle, unsigned permissions);
std::string write_all(FileHandle handle, std::string_view data);
// The data on the disk (fdatasync, FlushFileBuffers), then closed; closed either way.
std::string flush_and_close(FileHandle handle);
void close_file(FileHandle handle);
// Puts from in place of to in one step, replacing an existing file (rename; MoveFileExW
// with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH).
std::string replace_file(const std::filesystem::path& from, const std::filesystem::path& to);
void remove_file(const std::filesystem::path& path);
unsigned long process_id();
// "" when files can be made in the folder, else why not. On Windows the folder's access
// list decides, which only the attempt itself can tell.
std::string folder_write_problem(const std::filesystem::path& folder);

}  // namespace valdmora::platform
