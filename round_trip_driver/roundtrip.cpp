// roundtrip: converts one image into the five containers through the
// Pixmill library, bound at run time by its file name.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>

namespace {

// No directory: the platform's library search decides where it is found
// (this program's RUNPATH first: beside it, then ../lib).
const char DLL_PATH[] = "libPixmill_x64.so";

const char kCaption[] = "error";
const char kMessage[] = "1 or 8 or 24bit RGB画像を入力してください。\n(JPGE,PNG,GIF,TIFF,BMP)";

using LastErrorMessageFn = char* (*)();
using SetQualityFn = int32_t (*)(int32_t);
using SaveFn = int32_t (*)(const char*, const void*, int32_t);
using CreateFn = void* (*)(const char*);
using DeleteFn = void (*)(void*);

struct Output {
  const char* file_name;
  int32_t format_code;
};
const Output kOutputs[] = {
    {"output.png", 1}, {"output.bmp", 4}, {"output.tif", 2}, {"output.gif", 3}, {"output.jpg", 0},
};

template <typename Fn>
Fn Lookup(void* handle, const char* name) {
  return reinterpret_cast<Fn>(dlsym(handle, name));
}

int32_t RoundTrip(const char* path) {
  int32_t status = -1;
  void* handle = dlopen(DLL_PATH, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return -1;

  // All five are looked up before any is tested: a library that lacks one is
  // refused even though two of them are never called.
  auto last_error = Lookup<LastErrorMessageFn>(handle, "Pixmill_LastErrorMessage");
  auto set_quality = Lookup<SetQualityFn>(handle, "Pixmill_SetQuality");
  auto save = Lookup<SaveFn>(handle, "Pixmill_Save");
  auto create = Lookup<CreateFn>(handle, "Pixmill_Create");
  auto destroy = Lookup<DeleteFn>(handle, "Pixmill_Delete");

  if (last_error != nullptr && set_quality != nullptr && save != nullptr && create != nullptr && destroy != nullptr) {
    void* record = create(path);
    if (record != nullptr) {
      // Every save runs; the status is the last one's.
      for (const Output& out : kOutputs) status = save(out.file_name, record, out.format_code);
      destroy(record);  // before the library goes: its destructor lives there
    }
  }
  dlclose(handle);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) return RoundTrip(argv[1]);
  std::fprintf(stderr, "%s\n%s\n", kCaption, kMessage);
  return -1;
}
