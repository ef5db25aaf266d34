// init: the first process of an installation medium.
#include "init/flow/startup.h"

int main(int argc, char** argv) {
  return flow::runLauncher(argv[0], [&] { return flow::runInstaller(argc, argv); });
}
