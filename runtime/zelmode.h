// The device-mode record that the running router keeps in /ram/zelmode, and
// the process-wide "flagged state" taken from it once, before main runs.
#pragma once

#include <cstdint>

namespace vl {

inline constexpr const char* ZELMODE_PATH = "/ram/zelmode";

struct ZELMode {
  uint8_t flagged;        // non-zero: the router is in flagged state
  uint8_t settings[18];   // further device-mode settings, not read here

  // Never fails: a missing or short file leaves the remaining bytes zero.
  static ZELMode load();
  static ZELMode loadFrom(const char* path);
};
static_assert(sizeof(ZELMode) == 19);

// Set during static initialisation from ZELMode::load(); fixed for the life of
// the process, so a later change of the record is not seen.
extern const bool flaggedState;

}  // namespace vl
