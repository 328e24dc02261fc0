// SPDX-License-Identifier: GPL-3.0-or-later
// Every file the program writes goes through here: a temporary file in the same folder,
// every write and the close checked, then a rename over the old file. A full disk, a crash,
// a signal or a second process at the same time leaves either the old file or the new one
// whole, never a cut-off file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace valdmora {

class AtomicFile {
public:
    AtomicFile() = default;
    ~AtomicFile();  // a file not committed is removed, the old one stays
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Opens a temporary file beside path. Returns "" or why it cannot be written ("the
    // folder ... does not exist", "is a folder", "Permission denied", ...).
    std::string open(const std::string& path);
    // Appends; after a failure the file is lost and every later call reports it.
    std::string write(std::string_view data);
    // Closes and renames the temporary file over path.
    std::string commit();
    bool is_open() const { return fd_ != -1; }
    const std::string& path() const { return path_; }

private:
    void discard();
    std::intptr_t fd_ = -1;  // platform::FileHandle
    int slot_ = -1;          // the temporary file's entry among the live ones
    std::string path_, temp_, error_;
};

// Unlinks every temporary file not yet renamed; safe to call from a signal handler (on
// Windows from the console's handler thread), which then ends the program.
void remove_live_temporaries() noexcept;

// The whole content at once; "" or why the file could not be written.
std::string write_file_atomically(const std::string& path, std::string_view content);

// What the user reads when a write failed, in one wording everywhere. A file of the run:
// "The file <path> could not be written: <why>." (the path escaped and cut as messages
// quote it). A chart or table saved under a path the user just chose, thing naming it:
// "The chart could not be written to <path>: <why>", left open so that the caller can say
// what did get written before ending the sentence.
std::string not_written_message(const std::string& path, std::string_view why);
std::string not_written_message(std::string_view thing, std::string_view path, std::string_view why);

}  // namespace valdmora
