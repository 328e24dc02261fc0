// SPDX-License-Identifier: GPL-3.0-or-later
// A fresh directory for one test, named after the process and the running test so that
// parallel test processes never share one.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace valdmora::testing {

inline std::filesystem::path make_scratch_dir(const std::string& prefix) {
    const auto dir = std::filesystem::temp_directory_path() /
                     (prefix + "_" + std::to_string(::getpid()) + "_" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir);
    return dir;
}

}  // namespace valdmora::testing
