// End to end: roundtrip, pixmill-convert and the Python converters, checked
// by their status, what they print and the files they leave, each byte for
// byte the library's own save of the same input.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "loader.h"
#include "pixmill.h"
#include "test_support.h"

namespace {

std::string Quote(const std::string& s) { return "'" + s + "'"; }
const std::vector<std::string> kFive = {"output.bmp", "output.gif", "output.jpg", "output.png", "output.tif"};
const int32_t kCodes[] = {PIXMILL_FORMAT_BMP, PIXMILL_FORMAT_GIF, PIXMILL_FORMAT_JPEG, PIXMILL_FORMAT_PNG, PIXMILL_FORMAT_TIFF};

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
Result RunIn(const std::string& cwd, const std::string& args, const std::string& program = PIXMILL_ROUNDTRIP) {
  pmtest::TempDir logs;
  Result r;
  r.status = pmtest::Run("cd " + Quote(cwd) + " && env -u LD_LIBRARY_PATH LD_DEBUG=files LD_DEBUG_OUTPUT=" +
                         Quote(logs.File("ld")) + " " + Quote(program) + " " + args + " >" + Quote(logs.File("out")) +
                         " 2>" + Quote(logs.File("err")));
  r.out = pmtest::ReadText(logs.File("out"));
  r.err = pmtest::ReadText(logs.File("err"));
  for (const std::string& name : pmtest::ListDir(logs.path())) {
    if (name.rfind("ld.", 0) == 0) r.loader_log += pmtest::ReadText(logs.File(name));
  }
  return r;
}

// Inputs of the three shapes the programs are for, written through the
// library, and the library's own saves of them to compare outputs with.
class RoundtripTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::tuple<const char*, pmtest::Shape, int32_t> kInputs[] = {{"rgb.png", pmtest::kGradient, 1},
        {"rgb.jpg", pmtest::kGradient, 0}, {"palette.bmp", pmtest::kPalette, 4}, {"palette.gif", pmtest::kPalette, 3},
        {"bits.tif", pmtest::kBilevel, 2}};
    for (const auto& [name, shape, code] : kInputs) {
      ASSERT_EQ(Pixmill_Save(input(name).c_str(), pmtest::Image(shape, 61 - 7 * shape, 37 - 3 * shape).get(), code), 0);
    }
  }
  std::string input(const std::string& name) const { return inputs_.File(name); }
  // The library's save of an input in a container.
  pmtest::Bytes Saved(const std::string& name, int32_t code, int32_t quality = 75) {
    Record img(sttc_LoadImage(input(name).c_str()));
    pmtest::TempDir dir;
    const int32_t before = Pixmill_SetQuality(quality);
    EXPECT_EQ(Pixmill_Save(dir.File("want").c_str(), img.get(), code), 0);
    Pixmill_SetQuality(before);
    return pmtest::ReadBytes(dir.File("want"));
  }
  // The five outputs in dir, but for `failed`, are the library's saves.
  void ExpectFive(const std::string& dir, const std::string& name, const std::string& failed = "") {
    for (size_t i = 0; i < kFive.size(); ++i) {
      EXPECT_TRUE(kFive[i] == failed || pmtest::ReadBytes(dir + "/" + kFive[i]) == Saved(name, kCodes[i])) << kFive[i];
    }
  }

  pmtest::TempDir inputs_, work_;
};

TEST_F(RoundtripTest, EachShapeGivesTheFiveFilesSilentlyReplacingOldOnes) {
  for (const char* name : {"rgb.png", "palette.bmp", "bits.tif"}) {
    pmtest::TempDir dir;
    for (const std::string& out : kFive) pmtest::WriteBytes(dir.File(out), std::vector<uint8_t>(5000, 'x'));
    // Only the first argument counts.
    const Result r = RunIn(dir.path(), Quote(input(name)) + " no-such-file.png " + Quote(input("bits.tif")));
    EXPECT_EQ(r.status, 0) << name;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_TRUE(r.Released()) << "the library is unloaded before exit";
    EXPECT_EQ(pmtest::ListDir(dir.path()), kFive);
    ExpectFive(dir.path(), name);
  }
}

TEST_F(RoundtripTest, TheStatusIsTheJpegSavesAloneAndRefusedInputsGive255AndNoFile) {
  // A directory in the way of one output fails that save only.
  for (const std::string blocked : {"output.jpg", "output.png"}) {
    pmtest::TempDir dir;
    ASSERT_EQ(::mkdir(dir.File(blocked).c_str(), 0755), 0);
    const Result r = RunIn(dir.path(), Quote(input("palette.bmp")));
    EXPECT_EQ(r.status, blocked == "output.jpg" ? 255 : 0) << blocked;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_TRUE(pmtest::ListDir(dir.File(blocked)).empty());
    ExpectFive(dir.path(), "palette.bmp", blocked);
  }
  // Missing, a pixel format the library refuses (not opaque RGBA), a folder.
  for (const std::string& path : {input("missing.png"), std::string(PIXMILL_SOURCE_DIR "/tests/data/bad/rgba-translucent.png"),
                                  inputs_.path()}) {
    const Result r = RunIn(work_.path(), Quote(path));
    EXPECT_EQ(r.status * 1000 + (r.out + r.err).size(), 255000u) << path;
    EXPECT_TRUE(r.Released());
    EXPECT_TRUE(pmtest::ListDir(work_.path()).empty());
  }
}

TEST_F(RoundtripTest, WithoutAnArgumentOrTheWholeLibraryItGivesStatus255) {
  // Without an argument: the message, and no library loaded.
  const Result r = RunIn(work_.path(), "");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out + r.err, "error\n1 or 8 or 24bit RGB\xE7\x94\xBB\xE5\x83\x8F\xE3\x82\x92\xE5\x85\xA5\xE5\x8A\x9B\xE3\x81\x97"
                           "\xE3\x81\xA6\xE3\x81\x8F\xE3\x81\xA0\xE3\x81\x95\xE3\x81\x84\xE3\x80\x82\n(JPGE,PNG,GIF,TIFF,BMP)\n");
  EXPECT_FALSE(r.Opened());
  // Copied alone, it finds no library, not one in the working directory;
  // beside one of the right name without Pixmill_SetQuality it calls none
  // of its functions (each would leave a marker file) and unloads it.
  pmtest::TempDir alone, planted;
  const std::string copy = alone.File("roundtrip");
  ASSERT_EQ(pmtest::Run("cp " + Quote(PIXMILL_ROUNDTRIP) + " " + Quote(copy) + " && cp " + Quote(PIXMILL_FOUR_EXPORTS) +
                        " " + Quote(planted.File("libPixmill_x64.so"))),
            0);
  for (int step = 0; step < 3; ++step) {
    ASSERT_EQ(pmtest::Run(step == 2 ? "cp " + Quote(PIXMILL_FOUR_EXPORTS) + " " + Quote(alone.path()) : "true"), 0);
    const std::string cwd = step == 1 ? planted.path() : work_.path();
    const Result r = RunIn(cwd, Quote(input("rgb.png")), copy);
    EXPECT_EQ(r.status * 1000 + (r.out + r.err).size(), 255000u) << step;
    EXPECT_EQ(r.Opened() + 10 * r.Released(), step == 2 ? 11 : 0) << step;
    EXPECT_EQ(pmtest::ListDir(cwd), step == 1 ? std::vector<std::string>{"libPixmill_x64.so"} : std::vector<std::string>{});
  }
}

// pixmill-convert: the container from -f or the extension, standard output,
// refused command lines (status 2, the reason, nothing made), and the batch
// form (one line per failure in input order, a summary, status 1).
TEST_F(RoundtripTest, ConvertToolWritesWhatTheLibrarySavesAndRefusesBadCommandLines) {
  const std::string rgb = Quote(input("rgb.png"));
  pmtest::TempDir dir;
  const std::pair<std::string, int32_t> kSingle[] = {{"a.JPG", 0}, {"a.jpeg", 0}, {"a.Tiff", 2}, {"a.tif", 2},
                                                     {"a.gif", 3}, {"a.BMP", 4},  {"-f png a.jpg", 1}};
  for (const auto& [args, code] : kSingle) {
    const std::string out = args.substr(args.rfind(' ') + 1), flags = args.substr(0, args.rfind(' ') + 1);
    EXPECT_EQ(RunIn(dir.path(), flags + rgb + " " + out, PIXMILL_CONVERT).status, 0) << args;
    EXPECT_EQ(pmtest::ReadBytes(dir.File(out)), Saved("rgb.png", code)) << args;
  }
  EXPECT_EQ(pmtest::Run(Quote(PIXMILL_CONVERT) + " -q 90 -f jpeg " + rgb + " - | cat >" + Quote(dir.File("piped"))), 0);
  EXPECT_EQ(pmtest::ReadBytes(dir.File("piped")), Saved("rgb.png", 0, 90));

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
    const Result r = RunIn(empty.path(), args, PIXMILL_CONVERT);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_NE(r.err.find(text), std::string::npos) << args << ": " << r.err;
    EXPECT_TRUE(pmtest::ListDir(empty.path()).empty()) << args;
  }

  pmtest::Bytes cut = pmtest::ReadBytes(input("rgb.png"));
  cut.resize(60);
  pmtest::WriteBytes(input("broken.png"), cut);
  const std::string broken = input("broken.png");
  const Result r = RunIn(dir.path(), "-j 2 -f bmp -o out/sub " + rgb + " " + Quote(broken) + " " +
                                         Quote(input("palette.gif")) + " missing.tif " + Quote(input("bits.tif")),
                         PIXMILL_CONVERT);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.substr(0, r.err.find("pixmill-convert: 3 files converted, 2 failed, in ")),
            "FAILED " + broken + ": '" + broken + "': PNG data is damaged (file ends before the image data)\n" +
                "FAILED missing.tif: Cannot open 'missing.tif': No such file or directory\n");
  EXPECT_EQ(pmtest::ListDir(dir.File("out/sub")), (std::vector<std::string>{"bits.bmp", "palette.bmp", "rgb.bmp"}));
  for (const std::string name : {"rgb.png", "palette.gif", "bits.tif"}) {
    EXPECT_EQ(pmtest::ReadBytes(dir.File("out/sub/" + name.substr(0, name.find('.')) + ".bmp")), Saved(name, 4)) << name;
  }
}

// One file of each container through roundtrip, and three through the
// converter's worker processes, under memcheck: no error, no leak.
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
        << command << ": " << pmtest::ReadText(logs.File("log"));
  };
  for (const char* name : {"rgb.png", "rgb.jpg", "bits.tif", "palette.gif", "palette.bmp"}) {
    pmtest::TempDir dir;
    memcheck(dir.path(), Quote(PIXMILL_ROUNDTRIP) + " " + Quote(input(name)));
    ExpectFive(dir.path(), name);
  }
  memcheck(work_.path(), Quote(PIXMILL_CONVERT) + " -j 2 -f gif -o out " + Quote(input("rgb.jpg")) + " " +
                             Quote(input("bits.tif")) + " " + Quote(input("palette.bmp")));
  EXPECT_EQ(pmtest::ListDir(work_.File("out")), (std::vector<std::string>{"bits.gif", "palette.gif", "rgb.gif"}));
}

// Runs an example script on a folder: its status, and its summary and FAILED
// lines, sorted. Empty folders left for failed files are removed.
std::pair<int, std::string> Convert(const std::string& args, const std::string& in, const std::string& out) {
  pmtest::TempDir logs;
  const int status = pmtest::Run("cd '" + logs.path() + "' && " PIXMILL_PYTHON " " PIXMILL_SOURCE_DIR "/examples/" + args +
                                 " --library " PIXMILL_LIBRARY_PATH " '" + in + "' '" + out + "' >log 2>&1; s=$?; "
                                 "grep -E '^FAILED | files converted, ' log | sed 's/, in .*//' | LC_ALL=C sort >lines; "
                                 "find '" + out + "' -type d -empty -delete; exit $s");
  return {status, pmtest::ReadText(logs.File("lines"))};
}

// batch_convert.py with one and two workers, and dask_convert.py on a local
// cluster whose workers write the files or send them back: each converts a
// folder to the library's saves, passing over what is not an image.
TEST(BatchExampleTest, EveryWayConvertsAFolderAndListsTheFailures) {
  if (pmtest::kSanitized) GTEST_SKIP() << "Python cannot load a sanitizer build of the library";
  if (sizeof(void*) != 8) GTEST_SKIP() << "the system's Python cannot load a 32-bit library";
  pmtest::TempDir dir;
  const std::string in = dir.File("in");
  const pmtest::Bytes sample = pmtest::ReadBytes(PIXMILL_SOURCE_DIR "/samples/sample.png");
  ASSERT_EQ(pmtest::Run("mkdir -p '" + in + "/sub'"), 0);
  pmtest::WriteBytes(in + "/sample.png", sample);
  pmtest::WriteBytes(in + "/sub/again.png", sample);
  pmtest::WriteBytes(in + "/broken.png", pmtest::Bytes(sample.begin(), sample.begin() + 100));
  pmtest::WriteBytes(in + "/notes.txt", {'n', 'o'});
  Record img(Pixmill_Create((in + "/sample.png").c_str()));
  ASSERT_EQ(Pixmill_Save(dir.File("want.bmp").c_str(), img.get(), PIXMILL_FORMAT_BMP), 0);
  const bool dask = pmtest::Run(PIXMILL_PYTHON " -c 'import distributed' 2>/dev/null") == 0;
  for (const std::string way : {"batch_convert.py --workers 1", "batch_convert.py --workers 2",
                                "dask_convert.py --workers 2", "dask_convert.py --workers 2 --return-bytes"}) {
    if (!dask && way[0] == 'd') continue;
    const std::string out = dir.File("out");
    EXPECT_EQ(Convert(way + " --format bmp", in, out),
              std::make_pair(1, "2 files converted, 1 failed\nFAILED " + in + "/broken.png: '" + in +
                                    "/broken.png': PNG data is damaged (file ends before the image data)\n"))
        << way;
    EXPECT_EQ(pmtest::Run("cd '" + out + "' && test \"$(find . -type f | sort | xargs)\" = './sample.bmp ./sub/again.bmp' && cmp sample.bmp '" +
                          dir.File("want.bmp") + "' && cmp sub/again.bmp sample.bmp && rm -r '" + out + "'"),
              0)
        << way;
  }
  if (!dask) GTEST_SKIP() << "Dask's distributed package (python3-distributed) is not installed";
}

}  // namespace
