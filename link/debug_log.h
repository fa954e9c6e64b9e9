#pragma once
// The link library's log: time-stamped lines on the terminal and in per-day files
// log/<YYMMDD>/<XX>_<name>.log under the current directory, the terminal's colours, and the filter
// that turns the phone's diagnostic text frames (first byte '@') into log lines.
#include <cstdint>
#include <cstdio>

extern "C" {

// Formats one line; name null: terminal only. Returns 1.
int DBG_MSG(const char* name, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Logs "{text}"; returns the text's length.
int DBG_MSGSTR(const char* name, const char* text);
// Logs the bytes as "{7E 01 }"; returns 1.
int DBG_MSGBUF(const char* name, const uint8_t* bytes, int count);
// The value printed in hexadecimal at the start of log file names; returns it.
intptr_t DBG_SetDebugLine(intptr_t value);

// The console window is the process's terminal: these do nothing (and return 0) when standard
// output is not a terminal.
int OpenDebugWindow(void);
int ClearDebugWindow(void);
int ClosedDebugWindow(void);
int DebugWindowSetColor(int attribute);

// text[0] == '@': logs the text with its level letter and returns 0 (text is changed, and
// text[length] must have room for a terminating zero). Anything else: returns length.
int pctsdebugfilter(const char* name, char* text, int length);
// "<file>(<line>):<message>" logged as a diagnostic line of the given level.
int pctslprintf(const char* name, const char* source_path, int line, int level, const char* format,
                ...) __attribute__((format(printf, 5, 6)));
// Logs "PCTSERROR = <-code-1000>" at level 8 under the name "PCTSERROR".
int pctserror(const char* source_path, int line, int code);

} // extern "C"

namespace quillon {

// Tests: sends terminal output to f instead (colour sequences included when colours is true);
// nullptr goes back to standard output when it is a terminal.
void SetDebugConsole(std::FILE* f, bool colours);
// The ANSI sequence for a console colour attribute (foreground in the low four bits: blue 1,
// green 2, red 4, bright 8; background in the next four).
void ColourSequence(int attribute, char* out, size_t size);

} // namespace quillon
