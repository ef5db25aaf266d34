// The pipe through which init hands each package to a child process that runs
// the package engine with the package on its standard input. One child at a time.
#pragma once

#include <sys/types.h>

#include <cstdio>

#include "init/disk/tree_snapshot.h"

namespace flow {

// The running install child, or -1.
extern pid_t installChildPid;

// Image mode installs into the system on /flash and keeps the package's image;
// direct mode (quiet) unpacks into the running installer system. Null when a
// child is still running or none can be started.
FILE* openInstallPipe(const disk::PackageStateSet& states, bool image, bool quiet);
// Closes the pipe and waits for the child: its raw wait status, or -1.
int closeInstallPipe(FILE* pipe);

// The child's work on its standard input (exposed for tests).
void runInstallChild(const disk::PackageStateSet& states, bool image, bool quiet);

}  // namespace flow
