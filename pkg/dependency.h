#pragma once

#include <cstdint>
#include <string>

namespace pkg {

// One entry of a depends, provides, conflicts or disable list, and a
// package's reference to its bundle. Versions are packed; 0 = no bound.
struct DependencyEntry {
  std::string name;
  uint32_t minimum = 0;
  uint32_t maximum = 0;
  int32_t priority = 0;  // meaningful in provides lists only

  bool operator==(const DependencyEntry&) const = default;
};

}  // namespace pkg
