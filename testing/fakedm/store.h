// The fake's files under $ROOT/.fakedm (see fakedm.h): the kernel's state,
// kept in step with other processes by the file's identity (inode, size,
// modification time), the request log, and the count of open descriptors.
// A store without a root does nothing.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include "fakedm/fakedm.h"
#include "state.h"

namespace fakedm {
namespace internal {

class StateStore {
 public:
  // Works under |root| ("" for none) and forgets what it last read.
  void SetRoot(const std::string& root);

  // Replaces |state| when the file changed since it was last read or
  // written: with an empty state when it is gone; a malformed file is
  // reported on stderr and leaves |state| alone.
  void ReloadIfChanged(State* state);
  void Save(const State& state);
  void AppendRequest(const std::string& request, const std::string& device,
                     int error) const;
  std::vector<Request> Requests() const;
  void WriteOpenDescriptors(size_t count) const;
  // Deletes the folder and everything in it.
  void Clear() const;

 private:
  struct Signature {
    bool exists = false;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime = {};
    bool operator==(const Signature& o) const;
  };
  Signature StatFile() const;
  bool MakeDir() const;

  std::string dir_;
  Signature signature_;
};

}  // namespace internal
}  // namespace fakedm
