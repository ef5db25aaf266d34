// The installation medium's first process: kernel file systems, console,
// signals, the mode of this medium, exactly one install flow, and the reboot.
#pragma once

#include <functional>
#include <string>

#include "init/disk/drive_discovery.h"

namespace flow {

enum class InstallMode { HARD_DISK, CDROM, NETWORK, UNKNOWN };

// Set when the final reboot sequence has begun: an interrupt then changes nothing.
extern volatile bool rebootPending;

// Under a name containing "init" the work runs in a forked child and this
// process only waits for it: its raw wait status, or -1. As process 1 (which
// must never end) it reboots the machine once the child has ended instead.
int runLauncher(const char* programName, const std::function<int()>& work);

// The mode text of /TYPE: its first line, at most 79 characters.
std::string readInstallMode(const std::string& path = "/TYPE");
bool hasHardDiskOption(int argc, char** argv);
InstallMode chooseMode(bool hardDiskOption, const std::string& modeText);

// Runs the mode's flow; true when the software was installed.
bool runFlow(InstallMode mode, disk::InstallTarget& target);
// Whether the operator is asked for ENTER before the reboot: always after a
// CD-ROM install, after a hard-disk or network install only when it failed.
bool asksBeforeReboot(InstallMode mode, bool installed);

void onInterrupt(int);

// Everything after the launcher: ends in a reboot.
int runInstaller(int argc, char** argv);

}  // namespace flow
