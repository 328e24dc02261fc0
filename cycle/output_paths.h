// SPDX-License-Identifier: GPL-3.0-or-later
// Outputs told apart by the file they reach, not by how their paths are spelt: an output
// must never replace the data it was computed from, nor another output of the same run.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace valdmora {

// A path the run reads or writes, and what it is called in a message ("the data file",
// "--residuals").
struct NamedPath {
    std::string role;
    std::string path;
};

// The path a write reaches: every link followed, one that points at nothing yet included.
std::string follow_links(const std::string& path);

// The first of taken that writing output would replace: the same device and inode after
// links, or, for a file not there yet, the same resolved folder and name.
std::optional<NamedPath> same_file_as(const std::string& output, const std::vector<NamedPath>& taken);

// Checks every output against the inputs and the outputs before it; "" or a message
// naming the clash.
std::string output_clash(const std::vector<NamedPath>& inputs, const std::vector<NamedPath>& outputs);

}  // namespace valdmora
