// SPDX-License-Identifier: GPL-3.0-or-later
// Programs run as a user runs them: a command line, an environment, a working folder, the
// exit status and what was printed; started in the background for signals and for two
// runs at once.
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

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

#ifdef _WIN32
// The same on Windows: CreateProcessW with a quoted command line, stdout and stderr
// redirected to files; there are no signals to send.
class Process {
public:
    Process(const std::string& program, const std::vector<std::string>& args, const std::filesystem::path& dir,
            const std::vector<std::string>& env = {}, const std::string& tag = "run")
        : out_(dir / ("." + tag + ".out")), err_(dir / ("." + tag + ".err")) {
        std::wstring line = quoted(wide(program));
        for (const std::string& a : args) line += L" " + quoted(wide(a));
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        const HANDLE o = CreateFileW(out_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
        const HANDLE e = CreateFileW(err_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
        STARTUPINFOW si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        si.hStdOutput = o;
        si.hStdError = e;
        // the current environment with the given entries added or replaced
        std::wstring block;
        {
            wchar_t* current = GetEnvironmentStringsW();
            for (const wchar_t* v = current; *v; v += wcslen(v) + 1) {
                const std::wstring entry(v);
                bool replaced = false;
                for (const std::string& kv : env)
                    if (entry.compare(0, kv.find('=') + 1, wide(kv.substr(0, kv.find('=') + 1))) == 0) replaced = true;
                if (!replaced) block += entry + L'\0';
            }
            FreeEnvironmentStringsW(current);
            for (const std::string& kv : env) block += wide(kv) + L'\0';
            block += L'\0';
        }
        // a group of its own, so that a Ctrl-Break can be sent to it alone
        if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                           CREATE_UNICODE_ENVIRONMENT | CREATE_NEW_PROCESS_GROUP, block.data(),
                           dir.c_str(), &si, &info_))
            CloseHandle(info_.hThread);
        else
            info_.hProcess = nullptr;
        CloseHandle(o);
        CloseHandle(e);
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process() {
        if (info_.hProcess && !waited_) TerminateProcess(info_.hProcess, 137);
        if (info_.hProcess) CloseHandle(info_.hProcess);
    }

    // Ctrl-Break, as a console sends it; false where there is no console to send it through
    bool send_ctrl_break() const {
        return info_.hProcess && GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, info_.dwProcessId) != 0;
    }

    Outcome wait(std::chrono::seconds timeout = std::chrono::seconds(120)) {
        Outcome r;
        if (!waited_ && info_.hProcess) {
            if (WaitForSingleObject(info_.hProcess, static_cast<DWORD>(timeout.count() * 1000)) != WAIT_OBJECT_0) {
                TerminateProcess(info_.hProcess, 137);
                WaitForSingleObject(info_.hProcess, INFINITE);
                status_ = -2;
            } else {
                DWORD code = 0;
                GetExitCodeProcess(info_.hProcess, &code);
                status_ = static_cast<int>(code);
            }
        } else if (!info_.hProcess) {
            status_ = 127;
        }
        waited_ = true;
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
    static std::wstring wide(const std::string& utf8) {
        return std::filesystem::path(std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size())).wstring();
    }
    // as the C runtime splits a command line back into arguments
    static std::wstring quoted(const std::wstring& a) {
        if (!a.empty() && a.find_first_of(L" \t\"") == std::wstring::npos) return a;
        std::wstring q = L"\"";
        std::size_t slashes = 0;
        for (wchar_t c : a) {
            if (c == L'\\') {
                ++slashes;
                continue;
            }
            q.append(c == L'"' ? 2 * slashes + 1 : slashes, L'\\');
            slashes = 0;
            q += c;
        }
        q.append(2 * slashes, L'\\');
        return q + L"\"";
    }

    PROCESS_INFORMATION info_{};
    bool waited_ = false;
    int status_ = -1;
    std::filesystem::path out_, err_;
};
#else
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

#endif

inline Outcome run_program(const std::string& program, const std::vector<std::string>& args,
                           const std::filesystem::path& dir, const std::vector<std::string>& env = {}) {
    Process p(program, args, dir, env);
    return p.wait();
}

}  // namespace valdmora::testing
