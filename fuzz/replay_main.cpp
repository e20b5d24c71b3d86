// The main of a fuzz target outside the fuzzing configuration: runs the
// target's entry on each file given as an argument, and on every regular
// file of a folder given (in name order), as libFuzzer replays them: each
// input in a heap block of its exact size, after LLVMFuzzerInitialize when
// the target has one. Without arguments it runs the empty input once. A
// finding ends the process as it would end the fuzzer (abort, trap, a
// sanitizer report); otherwise the exit status is 0, or 2 for a file that
// cannot be read.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

bool Run(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::unique_ptr<uint8_t[]> block(new uint8_t[bytes.size()]);
  std::copy(bytes.begin(), bytes.end(), block.get());
  LLVMFuzzerTestOneInput(block.get(), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    std::error_code ec;
    if (!std::filesystem::is_directory(argv[i], ec)) {
      files.push_back(argv[i]);
      continue;
    }
    std::vector<std::string> inFolder;
    for (const auto& e : std::filesystem::directory_iterator(argv[i], ec))
      if (e.is_regular_file()) inFolder.push_back(e.path().string());
    std::sort(inFolder.begin(), inFolder.end());
    files.insert(files.end(), inFolder.begin(), inFolder.end());
  }
  if (argc < 2) {
    std::unique_ptr<uint8_t[]> none(new uint8_t[0]);
    LLVMFuzzerTestOneInput(none.get(), 0);
  }
  for (const std::string& f : files) {
    if (!Run(f)) {
      fprintf(stderr, "%s: cannot be read\n", f.c_str());
      return 2;
    }
  }
  printf("%zu inputs replayed\n", argc < 2 ? size_t{1} : files.size());
  return 0;
}
