// The line ends the programs write on the system the tests run on. A message,
// written by the program with "\r\n" at its end, leaves a Windows build as
// CR CR LF (text mode's CR before the message's own) and every other build as
// LF. A line of text that logsweep cleaned leaves as CR LF on Windows, LF
// elsewhere.
#pragma once

#include <string>

#ifdef _WIN32
#define MESSAGE_END "\r\r\n"
#define TEXT_END "\r\n"
#else
#define MESSAGE_END "\n"
#define TEXT_END "\n"
#endif

// A message as it leaves the program: each "\r\n" as MESSAGE_END, each other
// LF as TEXT_END.
inline std::string as_printed(const std::string& message) {
  std::string out;
  for (std::size_t at = 0; at < message.size(); ++at) {
    if (message.compare(at, 2, "\r\n") == 0) {
      out += MESSAGE_END;
      ++at;
    } else if (message[at] == '\n') {
      out += TEXT_END;
    } else {
      out += message[at];
    }
  }
  return out;
}

// Text with LF line ends as logsweep writes it: each LF as TEXT_END.
inline std::string as_written(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n') {
      out += TEXT_END;
    } else {
      out += c;
    }
  }
  return out;
}
