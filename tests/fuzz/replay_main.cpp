// Replays fuzz inputs through the fuzz driver without libFuzzer: every file
// named on the command line, or found in a folder named there, is one input.
// A run that aborts fails; CTest runs the corpus this way on every build.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool read_file(const std::string& path, std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  bytes.clear();
  uint8_t chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
  std::fclose(f);
  return true;
}

// Runs the file or every file in the folder; the count, or -1 on a read failure.
int replay(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return -1;
  std::vector<std::string> files;
  if (S_ISDIR(info.st_mode)) {
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return -1;
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') files.push_back(path + "/" + entry->d_name);
    }
    closedir(dir);
  } else {
    files.push_back(path);
  }
  std::vector<uint8_t> bytes;
  for (const std::string& file : files) {
    if (!read_file(file, bytes)) return -1;
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  return static_cast<int>(files.size());
}

}  // namespace

int main(int argc, char** argv) {
  int total = 0;
  for (int i = 1; i < argc; ++i) {
    int count = replay(argv[i]);
    if (count < 0) {
      std::fprintf(stderr, "cannot read %s\n", argv[i]);
      return 1;
    }
    total += count;
  }
  std::printf("%d inputs replayed\n", total);
  return total > 0 ? 0 : 1;
}
