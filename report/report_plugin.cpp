// SPDX-License-Identifier: GPL-3.0-or-later
// The report plugin: the painter behind a C entry, with the Qt GUI application it needs.
#include "report_plugin.h"

#include <QGuiApplication>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>

#include "pdf_painter.h"

#ifdef _WIN32
#define VALDMORA_REPORT_EXPORT __declspec(dllexport)
#else
#define VALDMORA_REPORT_EXPORT __attribute__((visibility("default")))
#endif

namespace {

void say(char* message, size_t size, const char* text) {
    if (!message || size == 0) return;
    const size_t n = std::min(std::strlen(text), size - 1);
    std::memcpy(message, text, n);
    message[n] = '\0';
}

// The PDF writer wants Qt's fonts, and so a GUI application: off screen where there is no
// display to show anything on. It lives as long as the program, as the plugin does.
void ensure_gui_application() {
    if (QGuiApplication::instance()) return;
#if defined(__linux__)
    if (!std::getenv("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
    static int argc = 1;
    static char name[] = "valdmora-batch";
    static char* argv[] = {name, nullptr};
    static std::unique_ptr<QGuiApplication> app = std::make_unique<QGuiApplication>(argc, argv);
}

}  // namespace

extern "C" VALDMORA_REPORT_EXPORT int valdmora_report_pdf(const char* build, const void* pages, valdmora_report_sink sink,
                                                          void* context, char* message, size_t message_size) {
    try {
        if (!build || std::strcmp(build, VALDMORA_REPORT_BUILD) != 0) {
            say(message, message_size, VALDMORA_REPORT_BUILD);
            return VALDMORA_REPORT_OTHER_BUILD;
        }
        if (!pages || !sink) {
            say(message, message_size, "the report plugin was called without pages or a place for the PDF");
            return VALDMORA_REPORT_FAILED;
        }
        ensure_gui_application();
        const std::string pdf = valdmora::paint_report_pdf(*static_cast<const valdmora::ReportPages*>(pages));
        if (sink(context, pdf.data(), pdf.size()) != 0) {
            say(message, message_size, "There is not enough memory for the report.");
            return VALDMORA_REPORT_FAILED;
        }
        return VALDMORA_REPORT_OK;
    } catch (const std::bad_alloc&) {
        say(message, message_size, "There is not enough memory for the report.");
    } catch (const std::exception& e) {
        say(message, message_size, e.what());
    } catch (...) {
        say(message, message_size, "the report plugin failed without saying why");
    }
    return VALDMORA_REPORT_FAILED;
}

extern "C" VALDMORA_REPORT_EXPORT int valdmora_report_png(const char* build, const void* picture, valdmora_report_sink sink,
                                                          void* context, char* message, size_t message_size) {
    try {
        if (!build || std::strcmp(build, VALDMORA_REPORT_BUILD) != 0) {
            say(message, message_size, VALDMORA_REPORT_BUILD);
            return VALDMORA_REPORT_OTHER_BUILD;
        }
        if (!picture || !sink) {
            say(message, message_size, "the report plugin was called without a map or a place for the PNG");
            return VALDMORA_REPORT_FAILED;
        }
        ensure_gui_application();
        const std::string png = valdmora::paint_map_png(*static_cast<const valdmora::MapPicture*>(picture));
        if (png.empty()) {
            say(message, message_size, "There is not enough memory for the map's image.");
            return VALDMORA_REPORT_FAILED;
        }
        if (sink(context, png.data(), png.size()) != 0) {
            say(message, message_size, "There is not enough memory for the map's image.");
            return VALDMORA_REPORT_FAILED;
        }
        return VALDMORA_REPORT_OK;
    } catch (const std::bad_alloc&) {
        say(message, message_size, "There is not enough memory for the map's image.");
    } catch (const std::exception& e) {
        say(message, message_size, e.what());
    } catch (...) {
        say(message, message_size, "the report plugin failed without saying why");
    }
    return VALDMORA_REPORT_FAILED;
}
