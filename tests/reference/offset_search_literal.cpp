// The reference the fast search in offset_search.cpp must reproduce bit for
// bit: the search of the plain whole-run aligner, every candidate summed term
// by term.
#include "offset_search_literal.h"

#include "literal_wavmatch.h"

search_result search_offset_literal(const double* reference, const double* test) {
  literal::match found;
  if (!literal::search_offset(reference, test, found)) return {true, 0, 1.0, 0.0};
  return {false, found.offset, found.gain, found.score};
}
