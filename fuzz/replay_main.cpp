// Runs a harness over every file of the folders given: the seeds and the
// inputs that once found a fault. A crash or sanitizer report fails the test.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fileio.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  size_t count = 0;
  for (int a = 1; a < argc; ++a) {
    DIR* dir = opendir(argv[a]);
    if (dir == nullptr) continue;  // a harness may have no regressions yet
    std::vector<std::string> names;
    while (dirent* e = readdir(dir)) {
      if (e->d_name[0] != '.') names.emplace_back(e->d_name);
    }
    closedir(dir);
    for (const auto& name : names) {
      auto bytes = tarvane::read_file(std::string(argv[a]) + "/" + name);
      if (!bytes) {
        std::fprintf(stderr, "%s/%s: %s\n", argv[a], name.c_str(), bytes.error().display().c_str());
        return 1;
      }
      LLVMFuzzerTestOneInput(bytes->data(), bytes->size());
      ++count;
    }
  }
  std::printf("replayed %zu inputs\n", count);
  return count == 0 ? 1 : 0;
}
