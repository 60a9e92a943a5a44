// Replays fuzzing inputs without libFuzzer, so that the ordinary test build can run the committed
// corpus as a regression test. Arguments are files or directories of files.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool Replay(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::fprintf(stdout, "cannot read %s\n", file.string().c_str());
    return false;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  size_t replayed = 0;
  bool ok = true;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path path(argv[i]);
    if (std::filesystem::is_directory(path)) {
      for (const auto& entry : std::filesystem::directory_iterator(path)) {
        if (entry.is_regular_file()) {
          ok = Replay(entry.path()) && ok;
          ++replayed;
        }
      }
    } else {
      ok = Replay(path) && ok;
      ++replayed;
    }
  }
  std::fprintf(stdout, "replayed %zu inputs\n", replayed);
  // An empty corpus would make this test pass while checking nothing.
  return ok && replayed > 0 ? 0 : 1;
}
