// SPDX-License-Identifier: GPL-3.0-or-later
/* The report plugin's one entry (libvaldmora_report.so, valdmora_report.dll): paints a
   report's pages as a PDF, so that valdmora-batch maps Qt only when a report is asked for.
   C linkage, and no exception crosses it: a failure comes back as a code and a message. */
#ifndef VALDMORA_REPORT_PLUGIN_H
#define VALDMORA_REPORT_PLUGIN_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VALDMORA_REPORT_ENTRY "valdmora_report_pdf"

enum {
    VALDMORA_REPORT_OK = 0,
    VALDMORA_REPORT_FAILED = 1,      /* message: why */
    VALDMORA_REPORT_OTHER_BUILD = 2  /* message: the plugin's own build */
};

/* The ward map as a PNG at 300 dpi: the same call, with a valdmora::MapPicture. */
#define VALDMORA_REPORT_PNG_ENTRY "valdmora_report_png"

/* Takes the PDF's bytes; 0 when it kept them. */
typedef int (*valdmora_report_sink)(void* context, const char* bytes, size_t size);

/* build: the caller's build (VALDMORA_REPORT_BUILD). pages: its valdmora::ReportPages, whose
   layout only the same build shares, so any other build is refused before they are read.
   The PDF goes to sink(context, ...) once, whole; message (message_size bytes, ended by a
   zero byte) says why when the code is not VALDMORA_REPORT_OK. */
typedef int (*valdmora_report_pdf_entry)(const char* build, const void* pages, valdmora_report_sink sink,
                                         void* context, char* message, size_t message_size);

typedef valdmora_report_pdf_entry valdmora_report_png_entry;

#ifdef __cplusplus
}
#endif

#endif
