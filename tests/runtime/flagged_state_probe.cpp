// Test helper: prints the flagged state as set before main, then again after
// rewriting /ram/zelmode to the opposite value (which must not be seen).
#include <cstdio>

#include "runtime/fileutil.h"
#include "runtime/zelmode.h"

int main() {
  const bool before = vl::flaggedState;
  if (!vl::writeTextFile(vl::ZELMODE_PATH, std::string(1, before ? '\0' : '\1'))) return 1;
  printf("%s %s\n", before ? "flagged" : "clear", vl::flaggedState ? "flagged" : "clear");
  return 0;
}
