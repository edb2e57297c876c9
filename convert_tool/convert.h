/* What the converter's two forms share. */
#ifndef PIXMILL_CONVERT_H
#define PIXMILL_CONVERT_H

#include <stddef.h>
#include <stdint.h>

enum { kStatusOk = 0, kStatusFailed = 1, kStatusUsage = 2 };

/* Prints "pixmill-convert: " and the message, then the usage; returns
 * kStatusUsage. */
int UsageError(const char* format, ...) __attribute__((format(printf, 1, 2)));

/* The extension a converted file gets for a format code ("jpg", "png",
 * "tif", "gif", "bmp"). */
const char* ExtensionOf(int32_t code);
/* The extension of a path's last component (after its last dot, unless that
 * dot leads the name), or NULL. */
const char* Extension(const char* path);

/* Loads in and saves it to out in the container code. Returns NULL on
 * success, otherwise the library's text, which the caller frees. */
char* ConvertFile(const char* in, const char* out, int32_t code);

/* Converts each input into dir under its own name with the format's
 * extension, with `jobs` worker processes. Returns the exit status. */
int ConvertBatch(const char* dir, const char* const* inputs, size_t count, int32_t code, int jobs);

#endif
