// Console output of wavmatch2, the one way the aligner's phases speak (another
// program that runs them links its own version of these functions). Every message goes through a printf-style
// format to standard output, which behaves as a text-mode stream: each line feed leaves the program as CR LF,
// so a message that ends in "\r\n" leaves as CR CR LF, as the program's users have always seen it.
#pragma once

#include <cstdio>
#include <string>

#if defined(__GNUC__)
#define WAVMATCH_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define WAVMATCH_PRINTF(f, a)
#endif

void say(const char* format, ...) WAVMATCH_PRINTF(1, 2);
// The same, to standard error: for the one message that cannot go to a
// standard output that has failed.
void say_error(const char* format, ...) WAVMATCH_PRINTF(1, 2);

// One line on standard error, "wavmatch2: <path>: <the system's reason>",
// for the error number of a failed call; nothing when it is 0 (the file was
// refused for a reason of the program's own, which its message states).
void say_system_error(const std::string& path, int error);

// "Cannot read <path>" on standard output and, where the system gave one
// (`error` is not 0), its reason on standard error; returns the status of a
// read error, 2. Every phase that reads an input ends a failed read this way.
int say_cannot_read(const std::string& path, int error);

// Flushes the console; false when any of its output was lost (a full disk, a
// closed pipe).
bool console_flushed();
