// Helpers for the table tests: a scratch directory removed at the end of the
// test, and the paths of the fixtures.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "error.hpp"

namespace tarvane::testing {

inline std::string table_fixture(std::string_view name) {
  return std::string(TARVANE_TEST_DATA) + "/tables/" + std::string(name);
}

inline const char* kSystemDefinitions = "/usr/share/eccodes/definitions";

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarvane-tables-XXXXXX").string();
    char* made = ::mkdtemp(pattern.data());
    if (made == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

  // Writes bytes to a file below the directory, creating parent directories.
  std::string write(std::string_view name, std::string_view bytes) const {
    std::filesystem::path p = std::filesystem::path(path_) / name;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
    return p.string();
  }
  std::string mkdir(std::string_view name) const {
    std::filesystem::path p = std::filesystem::path(path_) / name;
    std::filesystem::create_directories(p);
    return p.string();
  }

 private:
  std::string path_;
};

// The display text of a failed result, or a note that it did not fail.
template <typename R>
std::string error_text(const R& r) {
  return r ? std::string("<no error>") : r.error().display();
}

}  // namespace tarvane::testing
