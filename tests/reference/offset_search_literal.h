// The offset and gain search written out term by term: the reference the
// shipped search must reproduce bit for bit.
#pragma once

#include "offset_search.h"

search_result search_offset_literal(const double* reference, const double* test);
