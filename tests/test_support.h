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

using Record = std::unique_ptr<pmMetaImg>;

namespace pmtest {

// The containers by their codes (PIXMILL_FORMAT_JPEG ... _BMP), in Pillow's words.
inline const char* const kContainers[] = {"JPEG", "PNG", "TIFF", "GIF", "BMP"};

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
// The names in a directory, sorted.
std::vector<std::string> ListDir(const std::string& path);

// The record's pixels as 8-bit RGB, top row first (through the palette for
// one-plane records, high bytes of 16-bit samples).
std::vector<uint8_t> RecordRgb(const pmMetaImg& img);

// Pillow's decode of each file (with `magick`, ImageMagick's of its first
// frame), by index; files it refuses are absent.
struct Reference {
  int width = 0, height = 0, orientation = 1;
  std::string format;  // Pillow's name of the container
  std::vector<uint8_t> icc, rgb;
};
std::map<size_t, Reference> Decode(const std::vector<std::string>& files, bool magick = false);
bool PillowAvailable();
double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);
// A saved file and what it must hold: the pixels (exactly, or above `floor`
// dB where that is not 0), and where the container keeps them the
// orientation and the profile.
struct Saved {
  std::string file;
  int code;  // the container
  std::vector<uint8_t> rgb;
  double floor = 0;
  int orientation = 1;
  std::vector<uint8_t> icc;
};
// Checks saved files from outside, each tool over all of them in one call:
// pngcheck the PNGs; Pillow the container, pixels (but of a turned TIFF),
// orientation and profile; ImageMagick the pixels. Returns the tools that
// are not installed.
std::string CheckOutside(const std::vector<Saved>& saved);

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
// Runs body in a child process (so that limits, identities and crashes stay
// there); its exit status, 128 + the signal when it was killed.
int InChild(const std::function<int()>& body);
// Ends a forked child without running the parent's exit handlers.
[[noreturn]] void ExitChild(int status);

// A record of a geometry, samples not set; and one of a shape, its samples
// varied by `seed` (the palette's entry 5 transparent, entry 9 half).
Record MakeRecord(int32_t width, int32_t height, int32_t bit, int32_t channel);
enum Shape { kNoise, kGradient, kFewColours, kPalette, kGrey, kBilevel, kColouredBilevel };
Record Image(Shape shape, int32_t width, int32_t height, uint32_t seed = 7);

// The record's planes as bytes, 1-bit rows without the bits past the width.
std::vector<uint8_t> PlaneBytes(const pmMetaImg& img);

// The one save check: saves `img` as `code` at `path`, loads it back and
// checks what the container keeps: the size; JPEG, PNG and TIFF the
// orientation and profile; PNG, TIFF and BMP the planes and palette (a
// 24-bit record of at most 256 colours comes back an 8-bit palette one of
// the same pixels), PNG the alphas; GIF the pixels of at most 256 colours.
// JPEG pixels are the caller's to judge. Returns the record loaded.
Record ExpectSavesAs(const pmMetaImg& img, int code, const std::string& path);

// What a load gave, in the corpus manifest's words: "refuse-format",
// "refuse-bad", "1bpp", "8bpp-grey" (the grey ramp), "8bpp-palette", "24bpp",
// "48bpp".
std::string Outcome(const pmMetaImg* img, const std::string& text);

}  // namespace pmtest
