// Pending file-system changes, keyed by destination path. New content goes at
// once into temporary files placed where the final rename will be cheap;
// nothing lands at its final path until commit, which deletes, links and
// renames in a fixed order, copying where a rename would cross file systems.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <sys/types.h>

namespace pkg {

enum EntryKind : uint8_t {
  ENTRY_MOVE = 0,      // rename an existing file into place
  ENTRY_NEW_FILE = 1,  // rename a temporary file into place
  ENTRY_SYMLINK = 3,   // replace the destination by a link to the source
  ENTRY_DELETE = 4,    // delete a file, or a directory and the files in it
  ENTRY_COPY = 5,      // set during commit when a rename met EXDEV
};

struct TransactionEntry {
  EntryKind kind;
  std::string source;
  bool temporary = false;  // the source is a temporary file of this transaction
};

// An output file on a fresh temporary file; unusable (ok() false) when the
// temporary file could not be made.
class NewFile {
 public:
  NewFile() = default;
  explicit NewFile(int fd) : fd_(fd) {}
  NewFile(NewFile&& other) noexcept : fd_(other.fd_), failed_(other.failed_) { other.fd_ = -1; }
  NewFile& operator=(NewFile&& other) noexcept;
  ~NewFile();

  bool ok() const { return fd_ >= 0 && !failed_; }
  // Writes all bytes; false (and not ok() from then on) on failure. errno tells why.
  bool write(const void* data, size_t n);
  bool write(const std::string& text) { return write(text.data(), text.size()); }
  // Closes the file; false if any write or the close failed.
  [[nodiscard]] bool close();

 private:
  int fd_ = -1;
  bool failed_ = false;
};

class Transaction {
 public:
  Transaction() = default;
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // A fresh temporary file for the destination: on the destination's file
  // system when it has room for the size hint plus 10 %, else in /ram (or
  // /tmp without /ram when the hint is 0). A mode of 0 keeps mkstemp's.
  NewFile newFile(const std::string& destination, uint64_t sizeHint, mode_t mode);
  // Records a deletion of an existing path; for a path that does not exist,
  // drops any entry recorded for it (deleting its temporary file).
  void remove(const std::string& path);
  void move(const std::string& destination, const std::string& source);
  void link(const std::string& destination, const std::string& target);
  // False when a change other than a deletion is pending for the path (a
  // pending deletion is cancelled), or when the path exists and is not a
  // directory.
  bool directoryUsable(const std::string& path);
  // Whether a new file or a move is pending for the path.
  bool writes(const std::string& path) const;

  // Carries out every change (first, then deletions and links, then renames,
  // then copies) and returns how many failed; each failure is printed with
  // its path. A cross-device copy never cuts the old file when the new
  // content cannot fit.
  int commit(const std::string& first = "", bool progress = false);
  // Deletes the temporary files and forgets every change.
  void cancel();
  bool isEmpty() const { return entries_.empty(); }
  const std::map<std::string, TransactionEntry>& entries() const { return entries_; }

  [[nodiscard]] bool saveManifest(const std::string& path) const;
  [[nodiscard]] bool loadManifest(const std::string& path);
  // False when /flash/boot or /flash would end with 16 free blocks or fewer
  // and less free space than now.
  bool enoughSpace() const;

  // A checkpoint: the entries as they are now. restore() brings them back,
  // deleting the temporary files recorded since.
  std::map<std::string, TransactionEntry> checkpoint() const { return entries_; }
  void restore(const std::map<std::string, TransactionEntry>& saved);

 private:
  void record(const std::string& destination, TransactionEntry entry);
  void dropEntry(std::map<std::string, TransactionEntry>::iterator it);

  std::map<std::string, TransactionEntry> entries_;
};

// mkdir -p of the parent directory of path, as commit does it.
void createParentDirectories(const std::string& path);

}  // namespace pkg
