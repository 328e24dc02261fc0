// SPDX-License-Identifier: GPL-3.0-or-later
// The whole batch on generated command lines and count data files, in a scratch folder of
// its own: every run must end with an exit status and a message (never a crash, an
// uncaught exception or a hang), and nothing is written outside the folder, for every
// path the options can name lies inside it.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "batch/batch.h"
#include "valdmora/modellib.h"

namespace fs = std::filesystem;

namespace {

const valdmora::ModelLibrary kLibrary{VALDMORA_FIT, VALDMORA_OBJECTIVE, VALDMORA_SEARCH};

// Bytes taken one at a time; a spent input gives zeros.
struct Bytes {
    const uint8_t* at;
    std::size_t left;
    uint8_t next() {
        if (left == 0) return 0;
        --left;
        return *at++;
    }
    template <class T>
    const char* pick(const std::vector<T>& from) {
        return from[next() % from.size()];
    }
};

// Values by kind; every path is relative and stays below the scratch folder.
const std::vector<const char*> kPaths{"counts.txt",  "./counts.txt", "out/r.csv", "r.csv",
                                      "link.csv",    "",             "out",       "out/../counts.txt",
                                      "nodir/x.csv", "esc\x1b]0;x\x07.csv", "out/ward_predictions.txt", "user.txt"};
const std::vector<const char*> kFolders{".", "out", "nodir", "", "counts.txt", "./out/"};
const std::vector<const char*> kNumbers{"", "0", "1", "3", "2.5", "-1", "1e-400", "1e400", "nan", "abc", "20", "50", " 7"};
const std::vector<const char*> kSmall{"", "0", "1", "2", "5", "-1", "x", "1.5"};
const std::vector<const char*> kLists{"", "0", "0,1", "0,1,2,3,4", "1,2", "a", "7", "0,,1", "0,1,1", "4"};
const std::vector<const char*> kSix{"10,0,0,0,0,0.25", "1,2,3", "", "10,1e300,0,0,0,1", "5,0.01,0,0,0,1",
                                    "x,0,0,0,0,1", "0,0,0,0,0,0", "-5,1,1,1,1,-1"};
const std::vector<const char*> kDists{"lognormal", "normal", "negbin", "", "poisson"};
const std::vector<const char*> kWards{"", "W1", "U1", "Atl\x1bntis", "w1"};

struct Option {
    const char* name;
    const std::vector<const char*>* values;  // null: a flag
};

const std::vector<Option> kEstimate{{"--dist", &kDists},     {"--free", &kLists},   {"--start", &kSix},
                                    {"--range", &kNumbers},  {"--ward", &kWards},   {"--out", &kFolders},
                                    {"--bootstrap", &kSmall}, {"--seed", &kNumbers}, {"--residuals", &kPaths},
                                    {"--json", nullptr},     {"--bogus", nullptr}};
const std::vector<Option> kSimulate{{"--file", &kPaths},   {"--surveys", &kSmall}, {"--dist", &kDists},
                                    {"--free", &kLists},   {"--true", &kSix},      {"--reps", &kSmall},
                                    {"--seed", &kNumbers}, {"--range", &kNumbers}, {"--bootstrap", &kSmall},
                                    {"--out", &kFolders},  {"--csv", &kPaths},     {"--json", nullptr}};
const std::vector<Option> kCompare{{"--json", nullptr}, {"--csv", &kPaths}, {"--help", nullptr}};

fs::path g_scratch, g_home;  // the run's folder, and the fuzzer's own for its corpus

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char name[] = "/tmp/valdmora_fuzz_batch_XXXXXX";
    if (!::mkdtemp(name)) std::abort();
    g_scratch = name;
    g_home = fs::current_path();
    // what the program prints is not looked at; its exceptions and crashes are
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    static std::ofstream null("/dev/null");
    std::cerr.rdbuf(null.rdbuf());
    std::cout.rdbuf(null.rdbuf());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    Bytes in{data, size};
    const uint8_t command = in.next() % 3;
    const std::vector<Option>& options = command == 0 ? kEstimate : command == 1 ? kSimulate : kCompare;
    std::vector<std::string> args{"valdmora-batch", command == 0 ? "estimate" : command == 1 ? "simulate" : "compare"};
    if (command != 1) args.emplace_back(in.pick(kPaths));
    for (int n = in.next() % 7; n > 0; --n) {
        const Option& o = options[in.next() % options.size()];
        args.emplace_back(o.name);
        if (o.values) args.emplace_back(in.pick(*o.values));
    }
    // a fresh folder: the data file from the rest of the input, an output folder, a link
    for (const auto& entry : fs::directory_iterator(g_scratch)) fs::remove_all(entry.path());
    fs::create_directory(g_scratch / "out");
    fs::create_symlink("out/linked.csv", g_scratch / "link.csv");
    std::ofstream(g_scratch / "counts.txt", std::ios::binary)
        .write(reinterpret_cast<const char*>(in.at), static_cast<std::streamsize>(in.left));

    fs::current_path(g_scratch);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int status = valdmora::batch_main(static_cast<int>(args.size()), argv.data(), &kLibrary);
    if (status != 0 && status != 1 && status != 2) __builtin_trap();
    if (fs::current_path() != g_scratch) __builtin_trap();
    fs::current_path(g_home);
    return 0;
}
