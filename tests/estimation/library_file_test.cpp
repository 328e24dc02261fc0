// SPDX-License-Identifier: GPL-3.0-or-later
// The whole-file check of a Windows model library, on a small DLL image laid out by hand:
// a copy cut off anywhere the loader or the symbols reach is refused before it is loaded.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "estimation/model_binding.h"

using valdmora::check_pe_library;

namespace {

void put(std::string& f, std::size_t at, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) f[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

// MZ at 0, PE header at 0x80, an optional header of 0xf0 bytes, two sections whose raw
// data lie at 0x400 (0x200 bytes) and 0x600 (0x200 bytes), then ten symbols and their
// 0x40-byte string table: 0x800 + 180 + 0x40 bytes in all.
std::string small_dll(uint16_t machine = 0x8664, uint16_t characteristics = 0x2022) {
    std::string f(0x800 + 18 * 10 + 0x40, '\0');
    f[0] = 'M', f[1] = 'Z';
    put(f, 0x3c, 0x80, 4);
    f.replace(0x80, 4, std::string("PE\0\0", 4));
    put(f, 0x84, machine, 2);
    put(f, 0x86, 2, 2);          // sections
    put(f, 0x8c, 0x800, 4);      // symbol table
    put(f, 0x90, 10, 4);         // symbols
    put(f, 0x94, 0xf0, 2);       // optional header size
    put(f, 0x96, characteristics, 2);
    const std::size_t table = 0x80 + 24 + 0xf0;
    put(f, table + 16, 0x200, 4), put(f, table + 20, 0x400, 4);
    put(f, table + 40 + 16, 0x200, 4), put(f, table + 40 + 20, 0x600, 4);
    put(f, 0x800 + 18 * 10, 0x40, 4);  // the string table's size, its own 4 bytes included
    return f;
}

}  // namespace

TEST(ModelLibraryFile, AWholeDllPassesAndEveryCutIsRefused) {
    const std::string whole = small_dll();
    EXPECT_EQ(check_pe_library(whole, 0x8664), "");
    for (std::size_t cut : {0x40u, 0x90u, 0x1a0u, 0x500u, 0x7ffu, 0x810u, static_cast<unsigned>(whole.size() - 1)}) {
        const std::string problem = check_pe_library(whole.substr(0, cut), 0x8664);
        EXPECT_EQ(problem.rfind("it is cut off", 0), 0u) << cut << ": " << problem;
    }
    // without symbols the last section ends the file
    std::string stripped = whole.substr(0, 0x800);
    put(stripped, 0x8c, 0, 4), put(stripped, 0x90, 0, 4);
    EXPECT_EQ(check_pe_library(stripped, 0x8664), "");
    EXPECT_NE(check_pe_library(stripped.substr(0, 0x7f0), 0x8664), "");
}

TEST(ModelLibraryFile, OtherFilesAreNamedForWhatTheyAre) {
    EXPECT_EQ(check_pe_library(small_dll(0x14c), 0x8664), "it is built for another kind of machine");
    EXPECT_EQ(check_pe_library(small_dll(0x8664), 0x14c), "it is built for another kind of machine");
    EXPECT_EQ(check_pe_library(small_dll(0x8664, 0x0022), 0x8664), "it is not a DLL");
    EXPECT_EQ(check_pe_library(std::string(4096, 'x'), 0x8664), "it is not a DLL (no MZ header)");
    std::string elf = small_dll();
    elf.replace(0x80, 4, "\x7f" "ELF");
    EXPECT_EQ(check_pe_library(elf, 0x8664), "it is not a DLL (no PE header)");
}
