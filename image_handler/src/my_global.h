// Library-wide state: the text of the last load or save outcome and the JPEG
// quality. One value each for the whole process; both may be read and
// written from several threads at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

class myGlobal {
 public:
  static void SetError(const std::string& text);
  static std::string GetError();
  // "Out of memory", for when even building a text failed. Never throws:
  // the text is short enough to need no allocation.
  static void SetOutOfMemory() noexcept;

  static std::atomic<int64_t> q_value;

 private:
  static std::mutex mutex_;
  static std::string str_error;
};
