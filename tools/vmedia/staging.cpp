#include "tools/vmedia/staging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>

#include "runtime/fileutil.h"
#include "runtime/system.h"

namespace vmedia {

ScratchDirectory::ScratchDirectory() {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vmedia.XXXXXX";
  if (mkdtemp(pattern.data())) path_ = pattern;
  else perror("vmedia: scratch directory");
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  if (ok()) std::filesystem::remove_all(path_, ignored);
}

PartialOutput::PartialOutput(const std::string& output) : output_(output), partial_(output + ".partial") {
  unlink(partial_.c_str());
}

PartialOutput::~PartialOutput() {
  if (!committed_) unlink(partial_.c_str());
}

bool PartialOutput::commit() {
  if (rename(partial_.c_str(), output_.c_str()) != 0) {
    fprintf(stderr, "vmedia: cannot write %s: %s\n", output_.c_str(), strerror(errno));
    return false;
  }
  committed_ = true;
  return true;
}

bool runTool(const std::vector<std::string>& argv) {
  // The tool's chatter (banners, notes) is shown only when it fails.
  char logPath[] = "/tmp/vmedia-tool.XXXXXX";
  vl::Fd log(mkstemp(logPath));
  if (log.valid()) unlink(logPath);
  const int status = vl::runProgram(argv, [&] {
    if (log.valid()) {
      dup2(log.get(), 1);
      dup2(log.get(), 2);
    }
    setenv("MTOOLS_SKIP_CHECK", "1", 1);  // a disk image has no drive geometry to check
  });
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  if (log.valid() && lseek(log.get(), 0, SEEK_SET) == 0) {
    char buffer[4096];
    ssize_t n;
    while ((n = read(log.get(), buffer, sizeof buffer)) > 0) fwrite(buffer, 1, size_t(n), stderr);
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 127)
    fprintf(stderr, "vmedia: %s could not be run (bash scripts/setup.sh installs it)\n", argv[0].c_str());
  else
    fprintf(stderr, "vmedia: %s failed\n", argv[0].c_str());
  return false;
}

bool makeDirectory(const std::string& path) {
  std::error_code error;
  std::filesystem::create_directories(path, error);
  if (!error) return true;
  fprintf(stderr, "vmedia: cannot make %s: %s\n", path.c_str(), error.message().c_str());
  return false;
}

bool copyFile(const std::string& from, const std::string& to) {
  std::error_code error;
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, error);
  if (!error) return true;
  fprintf(stderr, "vmedia: cannot copy %s: %s\n", from.c_str(), error.message().c_str());
  return false;
}

bool writeFile(const std::string& path, const std::string& contents) {
  if (vl::writeTextFile(path, contents)) return true;
  fprintf(stderr, "vmedia: cannot write %s\n", path.c_str());
  return false;
}

bool setDates(const std::string& root, uint32_t time) {
  const struct timespec dates[2] = {{time_t(time), 0}, {time_t(time), 0}};
  bool ok = utimensat(AT_FDCWD, root.c_str(), dates, AT_SYMLINK_NOFOLLOW) == 0;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(root, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error))
    ok = utimensat(AT_FDCWD, it->path().c_str(), dates, AT_SYMLINK_NOFOLLOW) == 0 && ok;
  if (ok && !error) return true;
  fprintf(stderr, "vmedia: cannot date the files of the medium\n");
  return false;
}

bool haveLoaderFiles(const std::vector<const char*>& files, const char* packages) {
  bool ok = true;
  for (const char* file : files)
    if (!vl::fileExists(file)) {
      fprintf(stderr, "vmedia: the loader file %s is missing (Debian's %s)\n", file, packages);
      ok = false;
    }
  return ok;
}

}  // namespace vmedia
