// The texts of the network installation's messages: what the client sends
// (DSCV, DRVR) and what it reads from the server's answers (OFFR, FILE).
// Pure: no system calls. Only the payload bytes a frame counts are read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace net {

// The longest opaque line an OFFR may carry (its line 2, sent back as line 2
// of the next DSCV); buffers for it hold at least this plus its end.
inline constexpr size_t OFFER_LINE_MAX = 512;
// The characters of a FILE name that are kept.
inline constexpr size_t FILE_NAME_MAX = 80;

struct DiscoveryLines {
  std::string line2, line3;  // opaque; empty at the start of a run
  std::string label;         // the disk label, "Korvanet" by default
  std::string minimumVersion;
};

// "DSCV" and six lines, each ended by "\n", then the NUL the payload carries.
std::string discoveryPayload(const DiscoveryLines& lines);
// "DRVR\n" and the kernel release, then a NUL.
std::string driverRequestPayload(const std::string& kernelRelease);

struct Offer {
  std::string line2;
  bool keep = false;  // line 3 is exactly "keep" ended by "\n"
};
// An OFFR payload; false for one to ignore (no "\n" after line 2, or a line 2
// of more than 512 characters).
bool parseOffer(const uint8_t* payload, size_t n, Offer& offer);

struct FileAnnouncement {
  std::string name;  // the first 80 characters
  int32_t size = 0;
};
// A FILE payload: "FILE", the name and the size, each line ended by "\n"; the
// size is read from line 3 alone with C atoi's rules (leading blanks, a sign,
// digits up to the first other character), held to the 32-bit range. False
// when a line end is missing.
bool parseFileAnnouncement(const uint8_t* payload, size_t n, FileAnnouncement& file);

// The label from the first line of label.txt: only ASCII letters, digits and
// punctuation are kept, at most 63 characters; "Korvanet" when none is left.
std::string diskLabel(const std::string& firstLine);

}  // namespace net
