// What differs between the systems wavmatch2 runs on, behind one interface.
// The rest of the program uses the standard library alone and never asks
// which system it is on.
#pragma once

#include <cstddef>

// Memory for the run's large working buffers (the analysis windows, the
// search's workspace), in 2 MiB pages where the system offers them: a buffer
// touched for the first time costs one page fault per page, and with 4 KiB
// pages those faults are most of the fixed cost of a short run. The memory is
// not cleared. Returns nullptr when there is no memory left.
void* allocate_large(std::size_t bytes);
// Gives back a block from allocate_large with the size it was asked for.
void free_large(void* block, std::size_t bytes);
