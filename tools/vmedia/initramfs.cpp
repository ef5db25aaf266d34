#include "tools/vmedia/initramfs.h"

#include <sys/stat.h>
#include <zlib.h>

#include <cstdio>
#include <memory>

#include "runtime/fileutil.h"

namespace vmedia {

namespace {

std::string relative(const std::string& path) {
  size_t start = path.find_first_not_of('/');
  return start == std::string::npos ? std::string() : path.substr(start);
}

// "070701" and thirteen eight-digit hexadecimal fields, then the name with
// its NUL, padded to four bytes; the data is padded to four bytes too.
void appendHeader(std::string& out, uint32_t inode, uint32_t mode, uint32_t links, uint32_t time, size_t dataSize,
                  uint32_t deviceMajor, uint32_t deviceMinor, const std::string& name) {
  char header[111];
  snprintf(header, sizeof header, "070701%08X%08X%08X%08X%08X%08X%08zX%08X%08X%08X%08X%08zX%08X", inode, mode, 0u, 0u,
           links, time, dataSize, 0u, 0u, deviceMajor, deviceMinor, name.size() + 1, 0u);
  out.append(header, 110);
  out.append(name);
  out.push_back('\0');
  out.append((4 - out.size() % 4) % 4, '\0');
}

void appendData(std::string& out, const std::string& data) {
  out.append(data);
  out.append((4 - out.size() % 4) % 4, '\0');
}

// gzip without a name or a date in its header.
bool compress(const std::string& archive, const std::string& output, std::string& why) {
  z_stream z = {};
  if (deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
    why = "cannot start the compressor";
    return false;
  }
  std::string compressed(deflateBound(&z, uLong(archive.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(archive.data()));
  z.avail_in = uInt(archive.size());
  z.next_out = reinterpret_cast<Bytef*>(compressed.data());
  z.avail_out = uInt(compressed.size());
  const int result = deflate(&z, Z_FINISH);
  compressed.resize(z.total_out);
  deflateEnd(&z);
  if (result != Z_STREAM_END) {
    why = "compression failed";
    return false;
  }
  if (!vl::writeTextFile(output, compressed)) {
    why = "cannot write " + output;
    return false;
  }
  return true;
}

}  // namespace

void Initramfs::addParents(const std::string& path) {
  for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    const std::string parent = path.substr(0, slash);
    if (!entries_.count(parent)) entries_[parent].mode = S_IFDIR | 0755;
  }
}

void Initramfs::addDirectory(const std::string& path, uint32_t permissions) {
  const std::string name = relative(path);
  addParents(name);
  entries_[name].mode = S_IFDIR | permissions;
}

void Initramfs::addText(const std::string& path, uint32_t permissions, const std::string& contents) {
  const std::string name = relative(path);
  addParents(name);
  Entry& e = entries_[name];
  e.mode = S_IFREG | permissions;
  e.contents = contents;
}

void Initramfs::addFile(const std::string& path, uint32_t permissions, const std::string& hostPath) {
  const std::string name = relative(path);
  addParents(name);
  Entry& e = entries_[name];
  e.mode = S_IFREG | permissions;
  e.hostPath = hostPath;
}

void Initramfs::addCharacterDevice(const std::string& path, uint32_t permissions, uint32_t major, uint32_t minor) {
  const std::string name = relative(path);
  addParents(name);
  Entry& e = entries_[name];
  e.mode = S_IFCHR | permissions;
  e.deviceMajor = major;
  e.deviceMinor = minor;
}

bool Initramfs::write(const std::string& output, uint32_t time, std::string& why) const {
  std::string archive;
  uint32_t inode = 1;
  for (const auto& [name, e] : entries_) {
    std::string data = e.contents;
    if (!e.hostPath.empty()) {
      if (!vl::fileExists(e.hostPath)) {
        why = e.hostPath + ": no such file";
        return false;
      }
      data = vl::readFileText(e.hostPath);
    }
    const bool directory = S_ISDIR(e.mode);
    appendHeader(archive, inode++, e.mode, directory ? 2 : 1, time, data.size(), e.deviceMajor, e.deviceMinor, name);
    appendData(archive, data);
  }
  appendHeader(archive, 0, 0, 1, 0, 0, 0, 0, "TRAILER!!!");
  return compress(archive, output, why);
}

}  // namespace vmedia
