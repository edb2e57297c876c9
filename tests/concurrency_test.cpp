// Eight threads loading and saving different images at once through the
// exported functions, as a batch converter inside one process would. Every
// output must hold its own thread's pixels; under ThreadSanitizer the run
// must be free of data races (the quality and the error text are shared).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "loader.h"
#include "meta_img.h"
#include "pixmill.h"
#include "test_support.h"

namespace {


// A record whose pixels depend on the thread, so that outputs mixed up
// between threads would show. Shapes rotate through 24, 8 and 1 bit.
Record ThreadImage(int t) {
  const int w = 40 + 7 * t, h = 30 + 3 * t;
  const int shape = t % 3;
  Record img(pmtest::MakeRecord(w, h, shape == 2 ? 1 : 8, shape == 0 ? 3 : 1));
  const size_t bytes = shape == 0 ? size_t(w) * h * 3 : (shape == 1 ? size_t(w) * h : size_t((w + 7) / 8) * h);
  for (size_t i = 0; i < bytes; ++i) img->p_buf[i] = static_cast<uint8_t>(i * (t + 3) + t);
  if (shape == 1) {
    for (int k = 0; k < 256; ++k) img->p_palette[k] = PM_METAIMG_PALETTE{uint8_t(k), uint8_t(k ^ t), uint8_t(255 - k), 255};
  }
  return img;
}

TEST(ConcurrencyTest, EightThreadsLoadAndSaveDifferentFilesAtOnce) {
  constexpr int kThreads = 8, kRounds = 6;
  pmtest::TempDir dir;
  // Each thread's source file, written before the threads start.
  std::vector<std::vector<uint8_t>> want(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    Record img = ThreadImage(t);
    want[t] = pmtest::RecordRgb(*img);
    ASSERT_EQ(Pixmill_Save(dir.File("in" + std::to_string(t) + ".png").c_str(), img.get(), PIXMILL_FORMAT_PNG), 0);
  }

  std::vector<std::string> problems(kThreads);
  auto work = [&](int t) {
    const std::string in = dir.File("in" + std::to_string(t) + ".png");
    for (int round = 0; round < kRounds && problems[t].empty(); ++round) {
      Record img(Pixmill_Create(in.c_str()));
      if (!img) problems[t] = "load failed";
      // Quality and the error text are process-wide: touched from every
      // thread, they must stay race-free even though their values mix.
      Pixmill_SetQuality(50 + t);
      for (int code = 0; img && code <= 4; ++code) {
        const std::string out = dir.File("t" + std::to_string(t) + "." + std::to_string(code));
        if (Pixmill_Save(out.c_str(), img.get(), code) != 0) problems[t] = "save " + std::to_string(code) + " failed";
        char* text = Pixmill_LastErrorMessage();
        if (text == nullptr) problems[t] = "no text";
        std::free(text);
        // The lossless outputs (the GIF too: at most 256 colours here
        // except for the 24-bit images) hold this thread's pixels.
        Record back(code == PIXMILL_FORMAT_JPEG ? nullptr : sttc_LoadImage(out.c_str()));
        if (code != PIXMILL_FORMAT_JPEG && (!back || ((code != PIXMILL_FORMAT_GIF || t % 3 != 0) &&
                                                      pmtest::RecordRgb(*back) != want[t]))) {
          problems[t] = "output " + std::to_string(code) + " does not hold this thread's pixels";
        }
      }
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(work, t);
  for (std::thread& th : threads) th.join();
  Pixmill_SetQuality(75);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(problems[t], "") << "thread " << t;
  // No temporary file is left from any of the concurrent saves.
  for (const std::string& name : pmtest::ListDir(dir.path())) EXPECT_NE(name[0], '.') << name;
}

}  // namespace
