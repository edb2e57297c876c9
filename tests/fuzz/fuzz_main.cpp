// A plain main for the fuzz targets, so that saved inputs run as ordinary
// tests without libFuzzer: each argument is a file or a folder of files.
#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int RunFile(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    std::fprintf(stderr, "cannot open %s\n", path.c_str());
    return 1;
  }
  std::vector<uint8_t> bytes;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
  std::fclose(f);
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int failures = 0, inputs = 0;
  for (int i = 1; i < argc; ++i) {
    struct stat st;
    if (::stat(argv[i], &st) != 0) {
      std::fprintf(stderr, "cannot open %s\n", argv[i]);
      ++failures;
    } else if (S_ISDIR(st.st_mode)) {
      DIR* d = ::opendir(argv[i]);
      if (d == nullptr) {
        std::fprintf(stderr, "cannot open %s\n", argv[i]);
        ++failures;
        continue;
      }
      // readdir returns null both at the end and on an error: errno tells.
      errno = 0;
      while (dirent* e = ::readdir(d)) {
        const std::string child = std::string(argv[i]) + "/" + e->d_name;
        if (::stat(child.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
          failures += RunFile(child);
          ++inputs;
        }
        errno = 0;
      }
      if (errno != 0) {
        std::fprintf(stderr, "cannot list %s: %s\n", argv[i], std::strerror(errno));
        ++failures;
      }
      ::closedir(d);
    } else {
      failures += RunFile(argv[i]);
      ++inputs;
    }
  }
  std::printf("%d inputs ran\n", inputs);
  // Given inputs but none found is a broken replay, not a clean one.
  if (argc > 1 && inputs == 0) {
    std::fprintf(stderr, "no inputs found\n");
    return 1;
  }
  return failures == 0 ? 0 : 1;
}
