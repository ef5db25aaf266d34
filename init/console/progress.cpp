#include "init/console/progress.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>

namespace console {

namespace {

volatile sig_atomic_t tickCount = 0;

bool installTick();

void onTick(int) {
  tickCount = tickCount + 1;
  const char dot = '.';
  ssize_t ignored = write(1, &dot, 1);
  (void)ignored;
  if (installTick()) alarm(1);
}

bool installTick() {
  struct sigaction action = {};
  action.sa_handler = onTick;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  return sigaction(SIGALRM, &action, nullptr) == 0;
}

}  // namespace

void startProgress(const char* text) {
  fputs(text, stdout);
  fflush(stdout);
  if (installTick()) alarm(1);
}

void stopProgress() {
  printf("\n");
  fflush(stdout);
  struct sigaction action = {};
  action.sa_handler = SIG_IGN;
  action.sa_flags = SA_RESTART;
  sigaction(SIGALRM, &action, nullptr);
}

unsigned ticks() { return unsigned(tickCount); }

}  // namespace console
