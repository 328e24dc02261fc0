#include "stop_request.h"

#include <atomic>

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

}  // namespace

bool stop_requested() { return g_request.load() != 0; }
int stop_request_exit_status() { return 128 + g_request.load(); }

#ifdef _WIN32

namespace {

std::atomic<DWORD> g_event{CTRL_C_EVENT};
HANDLE g_written = nullptr;

BOOL WINAPI on_console_event(DWORD event) {
    g_event = event;
    g_request = event == CTRL_C_EVENT ? 2 : 15;
    // Windows ends the program when this returns from a close, log-off or shut-down,
    // giving it about five seconds: wait for the rows to be written
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(g_written, 4500);
    return TRUE;
}

}  // namespace

void watch_for_stop_requests() {
    if (!g_written) g_written = CreateEventW(nullptr, TRUE, FALSE, nullptr);
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
    if (!wide) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i) out.push_back(platform::path_to_utf8(std::filesystem::path(wide[i])));
    LocalFree(wide);
    return out;
}

#else

namespace {
extern "C" void on_stop_signal(int signal) { g_request = signal; }
}  // namespace

void watch_for_stop_requests() {
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

}  // namespace valdmora
