/* A stand-in library with four of the five exports (no Pixmill_SetQuality),
 * for the driver's test: the driver must refuse it without calling any of
 * them. Each export leaves a marker file, so a call would show. */
#include <stdint.h>
#include <stdio.h>

#define EXPORT __attribute__((visibility("default")))

static void mark(const char* name) {
  FILE* f = fopen(name, "w");
  if (f != NULL) fclose(f);
}

EXPORT char* Pixmill_LastErrorMessage(void) {
  mark("called-last-error");
  return NULL;
}
EXPORT int32_t Pixmill_Save(const char* path, const void* record, int32_t code) {
  (void)path, (void)record, (void)code;
  mark("called-save");
  return 0;
}
EXPORT void* Pixmill_Create(const char* path) {
  (void)path;
  mark("called-create");
  return NULL;
}
EXPORT void Pixmill_Delete(void* record) {
  (void)record;
  mark("called-delete");
}
