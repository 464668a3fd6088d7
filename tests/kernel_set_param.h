// The search's sets of vector loops as a test parameter: a suite made with
// KERNEL_SET_SUITE runs each of its tests once per set this build holds, and
// skips, by name, a set the processor cannot run.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "offset_search_kernels.h"

class kernel_set_test : public ::testing::TestWithParam<const kernel_set*> {
 protected:
  void SetUp() override {
    if (!GetParam()->supported())
      GTEST_SKIP() << "this processor cannot run the " << GetParam()->name << " set";
  }
  const kernel_set& kernels() const { return *GetParam(); }
};

inline std::vector<const kernel_set*> every_kernel_set() {
  std::vector<const kernel_set*> sets;
  for (const kernel_set& set : kernel_sets()) sets.push_back(&set);
  return sets;
}

// Test names and messages show the set by name.
inline void PrintTo(const kernel_set* set, std::ostream* out) { *out << set->name; }

inline std::string kernel_set_name(const ::testing::TestParamInfo<const kernel_set*>& info) {
  return info.param->name;
}

// Declares the fixture `suite` and runs its TEST_P tests with every set.
#define KERNEL_SET_SUITE(suite)            \
  class suite : public kernel_set_test {}; \
  INSTANTIATE_TEST_SUITE_P(, suite, ::testing::ValuesIn(every_kernel_set()), kernel_set_name)
