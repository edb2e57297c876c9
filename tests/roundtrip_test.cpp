// End to end: the built roundtrip program run in a scratch working directory,
// checked by its exit status, what it printed and the files it left there.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "loader.h"
#include "my_global.h"
#include "pixmill.h"
#include "test_support.h"

namespace {

using Record = std::unique_ptr<pmMetaImg>;

const char* const kNames[] = {"output.bmp", "output.gif", "output.jpg", "output.png", "output.tif"};
const char* const kSignatures[] = {"BMP", "GIF", "JPEG", "PNG", "TIFF"};

struct Result {
  int status = -1;
  std::string out, err;
  std::string loader_log;  // the dynamic loader's account of library loads
};

std::string Text(const std::vector<uint8_t>& b) { return std::string(b.begin(), b.end()); }

std::string Quote(const std::string& s) { return "'" + s + "'"; }

// Runs program with args in cwd, with no LD_LIBRARY_PATH, so that only its
// RUNPATH and the system's paths can find the library.
Result RunProgram(const std::string& program, const std::string& cwd, const std::string& args) {
  pmtest::TempDir logs;
  const std::string cmd = "cd " + Quote(cwd) + " && env -u LD_LIBRARY_PATH LD_DEBUG=files LD_DEBUG_OUTPUT=" +
                          Quote(logs.File("ld")) + " " + Quote(program) + " " + args + " >" +
                          Quote(logs.File("stdout")) + " 2>" + Quote(logs.File("stderr"));
  Result r;
  r.status = pmtest::Run(cmd);
  r.out = Text(pmtest::ReadBytes(logs.File("stdout")));
  r.err = Text(pmtest::ReadBytes(logs.File("stderr")));
  for (const std::string& name : pmtest::ListDir(logs.path())) {
    if (name.rfind("ld.", 0) == 0) r.loader_log += Text(pmtest::ReadBytes(logs.File(name)));
  }
  return r;
}

Result RunRoundtrip(const std::string& cwd, const std::string& args) { return RunProgram(PIXMILL_ROUNDTRIP, cwd, args); }

std::vector<std::string> Sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

const std::vector<std::string> kFive(std::begin(kNames), std::end(kNames));

bool Opened(const Result& r) {
  return r.loader_log.find("libPixmill_x64.so [0];  generating link map") != std::string::npos;
}
// glibc reports "destroying link map" only when dlclose unloads a library,
// never for the libraries still loaded at exit.
bool Released(const Result& r) {
  return r.loader_log.find("libPixmill_x64.so [0];  destroying link map") != std::string::npos;
}

// Inputs of the three shapes the driver is for, written through the library.
class RoundtripTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Record rgb(pmtest::MakeRecord(61, 37, 8, 3));
    for (int i = 0; i < 61 * 37 * 3; ++i) rgb->p_buf[i] = static_cast<uint8_t>(i * 7 + i / 61);
    Record palette(pmtest::MakeRecord(40, 30, 8, 1));
    for (int i = 0; i < 40 * 30; ++i) palette->p_buf[i] = static_cast<uint8_t>(i % 97);
    for (int k = 0; k < 256; ++k) palette->p_palette[k] = PM_METAIMG_PALETTE{uint8_t(k), uint8_t(3 * k), uint8_t(255 - k), 255};
    Record bits(pmtest::MakeRecord(33, 20, 1, 1));
    for (int i = 0; i < 5 * 20; ++i) bits->p_buf[i] = static_cast<uint8_t>(0x5A ^ i);
    ASSERT_EQ(Pixmill_Save(input("rgb.png").c_str(), rgb.get(), PIXMILL_FORMAT_PNG), 0);
    ASSERT_EQ(Pixmill_Save(input("palette.bmp").c_str(), palette.get(), PIXMILL_FORMAT_BMP), 0);
    ASSERT_EQ(Pixmill_Save(input("bits.tif").c_str(), bits.get(), PIXMILL_FORMAT_TIFF), 0);
    ASSERT_EQ(Pixmill_Save(input("rgb.jpg").c_str(), rgb.get(), PIXMILL_FORMAT_JPEG), 0);
    ASSERT_EQ(Pixmill_Save(input("palette.gif").c_str(), palette.get(), PIXMILL_FORMAT_GIF), 0);
  }
  // Checks the four files other than failed, each in its container.
  void ExpectFourBesides(const std::string& dir, const std::string& failed) const {
    for (size_t i = 0; i < kFive.size(); ++i) {
      if (kFive[i] == failed) continue;
      EXPECT_EQ(pmtest::Signature(dir + "/" + kNames[i]), kSignatures[i]) << kNames[i];
    }
  }
  std::string input(const std::string& name) const { return inputs_.File(name); }
  // Checks the five files in dir, each in its container.
  void ExpectFive(const std::string& dir) const {
    EXPECT_EQ(Sorted(pmtest::ListDir(dir)), kFive);
    for (size_t i = 0; i < kFive.size(); ++i) EXPECT_EQ(pmtest::Signature(dir + "/" + kNames[i]), kSignatures[i]) << kNames[i];
  }

  pmtest::TempDir inputs_;
  pmtest::TempDir work_;
};

TEST_F(RoundtripTest, WithoutAnArgumentItPrintsTheMessageAndLoadsNothing) {
  const Result r = RunRoundtrip(work_.path(), "");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "error\n1 or 8 or 24bit RGB\xE7\x94\xBB\xE5\x83\x8F\xE3\x82\x92\xE5\x85\xA5\xE5\x8A\x9B\xE3\x81\x97\xE3\x81"
                   "\xA6\xE3\x81\x8F\xE3\x81\xA0\xE3\x81\x95\xE3\x81\x84\xE3\x80\x82\n(JPGE,PNG,GIF,TIFF,BMP)\n");
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(Opened(r));
  EXPECT_TRUE(pmtest::ListDir(work_.path()).empty());
}

TEST_F(RoundtripTest, EachShapeGivesTheFiveFilesSilently) {
  for (const char* name : {"rgb.png", "palette.bmp", "bits.tif"}) {
    SCOPED_TRACE(name);
    pmtest::TempDir dir;
    const Result r = RunRoundtrip(dir.path(), Quote(input(name)));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_TRUE(Released(r)) << "the library is unloaded before exit";
    ExpectFive(dir.path());
    // The lossless outputs hold the input's pixels.
    Record in(sttc_LoadImage(input(name).c_str()));
    ASSERT_TRUE(in);
    for (const char* lossless : {"output.png", "output.bmp", "output.tif", "output.gif"}) {
      Record out(sttc_LoadImage((dir.path() + "/" + lossless).c_str()));
      ASSERT_TRUE(out) << lossless << ": " << myGlobal::GetError();
      EXPECT_EQ(pmtest::RecordRgb(*out), pmtest::RecordRgb(*in)) << lossless;
    }
  }
}

TEST_F(RoundtripTest, OnlyTheFirstArgumentCountsAndFilesAreReplacedWithTheJpegAtQuality75) {
  pmtest::TempDir alone;
  ASSERT_EQ(RunRoundtrip(alone.path(), Quote(input("rgb.png"))).status, 0);
  for (const char* name : kNames) pmtest::WriteBytes(work_.File(name), std::vector<uint8_t>(5000, 'x'));
  const Result r = RunRoundtrip(work_.path(), Quote(input("rgb.png")) + " no-such-file.png " + Quote(input("bits.tif")));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out + r.err, "");
  ExpectFive(work_.path());
  for (const char* name : kNames) {
    EXPECT_EQ(pmtest::ReadBytes(work_.File(name)), pmtest::ReadBytes(alone.File(name))) << name;
  }

  Record img(sttc_LoadImage(input("rgb.png").c_str()));
  ASSERT_TRUE(img);
  const int32_t before = Pixmill_SetQuality(75);
  ASSERT_EQ(Pixmill_Save(inputs_.File("q75.jpg").c_str(), img.get(), PIXMILL_FORMAT_JPEG), 0);
  Pixmill_SetQuality(before);
  EXPECT_EQ(pmtest::ReadBytes(work_.File("output.jpg")), pmtest::ReadBytes(inputs_.File("q75.jpg")));
}

TEST_F(RoundtripTest, TheStatusIsTheJpegSavesAlone) {
  // A directory in the way of one output fails that save only.
  ASSERT_EQ(::mkdir(work_.File("output.jpg").c_str(), 0755), 0);
  Result r = RunRoundtrip(work_.path(), Quote(input("palette.bmp")));
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out + r.err, "");
  ExpectFourBesides(work_.path(), "output.jpg");

  pmtest::TempDir dir;
  ASSERT_EQ(::mkdir(dir.File("output.png").c_str(), 0755), 0);
  r = RunRoundtrip(dir.path(), Quote(input("palette.bmp")));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_TRUE(pmtest::ListDir(dir.File("output.png")).empty());
  ExpectFourBesides(dir.path(), "output.png");
}

TEST_F(RoundtripTest, InputsTheLibraryRefusesGiveStatus255AndNoFile) {
  // An RGBA image whose alpha is not opaque is a pixel format the library
  // refuses.
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = 4;
  image.height = 4;
  image.format = PNG_FORMAT_RGBA;
  std::vector<uint8_t> pixels(4 * 4 * 4, 0x80);
  ASSERT_NE(png_image_write_to_file(&image, input("alpha.png").c_str(), 0, pixels.data(), 0, nullptr), 0);

  for (const std::string& path : {input("missing.png"), input("alpha.png"), inputs_.path()}) {
    SCOPED_TRACE(path);
    const Result r = RunRoundtrip(work_.path(), Quote(path));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_TRUE(Released(r));
    EXPECT_TRUE(pmtest::ListDir(work_.path()).empty());
  }
}

TEST_F(RoundtripTest, WithoutTheWholeLibraryItGivesStatus255Silently) {
  // The program copied alone: neither its folder nor ../lib holds the
  // library, and the system's paths do not either.
  pmtest::TempDir alone;
  const std::string copy = alone.File("roundtrip");
  ASSERT_EQ(pmtest::Run("cp " + Quote(PIXMILL_ROUNDTRIP) + " " + Quote(copy)), 0);
  Result r = RunProgram(copy, work_.path(), Quote(input("rgb.png")));
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_FALSE(Opened(r));
  EXPECT_TRUE(pmtest::ListDir(work_.path()).empty());

  // A library in the working directory is not searched: the program's
  // path names its own folder and ../lib, never the current one.
  pmtest::TempDir planted;
  ASSERT_EQ(pmtest::Run("cp " + Quote(PIXMILL_FOUR_EXPORTS) + " " + Quote(planted.File("libPixmill_x64.so"))), 0);
  r = RunProgram(copy, planted.path(), Quote(input("rgb.png")));
  EXPECT_EQ(r.status, 255);
  EXPECT_FALSE(Opened(r));
  EXPECT_EQ(pmtest::ListDir(planted.path()), std::vector<std::string>{"libPixmill_x64.so"});

  // Beside a library of the right name that lacks Pixmill_SetQuality: none
  // of its functions is called (each would leave a marker file) and it is
  // unloaded again.
  ASSERT_EQ(pmtest::Run("cp " + Quote(PIXMILL_FOUR_EXPORTS) + " " + Quote(alone.File("libPixmill_x64.so"))), 0);
  r = RunProgram(copy, work_.path(), Quote(input("rgb.png")));
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_TRUE(Opened(r));
  EXPECT_TRUE(Released(r));
  EXPECT_TRUE(pmtest::ListDir(work_.path()).empty());
}

// One file of each container through the loader and all five savers under
// memcheck: no error, no leak.
TEST_F(RoundtripTest, RunsCleanUnderValgrind) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "valgrind does not run sanitizer builds";
#else
  if (pmtest::Run("command -v valgrind >/dev/null") != 0) GTEST_SKIP() << "valgrind is not installed";
  for (const char* name : {"rgb.png", "rgb.jpg", "bits.tif", "palette.gif", "palette.bmp"}) {
    SCOPED_TRACE(name);
    pmtest::TempDir dir, logs;
    const std::string cmd = "cd " + Quote(dir.path()) +
                            " && valgrind -q --error-exitcode=99 --leak-check=full "
                            "--show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible " +
                            Quote(PIXMILL_ROUNDTRIP) + " " + Quote(input(name)) + " 2>" + Quote(logs.File("log"));
    EXPECT_EQ(pmtest::Run(cmd), 0) << Text(pmtest::ReadBytes(logs.File("log")));
    ExpectFive(dir.path());
  }
#endif
}

}  // namespace
