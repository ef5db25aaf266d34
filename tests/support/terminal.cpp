#include "tests/support/terminal.h"

#include <errno.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

namespace {

// A key request as the child writes it: an operating-system command no
// terminal shows, carrying the number of key bytes the child had taken.
constexpr char kRequestStart[] = "\033]qvtest-keys;";
constexpr char kRequestEnd = '\a';

unsigned long long keysTakenInChild = 0;

ssize_t readKeysAnnouncing(void*, char* buffer, size_t size) {
  // What the child printed in answer to the keys so far goes out before the note.
  fflush(stdout);
  char note[64];
  const int length = snprintf(note, sizeof note, "%s%llu%c", kRequestStart, keysTakenInChild, kRequestEnd);
  ssize_t ignored = write(1, note, size_t(length));  // fails once the terminal has gone: nobody waits then
  (void)ignored;
  for (;;) {
    const ssize_t n = read(0, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    if (n > 0) keysTakenInChild += size_t(n);
    return n;
  }
}

}  // namespace

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

void PtySession::announceKeyRequests() {
  cookie_io_functions_t io = {};
  io.read = readKeysAnnouncing;
  // The same descriptor and the same reads, through a stream that speaks first.
  if (FILE* keys = fopencookie(nullptr, "r", io)) stdin = keys;
}

void PtySession::show(const std::string& text) {
  output_ += text;
  screen_.feed(text);
}

void PtySession::accept(const std::string& bytes) {
  pending_ += bytes;
  const size_t startLength = sizeof kRequestStart - 1;
  for (;;) {
    const size_t start = pending_.find(kRequestStart);
    if (start == std::string::npos) break;
    const size_t end = pending_.find(kRequestEnd, start + startLength);
    if (end == std::string::npos) {
      // The rest of the note comes with a later read.
      show(pending_.substr(0, start));
      pending_.erase(0, start);
      return;
    }
    show(pending_.substr(0, start));
    keysTakenAtRequest_ = std::stoll(pending_.substr(start + startLength, end - start - startLength));
    pending_.erase(0, end + 1);
  }
  // Only what could begin a note waits for more.
  size_t keep = std::min(pending_.size(), startLength - 1);
  while (keep > 0 && pending_.compare(pending_.size() - keep, keep, kRequestStart, keep) != 0) --keep;
  show(pending_.substr(0, pending_.size() - keep));
  pending_.erase(0, pending_.size() - keep);
}

PtySession::Read PtySession::readSome(int milliseconds) {
  if (master_ < 0 || closed_) return Read::CLOSED;
  struct pollfd p = {master_, POLLIN, 0};
  const int ready = poll(&p, 1, std::max(milliseconds, 0));
  if (ready < 0 && errno == EINTR) return Read::NOTHING;
  if (ready == 0) return Read::NOTHING;
  char buffer[4096];
  ssize_t n;
  do {
    n = read(master_, buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    // The child's side has closed (the kernel hands out what it wrote first):
    // what is left over can no longer become a note.
    closed_ = true;
    show(pending_);
    pending_.clear();
    return Read::CLOSED;
  }
  accept(std::string(buffer, size_t(n)));
  return Read::DATA;
}

namespace {

int millisecondsUntil(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? int(left.count()) : 0;
}

}  // namespace

bool PtySession::waitFor(const std::string& text, int milliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    const size_t at = output_.find(text, consumed_);
    if (at != std::string::npos) {
      consumed_ = at + text.size();
      return true;
    }
    const int left = millisecondsUntil(deadline);
    if (left == 0 || readSome(left) == Read::CLOSED) {
      // Whatever the end of the output released may complete the text.
      const size_t last = output_.find(text, consumed_);
      if (last == std::string::npos) return false;
      consumed_ = last + text.size();
      return true;
    }
  }
}

bool PtySession::waitForKeyRequest(int milliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  // The child cannot have counted keys not yet sent: a request with the
  // count of all sent came after the last of them was used.
  while (keysTakenAtRequest_ < 0 || static_cast<unsigned long long>(keysTakenAtRequest_) != keysSent_) {
    const int left = millisecondsUntil(deadline);
    if (left == 0 || readSome(left) == Read::CLOSED) return false;
  }
  return true;
}

void PtySession::send(const std::string& keys) {
  size_t written = 0;
  while (master_ >= 0 && written < keys.size()) {
    const ssize_t n = write(master_, keys.data() + written, keys.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += size_t(n);
  }
  keysSent_ += written;
}

void PtySession::hangUp() {
  // In raw mode there is no end-of-file character: input ends when the
  // terminal goes away.
  close(master_);
  master_ = -1;
  show(pending_);
  pending_.clear();
}

int PtySession::finish(int milliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      // The child's side closed as it ended: what it wrote is all there, and
      // reading stops at its end rather than at a time.
      while (readSome(millisecondsUntil(deadline)) == Read::DATA) {
      }
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    const int left = millisecondsUntil(deadline);
    if (left == 0) return -1;
    // Keep reading while it runs (a child whose output nobody reads can
    // block); with nothing to read from, look again shortly.
    if (readSome(std::min(left, 20)) == Read::CLOSED) usleep(useconds_t(std::min(left, 10)) * 1000);
  }
}

}  // namespace qvtest
