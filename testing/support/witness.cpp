#include "witness.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

namespace contract {

bool WaitFor(const std::function<bool()>& done,
             std::chrono::milliseconds limit) {
  // Short against the waits under test, long enough not to load the guest.
  constexpr std::chrono::milliseconds kPollInterval(5);
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
  return true;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string ReadAt(const std::string& path, off_t offset, size_t len) {
  android::base::unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  std::string data(len, '\0');
  size_t done = 0;
  while (fd.ok() && done < len) {
    const ssize_t n = pread(fd.get(), &data[done], len - done,
                            offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  data.resize(done);
  return data;
}

std::vector<std::string> Entries(const std::string& dir,
                                 const std::string& prefix) {
  std::vector<std::string> found;
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
  if (!d) return found;
  while (const struct dirent* e = readdir(d.get())) {
    const std::string n = e->d_name;
    if (n != "." && n != ".." && n.compare(0, prefix.size(), prefix) == 0) {
      found.push_back(n);
    }
  }
  return found;
}

int RunCommand(const std::vector<std::string>& argv, std::string* output,
               const std::vector<std::string>& env) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  android::base::unique_fd read_end(fds[0]);
  android::base::unique_fd write_end(fds[1]);
  std::vector<char*> args;
  for (const std::string& a : argv) {
    args.push_back(const_cast<char*>(a.c_str()));
  }
  args.push_back(nullptr);
  // Built before the fork: the child only calls what is safe after one.
  const auto name_of = [](const std::string& e) {
    return e.substr(0, e.find('='));
  };
  std::vector<char*> envp;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string name = name_of(*e);
    if (std::none_of(env.begin(), env.end(), [&](const std::string& x) {
          return name_of(x) == name;
        })) {
      envp.push_back(*e);
    }
  }
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    const int null = open("/dev/null", O_RDONLY);
    if (null < 0 || dup2(null, STDIN_FILENO) < 0 ||
        dup2(write_end.get(), STDOUT_FILENO) < 0 ||
        dup2(write_end.get(), STDERR_FILENO) < 0) {
      _exit(126);
    }
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  write_end.reset();
  output->clear();
  char buf[4096];
  ssize_t n;
  while ((n = read(read_end.get(), buf, sizeof(buf))) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    output->append(buf, static_cast<size_t>(n));
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  // The shell's way of telling a signal from an exit status.
  constexpr int kSignalBase = 128;
  if (WIFSIGNALED(status)) return kSignalBase + WTERMSIG(status);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> LogLines(const std::string& text) {
  // The platform's real loggers write the time, process and thread ids
  // after the severity; the stand-in writes none of them.
  static const std::regex kRealStamp(R"(^\d\d-\d\d \d\d:\d\d:\d\d +\d+ +\d+ )");
  // "<level><tag>: ", the level the kernel's (tool/kernel_log.cpp's map).
  static const std::regex kKernelRecord(R"(^<(\d)>[^ :]+: (.*))");
  static constexpr char kLetterOfLevel[] = "??FEW?ID";
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  std::smatch m;
  while (std::getline(in, line)) {
    // "<tag> <S> [<stamp> ][<file>:<line>] ]<text>"
    const size_t first = line.find(' ');
    char letter;
    std::string rest;
    if (std::regex_match(line, m, kKernelRecord)) {
      letter = kLetterOfLevel[m[1].str()[0] - '0'];
      rest = m[2].str();
    } else if (first != std::string::npos && first + 3 <= line.size() &&
               line[first + 2] == ' ') {
      letter = line[first + 1];
      rest = std::regex_replace(line.substr(first + 3), kRealStamp, "",
                                std::regex_constants::format_first_only);
    } else {
      lines.push_back(line);
      continue;
    }
    const size_t mark = rest.find("] ");
    if (mark != std::string::npos && rest.find(' ') > mark) {
      rest = rest.substr(mark + 2);
    }
    lines.push_back(std::string(1, letter) + " " + rest);
  }
  return lines;
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  const char* old = getenv(name);
  had_ = old != nullptr;
  if (had_) old_ = old;
  if (value != nullptr) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}

ScopedEnv::~ScopedEnv() {
  if (had_) {
    setenv(name_, old_.c_str(), 1);
  } else {
    unsetenv(name_);
  }
}

StderrCapture::StderrCapture() : file_(memfd_create("stderr", MFD_CLOEXEC)) {
  if (!file_.ok()) return;
  fflush(stderr);
  saved_.reset(dup(STDERR_FILENO));
  if (saved_.ok() && dup2(file_.get(), STDERR_FILENO) < 0) saved_.reset();
}

std::string StderrCapture::Stop() {
  std::string text;
  if (!saved_.ok()) return text;
  fflush(stderr);
  dup2(saved_.get(), STDERR_FILENO);
  saved_.reset();
  char buf[4096];
  ssize_t n;
  for (off_t at = 0; (n = pread(file_.get(), buf, sizeof(buf), at)) > 0;
       at += n) {
    text.append(buf, static_cast<size_t>(n));
  }
  return text;
}

}  // namespace contract
