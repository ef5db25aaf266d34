// The install child: a fork of init, one per package, that runs the package
// engine with the package on its standard input. Flows never parse packages:
// whatever the medium, a package is a byte stream sent into its child.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <memory>

#include "pkg/byte_stream.h"
#include "pkg/package_record.h"
#include "runtime/system.h"

namespace flow {

// Image mode installs into the system on /flash and keeps the package's
// image; direct mode unpacks into the running installer system.
enum class ChildMode { IMAGE, DIRECT };

// One child at a time. It is finished (its input closed, the child reaped)
// at the latest when the object goes, so none is ever left behind.
class InstallChild {
 public:
  InstallChild() = default;
  ~InstallChild() { (void)finish(); }
  InstallChild(const InstallChild&) = delete;
  InstallChild& operator=(const InstallChild&) = delete;

  // False when another child still runs or none can be started.
  [[nodiscard]] bool start(const pkg::PackageStates& states, ChildMode mode, bool quiet);
  // One record of the package; false when it cannot be written (the child is gone).
  [[nodiscard]] bool send(const void* data, size_t n);
  // Closes the child's input and waits for it: its raw wait status, or -1
  // (also when no child runs). What the engine made of the package is not
  // told: the engine reports it on the console itself.
  int finish();
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  vl::Fd input_;
};

// The child's work on its standard input (exposed for tests).
void runInstallChild(const pkg::PackageStates& states, ChildMode mode, bool quiet);

// The largest record a flow writes into a child.
inline constexpr size_t INSTALL_RECORD_SIZE = 4096;
// The capacity asked for the child's pipe.
inline constexpr int INSTALL_PIPE_CAPACITY = 1 << 20;

// Every package streamed into a child of its own; the result of one package
// that the engine refuses is not looked at. The flow's own messages:
struct InstallMessages {
  const char* cannotStart;   // no child could be started
  const char* sourceFailed;  // a package's bytes could not be read
};
// source(i) gives package i's bytes (null when it cannot be opened); done(i),
// when given, is told once package i is installed (to free its bytes). False
// after the message (an empty line when a record could not be written).
[[nodiscard]] bool installPackages(const pkg::PackageStates& states, size_t count,
                                   const std::function<std::unique_ptr<pkg::ByteSource>(size_t)>& source,
                                   const InstallMessages& messages, const std::function<void(size_t)>& done = {});

// A package file as a byte source; null when it cannot be opened.
std::unique_ptr<pkg::ByteSource> openPackageFile(const std::string& path);
// The same for a package file already open (the source owns the descriptor).
std::unique_ptr<pkg::ByteSource> packageFileSource(vl::Fd file);

}  // namespace flow
