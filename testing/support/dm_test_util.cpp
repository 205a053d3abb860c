#include "dm_test_util.h"

#include <stdlib.h>

#include <sstream>

#include "libdm/dm_target.h"

namespace android {
namespace dm {
namespace testing_util {

std::vector<std::string> LibLines(const std::string& log) {
  std::vector<std::string> lines;
  std::istringstream in(log);
  std::string line;
  while (std::getline(in, line)) {
    // "<tag> <S> <file>:<line>] <text>"
    size_t first = line.find(' ');
    size_t mark = line.find("] ");
    if (first != std::string::npos && mark != std::string::npos &&
        first + 2 < line.size()) {
      lines.push_back(std::string(1, line[first + 1]) + " " +
                      line.substr(mark + 2));
    } else {
      lines.push_back(line);
    }
  }
  return lines;
}

std::vector<std::string> RequestLog() {
  std::vector<std::string> log;
  for (const fakedm::Request& r : fakedm::Requests()) {
    std::string entry = r.request + " " + r.name;
    if (r.error != 0) entry += " " + std::to_string(r.error);
    log.push_back(entry);
  }
  return log;
}

void DmTest::SetUp() {
  ASSERT_TRUE(sandbox_.ok());
  MakeFile("dev/device-mapper", 0, "");
  MakeFile("dev/block/sda", 4 << 20);
  // Nothing of the host's environment may steer the library in tests.
  unsetenv("ANDROID_PROPERTY_FILES");
  unsetenv("ANDROID_LOG_TAGS");
  fakedm::SetRoot(root_);
  fakedm::Reset();
  fakedm::SetFaults(fakedm::Faults());
  fakedm::SetDeviceManager(fakedm::DeviceManager());
  dm_ = std::make_unique<TestDeviceMapper>();
}

void DmTest::TearDown() {
  dm_.reset();
  fakedm::Reset();
  fakedm::SetFaults(fakedm::Faults());
  fakedm::SetRoot("");
}

void DmTest::MakeFile(const std::string& rel, uint64_t size,
                      const std::string& header) {
  std::string bytes = header;
  for (uint64_t i = header.size(); i < size; ++i) {
    bytes.push_back(static_cast<char>((i * 131 + 7) >> 3));
  }
  ASSERT_FALSE(sandbox_.File(rel, bytes, size).empty()) << rel;
}

DmTable DmTest::LinearTable(uint64_t length) {
  DmTable table;
  table.AddTarget(
      std::make_unique<DmTargetLinear>(0, length, "/dev/block/sda", 8));
  return table;
}

void DmTest::Inject(const fakedm::Faults& faults) {
  dm_.reset();
  fakedm::SetFaults(faults);
  dm_ = std::make_unique<TestDeviceMapper>();
}

}  // namespace testing_util
}  // namespace dm
}  // namespace android
