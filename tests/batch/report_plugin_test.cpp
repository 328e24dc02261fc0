// SPDX-License-Identifier: GPL-3.0-or-later
// The report through its plugin: the PDF made when the plugin lies beside the program, a
// message naming the file when it is missing, cut off or not the plugin, and the plugin's
// entry refusing what it cannot use with a code instead of an exception or a crash.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "report/report_plugin.h"
#include "testkit/process.h"
#include "testkit/scratch_dir.h"
#include "testkit/shared_library.h"

namespace fs = std::filesystem;
using valdmora::testing::Outcome;
using valdmora::testing::Process;

namespace {

const fs::path kBatch = VALDMORA_BATCH;
const fs::path kPlugin = VALDMORA_REPORT_PLUGIN;

class ReportPluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = valdmora::testing::make_scratch_dir("valdmora_report_plugin");
        fs::copy_file(VALDMORA_EXAMPLE_DATA, dir_ / "counts.txt");
    }
    void TearDown() override { fs::remove_all(dir_); }

    // The program in a folder of its own with the model library and, on Windows, the DLLs
    // it needs: everything but the report plugin.
    fs::path program_without_plugin() {
        const fs::path bin = dir_ / "bin";
        fs::create_directories(bin);
        fs::copy_file(kBatch, bin / kBatch.filename());
        for (const auto& e : fs::directory_iterator(kBatch.parent_path())) {
            const std::string name = e.path().filename().string();
#ifdef _WIN32
            const bool wanted = e.path().extension() == ".dll";
#else
            const bool wanted = name == "libvaldmora.so";
#endif
            if (wanted && name != kPlugin.filename().string()) fs::copy_file(e.path(), bin / name);
        }
        return bin / kBatch.filename();
    }

    fs::path dir_;
};

TEST_F(ReportPluginTest, TheReportIsPaintedByThePluginBesideTheProgram) {
    const Outcome r = valdmora::testing::run_program(kBatch.string(), {"report", "counts.txt", "--pdf", "r.pdf"}, dir_);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("wrote r.pdf"), std::string::npos) << r.out;
    EXPECT_EQ(Process::slurp(dir_ / "r.pdf").rfind("%PDF-", 0), 0u);
}

TEST_F(ReportPluginTest, AMissingOrBrokenPluginFailsTheReportAloneWithItsFileNamed) {
    const fs::path program = program_without_plugin();
    const fs::path plugin = program.parent_path() / kPlugin.filename();
    auto report = [&] {
        return valdmora::testing::run_program(program.string(), {"report", "../counts.txt", "--pdf", "r.pdf"},
                                              program.parent_path());
    };

    Outcome r = report();
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find(kPlugin.filename().string() + " is missing"), std::string::npos) << r.err;
#ifndef _WIN32  // (Wine may spell the folder otherwise)
    EXPECT_NE(r.err.find(plugin.string()), std::string::npos) << "the places searched: " << r.err;
#endif
    EXPECT_EQ(r.out, "") << "no work before the plugin is found";
    EXPECT_FALSE(fs::exists(plugin.parent_path() / "r.pdf"));
    // every other subcommand does without it
    r = valdmora::testing::run_program(program.string(), {"estimate", "../counts.txt", "--out", "."}, program.parent_path());
    EXPECT_EQ(r.status, 0) << r.err;

    const std::string whole = Process::slurp(kPlugin);
    std::ofstream(plugin, std::ios::binary) << whole.substr(0, whole.size() / 2);
    r = report();
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find(kPlugin.filename().string() + " cannot be used: it is cut off"), std::string::npos) << r.err;

    // a shared library, but not the plugin: the model library under its name
    fs::copy_file(kBatch.parent_path() / VALDMORA_MODEL_LIBRARY_NAME, plugin, fs::copy_options::overwrite_existing);
    r = report();
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("lacks its entry valdmora_report_pdf"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(plugin.parent_path() / "r.pdf"));
}

TEST_F(ReportPluginTest, TheEntryRefusesAnotherBuildAndMissingPagesWithACode) {
    // kept loaded to the end, as the program keeps it: Qt unloaded under the leak checker
    // would leave what it holds unreachable
    static const auto* lib = new valdmora::testing::SharedLibrary(kPlugin);
    ASSERT_TRUE(lib->loaded());
    const auto paint = reinterpret_cast<valdmora_report_pdf_entry>(lib->entry(VALDMORA_REPORT_ENTRY));
    ASSERT_NE(paint, nullptr);
    auto sink = [](void*, const char*, size_t) { return 0; };

    char message[256];
    // pages of another build are never read: null pages must not matter here
    EXPECT_EQ(paint("0.9-0000000000000000", nullptr, sink, nullptr, message, sizeof message), VALDMORA_REPORT_OTHER_BUILD);
    const std::string own_build = message;
    EXPECT_EQ(own_build.rfind(VALDMORA_VERSION "-", 0), 0u) << own_build;
    EXPECT_EQ(paint(nullptr, nullptr, sink, nullptr, message, sizeof message), VALDMORA_REPORT_OTHER_BUILD);

    EXPECT_EQ(paint(own_build.c_str(), nullptr, sink, nullptr, message, sizeof message), VALDMORA_REPORT_FAILED);
    EXPECT_NE(std::string(message).find("without pages"), std::string::npos) << message;
    // a message cut to its buffer still ends
    char tiny[5];
    EXPECT_EQ(paint(own_build.c_str(), nullptr, sink, nullptr, tiny, sizeof tiny), VALDMORA_REPORT_FAILED);
    EXPECT_EQ(std::string(tiny), "the ");
}

}  // namespace
