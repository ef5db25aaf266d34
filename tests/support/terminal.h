// A pseudo-terminal for console tests: a function runs in a forked child on
// the terminal's slave side while the test types keys and reads the screen as
// a small VT100 model shows it (the escape sequences the installer uses).
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace qvtest {

class Screen {
 public:
  static constexpr int LINES = 25, COLUMNS = 80;
  Screen();
  void feed(const std::string& bytes);
  // Line n (1-based) as shown, trailing blanks removed.
  std::string line(int n) const;
  // The characters shown in reverse video, in screen order.
  std::string reverseText() const;
  // The 1-based line and column where text starts, or {0, 0}.
  std::pair<int, int> find(const std::string& text) const;

 private:
  void put(char c);
  void escape(const std::string& parameters, char final);
  std::vector<std::string> cells_;
  std::vector<std::vector<bool>> reverse_;
  int row_ = 0, column_ = 0;
  bool reverseOn_ = false;
  std::string pending_;  // an unfinished escape sequence
};

class PtySession {
 public:
  // Deadlines only guard against a hang: on a loaded machine what usually
  // takes milliseconds can take seconds.
  static constexpr int WAIT_MILLISECONDS = 60000;

  // The child's exit status is fn's result.
  explicit PtySession(const std::function<int()>& fn);
  ~PtySession();
  PtySession(const PtySession&) = delete;
  PtySession& operator=(const PtySession&) = delete;

  // Reads output until it holds text after what earlier waits consumed;
  // false at the deadline or once the terminal has closed without it.
  bool waitFor(const std::string& text, int milliseconds = WAIT_MILLISECONDS);
  // For the child, before the code under test reads its first key: from then
  // on, each time it has used up the keys that arrived and asks for more, it
  // first tells the session so (a note the session takes out of the output).
  static void announceKeyRequests();
  // Reads output until the child, having taken every key sent so far, asks
  // for the next one: all it printed in answer to them is then on the
  // screen. Only for a child that announces its requests, and for keys the
  // terminal passes on one for one (no signal or flow-control characters).
  bool waitForKeyRequest(int milliseconds = WAIT_MILLISECONDS);
  void send(const std::string& keys);
  // Closes the terminal's master side: the child's reads end (and what it
  // prints from then on is lost).
  void hangUp();
  // Waits for the child; its exit status, or -1 when it had to be killed.
  int finish(int milliseconds = WAIT_MILLISECONDS);
  const std::string& output() const { return output_; }
  const Screen& screen() const { return screen_; }

 private:
  enum class Read { DATA, NOTHING, CLOSED };
  Read readSome(int milliseconds);
  // Output as it arrives, with the child's key requests taken out.
  void accept(const std::string& bytes);
  void show(const std::string& text);
  int master_ = -1;
  pid_t pid_ = -1;
  bool closed_ = false;  // the child's side has gone: no more output will come
  std::string output_;
  std::string pending_;  // what may be the start of a key request, not yet shown
  size_t consumed_ = 0;
  unsigned long long keysSent_ = 0;
  long long keysTakenAtRequest_ = -1;  // as the latest request said; -1 before any
  Screen screen_;
};

}  // namespace qvtest
