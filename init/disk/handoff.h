// The hand-off to the installed system after its packages are unpacked: the
// REBOOT marker, its post-install step run inside it, and the unmounts.
#pragma once

#include <string>
#include <vector>

namespace disk {

// Where the post-install programs' output goes: the log console, or
// /dev/null on a machine without a video console. Set at start-up.
extern std::string logDevicePath;

// Runs program chrooted in /flash with its output on the log device; the
// argument vector is the program path and then the arguments (15 at most).
// The raw wait status, or -1 when the child cannot be started or waited for.
int runInTarget(const std::string& program, const std::vector<std::string>& arguments);

// Its steps: the empty /flash/rw/REBOOT; /etc/rc.d/rc.postinstall run with
// /bin/bash (or else /bin/ruel) inside /flash; sync and unmount /flash/boot
// and /flash.
void leaveRebootMarker();
void runPostInstall();
void releaseTarget();
// All three.
void finishInstall();

}  // namespace disk
