// Helpers shared by the tests: temporary directories, files, and the
// independent decoders (Pillow through a small script, ImageMagick).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
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

using Bytes = std::vector<uint8_t>;
Bytes ReadBytes(const std::string& path);
std::string ReadText(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);
// The rows of a tab-separated file with a header line, each by column name.
std::vector<std::map<std::string, std::string>> ReadTsv(const std::string& path);
bool Exists(const std::string& path);
// The names in a directory, sorted.
std::vector<std::string> ListDir(const std::string& path);

// The record's pixels as 8-bit RGB, top row first (through the palette for
// one-plane records, high bytes of 16-bit samples).
std::vector<uint8_t> RecordRgb(const pmMetaImg& img);

// Pillow's decode of each file: width, height, mode, Exif orientation, ICC
// profile and RGB bytes. Files Pillow refuses are absent from the result.
struct Reference {
  int width = 0;
  int height = 0;
  std::string mode;
  int orientation = 1;
  std::vector<uint8_t> icc;
  std::vector<uint8_t> rgb;
};
std::map<size_t, Reference> PillowDecode(const std::vector<std::string>& files);
bool PillowAvailable();
// ImageMagick's decode of each file's first frame (one convert to 8-bit
// PPM): empty when it refuses any of them or is not installed.
std::vector<Reference> MagickDecode(const std::vector<std::string>& files);
// Checks PNG files from outside the library: pngcheck passes them all, and
// Pillow and ImageMagick decode file i to the RGB bytes rgb[i]. Returns the
// tools that are not installed (their checks not made), empty when none.
std::string CheckPngsOutside(const std::vector<std::string>& files, const std::vector<std::vector<uint8_t>>& rgb);

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
// Runs body in a child process and returns its exit status (128 + the
// signal when it was killed), so that limits, identities and crashes in the
// child do not reach the rest of the suite.
int InChild(const std::function<int()>& body);
// Ends a forked child without running the parent's exit handlers.
[[noreturn]] void ExitChild(int status);

// A record made by hand, for tests of the saver and the packers; and one of
// 24-bit noise, which compresses badly (its files are about as large as its
// pixels) and has more than 256 colours.
pmMetaImg* MakeRecord(int32_t width, int32_t height, int32_t bit, int32_t channel);
std::unique_ptr<pmMetaImg> Noise(int32_t width, int32_t height, uint32_t seed = 7);

// What a load gave, in the corpus manifest's words: "refuse-format",
// "refuse-bad", "1bpp", "8bpp-grey" (the grey ramp), "8bpp-palette", "24bpp",
// "48bpp".
std::string Outcome(const pmMetaImg* img, const std::string& text);

// The container a file's first bytes name: "PNG", "JPEG", "TIFF", "GIF",
// "BMP" or "".
std::string Signature(const std::string& path);

}  // namespace pmtest
