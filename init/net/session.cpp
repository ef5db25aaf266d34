#include "init/net/session.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "init/net/messages.h"
#include "runtime/fileutil.h"
#include "runtime/system.h"

namespace net {

namespace {

constexpr uint64_t START_WAIT = 1000000, FINAL_WAIT = 1000000;
constexpr int START_ATTEMPTS = 5;
constexpr size_t SCRIPT_NAME_MAX = 31, SCRIPT_PATH_MAX = 79;

bool fatal(const SessionSteps& steps, const char* message) {
  fprintf(steps.console, "%s\n", message);
  return false;
}

bool isScript(const std::string& name) {
  return name.size() > 4 && name.compare(name.size() - 4, 4, ".scr") == 0;
}

// A name from the (unauthenticated) server with a ".." component would be
// written outside the new system.
bool leavesTheSystem(const std::string& name) {
  size_t start = 0;
  for (;;) {
    const size_t slash = name.find('/', start);
    if (name.substr(start, slash == std::string::npos ? std::string::npos : slash - start) == "..") return true;
    if (slash == std::string::npos) return false;
    start = slash + 1;
  }
}

bool receiveScript(NetFileStream& stream, const std::string& name, const SessionSteps& steps) {
  const std::string path =
      stream.size() == 0 ? steps.root + "/empty" : steps.root + ("/flash/" + name).substr(0, SCRIPT_PATH_MAX);
  fprintf(steps.console, "Writing configuration...\n");
  vl::Fd file(leavesTheSystem(name) ? -1 : open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!file.valid()) return fatal(steps, "\nFATAL ERROR: couldn't make a file");
  uint8_t block[4096];
  for (;;) {
    const ssize_t n = stream.read(block, sizeof block);
    if (n < 0) return fatal(steps, "\nFATAL ERROR: bad network connection");
    if (n == 0) return true;
    if (!vl::writeAll(file.get(), block, size_t(n))) {
      fprintf(steps.console, "\nFATAL ERROR: installation failed: %s\n", strerror(errno));
      return false;
    }
  }
}

// Every file the server sends, until it sends something that is not a FILE.
bool receiveFiles(NetSession& s, const disk::InstallTarget& target, const SessionSteps& steps, bool& script) {
  for (;;) {
    NetFileStream stream(s);
    if (!stream.next()) return true;
    const std::string name = stream.name().substr(0, SCRIPT_NAME_MAX);
    if (isScript(name)) {
      if (!receiveScript(stream, name, steps)) return false;
      script = true;
    } else if (!steps.install(target, stream, true)) {
      return false;
    }
  }
}

// WTRM once a second until the server's TERM or a key press.
void awaitTermination(NetSession& s) {
  Frame frame{}, reply{};
  buildRequest(s, frame.data(), "WTRM");
  const size_t interface = size_t(s.chosen);
  for (;;) {
    (void)s.io.send(interface, frame.data(), HEADER_SIZE + 4);  // a failed send: the next second sends again
    const uint64_t deadline = s.io.now() + FINAL_WAIT;
    for (uint64_t now = s.io.now(); now < deadline; now = s.io.now()) {
      const Readiness r = s.io.wait({interface}, true, deadline - now);
      if (r.input) return;
      if (r.interrupted) continue;
      if (r.readable.empty()) break;
      const ssize_t n = s.io.receive(interface, reply.data());
      if (n < 0) break;  // nothing after all: send again
      if (acceptFrame(s.link, reply.data(), n) && hasType(reply.data(), n, "TERM")) return;
    }
  }
}

}  // namespace

bool runSession(NetSession& s, disk::InstallTarget& target, const SessionSteps& steps) {
  FILE* out = steps.console;
  if (s.io.interfaceCount() == 0) return fatal(steps, "\nFATAL ERROR: no network card found");
  fprintf(out, "\n");
  for (size_t i = 0; i < s.io.interfaceCount(); ++i) fprintf(out, "mac-address: %s\n", formatMac(s.io.mac(i)).c_str());
  fprintf(out, "\nWaiting for drivers...\n");
  fflush(out);
  requestDrivers(s, steps.kernelRelease);
  {
    NetFileStream drivers(s);
    if (!drivers.next()) return fatal(steps, "\nFATAL ERROR: could not retrieve disk drivers");
    fprintf(out, "Retrieving drivers...\n");
    fflush(out);
    if (!steps.install(target, drivers, false)) return false;
  }
  fprintf(out, "Loading drivers\n");
  fflush(out);
  steps.loadDrivers();
  if (!steps.findDisk(target)) return false;
  const std::string label = diskLabel(steps.readLabel());
  fprintf(out, "disk label: %s\n", label.c_str());
  fprintf(out, "\nWaiting for installation server...\n");
  fflush(out);
  discoverServer(s, label, steps.minimumVersion);
  fprintf(out, "Found server at %s\n\n", formatMac(s.link.peer).c_str());
  fflush(out);
  if (!steps.prepareDisk(target, s.keep)) return false;
  fprintf(out, "\n");
  Frame start{}, reply{};
  buildRequest(s, start.data(), "STRT");
  if (sendAndAwait(s, size_t(s.chosen), start.data(), reply.data(), START_WAIT, START_ATTEMPTS) < 0)
    return fatal(steps, "\nFATAL ERROR: server refused to install");
  bool script = false;
  if (!receiveFiles(s, target, steps, script)) return false;
  // Neither a script nor the old configuration: the new system resets itself.
  if (!script && !s.keep) (void)vl::writeTextFile(steps.root + "/flash/rw/RESET", ". /vela/lib/reset/reset");
  steps.finish();
  fprintf(out, "\nSoftware installed.\nPress ENTER to reboot\n");
  fflush(out);
  awaitTermination(s);
  return true;
}

}  // namespace net
