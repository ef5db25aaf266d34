// The package list of "installer --show".
#pragma once

#include <cstdio>

#include "pkg/package_set.h"

namespace installer {

void printPackageList(const pkg::PackageSet& set, FILE* out);

}  // namespace installer
