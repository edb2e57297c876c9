#include "my_global.h"

std::atomic<int64_t> myGlobal::q_value{75};
std::mutex myGlobal::mutex_;
std::string myGlobal::str_error = "No Error";

void myGlobal::SetError(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  str_error = text;
}

std::string myGlobal::GetError() {
  std::lock_guard<std::mutex> lock(mutex_);
  return str_error;
}

void myGlobal::SetOutOfMemory() noexcept {
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    str_error = "Out of memory";
  } catch (...) {
  }
}
