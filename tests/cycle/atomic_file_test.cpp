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

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "cycle/atomic_file.h"
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
