// End to end: the built roundtrip program run in a scratch working directory,
// checked by its exit status, what it printed and the files it left there.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>

#include "loader.h"
#include "my_global.h"
#include "pixmill.h"
#include "test_support.h"

namespace {


const std::vector<std::string> kFive = {"output.bmp", "output.gif", "output.jpg", "output.png", "output.tif"};
const char* const kSignatures[] = {"BMP", "GIF", "JPEG", "PNG", "TIFF"};

std::string Text(const std::vector<uint8_t>& b) { return std::string(b.begin(), b.end()); }
std::string Quote(const std::string& s) { return "'" + s + "'"; }

struct Result {
  int status = -1;
  std::string out, err;
  std::string loader_log;  // the dynamic loader's account of library loads
  // glibc reports "destroying link map" only when dlclose unloads a
  // library, never for the libraries still loaded at exit.
  bool Opened() const { return loader_log.find("libPixmill_x64.so [0];  generating link map") != std::string::npos; }
  bool Released() const { return loader_log.find("libPixmill_x64.so [0];  destroying link map") != std::string::npos; }
};

// Runs program with args in cwd, with no LD_LIBRARY_PATH, so that only its
// RUNPATH and the system's paths can find the library.
Result RunRoundtrip(const std::string& cwd, const std::string& args, const std::string& program = PIXMILL_ROUNDTRIP) {
  pmtest::TempDir logs;
  Result r;
  r.status = pmtest::Run("cd " + Quote(cwd) + " && env -u LD_LIBRARY_PATH LD_DEBUG=files LD_DEBUG_OUTPUT=" +
                         Quote(logs.File("ld")) + " " + Quote(program) + " " + args + " >" + Quote(logs.File("out")) +
                         " 2>" + Quote(logs.File("err")));
  r.out = Text(pmtest::ReadBytes(logs.File("out")));
  r.err = Text(pmtest::ReadBytes(logs.File("err")));
  for (const std::string& name : pmtest::ListDir(logs.path())) {
    if (name.rfind("ld.", 0) == 0) r.loader_log += Text(pmtest::ReadBytes(logs.File(name)));
  }
  return r;
}

// The outputs in dir other than `failed`, each in its container.
void ExpectOutputs(const std::string& dir, const std::string& failed = "") {
  for (size_t i = 0; i < kFive.size(); ++i) {
    if (kFive[i] != failed) {
      EXPECT_EQ(pmtest::Signature(dir + "/" + kFive[i]), kSignatures[i]) << kFive[i];
    }
  }
  if (failed.empty()) {
    EXPECT_EQ(pmtest::ListDir(dir), kFive);
  }
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
    for (const auto& [name, img, code] : {std::make_tuple("rgb.png", rgb.get(), PIXMILL_FORMAT_PNG),
                                          std::make_tuple("palette.bmp", palette.get(), PIXMILL_FORMAT_BMP),
                                          std::make_tuple("bits.tif", bits.get(), PIXMILL_FORMAT_TIFF),
                                          std::make_tuple("rgb.jpg", rgb.get(), PIXMILL_FORMAT_JPEG),
                                          std::make_tuple("palette.gif", palette.get(), PIXMILL_FORMAT_GIF)}) {
      ASSERT_EQ(Pixmill_Save(input(name).c_str(), img, code), 0);
    }
  }
  std::string input(const std::string& name) const { return inputs_.File(name); }

  pmtest::TempDir inputs_;
  pmtest::TempDir work_;
};

TEST_F(RoundtripTest, EachShapeGivesTheFiveFilesSilentlyReplacingOldOnes) {
  for (const char* name : {"rgb.png", "palette.bmp", "bits.tif"}) {
    SCOPED_TRACE(name);
    pmtest::TempDir dir;
    for (const std::string& out : kFive) pmtest::WriteBytes(dir.File(out), std::vector<uint8_t>(5000, 'x'));
    // Only the first argument counts.
    const Result r = RunRoundtrip(dir.path(), Quote(input(name)) + " no-such-file.png " + Quote(input("bits.tif")));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_TRUE(r.Released()) << "the library is unloaded before exit";
    ExpectOutputs(dir.path());
    // The lossless outputs hold the input's pixels; the JPEG is quality 75's.
    Record in(sttc_LoadImage(input(name).c_str()));
    ASSERT_TRUE(in);
    for (const char* lossless : {"output.png", "output.bmp", "output.tif", "output.gif"}) {
      Record out(sttc_LoadImage(dir.File(lossless).c_str()));
      ASSERT_TRUE(out) << lossless << ": " << myGlobal::GetError();
      EXPECT_EQ(pmtest::RecordRgb(*out), pmtest::RecordRgb(*in)) << lossless;
    }
    const int32_t before = Pixmill_SetQuality(75);
    ASSERT_EQ(Pixmill_Save(dir.File("q75.jpg").c_str(), in.get(), PIXMILL_FORMAT_JPEG), 0);
    Pixmill_SetQuality(before);
    EXPECT_EQ(pmtest::ReadBytes(dir.File("output.jpg")), pmtest::ReadBytes(dir.File("q75.jpg")));
  }
}

TEST_F(RoundtripTest, TheStatusIsTheJpegSavesAloneAndRefusedInputsGive255AndNoFile) {
  // A directory in the way of one output fails that save only.
  for (const std::string blocked : {"output.jpg", "output.png"}) {
    pmtest::TempDir dir;
    ASSERT_EQ(::mkdir(dir.File(blocked).c_str(), 0755), 0);
    const Result r = RunRoundtrip(dir.path(), Quote(input("palette.bmp")));
    EXPECT_EQ(r.status, blocked == "output.jpg" ? 255 : 0) << blocked;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_TRUE(pmtest::ListDir(dir.File(blocked)).empty());
    ExpectOutputs(dir.path(), blocked);
  }
  // An RGBA image whose alpha is not opaque is a pixel format the library
  // refuses.
  for (const std::string& path : {input("missing.png"), std::string(PIXMILL_SOURCE_DIR "/tests/data/bad/rgba-translucent.png"),
                                  inputs_.path()}) {
    const Result r = RunRoundtrip(work_.path(), Quote(path));
    EXPECT_EQ(r.status, 255) << path;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_TRUE(r.Released());
    EXPECT_TRUE(pmtest::ListDir(work_.path()).empty());
  }
}

TEST_F(RoundtripTest, WithoutAnArgumentOrTheWholeLibraryItGivesStatus255) {
  // Without an argument: the message, and no library loaded.
  const Result r = RunRoundtrip(work_.path(), "");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "error\n1 or 8 or 24bit RGB\xE7\x94\xBB\xE5\x83\x8F\xE3\x82\x92\xE5\x85\xA5\xE5\x8A\x9B\xE3\x81\x97"
                       "\xE3\x81\xA6\xE3\x81\x8F\xE3\x81\xA0\xE3\x81\x95\xE3\x81\x84\xE3\x80\x82\n(JPGE,PNG,GIF,TIFF,BMP)\n");
  EXPECT_FALSE(r.Opened());
  EXPECT_TRUE(pmtest::ListDir(work_.path()).empty());

  // The program copied alone: neither its folder nor ../lib holds the
  // library, and the system's paths do not either. A library in the working
  // directory is not searched. Beside a library of the right name that lacks
  // Pixmill_SetQuality, none of its functions is called (each would leave a
  // marker file) and it is unloaded again.
  pmtest::TempDir alone, planted;
  const std::string copy = alone.File("roundtrip");
  ASSERT_EQ(pmtest::Run("cp " + Quote(PIXMILL_ROUNDTRIP) + " " + Quote(copy)), 0);
  ASSERT_EQ(pmtest::Run("cp " + Quote(PIXMILL_FOUR_EXPORTS) + " " + Quote(planted.File("libPixmill_x64.so"))), 0);
  for (int step = 0; step < 3; ++step) {
    if (step == 2) {
      ASSERT_EQ(pmtest::Run("cp " + Quote(PIXMILL_FOUR_EXPORTS) + " " + Quote(alone.path())), 0);
    }
    const std::string cwd = step == 1 ? planted.path() : work_.path();
    const Result r = RunRoundtrip(cwd, Quote(input("rgb.png")), copy);
    EXPECT_EQ(r.status, 255) << step;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(r.Opened(), step == 2);
    EXPECT_EQ(r.Released(), step == 2);
    EXPECT_EQ(pmtest::ListDir(cwd), step == 1 ? std::vector<std::string>{"libPixmill_x64.so"} : std::vector<std::string>{});
  }
}

// pixmill-convert: each output is byte for byte the library's own save of
// the same input; refused command lines write nothing.
TEST_F(RoundtripTest, ConvertToolWritesWhatTheLibrarySavesAndRefusesBadCommandLines) {
  auto expect_save = [&](const std::string& in, const std::string& got, int32_t code, int32_t quality = 75) {
    Record img(sttc_LoadImage(in.c_str()));
    ASSERT_TRUE(img);
    const int32_t before = Pixmill_SetQuality(quality);
    ASSERT_EQ(Pixmill_Save(work_.File("want").c_str(), img.get(), code), 0);
    Pixmill_SetQuality(before);
    EXPECT_EQ(pmtest::ReadBytes(got), pmtest::ReadBytes(work_.File("want"))) << got;
  };
  const std::string tool = Quote(PIXMILL_CONVERT);
  const std::string rgb = Quote(input("rgb.png"));
  pmtest::TempDir dir;
  const struct {
    std::string args, out;
    int32_t code;
  } kSingle[] = {{rgb + " a.JPG", "a.JPG", PIXMILL_FORMAT_JPEG},  {rgb + " a.jpeg", "a.jpeg", PIXMILL_FORMAT_JPEG},
                 {rgb + " a.Tiff", "a.Tiff", PIXMILL_FORMAT_TIFF}, {rgb + " a.tif", "a.tif", PIXMILL_FORMAT_TIFF},
                 {rgb + " a.gif", "a.gif", PIXMILL_FORMAT_GIF},    {rgb + " a.BMP", "a.BMP", PIXMILL_FORMAT_BMP},
                 {"-f png " + rgb + " a.jpg", "a.jpg", PIXMILL_FORMAT_PNG}};
  for (const auto& c : kSingle) {
    const Result r = RunRoundtrip(dir.path(), c.args, PIXMILL_CONVERT);
    EXPECT_EQ(r.status, 0) << c.args << r.err;
    expect_save(input("rgb.png"), dir.File(c.out), c.code);
  }
  // Standard output, through a pipe.
  EXPECT_EQ(pmtest::Run(tool + " -q 90 -f jpeg " + rgb + " - | cat >" + Quote(dir.File("piped"))), 0);
  expect_save(input("rgb.png"), dir.File("piped"), PIXMILL_FORMAT_JPEG, 90);

  // Refused: status 2, the reason, and no file or folder made.
  const std::pair<std::string, std::string> kUsage[] = {
      {rgb + " a.webp", "cannot tell the format from 'a.webp'"},
      {rgb + " -", "cannot tell the format from '-'"},
      {"-q 101 " + rgb + " a.png", "-q takes a whole number from 0 to 100"},
      {"-f webp " + rgb + " a.png", "unknown format 'webp'"},
      {"-j 2 " + rgb + " a.png", "-j goes with -o"},
      {"-o out " + rgb, "-o needs the output format from -f"},
      {"-f png -o out " + rgb + " " + Quote(inputs_.path()) + "/./rgb.png", "would both be written to 'out/rgb.png'"},
      {"-f png -o " + Quote(inputs_.path()) + " " + rgb, "would replace the input"}};
  for (const auto& [args, text] : kUsage) {
    pmtest::TempDir empty;
    const Result r = RunRoundtrip(empty.path(), args, PIXMILL_CONVERT);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_NE(r.err.find(text), std::string::npos) << args << ": " << r.err;
    EXPECT_TRUE(pmtest::ListDir(empty.path()).empty()) << args;
  }

  // The batch form: worker processes, one line per failure in input order,
  // a summary, status 1.
  pmtest::Bytes cut = pmtest::ReadBytes(input("rgb.png"));
  cut.resize(60);
  pmtest::WriteBytes(input("broken.png"), cut);
  const Result r = RunRoundtrip(dir.path(), "-j 2 -f bmp -o out/sub " + rgb + " " + Quote(input("broken.png")) + " " +
                                                Quote(input("palette.gif")) + " missing.tif " + Quote(input("bits.tif")),
                                PIXMILL_CONVERT);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  const std::string broken = input("broken.png");
  EXPECT_EQ(r.err.substr(0, r.err.find("pixmill-convert: ")),
            "FAILED " + broken + ": '" + broken + "': PNG data is damaged (file ends before the image data)\n" +
                "FAILED missing.tif: Cannot open 'missing.tif': No such file or directory\n");
  EXPECT_NE(r.err.find("pixmill-convert: 3 files converted, 2 failed, in "), std::string::npos) << r.err;
  EXPECT_EQ(pmtest::ListDir(dir.File("out/sub")), (std::vector<std::string>{"bits.bmp", "palette.bmp", "rgb.bmp"}));
  for (const char* name : {"rgb.png", "palette.gif", "bits.tif"}) {
    const std::string stem(name, std::strchr(name, '.'));
    expect_save(input(name), dir.File("out/sub/" + stem + ".bmp"), PIXMILL_FORMAT_BMP);
  }
}

// One file of each container through the loader and all five savers under
// memcheck, and all of them through the converter's worker processes: no
// error, no leak.
TEST_F(RoundtripTest, RunsCleanUnderValgrind) {
  if (pmtest::kSanitized) GTEST_SKIP() << "valgrind does not run sanitizer builds";
  if (pmtest::Run("command -v valgrind >/dev/null") != 0) GTEST_SKIP() << "valgrind is not installed";
  auto memcheck = [](const std::string& cwd, const std::string& command) {
    pmtest::TempDir logs;
    EXPECT_EQ(pmtest::Run("cd " + Quote(cwd) +
                          " && valgrind -q --trace-children=yes --error-exitcode=99 --leak-check=full "
                          "--show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible " +
                          command + " 2>" + Quote(logs.File("log"))),
              0)
        << command << ": " << Text(pmtest::ReadBytes(logs.File("log")));
  };
  for (const char* name : {"rgb.png", "rgb.jpg", "bits.tif", "palette.gif", "palette.bmp"}) {
    pmtest::TempDir dir;
    memcheck(dir.path(), Quote(PIXMILL_ROUNDTRIP) + " " + Quote(input(name)));
    ExpectOutputs(dir.path());
  }
  memcheck(work_.path(), Quote(PIXMILL_CONVERT) + " -j 2 -f gif -o out " + Quote(input("rgb.jpg")) + " " +
                             Quote(input("bits.tif")) + " " + Quote(input("palette.bmp")));
  EXPECT_EQ(pmtest::ListDir(work_.File("out")), (std::vector<std::string>{"bits.gif", "palette.gif", "rgb.gif"}));
}

}  // namespace
