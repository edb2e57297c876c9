// Error texts for the user: the platform layer's errors carry their cause
// only, and the file's name is put to it here, for loads and saves alike.
#include <string>

#include "platform/codec.h"

namespace pm {

std::string WithName(const Error& error, const std::string& name) {
  const std::string quoted = "'" + name + "'", cause = error.what();
  switch (error.kind()) {
    case Error::Kind::kNotAnImage: return quoted + " " + cause;
    case Error::Kind::kOpen: return "Cannot open " + quoted + ": " + cause;
    case Error::Kind::kRead: return "Cannot read " + quoted + ": " + cause;
    case Error::Kind::kReadMemory: return "Out of memory reading " + quoted + (cause.empty() ? "" : ": " + cause);
    case Error::Kind::kWrite: return "Cannot write " + quoted + ": " + cause;
    case Error::Kind::kData: break;
  }
  return quoted + ": " + cause;
}

void ThrowDamaged(const char* container, const std::string& cause) {
  throw Error(std::string(container) + " data is damaged (" + cause + ")");
}

void ThrowUnsupported(const char* container, PixelFormat format) {
  throw Error(std::string(container) + " encoder: pixel format " + std::to_string(static_cast<int32_t>(format)) +
              " is not supported");
}

}  // namespace pm
