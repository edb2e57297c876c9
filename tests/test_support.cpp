#include "test_support.h"

#include "loader.h"
#include "my_global.h"
#include "pixmill.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <unordered_set>

namespace pmtest {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  path_ = std::string(base != nullptr ? base : "/tmp") + "/pixmill-test-XXXXXX";
  if (mkdtemp(path_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {
  // Tests leave read-only folders behind; the owner (or root) opens them
  // again, on the way down, before everything goes.
  namespace fs = std::filesystem;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

Bytes ReadBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  Bytes b(f ? static_cast<size_t>(f.tellg()) : 0);
  f.seekg(0).read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(b.size()));
  return b;
}

std::string ReadText(const std::string& path) {
  const Bytes b = ReadBytes(path);
  return std::string(b.begin(), b.end());
}

std::vector<std::map<std::string, std::string>> ReadTsv(const std::string& path) {
  std::ifstream f(path);
  std::vector<std::map<std::string, std::string>> rows;
  std::vector<std::string> head;
  for (std::string line; std::getline(f, line);) {
    std::vector<std::string> cells;
    std::istringstream in(line);
    for (std::string cell; std::getline(in, cell, '\t');) cells.push_back(cell);
    if (head.empty()) {
      head = cells;
      continue;
    }
    cells.resize(head.size());
    rows.emplace_back();
    for (size_t i = 0; i < head.size(); ++i) rows.back()[head[i]] = cells[i];
  }
  return rows;
}

std::string Outcome(const pmMetaImg* img, const std::string& text) {
  if (img == nullptr) {
    const bool format = text.rfind("PixelFormat(", 0) == 0 && text.find(") is Not Supported!") != std::string::npos;
    return format ? "refuse-format" : "refuse-bad";
  }
  bool grey = true;  // palette entry i is grey level i
  for (int i = 0; grey && i < img->palette_num; ++i) grey = img->p_palette[i].red == i && img->p_palette[i].green == i && img->p_palette[i].blue == i;
  if (img->channel == 1) return img->bit == 1 ? "1bpp" : grey ? "8bpp-grey" : "8bpp-palette";
  return img->bit == 16 ? "48bpp" : "24bpp";
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> ListDir(const std::string& path) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(path)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::string CorpusDir() {
  const char* env = std::getenv("PIXMILL_CORPUS");
  return env != nullptr ? env : std::string(PIXMILL_SOURCE_DIR) + "/../shared/corpus";
}

int Run(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

#ifdef PIXMILL_COVERAGE
extern "C" void __gcov_dump();
#endif

void ExitChild(int status) {
#ifdef PIXMILL_COVERAGE
  __gcov_dump();  // so that what the child ran counts
#endif
  ::_exit(status);
}

int InChild(const std::function<int()>& body) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) ExitChild(body());
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::vector<uint8_t> RecordRgb(const pmMetaImg& img) {
  const size_t w = static_cast<size_t>(img.width), h = static_cast<size_t>(img.height), row_bytes = (w + 7) / 8;
  std::vector<uint8_t> rgb;
  rgb.reserve(3 * w * h);
  for (size_t i = 0; i < w * h; ++i) {
    const size_t x = i % w, y = i / w;
    for (int k = 0; img.channel == 3 && k < 3; ++k) {
      uint16_t v = img.pp_plane[k][i];
      if (img.bit == 16) {
        std::memcpy(&v, img.pp_plane[k] + 2 * i, 2);
        v = static_cast<uint16_t>(v >> 8);  // the high byte
      }
      rgb.push_back(static_cast<uint8_t>(v));
    }
    if (img.channel == 1) {  // 1-bit rows run bottom row first
      const PM_METAIMG_PALETTE& p = img.p_palette[img.bit == 1 ? (img.pp_plane[0][(h - 1 - y) * row_bytes + x / 8] >> (7 - x % 8)) & 1u
                                                               : img.pp_plane[0][i]];
      rgb.insert(rgb.end(), {p.red, p.green, p.blue});
    }
  }
  return rgb;
}

bool PillowAvailable() { return Run(std::string(PIXMILL_PYTHON) + " -c 'import PIL' >/dev/null 2>&1") == 0; }

std::map<size_t, Reference> Decode(const std::vector<std::string>& files, bool magick) {
  std::map<size_t, Reference> refs;
  TempDir out;
  std::ofstream list(out.File("files.txt"));
  for (const std::string& p : files) list << p << '\n';
  list.close();
  const std::string cmd = std::string(PIXMILL_PYTHON) + " '" + PIXMILL_SOURCE_DIR + "/tests/pillow_reference.py' '" +
                          out.path() + "' '" + out.File("files.txt") + "'" + (magick ? " magick" : "");
  if (Run(cmd) != 0) throw std::runtime_error("pillow_reference.py failed: " + cmd);
  for (size_t i = 0; i < files.size(); ++i) {
    const Bytes bytes = ReadBytes(out.File(std::to_string(i) + ".ref"));
    const auto nl = std::find(bytes.begin(), bytes.end(), '\n');
    Reference r;
    size_t icc = 0;
    char format[16];
    if (std::sscanf(std::string(bytes.begin(), nl).c_str(), "%d %d %15s %d %zu", &r.width, &r.height, format,
                    &r.orientation, &icc) != 5 ||
        icc > static_cast<size_t>(bytes.end() - nl - 1)) {
      continue;
    }
    r.format = format;
    r.icc.assign(nl + 1, nl + 1 + static_cast<ptrdiff_t>(icc));
    r.rgb.assign(nl + 1 + static_cast<ptrdiff_t>(icc), bytes.end());
    refs[i] = std::move(r);
  }
  return refs;
}

double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size()) return 0;
  double se = 0;
  for (size_t i = 0; i < a.size(); ++i) se += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
  return se == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * a.size() / se);
}

std::string CheckOutside(const std::vector<Saved>& saved) {
  std::string missing, pngs;
  std::vector<std::string> files;
  for (const Saved& s : saved) {
    files.push_back(s.file);
    if (s.code == PIXMILL_FORMAT_PNG) pngs += " '" + s.file + "'";
  }
  if (Run("command -v pngcheck >/dev/null") != 0) {
    missing += " pngcheck";
  } else if (!pngs.empty()) {
    EXPECT_EQ(Run("pngcheck -q" + pngs), 0) << "pngcheck reports the files above";
  }
  for (const bool magick : {false, true}) {
    const char* name = magick ? "ImageMagick" : "Pillow";
    if (!PillowAvailable() || (magick && Run("command -v convert >/dev/null") != 0)) {
      missing += std::string(" ") + name;
      continue;
    }
    const auto refs = Decode(files, magick);
    for (size_t i = 0; i < saved.size(); ++i) {
      const Saved& s = saved[i];
      const auto ref = refs.find(i);
      if (ref == refs.end()) {
        ADD_FAILURE() << name << " cannot read " << s.file;
        continue;
      }
      const std::string kind = kContainers[s.code];
      EXPECT_TRUE(magick || ref->second.format == kind) << s.file << " is " << ref->second.format;
      const bool turned = !magick && kind == "TIFF" && s.orientation != 1;
      if (!turned) {
        EXPECT_TRUE(s.floor == 0 ? ref->second.rgb == s.rgb : Psnr(ref->second.rgb, s.rgb) > s.floor) << name << ": " << s.file;
      }
      if (!magick && (kind == "JPEG" || kind == "PNG" || kind == "TIFF")) {
        EXPECT_EQ(ref->second.orientation, s.orientation) << s.file;
        EXPECT_EQ(ref->second.icc, s.icc) << s.file;
      }
    }
  }
  return missing;
}

std::vector<uint8_t> PlaneBytes(const pmMetaImg& img) {
  const size_t w = static_cast<size_t>(img.width), h = static_cast<size_t>(img.height);
  if (img.bit != 1) return std::vector<uint8_t>(img.p_buf, img.p_buf + w * h * img.channel * (img.bit / 8));
  const size_t row_bytes = (w + 7) / 8;
  std::vector<uint8_t> out(img.p_buf, img.p_buf + row_bytes * h);
  for (size_t r = 0; r < h; ++r) out[r * row_bytes + row_bytes - 1] &= static_cast<uint8_t>(0xFF << ((8 - w % 8) % 8));
  return out;
}

static bool FewerThan257Colours(const pmMetaImg& img) {
  if (img.channel != 3) return true;
  std::unordered_set<uint32_t> colours;  // a photograph stops after a few hundred pixels
  for (size_t i = 0; i < static_cast<size_t>(img.width) * static_cast<size_t>(img.height) && colours.size() <= 256; ++i) {
    colours.insert(uint32_t(img.pp_plane[0][i]) << 16 | uint32_t(img.pp_plane[1][i]) << 8 | img.pp_plane[2][i]);
  }
  return colours.size() <= 256;
}

Record ExpectSavesAs(const pmMetaImg& img, int code, const std::string& path) {
  SCOPED_TRACE("saved as container " + std::to_string(code));
  EXPECT_EQ(Pixmill_Save(path.c_str(), &img, code), 0) << myGlobal::GetError();
  Record back(sttc_LoadImage(path.c_str()));
  if (!back) {
    ADD_FAILURE() << myGlobal::GetError();
    return back;
  }
  EXPECT_EQ(back->width * 100000 + back->height, img.width * 100000 + img.height);
  const bool carries = code <= PIXMILL_FORMAT_TIFF;
  EXPECT_EQ(back->orientation, carries ? img.orientation : 1);
  EXPECT_TRUE(back->icc_profile == (carries ? img.icc_profile : std::vector<uint8_t>{}));
  const int32_t bpp = img.channel * img.bit;
  if (code == PIXMILL_FORMAT_JPEG) return back;
  const bool palette_file = code == PIXMILL_FORMAT_PNG || code == PIXMILL_FORMAT_TIFF;
  const bool exact = (code == PIXMILL_FORMAT_GIF || (palette_file && bpp == 24)) && FewerThan257Colours(img);
  if (code == PIXMILL_FORMAT_GIF || (palette_file && bpp == 24 && exact)) {
    EXPECT_TRUE(!exact || RecordRgb(*back) == RecordRgb(img)) << "pixels";
    EXPECT_TRUE(!palette_file || back->channel * back->bit == 8) << "a palette file";
    return back;
  }
  EXPECT_EQ(back->channel * back->bit, bpp);
  EXPECT_EQ(PlaneBytes(*back), PlaneBytes(img));
  EXPECT_EQ(back->palette_num, img.palette_num);
  for (int32_t k = 0; k < img.palette_num && k < back->palette_num; ++k) {
    const PM_METAIMG_PALETTE a = img.p_palette[k], b = back->p_palette[k];
    EXPECT_TRUE(a.red == b.red && a.green == b.green && a.blue == b.blue && (code != 1 || a.alpha == b.alpha))
        << "palette entry " << k;
  }
  return back;
}

Record MakeRecord(int32_t width, int32_t height, int32_t bit, int32_t channel) {
  Record img(sttc_CreateMetaImg());
  if (img->Resize(width, height, bit, channel) != 0) throw std::runtime_error("Resize failed");
  return img;
}

Record Image(Shape shape, int32_t w, int32_t h, uint32_t seed) {
  Record img = MakeRecord(w, h, shape >= kBilevel ? 1 : 8, shape <= kFewColours ? 3 : 1);
  std::mt19937 rng(seed);
  const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
  for (size_t i = 0; i < n; ++i) {
    const size_t x = i % static_cast<size_t>(w), y = i / static_cast<size_t>(w);
    if (shape == kNoise) {
      for (int k = 0; k < 3; ++k) img->pp_plane[k][i] = static_cast<uint8_t>(rng());
    } else if (shape == kGradient) {
      img->pp_plane[0][i] = static_cast<uint8_t>(x * 255 / std::max<size_t>(1, w - 1));
      img->pp_plane[1][i] = static_cast<uint8_t>(y * 255 / std::max<size_t>(1, h - 1));
      img->pp_plane[2][i] = static_cast<uint8_t>((x + y) * 4 + seed);
    } else if (shape == kFewColours) {
      img->pp_plane[0][i] = static_cast<uint8_t>((i % 7) * 30 + seed);
      img->pp_plane[1][i] = static_cast<uint8_t>((i % 5) * 50);
      img->pp_plane[2][i] = static_cast<uint8_t>((i / 13 % 3) * 90);
    } else if (shape <= kGrey) {
      img->pp_plane[0][i] = static_cast<uint8_t>(i * 7 + seed);
    } else if (i < (n / static_cast<size_t>(w)) * ((static_cast<size_t>(w) + 7) / 8)) {
      img->p_buf[i] = static_cast<uint8_t>(0xA5 ^ (i * 29) ^ seed);
    }
  }
  if (shape == kPalette) {
    for (int k = 0; k < 256; ++k) img->p_palette[k] = PM_METAIMG_PALETTE{uint8_t(k), uint8_t(255 - k), uint8_t(k * 3 + seed), 255};
    img->p_palette[5].alpha = 0;
    img->p_palette[9].alpha = 128;
  } else if (shape == kColouredBilevel) {
    img->p_palette[0] = PM_METAIMG_PALETTE{200, 10, 10, 255};
    img->p_palette[1] = PM_METAIMG_PALETTE{10, 10, 200, 255};
  }
  return img;
}

}  // namespace pmtest
