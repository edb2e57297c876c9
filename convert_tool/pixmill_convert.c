/* pixmill-convert: converts image files with the Pixmill library, one file
 * to a named output (or standard output), or many files into a folder by
 * worker processes. Each worker converts its files one after another, so
 * every error text it reports is the one its own call left. */
#define _GNU_SOURCE
#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pixmill.h>

#include "convert.h"

static const char kUsage[] =
    "Usage: pixmill-convert [-q QUALITY] [-f FORMAT] IN OUT\n"
    "       pixmill-convert -f FORMAT [-q QUALITY] [-j JOBS] -o DIR IN...\n"
    "FORMAT is jpeg, png, tiff, gif or bmp; without -f, OUT's extension\n"
    "decides. OUT may be - for standard output. QUALITY (JPEG, 0 to 100)\n"
    "is 75 unless given. JOBS is the number of worker processes (one a core\n"
    "unless given).\n";

/* Names and extensions a container is known by; the first of each code is
 * the extension a converted file gets. */
static const struct {
  const char* name;
  int32_t code;
} kNames[] = {
    {"jpg", PIXMILL_FORMAT_JPEG}, {"jpeg", PIXMILL_FORMAT_JPEG}, {"png", PIXMILL_FORMAT_PNG},
    {"tif", PIXMILL_FORMAT_TIFF}, {"tiff", PIXMILL_FORMAT_TIFF}, {"gif", PIXMILL_FORMAT_GIF},
    {"bmp", PIXMILL_FORMAT_BMP},
};

static int32_t CodeOf(const char* name) {
  for (size_t i = 0; i < sizeof kNames / sizeof kNames[0]; ++i) {
    if (strcasecmp(name, kNames[i].name) == 0) return kNames[i].code;
  }
  return -1;
}

const char* ExtensionOf(int32_t code) {
  for (size_t i = 0; i < sizeof kNames / sizeof kNames[0]; ++i) {
    if (kNames[i].code == code) return kNames[i].name;
  }
  return "";
}

const char* Extension(const char* path) {
  const char* base = strrchr(path, '/');
  base = base != NULL ? base + 1 : path;
  const char* dot = strrchr(base, '.');
  return dot != NULL && dot != base ? dot + 1 : NULL;
}

int UsageError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  fputs("pixmill-convert: ", stderr);
  vfprintf(stderr, format, args);
  va_end(args);
  fputs("\nTry 'pixmill-convert -h' for the usage.\n", stderr);
  return kStatusUsage;
}

/* The library's text for the last call; the caller frees it. */
char* LastText(void) {
  char* text = Pixmill_LastErrorMessage();
  return text != NULL ? text : strdup("Out of memory");
}

char* ConvertFile(const char* in, const char* out, int32_t code) {
  pmMetaImg* img = Pixmill_Create(in);
  if (img == NULL) return LastText();
  const int32_t status = Pixmill_Save(out, img, code);
  Pixmill_Delete(img);
  return status == 0 ? NULL : LastText();
}

static int ConvertSingle(const char* in, const char* out, int32_t code) {
  if (strcmp(out, "-") == 0) {
    if (isatty(STDOUT_FILENO)) {
      fprintf(stderr, "pixmill-convert: standard output is a terminal; redirect it or name a file\n");
      return kStatusUsage;
    }
    /* The library writes through the process's own descriptor. */
    out = "/dev/stdout";
  }
  char* text = ConvertFile(in, out, code);
  if (text == NULL) return kStatusOk;
  fprintf(stderr, "pixmill-convert: %s\n", text);
  free(text);
  return kStatusFailed;
}

/* A whole number from lo to hi, or -1. */
static long Number(const char* s, long lo, long hi) {
  char* end = NULL;
  errno = 0;
  const long v = strtol(s, &end, 10);
  return errno == 0 && end != s && *end == '\0' && v >= lo && v <= hi ? v : -1;
}

int main(int argc, char** argv) {
  int32_t code = -1;
  long quality = -1, jobs = 0;
  const char* dir = NULL;
  int opt;
  while ((opt = getopt(argc, argv, "q:f:j:o:h")) != -1) {
    switch (opt) {
      case 'q':
        if ((quality = Number(optarg, 0, 100)) < 0) return UsageError("-q takes a whole number from 0 to 100, not '%s'", optarg);
        break;
      case 'f':
        if ((code = CodeOf(optarg)) < 0) return UsageError("unknown format '%s' (jpeg, png, tiff, gif or bmp)", optarg);
        break;
      case 'j':
        if ((jobs = Number(optarg, 1, 1024)) < 0) return UsageError("-j takes a whole number from 1 to 1024, not '%s'", optarg);
        break;
      case 'o':
        dir = optarg;
        break;
      case 'h':
        fputs(kUsage, stdout);
        return kStatusOk;
      default:
        fputs(kUsage, stderr);
        return kStatusUsage;
    }
  }
  const int inputs = argc - optind;
  if (quality >= 0) Pixmill_SetQuality((int32_t)quality);

  if (dir != NULL) {
    if (code < 0) return UsageError("-o needs the output format from -f");
    if (inputs < 1) return UsageError("no input files");
    if (jobs == 0) {
      const long cores = sysconf(_SC_NPROCESSORS_ONLN);
      jobs = cores > 0 ? cores : 1;
    }
    return ConvertBatch(dir, (const char* const*)(argv + optind), (size_t)inputs, code, (int)jobs);
  }
  if (inputs != 2) return UsageError("expected IN and OUT (or -o DIR and the inputs)");
  if (jobs != 0) return UsageError("-j goes with -o");
  const char* out = argv[optind + 1];
  if (code < 0) {
    const char* ext = Extension(out);
    if (ext == NULL || (code = CodeOf(ext)) < 0) {
      return UsageError("cannot tell the format from '%s': give -f or end the name in .jpg, .png, .tif, .gif or .bmp", out);
    }
  }
  return ConvertSingle(argv[optind], out, code);
}
