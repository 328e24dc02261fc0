// Programs run as a user runs them: a command line, an environment, a working folder, the
// exit status and what was printed; started in the background for signals and for two
// runs at once.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace valdmora::testing {

struct Outcome {
    int status = -1;  // exit status, or 128 + signal when killed by one
    std::string out, err;
};

class Process {
public:
    // Starts program with args in folder dir; env entries "NAME=value" are added to (or
    // replace) the current environment. stdout and stderr go to files in dir.
    Process(const std::string& program, const std::vector<std::string>& args, const std::filesystem::path& dir,
            const std::vector<std::string>& env = {}, const std::string& tag = "run")
        : out_(dir / ("." + tag + ".out")), err_(dir / ("." + tag + ".err")) {
        pid_ = ::fork();
        if (pid_ == 0) {
            if (::chdir(dir.c_str()) != 0) ::_exit(126);
            const int o = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(o, 1);
            ::dup2(e, 2);
            for (const std::string& kv : env) ::putenv(const_cast<char*>(kv.c_str()));
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process() {
        if (pid_ > 0 && !waited_) {
            ::kill(pid_, SIGKILL);
            wait();
        }
    }

    void signal(int sig) const { ::kill(pid_, sig); }

    // Waits at most timeout; a program still running then is killed (status -2).
    Outcome wait(std::chrono::seconds timeout = std::chrono::seconds(120)) {
        Outcome r;
        if (!waited_) {
            const auto end = std::chrono::steady_clock::now() + timeout;
            int status = 0;
            for (;;) {
                const pid_t w = ::waitpid(pid_, &status, WNOHANG);
                if (w == pid_) break;
                if (std::chrono::steady_clock::now() > end) {
                    ::kill(pid_, SIGKILL);
                    ::waitpid(pid_, &status, 0);
                    status_ = -2;
                    waited_ = true;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            if (!waited_) status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            waited_ = true;
        }
        r.status = status_;
        r.out = slurp(out_);
        r.err = slurp(err_);
        return r;
    }

    static std::string slurp(const std::filesystem::path& p) {
        std::ifstream f(p, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }

private:
    pid_t pid_ = -1;
    bool waited_ = false;
    int status_ = -1;
    std::filesystem::path out_, err_;
};

inline Outcome run_program(const std::string& program, const std::vector<std::string>& args,
                           const std::filesystem::path& dir, const std::vector<std::string>& env = {}) {
    Process p(program, args, dir, env);
    return p.wait();
}

}  // namespace valdmora::testing
