#include "installer/listing.h"

#include <ctime>
#include <string>

#include "runtime/version.h"

namespace installer {

namespace {

// Build times are unsigned 32-bit seconds: up to 2106, past a 32-bit time_t.
static_assert(sizeof(time_t) == 8, "build with 64-bit time");

std::string built(uint32_t seconds) {
  time_t when = time_t(seconds);
  struct tm tm;
  char text[128];
  if (!gmtime_r(&when, &tm) || strftime(text, sizeof text, "%b/%d/%Y %H:%M:%S", &tm) == 0) return "";
  return text;
}

}  // namespace

void printPackageList(const pkg::PackageSet& set, FILE* out) {
  fprintf(out, "%16s    %13s %20s%40s\n", "Name", "Version", "Built", "Note");
  fprintf(out, "%s\n", std::string(94, '-').c_str());
  for (const auto& r : set.records) {
    if (r->conflictCarrier) continue;
    fprintf(out, "%16s %1s%2s%13s %20s %40s\n", r->name.c_str(), r->disabled ? "X" : " ",
            r->bundle.name.empty() ? "  " : "B ", vl::version2string(r->version).c_str(), built(r->buildTime).c_str(),
            r->note.c_str());
  }
}

}  // namespace installer
