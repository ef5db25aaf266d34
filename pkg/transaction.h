// Pending file-system changes, keyed by destination path. New content goes at
// once into temporary files placed where the final rename will be cheap;
// nothing lands at its final path until commit, which deletes, links and
// renames in a fixed order, copying where a rename would cross file systems.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <vector>

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
  NewFile(NewFile&& other) noexcept
      : fd_(other.fd_), failed_(other.failed_), written_(other.written_), writebackFrom_(other.writebackFrom_) {
    other.fd_ = -1;
  }
  NewFile& operator=(NewFile&& other) noexcept;
  ~NewFile();

  bool ok() const { return fd_ >= 0 && !failed_; }
  // Writes all bytes; false (and not ok() from then on) on failure. errno tells why.
  bool write(const void* data, size_t n);
  bool write(const std::string& text) { return write(text.data(), text.size()); }
  // Closes the file; false if any write or the close failed.
  [[nodiscard]] bool close();

 private:
  // The commit syncs every new file: writing a large one back from the
  // start, a step at a time, lets the disk work while the package is still
  // being hashed and inflated, and keeps little memory dirty.
  static constexpr uint64_t WRITEBACK_STEP = 1 << 20;

  int fd_ = -1;
  bool failed_ = false;
  uint64_t written_ = 0;
  uint64_t writebackFrom_ = 0;  // written_ when writeback was last started
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

  // Carries out every change (first, then deletions and links, then renames)
  // and returns how many failed; each failure is printed with its path.
  // All or nothing, also across a crash: every new file, link and moved file
  // is first staged on its destination's file system (a copy where the
  // source lies on another) and synced; a failure there changes nothing.
  // Changes below /flash are then written to the journal, synced, carried
  // out, synced, and the journal removed: a run that finds the journal
  // finishes the commit (finishInterruptedCommit).
  int commit(const std::string& first = "", bool progress = false);
  // Deletes the temporary files and forgets every change.
  void cancel();
  bool isEmpty() const { return entries_.empty(); }
  const std::map<std::string, TransactionEntry>& entries() const { return entries_; }

  [[nodiscard]] bool saveManifest(const std::string& path) const;
  // Records the changes of a saved transaction; false (nothing recorded,
  // why told) when it cannot be read or is malformed in any line, and when
  // it holds no change.
  [[nodiscard]] bool loadManifest(const std::string& path, std::string* why = nullptr);
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

// Where temporary files go: a directory of this name at the top of each file
// system the engine writes to (/flash, /flash/boot, /ram, /tmp), so that a
// later run finds and removes what an interrupted one left.
inline constexpr const char* STAGING_NAME = ".qv-staging";
// The record of a commit under way.
inline constexpr const char* COMMIT_JOURNAL = "/flash/.qv-journal";
inline constexpr size_t JOURNAL_LIMIT = 64 * 1024 * 1024;

// One line of a saved transaction.
struct ManifestLine {
  char kind;  // 'U', 'L' or 'M'
  std::string destination, source;
};
// A saved transaction's text: false, with the line and the reason in why, for
// a NUL byte, an unterminated last line, a field too many or too few, or a
// path that is not absolute and plain. An empty line ends it; lines of
// other kinds are ignored.
[[nodiscard]] bool parseManifest(std::string_view text, std::vector<ManifestLine>& lines, std::string& why);
// A journal's text: false unless it is whole (its end line counts the steps
// and checks their bytes).
[[nodiscard]] bool parseJournal(std::string_view text, std::vector<std::pair<std::string, std::string>>& renames,
                                std::vector<std::string>& deletions, std::vector<char>& order);

enum class InterruptedCommit { NONE, FINISHED, FAILED, DROPPED };
// Finishes a commit that a crash interrupted (the journal is whole: its
// steps are carried out again), or drops a journal that is not whole; then
// removes the temporary files interrupted runs left in the staging
// directories and the copies of packages being read, except the paths in
// keep (a saved transaction's files). Any run that changes things calls it
// first, under the run lock.
InterruptedCommit finishInterruptedCommit(const std::set<std::string>& keep = {});
// Whether a commit was interrupted and not yet finished.
bool commitPending();

// mkdir -p of the parent directory of path, as commit does it.
void createParentDirectories(const std::string& path);

}  // namespace pkg
