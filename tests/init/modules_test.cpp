// Module lists, with module files in a temporary tree and the kernel's
// insertion replaced by a recorder: nothing reaches the host's kernel.
#include "init/flow/modules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/sandbox.h"

using qvtest::TempDir;
using qvtest::writeFile;

namespace {

size_t length(const char* const* list) {
  size_t n = 0;
  while (list[n]) ++n;
  return n;
}

}  // namespace

TEST(Modules, ListsAsTheMediumCarriesThem) {
  EXPECT_EQ(length(flow::StorageModules), 75u);
  EXPECT_EQ(length(flow::UsbModules), 7u);
  EXPECT_EQ(length(flow::FatModules), 4u);
  // Each list loads a module after the ones it needs.
  EXPECT_STREQ(flow::StorageModules[0], "kernel/fs/ext2/ext2.ko");
  EXPECT_STREQ(flow::StorageModules[74], "kernel/drivers/scsi/hpsa.ko");
  EXPECT_STREQ(flow::UsbModules[1], "kernel/drivers/usb/core/usbcore.ko");
  EXPECT_STREQ(flow::FatModules[3], "kernel/fs/nls/nls_iso8859-1.ko");
  EXPECT_STREQ(flow::EARLY_NETWORK_MODULE, "drivers/net/atl1c.ko");
}

struct ModuleCase {
  const char* name;
  std::vector<std::string> present;   // files that exist, with content
  std::vector<std::string> empty;     // files that exist but cannot be mapped
  std::vector<const char*> list;
  int refuse;                         // the kernel's answer for every insertion
  std::vector<std::string> inserted;  // in order
  std::string printed;
};

TEST(Modules, LoadingIsBestEffort) {
  const ModuleCase cases[] = {
      {"missing files are passed over silently", {"kernel/a.ko", "kernel/c.ko"}, {},
       {"kernel/a.ko", "kernel/b.ko", "kernel/c.ko"}, 0, {"kernel/a.ko", "kernel/c.ko"}, ""},
      {"a file that cannot be mapped is reported and the list goes on", {"kernel/c.ko"}, {"kernel/a.ko"},
       {"kernel/a.ko", "kernel/c.ko"}, 0, {"kernel/c.ko"}, "ERROR: could not load module kernel/a.ko\n"},
      {"refused insertions (already loaded) print nothing", {"kernel/a.ko", "kernel/b.ko"}, {},
       {"kernel/a.ko", "kernel/b.ko"}, -1, {"kernel/a.ko", "kernel/b.ko"}, ""},
  };
  for (const ModuleCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir tree;
    for (const std::string& m : c.present) writeFile(tree / m, "module image of " + m);
    for (const std::string& m : c.empty) writeFile(tree / m, "");
    std::vector<const char*> list = c.list;
    list.push_back(nullptr);
    std::vector<std::string> inserted;
    const flow::ModuleInserter insert = [&](const void* image, size_t size) {
      const std::string content(static_cast<const char*>(image), size);
      inserted.push_back(content.substr(content.find("kernel/")));
      return c.refuse;
    };
    testing::internal::CaptureStdout();
    flow::loadModuleList(list.data(), tree.path() + "/", insert);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
    EXPECT_EQ(inserted, c.inserted);
    EXPECT_EQ(flow::loadModule("kernel/none.ko", tree.path() + "/", insert), -1);
  }
}
