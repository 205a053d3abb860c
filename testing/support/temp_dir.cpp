// A fresh folder removed with its contents; see temp_dir.h.
#include "temp_dir.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace quillmap_testing {

namespace fs = std::filesystem;

TempDir::TempDir(const std::string& prefix) {
  const char* tmp = getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" +
      prefix + ".XXXXXX";
  if (mkdtemp(&pattern[0]) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  if (ok()) fs::remove_all(path_, ec);
}

std::string TempDir::Path(const std::string& rel) const {
  return path_ + "/" + rel;
}

std::string TempDir::File(const std::string& rel, const std::string& head,
                          uint64_t size) const {
  if (!ok()) return "";
  const fs::path path = Path(rel);
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << head;
    if (!out) return "";
  }
  fs::resize_file(path, size, ec);
  return ec ? "" : path.string();
}

}  // namespace quillmap_testing
