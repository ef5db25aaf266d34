// The operator's text console: raw keyboard mode, text attributes, centred
// and word-wrapped lines, the yes/no question, the wait for ENTER and the
// welcome banner. Output goes through stdout; keys are read with getchar.
#pragma once

#include <termios.h>

#include <cstddef>

namespace console {

struct TerminalState {
  struct termios saved = {};
  int raw = 0;
};

// Attribute bits of setAttributes.
inline constexpr int ATTR_UNDERLINE = 1;
inline constexpr int ATTR_REVERSE = 2;
inline constexpr int ATTR_BLINK = 4;
inline constexpr int ATTR_BOLD = 8;

inline constexpr int SCREEN_COLUMNS = 80;
inline constexpr int WRAP_LIMIT = 77;     // a word longer than this stands alone
inline constexpr size_t WORD_BUFFER = 92; // a word keeps at most 91 characters

// The state of the whole run's console (the menu keeps its own).
extern TerminalState terminal;
// The front-panel display, or -1.
extern int lcdFd;
// The program's version text, as the banner and the network install show it.
extern const char* const PROGRAM_VERSION;

void enterRawMode(TerminalState& state);
void leaveRawMode(TerminalState& state);
void setAttributes(int bits);
void printLine(const char* text, size_t length, bool centred);
// Words are broken at WRAP_LIMIT characters; with maxLines >= 0, lines past
// that many are left out.
void printWrapped(const char* text, int maxLines = -1);
// End of input counts as "no".
bool askYesNo(const char* question);
void waitForEnter();
void showBanner(const char* subtitle);

}  // namespace console
