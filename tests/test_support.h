// Helpers shared by the tests: temporary directories, files, and the
// independent decoders (Pillow through a small script, ImageMagick).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "meta_img.h"

namespace pmtest {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::vector<uint8_t> ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);
bool Exists(const std::string& path);
std::vector<std::string> ListDir(const std::string& path);

// The record's pixels as 8-bit RGB, top row first (through the palette for
// one-plane records, high bytes of 16-bit samples).
std::vector<uint8_t> RecordRgb(const pmMetaImg& img);

// Pillow's decode of each file: width, height, mode and RGB bytes. Files
// Pillow refuses are absent from the result.
struct Reference {
  int width = 0;
  int height = 0;
  std::string mode;
  std::vector<uint8_t> rgb;
};
std::map<size_t, Reference> PillowDecode(const std::vector<std::string>& files);
bool PillowAvailable();
// ImageMagick's decode of one file's first frame (convert to 8-bit PPM):
// false when it refuses the file or is not installed.
bool MagickDecode(const std::string& file, Reference* out);

// The conformance corpus: $PIXMILL_CORPUS, or ../shared/corpus beside the
// source tree.
std::string CorpusDir();

// Whether this build runs under AddressSanitizer or ThreadSanitizer.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Runs a shell command; returns its exit status.
int Run(const std::string& command);

// A record made by hand, for tests of the saver and the packers.
pmMetaImg* MakeRecord(int32_t width, int32_t height, int32_t bit, int32_t channel);

// The container a file's first bytes name: "PNG", "JPEG", "TIFF", "GIF",
// "BMP" or "".
std::string Signature(const std::string& path);

}  // namespace pmtest
