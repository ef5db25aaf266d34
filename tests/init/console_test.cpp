// The console primitives, driven through a pseudo-terminal.
#include "init/console/terminal.h"

#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "tests/support/terminal.h"

using qvtest::PtySession;

namespace {

struct YesNoCase {
  const char* name;
  std::string keys;
  bool hangUp;
  int answer;           // exit status: 1 yes, 0 no
  std::string shown;    // what the terminal shows after the question
};

}  // namespace

TEST(Console, AskYesNo) {
  const YesNoCase cases[] = {
      {"capital Y is yes, shown in lower case", "Y", false, 1, "Continue? [y/n]:y\r\n"},
      {"n is no", "n", false, 0, "Continue? [y/n]:n\r\n"},
      {"ENTER, digits and other letters only ring the bell", "\n7xn", false, 0, "Continue? [y/n]:\a\a\an\r\n"},
      {"an arrow key's bytes ring the bell", "\033[Ay", false, 1, "Continue? [y/n]:\a\a\ay\r\n"},
      {"end of input counts as no", "", true, 0, ""},
  };
  for (const YesNoCase& c : cases) {
    SCOPED_TRACE(c.name);
    PtySession session([] {
      console::enterRawMode(console::terminal);
      return console::askYesNo("Continue?") ? 1 : 0;
    });
    ASSERT_TRUE(session.waitFor("[y/n]:"));
    if (c.hangUp) {
      session.hangUp();
    } else {
      session.send(c.keys);
    }
    EXPECT_EQ(session.finish(), c.answer);
    if (!c.shown.empty()) {
      EXPECT_NE(session.output().find(c.shown), std::string::npos) << session.output();
    }
  }
}

TEST(Console, WaitForEnterRingsForOtherKeys) {
  PtySession session([] {
    console::enterRawMode(console::terminal);
    printf("ready");
    fflush(stdout);
    console::waitForEnter();
    printf("done");
    return 0;
  });
  ASSERT_TRUE(session.waitFor("ready"));
  session.send("ab\r");  // a carriage return arrives as a newline
  EXPECT_EQ(session.finish(), 0);
  EXPECT_NE(session.output().find("ready\a\adone"), std::string::npos) << session.output();
}

TEST(Console, RawModeNestsAndRestores) {
  PtySession session([] {
    struct termios before, inside, after;
    tcgetattr(0, &before);
    console::TerminalState state;
    console::enterRawMode(state);
    console::enterRawMode(state);  // must not save the raw settings over the first ones
    tcgetattr(0, &inside);
    console::leaveRawMode(state);
    tcgetattr(0, &after);
    const bool raw = !(inside.c_lflag & (ICANON | ECHO)) && (inside.c_lflag & ISIG) && inside.c_cc[VMIN] == 1;
    const bool restored = after.c_lflag == before.c_lflag && after.c_iflag == before.c_iflag;
    console::leaveRawMode(state);  // leaving while cooked only shows the cursor
    return raw && restored ? 0 : 1;
  });
  EXPECT_EQ(session.finish(), 0);
  EXPECT_NE(session.output().find("\033[?25h\033[?25h"), std::string::npos);
}

struct WrapCase {
  const char* name;
  std::string text;
  std::string printed;
};

TEST(Console, PrintWrappedAndPrintLine) {
  std::string nine = "abcdefghi", twenty, sevenLine, sixLine;
  for (int i = 0; i < 20; ++i) twenty += nine + (i % 3 ? " " : "\n  ");
  for (int i = 0; i < 7; ++i) sevenLine += nine + " ";
  for (int i = 0; i < 6; ++i) sixLine += nine + " ";
  const std::string longWord(100, 'w');
  const WrapCase cases[] = {
      {"empty text: one empty line", "", "\n"},
      {"twenty words of nine letters: lines of seven", twenty, sevenLine + "\n" + sevenLine + "\n" + sixLine + "\n"},
      {"a word longer than a line is broken, never overflowing", "a " + longWord + " b",
       "a \n" + longWord.substr(0, 77) + " \n" + longWord.substr(77) + " b \n"},
  };
  for (const WrapCase& c : cases) {
    SCOPED_TRACE(c.name);
    testing::internal::CaptureStdout();
    console::printWrapped(c.text.c_str());
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
  }
  testing::internal::CaptureStdout();
  console::printLine(std::string(50, 'x').c_str(), 50, true);
  console::printLine("cut here", 3, false);
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(15, ' ') + std::string(50, 'x') + "\ncut\n");
}

TEST(Console, BannerAndDisplayWord) {
  int display[2];
  ASSERT_EQ(pipe(display), 0);
  PtySession session([&] {
    console::lcdFd = display[1];
    console::showBanner("hard disk installation");
    return 0;
  });
  EXPECT_EQ(session.finish(), 0);
  EXPECT_EQ(session.screen().line(1), "Welcome to Korvanet Router Software hard disk installation 6.49.21");
  EXPECT_EQ(session.screen().line(2), "Press Ctrl-Alt-Delete to abort");
  char word[16] = {};
  close(display[1]);
  EXPECT_EQ(read(display[0], word, sizeof word), 10);
  EXPECT_STREQ(word, "wirestager");
  close(display[0]);
}
