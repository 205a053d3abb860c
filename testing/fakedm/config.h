// The fake's settings as the FAKEDM_* environment variables give them (see
// fakedm.h for their meaning), and errno names.
//
// ReadSettings() fills |out| and returns true, or returns false with |error|
// saying which variable is malformed (then |out| is unspecified).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "fakedm/fakedm.h"

namespace fakedm {
namespace internal {

struct Settings {
  std::string root;
  Faults faults;
  DeviceManager device_manager;
};

using GetEnv = std::function<const char*(const char*)>;

bool ReadSettings(const GetEnv& getenv, Settings* out, std::string* error);

// FAKEDM_FAIL's value: "REQ=ERR[@N],...". Request names are made canonical
// ("TABLE_LOAD" becomes "DM_TABLE_LOAD").
bool ParseRequestFaults(const std::string& text,
                        std::vector<RequestFault>* out);

// An errno from its name ("EBUSY") or decimal number.
bool ParseErrno(const std::string& text, int* out);
// "0" for 0, else the errno's name (or its number when it has none).
std::string ErrnoName(int err);

}  // namespace internal
}  // namespace fakedm
