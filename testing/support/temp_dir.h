// A fresh, private folder "$TMPDIR/<prefix>.XXXXXX" (mkdtemp; /tmp without
// TMPDIR) for one test or fixture, removed with everything in it when the
// object goes. When it cannot be made, ok() is false and path() is empty.
#pragma once

#include <stdint.h>

#include <string>

namespace quillmap_testing {

class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "quillmap");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  // path() + "/" + |rel|.
  std::string Path(const std::string& rel) const;
  // Writes |head| to |rel| (making the folders on the way), then sets the
  // file's size to |size|: zeros after |head|, or |head| cut short. Returns
  // the file's full path, or "" on failure.
  std::string File(const std::string& rel, const std::string& head,
                   uint64_t size) const;
  // A file holding exactly |text|.
  std::string File(const std::string& rel, const std::string& text) const {
    return File(rel, text, text.size());
  }

 private:
  std::string path_;
};

}  // namespace quillmap_testing
