// What both programs are as processes: the name they were invoked by, how they start,
// and how they end on an error: one line on standard error, status 1.
#pragma once

// The first call of a program, before it opens any file. Keeps the name it was invoked
// by (argv0, native text), or own when there is none, and readies the process: a
// file-size limit fails a write instead of ending the process, a standard stream that
// was closed is opened on the null device so that no file the program opens takes its
// place, and standard output is noted as it stands (out.h).
void program_start(const char* argv0, const char* own);

// The name for the usage line, as program_start kept it.
const char* program_name();

// Prints the formatted message and a newline on standard error and exits with status 1.
// What the message quotes is escaped for a terminal (text.h) and written in the
// platform's text for it. patchscript's standard output is unbuffered, so nothing of its
// script follows this.
[[noreturn]] void error_exit(const char* format, ...) __attribute__((format(printf, 1, 2)));

// One line on standard error, as error_exit writes it, for a run that succeeds all the same.
void note(const char* format, ...) __attribute__((format(printf, 1, 2)));
