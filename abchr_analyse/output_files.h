// The results folder replaced as a whole set: every file written complete to
// a temporary name beside its place first, then each renamed over the old one
// with signals held, and plots of songs no longer analysed removed. A failure
// before the renames leaves the folder as it was.
#pragma once

#include <string>
#include <vector>

struct output_file {
  std::string name;
  std::string text;
  bool text_mode = false;  // the platform's own line ends (report.txt)
};

// Returns false with the path and the system's reason.
bool write_results(const std::string& folder, const std::vector<output_file>& files, std::string& failed_path,
                   std::string& reason);
