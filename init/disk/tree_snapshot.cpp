#include "init/disk/tree_snapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace disk {

TreeSnapshot::TreeSnapshot() { first_ = last_ = newChunk(SNAPSHOT_CHUNK_SIZE); }

TreeSnapshot::~TreeSnapshot() {
  for (SnapshotChunk* c = first_; c;) {
    SnapshotChunk* next = c->next;
    c->magic = 0;
    free(c);
    c = next;
  }
}

SnapshotChunk* TreeSnapshot::newChunk(int32_t capacity) {
  auto* c = static_cast<SnapshotChunk*>(malloc(offsetof(SnapshotChunk, payload) + size_t(capacity)));
  if (!c) return nullptr;
  c->magic = SNAPSHOT_MAGIC;
  c->capacity = capacity;
  c->cursor = 0;
  c->next = nullptr;
  return c;
}

bool TreeSnapshot::appendPath(const std::string& path) {
  const int32_t length = int32_t(path.size() + 1);
  if (last_->capacity - last_->cursor < length) {
    // A path never spans chunks: one that does not fit gets a chunk of its own size.
    SnapshotChunk* c = newChunk(length <= SNAPSHOT_CHUNK_SIZE ? SNAPSHOT_CHUNK_SIZE : length);
    if (!c) return false;
    last_->next = c;
    last_ = c;
  }
  memcpy(last_->payload + last_->cursor, path.c_str(), size_t(length));
  last_->cursor += length;
  return true;
}

bool TreeSnapshot::append(const void* data, size_t n) {
  auto* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    if (last_->cursor == last_->capacity) {
      SnapshotChunk* c = newChunk(SNAPSHOT_CHUNK_SIZE);
      if (!c) return false;
      last_->next = c;
      last_ = c;
    }
    size_t room = size_t(last_->capacity - last_->cursor);
    size_t take = n < room ? n : room;
    memcpy(last_->payload + last_->cursor, p, take);
    last_->cursor += int32_t(take);
    p += take;
    n -= take;
  }
  return true;
}

void TreeSnapshot::finish() {
  for (SnapshotChunk* c = first_; c; c = c->next) {
    c->capacity = c->cursor;
    c->cursor = 0;
  }
  reading_ = first_;
}

bool TreeSnapshot::exhausted() {
  while (reading_ && reading_->cursor >= reading_->capacity) reading_ = reading_->next;
  return reading_ == nullptr;
}

const char* TreeSnapshot::takePath() {
  if (exhausted()) return nullptr;
  const char* path = reinterpret_cast<const char*>(reading_->payload + reading_->cursor);
  size_t left = size_t(reading_->capacity - reading_->cursor);
  size_t length = strnlen(path, left);
  if (length == left) return nullptr;  // not terminated inside its chunk: damaged
  reading_->cursor += int32_t(length + 1);
  return path;
}

size_t TreeSnapshot::takeSome(const uint8_t** data, size_t most) {
  if (exhausted()) return 0;
  size_t left = size_t(reading_->capacity - reading_->cursor);
  size_t n = most < left ? most : left;
  *data = reading_->payload + reading_->cursor;
  reading_->cursor += int32_t(n);
  return n;
}

bool TreeSnapshot::take(void* out, size_t n) {
  auto* p = static_cast<uint8_t*>(out);
  while (n > 0) {
    const uint8_t* data;
    size_t got = takeSome(&data, n);
    if (got == 0) return false;
    memcpy(p, data, got);
    p += got;
    n -= got;
  }
  return true;
}

namespace {

bool record(TreeSnapshot& s, const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;  // a dangling link fails the snapshot too
  if (S_ISREG(st.st_mode)) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = s.appendPath(path) && s.append(&st, sizeof st);
    off_t total = 0;
    char block[16000];
    while (ok) {
      ssize_t n = read(fd, block, sizeof block);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) ok = false;
      if (n <= 0) break;
      ok = s.append(block, size_t(n));
      total += n;
    }
    close(fd);
    return ok && total == st.st_size;
  }
  if (S_ISDIR(st.st_mode)) {
    DIR* dir = opendir(path.c_str());
    if (!dir) return false;
    bool ok = s.appendPath(path) && s.append(&st, sizeof st);
    while (ok) {
      dirent* e = readdir(dir);
      if (!e) break;
      if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
      ok = record(s, path + "/" + e->d_name);
    }
    closedir(dir);
    return ok;
  }
  return true;  // devices, FIFOs, sockets: left out
}

}  // namespace

std::unique_ptr<TreeSnapshot> snapshotTree(const std::string& path) {
  auto s = std::make_unique<TreeSnapshot>();
  if (!s->ok() || !record(*s, path)) return nullptr;
  s->finish();
  return s;
}

bool restoreTree(std::unique_ptr<TreeSnapshot> snapshot) {
  if (!snapshot || !snapshot->first() || snapshot->first()->magic != SNAPSHOT_MAGIC) return false;
  TreeSnapshot& s = *snapshot;
  // Creating entries changes a directory's times: they are set again once
  // everything inside is in place, innermost first.
  std::vector<std::pair<std::string, struct utimbuf>> directoryTimes;
  while (!s.exhausted()) {
    const char* pathText = s.takePath();
    if (!pathText) return false;
    const std::string path = pathText;
    struct stat st;
    if (!s.take(&st, sizeof st)) return false;
    if (S_ISREG(st.st_mode)) {
      int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
      off_t left = st.st_size;
      bool ok = fd >= 0;
      while (left > 0) {
        const uint8_t* data;
        size_t n = s.takeSome(&data, size_t(left));
        if (n == 0) {
          ok = false;  // the stream ended early
          break;
        }
        if (!ok || write(fd, data, n) != ssize_t(n)) ok = false;
        left -= off_t(n);
      }
      if (fd >= 0) {
        if (fchmod(fd, st.st_mode & 07777) != 0 || fchown(fd, st.st_uid, st.st_gid) != 0) ok = false;
        close(fd);
      }
      if (!ok) return false;
      struct utimbuf times = {st.st_atime, st.st_mtime};
      utime(path.c_str(), &times);
    } else if (S_ISDIR(st.st_mode)) {
      if (mkdir(path.c_str(), 0700) != 0) return false;
      chmod(path.c_str(), st.st_mode & 07777);
      if (chown(path.c_str(), st.st_uid, st.st_gid) != 0) return false;
      struct utimbuf times = {st.st_atime, st.st_mtime};
      utime(path.c_str(), &times);
      directoryTimes.emplace_back(path, times);
    }
  }
  for (auto it = directoryTimes.rbegin(); it != directoryTimes.rend(); ++it) utime(it->first.c_str(), &it->second);
  return true;
}

}  // namespace disk
