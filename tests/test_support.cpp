#include "test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

namespace pmtest {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string templ = std::string(base != nullptr ? base : "/tmp") + "/pixmill-test-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  // Tests leave read-only folders behind; the owner (or root) may open them
  // again before removing everything.
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    }
  }
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

Bytes ReadBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
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
    std::vector<std::string> cells(1);
    for (char c : line) {
      if (c == '\t') {
        cells.emplace_back();
      } else {
        cells.back().push_back(c);
      }
    }
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

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
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
  const size_t w = static_cast<size_t>(img.width), h = static_cast<size_t>(img.height);
  std::vector<uint8_t> rgb(w * h * 3);
  for (size_t y = 0; y < h; ++y) {
    for (size_t x = 0; x < w; ++x) {
      uint8_t* o = &rgb[3 * (y * w + x)];
      if (img.channel == 3 && img.bit == 8) {
        for (int k = 0; k < 3; ++k) o[k] = img.pp_plane[k][y * w + x];
      } else if (img.channel == 3 && img.bit == 16) {
        for (int k = 0; k < 3; ++k) {
          uint16_t v;
          std::memcpy(&v, img.pp_plane[k] + 2 * (y * w + x), 2);
          o[k] = static_cast<uint8_t>(v >> 8);
        }
      } else {
        unsigned idx;
        if (img.bit == 1) {
          const size_t row_bytes = (w + 7) / 8;
          const uint8_t* row = img.pp_plane[0] + (h - 1 - y) * row_bytes;  // bottom row first
          idx = (row[x >> 3] >> (7 - (x & 7))) & 1u;
        } else {
          idx = img.pp_plane[0][y * w + x];
        }
        const PM_METAIMG_PALETTE& p = img.p_palette[idx];
        o[0] = p.red;
        o[1] = p.green;
        o[2] = p.blue;
      }
    }
  }
  return rgb;
}

bool PillowAvailable() { return Run(std::string(PIXMILL_PYTHON) + " -c 'import PIL' >/dev/null 2>&1") == 0; }

std::map<size_t, Reference> PillowDecode(const std::vector<std::string>& files) {
  std::map<size_t, Reference> refs;
  TempDir out;
  const std::string list = out.File("files.txt");
  {
    std::ofstream f(list);
    for (const std::string& p : files) f << p << '\n';
  }
  const std::string cmd = std::string(PIXMILL_PYTHON) + " '" + PIXMILL_SOURCE_DIR + "/tests/pillow_reference.py' '" +
                          out.path() + "' '" + list + "'";
  if (Run(cmd) != 0) throw std::runtime_error("pillow_reference.py failed: " + cmd);
  for (size_t i = 0; i < files.size(); ++i) {
    const std::vector<uint8_t> bytes = ReadBytes(out.File(std::to_string(i) + ".ref"));
    if (bytes.empty()) continue;
    const auto nl = std::find(bytes.begin(), bytes.end(), '\n');
    Reference r;
    char mode[32] = {0};
    size_t icc = 0;
    std::string header(bytes.begin(), nl);
    if (std::sscanf(header.c_str(), "%d %d %31s %d %zu", &r.width, &r.height, mode, &r.orientation, &icc) != 5 ||
        icc > static_cast<size_t>(bytes.end() - nl - 1)) {
      continue;
    }
    r.mode = mode;
    r.icc.assign(nl + 1, nl + 1 + static_cast<ptrdiff_t>(icc));
    r.rgb.assign(nl + 1 + static_cast<ptrdiff_t>(icc), bytes.end());
    refs[i] = std::move(r);
  }
  return refs;
}

std::vector<Reference> MagickDecode(const std::vector<std::string>& files) {
  // One convert for all: it writes the first frames one after another as PPM.
  std::string cmd = "convert";
  for (const std::string& f : files) cmd += " '" + f + "[0]'";
  FILE* pipe = ::popen((cmd + " -depth 8 ppm:- 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return {};
  std::vector<uint8_t> bytes;
  uint8_t buf[65536];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) bytes.insert(bytes.end(), buf, buf + n);
  if (::pclose(pipe) != 0) return {};
  std::vector<Reference> refs;
  for (size_t pos = 0; refs.size() < files.size();) {
    Reference r;
    int max = 0, used = 0;
    const std::string head(bytes.begin() + static_cast<ptrdiff_t>(std::min(pos, bytes.size())),
                           bytes.begin() + static_cast<ptrdiff_t>(std::min(pos + 64, bytes.size())));
    if (std::sscanf(head.c_str(), "P6 %d %d %d%n", &r.width, &r.height, &max, &used) != 3 || max != 255) return {};
    pos += static_cast<size_t>(used) + 1;
    const size_t size = 3u * static_cast<size_t>(r.width) * static_cast<size_t>(r.height);
    if (pos + size > bytes.size()) return {};
    r.mode = "ImageMagick";
    r.rgb.assign(bytes.begin() + static_cast<ptrdiff_t>(pos), bytes.begin() + static_cast<ptrdiff_t>(pos + size));
    refs.push_back(std::move(r));
    pos += size;
  }
  return refs;
}

std::string CheckPngsOutside(const std::vector<std::string>& files, const std::vector<std::vector<uint8_t>>& rgb) {
  std::string missing;
  if (Run("command -v pngcheck >/dev/null") == 0) {
    std::string cmd = "pngcheck -q";
    for (const std::string& f : files) cmd += " '" + f + "'";
    EXPECT_EQ(Run(cmd), 0) << "pngcheck reports the files above";
  } else {
    missing += " pngcheck";
  }
  if (PillowAvailable()) {
    const auto refs = PillowDecode(files);
    for (size_t i = 0; i < files.size(); ++i) {
      const auto ref = refs.find(i);
      EXPECT_TRUE(ref != refs.end() && ref->second.rgb == rgb[i]) << "Pillow: " << files[i];
    }
  } else {
    missing += " Pillow";
  }
  if (Run("command -v convert >/dev/null") == 0) {
    const std::vector<Reference> refs = MagickDecode(files);
    EXPECT_EQ(refs.size(), files.size()) << "ImageMagick refuses some of the files";
    for (size_t i = 0; i < refs.size(); ++i) EXPECT_EQ(refs[i].rgb, rgb[i]) << "ImageMagick: " << files[i];
  } else {
    missing += " ImageMagick";
  }
  return missing;
}

pmMetaImg* MakeRecord(int32_t width, int32_t height, int32_t bit, int32_t channel) {
  pmMetaImg* img = sttc_CreateMetaImg();
  if (img->Resize(width, height, bit, channel) != 0) throw std::runtime_error("Resize failed");
  return img;
}

std::unique_ptr<pmMetaImg> Noise(int32_t width, int32_t height, uint32_t seed) {
  std::unique_ptr<pmMetaImg> img(MakeRecord(width, height, 8, 3));
  std::mt19937 rng(seed);
  for (size_t i = 0; i < static_cast<size_t>(width) * static_cast<size_t>(height) * 3; ++i) {
    img->p_buf[i] = static_cast<uint8_t>(rng());
  }
  return img;
}

std::string Signature(const std::string& path) {
  const std::vector<uint8_t> b = ReadBytes(path);
  if (b.size() >= 8 && std::memcmp(b.data(), "\x89PNG\r\n\x1a\n", 8) == 0) return "PNG";
  if (b.size() >= 3 && b[0] == 0xFF && b[1] == 0xD8 && b[2] == 0xFF) return "JPEG";
  if (b.size() >= 4 && (std::memcmp(b.data(), "II*\0", 4) == 0 || std::memcmp(b.data(), "MM\0*", 4) == 0)) return "TIFF";
  if (b.size() >= 6 && (std::memcmp(b.data(), "GIF87a", 6) == 0 || std::memcmp(b.data(), "GIF89a", 6) == 0)) return "GIF";
  if (b.size() >= 2 && b[0] == 'B' && b[1] == 'M') return "BMP";
  return "";
}

}  // namespace pmtest
