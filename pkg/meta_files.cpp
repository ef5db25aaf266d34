#include "pkg/meta_files.h"

#include <cerrno>
#include <cstdlib>

#include "runtime/fileutil.h"

namespace pkg {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// The whitespace-separated words of a text.
class Words {
 public:
  explicit Words(std::string_view text) : text_(text) {}
  bool next(std::string_view& word) {
    while (at_ < text_.size() && isBlank(text_[at_])) ++at_;
    if (at_ == text_.size()) return false;
    const size_t start = at_;
    while (at_ < text_.size() && !isBlank(text_[at_])) ++at_;
    word = text_.substr(start, at_ - start);
    return true;
  }

 private:
  std::string_view text_;
  size_t at_ = 0;
};

bool parseUnsigned(std::string_view word, uint32_t& value) {
  if (word.empty() || word.size() > 10) return false;
  uint64_t v = 0;
  for (char c : word) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + uint64_t(c - '0');
  }
  if (v > 0xffffffffull) return false;
  value = uint32_t(v);
  return true;
}

bool parseSigned(std::string_view word, int32_t& value) {
  const bool negative = !word.empty() && word[0] == '-';
  if (negative || (!word.empty() && word[0] == '+')) word.remove_prefix(1);
  uint32_t magnitude;
  if (!parseUnsigned(word, magnitude) || magnitude > (negative ? 0x80000000u : 0x7fffffffu)) return false;
  value = negative ? int32_t(-int64_t(magnitude)) : int32_t(magnitude);
  return true;
}

bool hasNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

}  // namespace

bool parseVersionText(std::string_view text, uint32_t& version, uint32_t& buildTime) {
  if (hasNul(text)) return false;
  Words words(text);
  std::string_view v, t;
  return words.next(v) && words.next(t) && parseUnsigned(v, version) && parseUnsigned(t, buildTime);
}

bool parseListText(std::string_view text, bool withPriority, std::vector<DependencyEntry>& list) {
  if (hasNul(text)) return false;
  Words words(text);
  std::string_view name, minimum, maximum, priority;
  while (words.next(name)) {
    DependencyEntry e;
    e.name = std::string(name);
    if (!words.next(minimum) || !words.next(maximum) || !parseUnsigned(minimum, e.minimum) ||
        !parseUnsigned(maximum, e.maximum))
      return false;
    if (withPriority && (!words.next(priority) || !parseSigned(priority, e.priority))) return false;
    list.push_back(std::move(e));
  }
  return true;
}

bool parseFilesText(std::string_view text, std::set<std::string>& files) {
  if (hasNul(text)) return false;
  size_t at = 0;
  for (;;) {
    const size_t end = text.find('\n', at);
    if (end == std::string_view::npos) break;  // cut short: not a whole path
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    if (line.empty()) continue;
    files.insert(line[0] == '/' ? std::string(line) : "/" + std::string(line));
  }
  return true;
}

bool firstWordOf(std::string_view text, std::string& word) {
  word.clear();
  if (hasNul(text)) return false;
  Words words(text);
  std::string_view w;
  if (words.next(w)) word = std::string(w);
  return true;
}

bool firstLineOf(std::string_view text, std::string& line) {
  line.clear();
  if (hasNul(text)) return false;
  line = std::string(text.substr(0, text.find('\n')));
  return true;
}

PackageAction scheduledAction(std::string_view text) {
  std::string word;
  if (!firstWordOf(text, word)) return ACTION_NONE;
  if (word == "uninstall") return ACTION_UNINSTALL;
  if (word == "enable") return ACTION_ENABLE;
  if (word == "disable") return ACTION_DISABLE;
  return ACTION_NONE;
}

MetaRead readMetaFile(const std::string& path, size_t limit, std::string& text, std::string& why) {
  const vl::ReadStatus status = vl::readBoundedFile(path, limit, text);
  if (status == vl::ReadStatus::OK) return MetaRead::OK;
  if (status == vl::ReadStatus::MISSING) return MetaRead::MISSING;
  why = path.substr(path.rfind('/') + 1) + " is " + vl::readStatusText(status);
  return MetaRead::BROKEN;
}

}  // namespace pkg
