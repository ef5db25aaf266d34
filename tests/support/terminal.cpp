#include "tests/support/terminal.h"

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace qvtest {

Screen::Screen()
    : cells_(LINES, std::string(COLUMNS, ' ')), reverse_(LINES, std::vector<bool>(COLUMNS, false)) {}

void Screen::put(char c) {
  if (c == '\r') {
    column_ = 0;
  } else if (c == '\n') {
    if (++row_ >= LINES) {
      cells_.erase(cells_.begin());
      cells_.push_back(std::string(COLUMNS, ' '));
      reverse_.erase(reverse_.begin());
      reverse_.push_back(std::vector<bool>(COLUMNS, false));
      row_ = LINES - 1;
    }
  } else if (static_cast<unsigned char>(c) >= 0x20) {
    if (column_ >= COLUMNS) {
      column_ = 0;
      put('\n');
    }
    cells_[size_t(row_)][size_t(column_)] = c;
    reverse_[size_t(row_)][size_t(column_)] = reverseOn_;
    ++column_;
  }
}

void Screen::escape(const std::string& parameters, char final) {
  std::vector<int> numbers;
  if (!parameters.empty() && parameters[0] != '?') {
    size_t at = 0;
    while (at <= parameters.size()) {
      size_t end = parameters.find(';', at);
      if (end == std::string::npos) end = parameters.size();
      numbers.push_back(std::atoi(parameters.substr(at, end - at).c_str()));
      at = end + 1;
    }
  }
  auto number = [&](size_t i, int fallback) { return i < numbers.size() && numbers[i] > 0 ? numbers[i] : fallback; };
  switch (final) {
    case 'H':
      row_ = std::min(number(0, 1), LINES) - 1;
      column_ = std::min(number(1, 1), COLUMNS) - 1;
      break;
    case 'J':
      for (int r = 0; r < LINES; ++r) {
        cells_[size_t(r)].assign(COLUMNS, ' ');
        reverse_[size_t(r)].assign(COLUMNS, false);
      }
      break;
    case 'K':
      cells_[size_t(row_)].assign(COLUMNS, ' ');
      reverse_[size_t(row_)].assign(COLUMNS, false);
      break;
    case 'm':
      if (numbers.empty()) reverseOn_ = false;
      for (int n : numbers) {
        if (n == 0) reverseOn_ = false;
        if (n == 7) reverseOn_ = true;
      }
      break;
    default:
      break;
  }
}

void Screen::feed(const std::string& bytes) {
  for (char c : bytes) {
    if (!pending_.empty()) {
      pending_ += c;
      if (pending_.size() == 2 && c != '[') {
        pending_.clear();  // not a sequence this model knows
      } else if (pending_.size() > 2 && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) {
        escape(pending_.substr(2, pending_.size() - 3), c);
        pending_.clear();
      }
    } else if (c == 27) {
      pending_ = "\033";
    } else {
      put(c);
    }
  }
}

std::string Screen::line(int n) const {
  std::string s = cells_[size_t(n - 1)];
  return s.substr(0, s.find_last_not_of(' ') + 1);
}

std::string Screen::reverseText() const {
  std::string out;
  for (int r = 0; r < LINES; ++r)
    for (int c = 0; c < COLUMNS; ++c)
      if (reverse_[size_t(r)][size_t(c)]) out += cells_[size_t(r)][size_t(c)];
  return out;
}

std::pair<int, int> Screen::find(const std::string& text) const {
  for (int r = 0; r < LINES; ++r) {
    size_t at = cells_[size_t(r)].find(text);
    if (at != std::string::npos) return {r + 1, int(at) + 1};
  }
  return {0, 0};
}

PtySession::PtySession(const std::function<int()>& fn) {
  fflush(nullptr);
  struct winsize size = {Screen::LINES, Screen::COLUMNS, 0, 0};
  pid_ = forkpty(&master_, nullptr, nullptr, &size);
  if (pid_ == 0) {
    // Closing the terminal is how a test ends the input; it must not end the child.
    signal(SIGHUP, SIG_IGN);
    // As a program started on a terminal has it (the test's own output may
    // have been fully buffered).
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const int result = fn();
    fflush(nullptr);
    _exit(result);
  }
}

PtySession::~PtySession() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (master_ >= 0) close(master_);
}

bool PtySession::readSome(int milliseconds) {
  struct pollfd p = {master_, POLLIN, 0};
  if (master_ < 0 || poll(&p, 1, milliseconds) <= 0) return false;
  char buffer[4096];
  const ssize_t n = read(master_, buffer, sizeof buffer);
  if (n <= 0) return false;
  output_.append(buffer, size_t(n));
  screen_.feed(std::string(buffer, size_t(n)));
  return true;
}

bool PtySession::waitFor(const std::string& text, int milliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    const size_t at = output_.find(text, consumed_);
    if (at != std::string::npos) {
      consumed_ = at + text.size();
      return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    readSome(int(left.count()));
  }
}

void PtySession::settle(int quietMilliseconds) {
  while (readSome(quietMilliseconds)) {
  }
}

void PtySession::send(const std::string& keys) {
  ssize_t ignored = write(master_, keys.data(), keys.size());
  (void)ignored;
}

void PtySession::hangUp() {
  // In raw mode there is no end-of-file character: input ends when the
  // terminal goes away.
  close(master_);
  master_ = -1;
}

int PtySession::finish(int milliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    readSome(20);
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      while (readSome(20)) {
      }
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
  }
  return -1;
}

}  // namespace qvtest
