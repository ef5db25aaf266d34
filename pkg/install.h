// Installation of packages: one package or a bundle from a stream, the
// unattended upgrade from the upgrade directories, the kept package image,
// the marker files and the post-install log.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pkg/byte_stream.h"
#include "pkg/package_set.h"
#include "pkg/part_reader.h"
#include "pkg/transaction.h"

namespace pkg {

inline constexpr const char* DOWNLOAD_DIRECTORY = "/rw/pckg/.download/";
inline constexpr const char* IGNORE_DOWNLOADS = "/rw/pckg/.download/IGNORE";
inline constexpr const char* FLASH_UPGRADE_DIRECTORY = "/flash/rw/pckg/";
inline constexpr const char* VAR_UPGRADE_DIRECTORY = "/flash/var/pckg/";
inline constexpr const char* DOWNGRADE_FILE = "/ram/DOWNGRADE";
inline constexpr const char* UPGRADED_MARKER = "/flash/UPGRADED";
inline constexpr const char* BRANDING_MARKER = "/flash/BRANDING_INSTALLED";
inline constexpr const char* POSTLOG = "/flash/postlog";

// What an installation reports besides its result.
struct InstallOutcome {
  // A package or bundle was installed into the transaction. Only then was
  // the stream read to its end, so only then is a copy of it (the tee) whole.
  bool installed = false;
  // Where the installed package keeps its image (its package file); empty
  // when it keeps none.
  std::string imageDirectory;
  bool boot = false;  // the package's image becomes /flash/bootimage
};

// 0 on success, also for a package or bundle whose same version is already
// installed (nothing is installed then); 1 (a package that failed, or a
// broken bundle header), 2 (a refused bundle or member) or 3 (a bundle
// without members). Every failure is reported. On a non-zero result the
// caller must cancel the transaction: what the package queued is not to be
// committed, and the set is no longer to be planned on.
int installFromStream(PackageSet& set, Transaction& t, ByteSource& input, unsigned allowed,
                      const PackageStates& forced, ByteSink* tee, InstallOutcome* outcome);

// After installFromStream: moves the whole copy of what was installed into
// place as its kept image, or deletes the copy when nothing may keep it (a
// package that keeps no image, or one that was already installed), so that
// a kept image is never replaced by a fragment.
void keepImageCopy(Transaction& t, const std::string& copy, const InstallOutcome& outcome);

// The header-level parts are read; unpacks the payload, checks the signature,
// writes the database entry. False on failure (reported).
[[nodiscard]] bool installPayload(PackageSet& set, PackageRecord& r, Transaction& t, PartReader& reader, bool relative);

struct UpgradeResult {
  bool cancelled = false;                // a package failed: the transaction was cancelled
  std::vector<std::string> installed;    // nameVersion of each package installed
  bool changesReported = false;          // "enabled ..." was printed for a package enabled again
  // The candidate files that were installed or found already installed: the
  // caller deletes them once the commit succeeded (deleting them earlier, a
  // run cut short in the middle of its commit would lose both the old and
  // the new version), whatever became of them in the commit.
  std::vector<std::string> processed;
};

// Installs every package waiting in the upgrade directories. On a failure
// the transaction is cancelled and nothing is listed.
UpgradeResult upgrade(PackageSet& set, Transaction& t, unsigned allowed);

// Moves the kept image into place (or to /flash/bootimage, linked from there).
void placeImage(Transaction& t, const std::string& imageFile, const std::string& directory, bool boot);

// The post-install log: the previous runs' lines go in front of this run's
// messages; the file is reserved with zeros so that it can be written at the end.
void prepareLog(PackageSet& set);
void writeLog(PackageSet& set);

// The progress bar of one package on the status line.
void showProgress(PackageSet& set, const PackageRecord& r, const PartReader& reader);

// The install child's work in image mode: the package on input goes into the
// target mounted on /flash, with its image kept. A package that fails leaves
// nothing on the target. Returns installFromStream's result (or -1 when the
// image file cannot be opened).
int installImage(PackageSet& set, ByteSource& input, const PackageStates& forced);

}  // namespace pkg
