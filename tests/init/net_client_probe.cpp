// A network installation client for the server's tests: the real session over
// the namespace's interfaces, whose steps write every file it receives into
// DIRECTORY (the script under DIRECTORY/flash) instead of installing it.
// With --spoil, frames are lost, duplicated and reordered on the client's
// side of the link (a fixed rhythm; the counts are printed at the end).
// usage: net-client-probe [--spoil] DIRECTORY
#include <unistd.h>

#include <cstdio>
#include <string>

#include "init/net/interfaces.h"
#include "init/net/session.h"
#include "runtime/fileutil.h"
#include "tests/init/spoiled_net.h"

int main(int argc, char** argv) {
  const bool spoil = argc == 3 && std::string(argv[1]) == "--spoil";
  if (argc != 2 && !spoil) return 2;
  const std::string dir = argv[argc - 1];
  // No key is ever pressed: only the server's TERM ends the last wait.
  int never[2];
  if (pipe(never) != 0 || dup2(never[0], 0) != 0) return 2;
  net::SocketNetIo socketIo;
  qvtest::SpoiledNetIo spoiled(socketIo);
  net::NetIo& io = spoil ? static_cast<net::NetIo&>(spoiled) : socketIo;
  net::NetSession session(io);
  net::SessionSteps steps;
  steps.root = dir;
  steps.kernelRelease = "6.1.0-test";
  steps.minimumVersion = "0.0";
  steps.loadDrivers = [] {};
  steps.findDisk = [](disk::InstallTarget&) { return true; };
  steps.readLabel = [] { return std::string(); };
  steps.prepareDisk = [&](disk::InstallTarget&, bool keep) { return vl::writeTextFile(dir + "/keep", keep ? "yes" : "no"); };
  steps.install = [&](const disk::InstallTarget&, net::NetFileStream& stream, bool image) {
    std::string content;
    uint8_t block[4096];
    ssize_t n;
    while ((n = stream.read(block, sizeof block)) > 0) content.append(reinterpret_cast<char*>(block), size_t(n));
    return n == 0 && vl::writeTextFile(dir + "/" + (image ? "" : "driver-") + stream.name(), content);
  };
  steps.finish = [] {};
  disk::InstallTarget target;
  const bool installed = net::runSession(session, target, steps);
  if (spoil)
    printf("spoiled: %u lost, %u duplicated, %u reordered\n", spoiled.counts.lost, spoiled.counts.duplicated,
           spoiled.counts.reordered);
  return installed ? 0 : 1;
}
