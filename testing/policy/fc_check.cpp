// fc_check: the platform build's file_contexts check (its checkfc) on a
// binary policy: every context of the files must be valid in the policy,
// and its type must be a file_type, dev_type or fs_type.
//
//   fc_check POLICY FILE_CONTEXTS...
//
// Prints each bad line and exits 1 if there is one; exits 2 when the policy
// or a file cannot be read.
#include <sepol/context.h>
#include <sepol/handle.h>
#include <sepol/policydb.h>
#include <sepol/policydb/ebitmap.h>
#include <sepol/policydb/hashtab.h>
#include <sepol/policydb/policydb.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The attributes checkfc asserts for file contexts (its
// CHECK_FC_ASSERT_ATTRS): a file is labelled with a file, device node or
// file system type.
constexpr const char* kFileAttributes[] = {"file_type", "dev_type", "fs_type"};
// A line that leaves its files unlabelled has no context to check.
constexpr char kNoContext[] = "<<none>>";

struct PolicyDeleter {
  void operator()(sepol_policydb_t* p) const { sepol_policydb_free(p); }
};
struct HandleDeleter {
  void operator()(sepol_handle_t* h) const { sepol_handle_destroy(h); }
};
struct FileDeleter {
  void operator()(FILE* f) const { std::fclose(f); }
};
struct PolicyFileDeleter {
  void operator()(sepol_policy_file_t* f) const { sepol_policy_file_free(f); }
};
struct ContextDeleter {
  void operator()(sepol_context_t* c) const { sepol_context_free(c); }
};

const type_datum_t* FindType(const policydb_t& db, const char* name) {
  // hashtab_search takes a mutable key but only compares it.
  return static_cast<const type_datum_t*>(
      hashtab_search(db.p_types.table, const_cast<char*>(name)));
}

bool HasFileAttribute(const policydb_t& db, const char* type_name) {
  const type_datum_t* type = FindType(db, type_name);
  if (type == nullptr) return false;
  for (const char* name : kFileAttributes) {
    const type_datum_t* attr = FindType(db, name);
    if (attr != nullptr && attr->flavor == TYPE_ATTRIB &&
        ebitmap_get_bit(&db.type_attr_map[type->s.value - 1],
                        attr->s.value - 1)) {
      return true;
    }
  }
  return false;
}

// The problem with one context, or an empty string if it is good.
std::string CheckContext(sepol_handle_t* handle, sepol_policydb_t* policy,
                         const std::string& text) {
  sepol_context_t* raw = nullptr;
  if (sepol_context_from_string(handle, text.c_str(), &raw) < 0)
    return "malformed context";
  const std::unique_ptr<sepol_context_t, ContextDeleter> context(raw);
  if (sepol_context_check(handle, policy, context.get()) < 0)
    return "invalid in the policy";
  // A valid context's type is a type of the policy: the public struct holds
  // the policydb.
  const policydb_t& db = reinterpret_cast<const sepol_policydb*>(policy)->p;
  if (!HasFileAttribute(db, sepol_context_get_type(context.get()))) {
    return "type is no file_type, dev_type or fs_type";
  }
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: fc_check POLICY FILE_CONTEXTS...\n";
    return 2;
  }
  const std::unique_ptr<sepol_handle_t, HandleDeleter> handle(
      sepol_handle_create());
  const std::unique_ptr<FILE, FileDeleter> file(std::fopen(argv[1], "re"));
  sepol_policy_file_t* raw_file = nullptr;
  sepol_policydb_t* raw_policy = nullptr;
  if (!handle || !file || sepol_policy_file_create(&raw_file) < 0) {
    std::cerr << "fc_check: cannot read " << argv[1] << "\n";
    return 2;
  }
  const std::unique_ptr<sepol_policy_file_t, PolicyFileDeleter> policy_file(
      raw_file);
  sepol_policy_file_set_fp(policy_file.get(), file.get());
  sepol_policy_file_set_handle(policy_file.get(), handle.get());
  if (sepol_policydb_create(&raw_policy) < 0) return 2;
  const std::unique_ptr<sepol_policydb_t, PolicyDeleter> policy(raw_policy);
  if (sepol_policydb_read(policy.get(), policy_file.get()) < 0) {
    std::cerr << "fc_check: " << argv[1] << " is no binary policy\n";
    return 2;
  }

  int bad = 0;
  for (int i = 2; i < argc; ++i) {
    std::ifstream in(argv[i]);
    if (!in) {
      std::cerr << "fc_check: cannot read " << argv[i] << "\n";
      return 2;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
      std::istringstream words(line.substr(0, line.find('#')));
      std::vector<std::string> fields;
      for (std::string word; words >> word;) fields.push_back(word);
      if (fields.empty() || fields.back() == kNoContext) continue;
      const std::string problem =
          fields.size() < 2
              ? "no context"
              : CheckContext(handle.get(), policy.get(), fields.back());
      if (!problem.empty()) {
        std::cout << argv[i] << ":" << number << ": " << line << ": " << problem
                  << "\n";
        ++bad;
      }
    }
  }
  return bad == 0 ? 0 : 1;
}
