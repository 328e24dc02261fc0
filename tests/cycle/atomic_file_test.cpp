// SPDX-License-Identifier: GPL-3.0-or-later
// Files written whole or not at all, and only where the user meant: a link keeps pointing
// at the file it named, a protected file stays, a long name still fits its temporary.
#include <gtest/gtest.h>
#include <unistd.h>
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/wait.h>
#endif

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "cycle/atomic_file.h"
#include "cycle/csv.h"
#include "cycle/output_paths.h"
#include "cycle/platform_file.h"

using namespace valdmora;
namespace fs = std::filesystem;

namespace {

class AtomicFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("valdmora_atomic_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path(const std::string& name) const {
        return platform::path_to_utf8(dir_ / platform::path_from_utf8(name));
    }
    static std::string content(const std::string& p) {
        std::ifstream in(platform::path_from_utf8(p), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // nothing but the files named: no temporary left behind
    std::size_t entries() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
    }
    fs::path dir_;
};

}  // namespace

TEST_F(AtomicFileTest, ReplacesWholeAndLeavesNoTemporary) {
    ASSERT_EQ(write_file_atomically(path("a.txt"), "old"), "");
    ASSERT_EQ(write_file_atomically(path("a.txt"), "new content"), "");
    EXPECT_EQ(content(path("a.txt")), "new content");
    EXPECT_EQ(entries(), 1u);
    // a file left uncommitted is abandoned and the old one stays
    {
        AtomicFile f;
        ASSERT_EQ(f.open(path("a.txt")), "");
        ASSERT_EQ(f.write("half"), "");
    }
    EXPECT_EQ(content(path("a.txt")), "new content");
    EXPECT_EQ(entries(), 1u);
}

#ifndef _WIN32
TEST_F(AtomicFileTest, ALinkStaysALinkAndItsFileIsReplaced) {
    ASSERT_EQ(write_file_atomically(path("real.txt"), "old"), "");
    fs::create_symlink("real.txt", dir_ / "link.txt");
    ASSERT_EQ(write_file_atomically(path("link.txt"), "through the link"), "");
    EXPECT_TRUE(fs::is_symlink(dir_ / "link.txt"));
    EXPECT_EQ(content(path("real.txt")), "through the link");
    EXPECT_EQ(entries(), 2u);
}

#endif

// a name beyond the ANSI code page and outside Latin-1 is the file's name, letter for letter
TEST_F(AtomicFileTest, ANameInAnyScriptIsKept) {
    const std::string name = "Wards \xc3\xa5 \xce\xa9 \xe5\x8c\x97.txt";  // å, Omega, a CJK letter
    ASSERT_EQ(write_file_atomically(path(name), "first"), "");
    ASSERT_EQ(write_file_atomically(path(name), "second"), "");
    EXPECT_EQ(content(path(name)), "second");
    ASSERT_EQ(entries(), 1u);
    EXPECT_EQ(platform::path_to_utf8(fs::directory_iterator(dir_)->path().filename()), name);
}

TEST_F(AtomicFileTest, ALongNameStillGetsItsTemporary) {
    const std::string name(250, 'n');
    ASSERT_EQ(write_file_atomically(path(name), "x"), "");
    EXPECT_EQ(content(path(name)), "x");
    EXPECT_EQ(entries(), 1u);
}

#ifdef _WIN32
// A spreadsheet holding the file open: a clear message, and the old file stays whole.
TEST_F(AtomicFileTest, AFileHeldOpenElsewhereIsKeptAndSaidSo) {
    ASSERT_EQ(write_file_atomically(path("held.csv"), "old"), "");
    const HANDLE held = CreateFileW((dir_ / "held.csv").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const std::string e = write_file_atomically(path("held.csv"), "new");
    CloseHandle(held);
    EXPECT_NE(e.find("open in another program"), std::string::npos) << e;
    EXPECT_EQ(content(path("held.csv")), "old");
    EXPECT_EQ(entries(), 1u);
    // a read-only file is refused, a folder is not replaced
    ASSERT_TRUE(SetFileAttributesW((dir_ / "held.csv").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_NE(write_file_atomically(path("held.csv"), "x").find("read-only"), std::string::npos);
    SetFileAttributesW((dir_ / "held.csv").c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(write_file_atomically(dir_.string(), "x"), "it is a folder");
    EXPECT_NE(write_file_atomically(path("no\\such\\folder\\a.txt"), "x").find("does not exist"), std::string::npos);
}
#else
TEST_F(AtomicFileTest, FoldersDevicesAndProtectedFilesAreRefused) {
    EXPECT_NE(write_file_atomically(path("no/such/folder/a.txt"), "x").find("does not exist"), std::string::npos);
    EXPECT_EQ(write_file_atomically(dir_.string(), "x"), "it is a folder");
    EXPECT_NE(write_file_atomically("/dev/null", "x").find("not a regular file"), std::string::npos);
    // a protected file in a folder anyone may write: its rename would need only the folder
    ASSERT_EQ(write_file_atomically(path("kept.txt"), "kept"), "");
    ::chmod(path("kept.txt").c_str(), 0444);
    ::chmod(dir_.c_str(), 0777);
    const auto attempt = [&] { return write_file_atomically(path("kept.txt"), "x"); };
    if (::geteuid() != 0) {
        EXPECT_NE(attempt(), "");
    } else {
        // root may write any file: the attempt is made as nobody, as a user would make it
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
            ::_exit(attempt().empty() ? 1 : 0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the protected file was replaced; 3: no user to try as";
    }
    EXPECT_EQ(content(path("kept.txt")), "kept");
    EXPECT_EQ(entries(), 1u);
}
#endif

TEST(CsvRow, NamesQuotedAndGuardedNumbersLeftAsNumbers) {
    EXPECT_EQ(CsvRow().text("Hill, North").text("say \"hi\"").text("two\nlines").line(),
              "\"Hill, North\",\"say \"\"hi\"\"\",\"two\nlines\"\n");
    for (const char* formula : {"=1+1", "+1", "-1", "@SUM(A1)"})
        EXPECT_EQ(csv_text_cell(formula), std::string("'") + formula) << formula;
    EXPECT_EQ(csv_text_cell("=A1,B1"), "\"'=A1,B1\"");
    EXPECT_EQ(CsvRow().number(-1.5).number(std::nan("")).whole(-3).number(2.5f).empty().line(), "-1.5,,-3,2.5,\n");
}

#ifndef _WIN32
TEST_F(AtomicFileTest, OutputsAreToldApartByTheFileTheyReach) {
    std::ofstream(dir_ / "data.txt") << "x";
    fs::create_hard_link(dir_ / "data.txt", dir_ / "hard.txt");
    fs::create_symlink("data.txt", dir_ / "soft.txt");
    fs::create_symlink("new.csv", dir_ / "dangling.csv");
    const std::vector<NamedPath> data{{"the data file", (dir_ / "data.txt").string()}};
    for (const fs::path& same : {dir_ / "hard.txt", dir_ / "soft.txt", dir_ / "." / "data.txt"})
        EXPECT_TRUE(same_file_as(same.string(), data)) << same;
    EXPECT_FALSE(same_file_as((dir_ / "other.txt").string(), data));
    // files not there yet: by resolved folder and name, a dangling link by what it names
    const std::vector<NamedPath> planned{{"--csv", (dir_ / "new.csv").string()}};
    EXPECT_TRUE(same_file_as((dir_ / "dangling.csv").string(), planned));
    EXPECT_TRUE(same_file_as((dir_ / "." / "new.csv").string(), planned));
    EXPECT_FALSE(same_file_as((dir_ / "New.csv").string(), planned));
    EXPECT_NE(output_clash(data, {{"--residuals", (dir_ / "soft.txt").string()}}).find("is the data file"),
              std::string::npos);
    EXPECT_NE(output_clash({}, {{"--csv", (dir_ / "a.csv").string()}, {"--residuals", (dir_ / "./a.csv").string()}})
                  .find("is --csv"),
              std::string::npos);
    EXPECT_EQ(output_clash(data, {{"--csv", ""}, {"--residuals", (dir_ / "r.csv").string()}}), "");
}

TEST_F(AtomicFileTest, AReplacedFileKeepsItsPermissionBits) {
    for (mode_t mode : {0600, 0640, 0664, 0755}) {
        const std::string p = path("mode.txt");
        ASSERT_EQ(write_file_atomically(p, "old"), "");
        ASSERT_EQ(::chmod(p.c_str(), mode), 0);
        ASSERT_EQ(write_file_atomically(p, "new"), "");
        struct stat st {};
        ASSERT_EQ(::stat(p.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode) << std::oct << mode;
        EXPECT_EQ(content(p), "new");
    }
    // through a link the file it names keeps its bits, and the link stays
    ASSERT_EQ(write_file_atomically(path("target.txt"), "old"), "");
    ASSERT_EQ(::chmod(path("target.txt").c_str(), 0600), 0);
    fs::create_symlink("target.txt", dir_ / "link.txt");
    ASSERT_EQ(write_file_atomically(path("link.txt"), "new"), "");
    struct stat st {};
    ASSERT_EQ(::stat(path("target.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_TRUE(fs::is_symlink(dir_ / "link.txt"));
}
#endif

TEST(NotWrittenMessage, OneWordingWithThePathAsMessagesQuoteIt) {
    EXPECT_EQ(not_written_message("out/user.txt", "it is a folder"), "The file out/user.txt could not be written: it is a folder.");
    // a path from a command line or a file reaches the terminal escaped, and cut when long
    const std::string shown = not_written_message("a\x1b[2Jb.csv", "Permission denied");
    EXPECT_EQ(shown.find('\x1b'), std::string::npos) << shown;
    EXPECT_NE(shown.find("[2Jb.csv could not be written: Permission denied."), std::string::npos) << shown;
    const std::string long_path = std::string(500, 'd') + "/x.csv";
    EXPECT_LT(not_written_message(long_path, "No space left on device").size(), 300u);
    // a path the user has just chosen: the caller ends the sentence, after what did get written
    EXPECT_EQ(not_written_message("chart", "/tmp/c.png", "disk full"), "The chart could not be written to /tmp/c.png: disk full");
}
