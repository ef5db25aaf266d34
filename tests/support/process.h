// Runs a program and captures what it prints.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qvtest {

struct ProcessResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

ProcessResult runProgram(const std::vector<std::string>& argv, const std::string& input = "");

// Runs a program that does not end by itself (a virtual machine, say) until
// its standard output satisfies done, then kills it; also killed at the
// deadline, which only guards against a hang. Standard input is empty.
ProcessResult runProgramUntil(const std::vector<std::string>& argv,
                              const std::function<bool(const std::string& out)>& done, int deadlineSeconds);

// The command line that starts a program of this build: through the build's
// emulator where there is one (the i386 build on a 64-bit-only kernel).
std::vector<std::string> ownProgram(const std::string& path, std::vector<std::string> arguments = {});
// Whether this build's programs run under an emulator (and so cannot start
// other programs of this build themselves).
bool runsEmulated();

// Hex encoding and decoding of byte strings, for test vectors.
std::string toHex(const std::string& bytes);
std::string toHex(const unsigned char* bytes, size_t length);
std::string fromHex(const std::string& hex);

}  // namespace qvtest
