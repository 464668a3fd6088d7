// wavmatch2: aligns decoded lossy files to their original in time and level and
// writes them as 16-bit raw stimuli for an ABC/HR listening test.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "console.h"
#include "platform.h"
#include "wav_track.h"
#include "wavmatch.h"

namespace {

// Throwing std::bad_alloc needs a little memory of its own. When even that is
// gone, the C++ runtime ends the program here, with no exception in flight:
// the raw files that the run created or began are removed, as after a signal.
// Any other way here is a fault of the program.
[[noreturn]] void end_without_memory() {
  if (std::current_exception() != nullptr) std::abort();
  remove_guarded_outputs();
  std::fputs("Out of memory." MESSAGE_LINE_END, stdout);
  std::fflush(stdout);
  std::_Exit(STATUS_OUT_OF_MEMORY);
}

}  // namespace

int main(int argc, char** argv) {
  std::set_terminate(end_without_memory);
  // Before the first allocation: until the standard streams are known to lead
  // to no input, even "Out of memory." cannot reach one.
  console_state console = prepare_console();
  int status = STATUS_OK;
  try {
    const std::vector<std::string> arguments = program_arguments(argc, argv);
    std::vector<const char*> pointers;
    for (const std::string& argument : arguments) pointers.push_back(argument.c_str());
    status = run_wavmatch(console, static_cast<int>(pointers.size()), pointers.data());
  } catch (const std::bad_alloc&) {
    // Whatever raw file was being written has been removed on the way here;
    // those already complete stay.
    say("Out of memory.\r\n");
    status = STATUS_OUT_OF_MEMORY;
  }
  // A report that did not reach its reader is a failure even when every raw
  // file was written; an earlier failure keeps its own status. A standard
  // output that was closed from the start wrote to the null device.
  if (!console_flushed() || console.output_closed) {
    say_error("Cannot write to standard output\r\n");
    if (status == STATUS_OK) status = STATUS_OUTPUT_UNAVAILABLE;
  }
  restore_console(console);
  return status;
}
