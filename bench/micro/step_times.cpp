// Times the steps of the five-way conversion of each image, as roundtrip
// does them (one load, then JPEG, PNG, TIFF, GIF and BMP saves to files in
// the working directory), through the library's exports. Prints one line an
// image: its megapixels, then the best of RUNS times of each step and of
// the whole, in milliseconds.
//
//   step_times RUNS IMAGE...
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "meta_img.h"
#include "pixmill.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: step_times RUNS IMAGE...\n");
    return 2;
  }
  const int runs = std::max(1, std::atoi(argv[1]));
  static const char* const kOutputs[5] = {"step.jpg", "step.png", "step.tif", "step.gif", "step.bmp"};
  using Clock = std::chrono::steady_clock;
  const auto ms = [](Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
  };
  std::printf("image megapixels load jpeg png tiff gif bmp total\n");
  for (int i = 2; i < argc; ++i) {
    double best[7];
    std::fill(best, best + 7, 1e300);
    double megapixels = 0;
    for (int run = 0; run < runs; ++run) {
      const Clock::time_point start = Clock::now();
      pmMetaImg* img = Pixmill_Create(argv[i]);
      if (img == nullptr) {
        std::fprintf(stderr, "%s: %s\n", argv[i], Pixmill_LastErrorMessage());
        return 1;
      }
      megapixels = static_cast<double>(img->width) * img->height / 1e6;
      Clock::time_point last = Clock::now();
      best[0] = std::min(best[0], ms(start, last));
      for (int code = 0; code < 5; ++code) {
        if (Pixmill_Save(kOutputs[code], img, code) != 0) {
          std::fprintf(stderr, "%s: %s\n", argv[i], Pixmill_LastErrorMessage());
          return 1;
        }
        const Clock::time_point now = Clock::now();
        best[1 + code] = std::min(best[1 + code], ms(last, now));
        last = now;
      }
      Pixmill_Delete(img);
      best[6] = std::min(best[6], ms(start, Clock::now()));
    }
    std::printf("%s %.2f", argv[i], megapixels);
    for (double t : best) std::printf(" %.1f", t);
    std::printf("\n");
  }
  return 0;
}
