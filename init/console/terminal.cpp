#include "init/console/terminal.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace console {

TerminalState terminal;
int lcdFd = -1;
const char* const PROGRAM_VERSION = "6.49.21";

void enterRawMode(TerminalState& state) {
  if (state.raw == 1) return;
  tcgetattr(0, &state.saved);
  struct termios raw = state.saved;
  raw.c_lflag &= ~tcflag_t(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  tcsetattr(0, TCSAFLUSH, &raw);
  state.raw = 1;
}

void leaveRawMode(TerminalState& state) {
  if (state.raw) {
    tcsetattr(0, TCSAFLUSH, &state.saved);
    state.raw = 0;
  }
  fputs("\033[?25h", stdout);
}

void setAttributes(int bits) {
  fputs("\033[m", stdout);
  if (bits & ATTR_UNDERLINE) fputs("\033[4m", stdout);
  if (bits & ATTR_REVERSE) fputs("\033[7m", stdout);
  if (bits & ATTR_BLINK) fputs("\033[5m", stdout);
  if (bits & ATTR_BOLD) fputs("\033[1m", stdout);
}

void printLine(const char* text, size_t length, bool centred) {
  if (centred && length < size_t(SCREEN_COLUMNS))
    for (size_t i = 0; i < (SCREEN_COLUMNS - length) / 2; ++i) putchar(' ');
  fwrite(text, 1, length, stdout);
  putchar('\n');
}

void printWrapped(const char* text, int maxLines) {
  char line[WORD_BUFFER + 2];
  size_t lineLength = 0;
  int printed = 0;
  auto flush = [&] {
    if (maxLines < 0 || printed < maxLines) printLine(line, lineLength, false);
    ++printed;
    lineLength = 0;
  };
  const char* p = text;
  for (;;) {
    while (*p == ' ' || *p == '\n') ++p;
    if (!*p) break;
    const char* word = p;
    while (*p && *p != ' ' && *p != '\n') ++p;
    // A word longer than a line is broken into pieces that fit, so that the
    // line buffer can never overflow whatever a package's text holds.
    for (size_t left = size_t(p - word); left > 0;) {
      const size_t piece = std::min(left, size_t(WRAP_LIMIT));
      if (piece + lineLength > size_t(WRAP_LIMIT)) flush();
      memcpy(line + lineLength, word, piece);
      lineLength += piece;
      line[lineLength++] = ' ';
      word += piece;
      left -= piece;
    }
  }
  flush();
}

bool askYesNo(const char* question) {
  printf("%s [y/n]:", question);
  for (;;) {
    fflush(stdout);
    const int c = getchar();
    if (c == EOF) {
      printf("n\n");
      fflush(stdout);
      return false;
    }
    if (isalpha(c) && tolower(c) == 'y') {
      printf("y\n");
      return true;
    }
    if (isalpha(c) && tolower(c) == 'n') {
      printf("n\n");
      return false;
    }
    putchar(7);
  }
}

void waitForEnter() {
  for (;;) {
    const int c = getchar();
    if (c == '\n' || c == EOF) return;
    putchar(7);
    fflush(stdout);
  }
}

void showBanner(const char* subtitle) {
  enterRawMode(terminal);
  fputs("\033[?25l", stdout);
  fputs("\033[2J\033[H", stdout);
  printf("Welcome to Korvanet Router Software %s %s\n", subtitle, PROGRAM_VERSION);
  printf("Press Ctrl-Alt-Delete to abort\n");
  fflush(stdout);
  if (lcdFd != -1) {
    ssize_t ignored = write(lcdFd, "wirestager", 10);
    (void)ignored;
  }
}

}  // namespace console
