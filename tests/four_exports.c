/* A stand-in library with four of the five exports (no Pixmill_SetQuality),
 * for the driver's test: the driver must refuse it without calling any of
 * them. Each export leaves a marker file, so a call would show. */
#include <stdint.h>
#include <stdio.h>

#define EXPORT __attribute__((visibility("default")))
#define MARK(name) mark("called-" name)

static void mark(const char* file) {
  FILE* f = fopen(file, "w");
  if (f != NULL) fclose(f);
}

EXPORT char* Pixmill_LastErrorMessage(void) { return MARK("last-error"), NULL; }
EXPORT int32_t Pixmill_Save(const char* p, const void* r, int32_t c) { return (void)p, (void)r, (void)c, MARK("save"), 0; }
EXPORT void* Pixmill_Create(const char* path) { return (void)path, MARK("create"), NULL; }
EXPORT void Pixmill_Delete(void* record) { (void)record, MARK("delete"); }
