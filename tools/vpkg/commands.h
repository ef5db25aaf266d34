// The sub-commands of vpkg and the helpers they share for their command lines.
#pragma once

namespace vpkg {

int keygenCommand(int argc, char** argv);
int buildCommand(int argc, char** argv);
int bundleCommand(int argc, char** argv);
int infoCommand(int argc, char** argv);
int verifyCommand(int argc, char** argv);
int extractCommand(int argc, char** argv);

bool wantsHelp(int argc, char** argv);
int printHelp(const char* text);    // prints to standard output, returns 0
int usageError(const char* text);   // prints to standard error, returns 2

}  // namespace vpkg
