// Eight threads loading and saving different images at once through the
// exported functions, as a batch converter inside one process would. Every
// output must be byte for byte the save the same record gets alone; under
// ThreadSanitizer the run must be free of data races (the quality and the
// error text are shared).
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include <unistd.h>

#include "pixmill.h"
#include "test_support.h"

namespace {

TEST(ConcurrencyTest, EightThreadsLoadAndSaveDifferentFilesAtOnce) {
  constexpr int kThreads = 8, kRounds = 6;
  pmtest::TempDir dir;
  // Each thread's source (shapes rotate, samples vary by thread) and its
  // five saves, made before the threads start, at the quality the thread
  // will set.
  std::vector<std::vector<pmtest::Bytes>> want(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    Record img = pmtest::Image(static_cast<pmtest::Shape>(t % 7), 40 + 7 * t, 30 + 3 * t, static_cast<uint32_t>(t));
    ASSERT_EQ(Pixmill_Save(dir.File("in" + std::to_string(t) + ".png").c_str(), img.get(), PIXMILL_FORMAT_PNG), 0);
    Record in(Pixmill_Create(dir.File("in" + std::to_string(t) + ".png").c_str()));
    Pixmill_SetQuality(50 + t);
    for (int code = 0; code <= 4; ++code) {
      ASSERT_EQ(Pixmill_Save(dir.File("want").c_str(), in.get(), code), 0);
      want[t].push_back(pmtest::ReadBytes(dir.File("want")));
    }
  }
  ::unlink(dir.File("want").c_str());

  std::vector<std::string> problems(kThreads);
  auto work = [&](int t) {
    const std::string in = dir.File("in" + std::to_string(t) + ".png");
    for (int round = 0; round < kRounds && problems[t].empty(); ++round) {
      Record img(Pixmill_Create(in.c_str()));
      if (!img) problems[t] = "load failed";
      // Quality and the error text are process-wide: touched from every
      // thread, they must stay race-free (each thread sets its own quality
      // again before each JPEG, the text is only read for its presence).
      for (int code = 0; img && code <= 4; ++code) {
        Pixmill_SetQuality(50 + t);
        const std::string out = dir.File("t" + std::to_string(t) + "." + std::to_string(code));
        if (Pixmill_Save(out.c_str(), img.get(), code) != 0) problems[t] = "save " + std::to_string(code) + " failed";
        char* text = Pixmill_LastErrorMessage();
        if (text == nullptr) problems[t] = "no text";
        std::free(text);
        if (code != 0 && pmtest::ReadBytes(out) != want[t][code]) problems[t] = "output " + std::to_string(code) + " differs";
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
