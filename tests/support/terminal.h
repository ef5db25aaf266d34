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
  // The child's exit status is fn's result.
  explicit PtySession(const std::function<int()>& fn);
  ~PtySession();
  PtySession(const PtySession&) = delete;
  PtySession& operator=(const PtySession&) = delete;

  // Reads output until it holds text after what earlier waits consumed.
  bool waitFor(const std::string& text, int milliseconds = 10000);
  // Reads until the child has printed nothing for this long (it waits for a key).
  void settle(int quietMilliseconds = 300);
  void send(const std::string& keys);
  // Closes the terminal's master side: the child's reads end (and what it
  // prints from then on is lost).
  void hangUp();
  // Waits for the child; its exit status, or -1 when it had to be killed.
  int finish(int milliseconds = 10000);
  const std::string& output() const { return output_; }
  const Screen& screen() const { return screen_; }

 private:
  bool readSome(int milliseconds);
  int master_ = -1;
  pid_t pid_ = -1;
  std::string output_;
  size_t consumed_ = 0;
  Screen screen_;
};

}  // namespace qvtest
