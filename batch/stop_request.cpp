// SPDX-License-Identifier: GPL-3.0-or-later
#include "stop_request.h"

#include <cstring>
#include <iostream>

#include "cycle/atomic_file.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <shellapi.h>

#include "cycle/platform_file.h"
#else
#include <unistd.h>

#include <csignal>
#endif

namespace valdmora {
namespace {

// 0, or what asked: 2 interrupt (SIGINT, Ctrl-C), 15 terminate (the rest)
std::atomic<int> g_request{0};
std::atomic<std::atomic<bool>*> g_cancel{nullptr};
std::atomic<bool> g_keep_rows{false};

// Notes a request; true when the program is to end now (not a simulation's first).
bool note_request(int request) {
    const bool again = g_request.exchange(request) != 0;
    if (std::atomic<bool>* cancel = g_cancel.load()) cancel->store(true);
    return !(g_keep_rows.load() && !again);
}

void say_stopped() {
    char say[64] = "stopped by ";
    std::strncat(say, stop_request_name(), sizeof say - 13);
    std::strcat(say, "\n");
#ifdef _WIN32
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), say, static_cast<DWORD>(std::strlen(say)), &written, nullptr);
#else
    (void)!::write(2, say, std::strlen(say));
#endif
}

}  // namespace

bool stop_requested() { return g_request.load() != 0; }
int stop_request_exit_status() { return 128 + g_request.load(); }

#ifdef _WIN32

namespace {

std::atomic<DWORD> g_event{CTRL_C_EVENT};
HANDLE g_written = nullptr;

BOOL WINAPI on_console_event(DWORD event) {
    g_event = event;
    if (note_request(event == CTRL_C_EVENT ? 2 : 15)) {
        remove_live_temporaries();
        say_stopped();
        // the main thread may hold any lock: no exit handlers
        TerminateProcess(GetCurrentProcess(), static_cast<UINT>(stop_request_exit_status()));
    }
    // Windows ends the program when this returns from a close, log-off or shut-down,
    // giving it about five seconds: wait for the rows to be written
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(g_written, 4500);
    return TRUE;
}

}  // namespace

void watch_for_stop_requests(std::atomic<bool>* cancel, bool keep_rows) {
    g_request = 0;
    g_event = CTRL_C_EVENT;
    g_cancel = cancel;
    g_keep_rows = keep_rows;
    if (!g_written) g_written = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ResetEvent(g_written);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

const char* stop_request_name() {
    switch (g_event.load()) {
        case CTRL_C_EVENT: return "Ctrl-C";
        case CTRL_BREAK_EVENT: return "Ctrl-Break";
        default: return "closing the console";
    }
}

void stop_request_handled() {
    if (g_written) SetEvent(g_written);
}

bool stderr_is_terminal() { return _isatty(2) != 0; }

void plain_line_ends() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

std::vector<std::string> utf8_arguments(int argc, char** argv) {
    int n = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &n);
    // arguments that are not this process's own command line (a caller's) stay as given
    if (!wide || n != argc) {
        if (wide) LocalFree(wide);
        return std::vector<std::string>(argv, argv + argc);
    }
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i) out.push_back(platform::path_to_utf8(std::filesystem::path(wide[i])));
    LocalFree(wide);
    return out;
}

#else

namespace {

extern "C" void on_stop_signal(int signal) {
    if (!note_request(signal)) return;
    remove_live_temporaries();
    say_stopped();
    ::_exit(128 + signal);
}

}  // namespace

void watch_for_stop_requests(std::atomic<bool>* cancel, bool keep_rows) {
    g_request = 0;
    g_cancel = cancel;
    g_keep_rows = keep_rows;
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

const char* stop_request_name() { return g_request.load() == SIGINT ? "SIGINT" : "SIGTERM"; }
void stop_request_handled() {}
bool stderr_is_terminal() { return ::isatty(2) != 0; }
void plain_line_ends() {}

std::vector<std::string> utf8_arguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

#endif

int stopped_exit_status() {
    std::cerr << "stopped by " << stop_request_name() << "\n";
    stop_request_handled();
    return stop_request_exit_status();
}

}  // namespace valdmora
