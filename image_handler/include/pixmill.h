/*
 * Pixmill: image file conversion with a plain C interface.
 *
 * Load a PNG, JPEG, TIFF, GIF or BMP file into an image record, then write
 * that record as JPEG, PNG, TIFF, GIF or BMP. Every function returns a status
 * or a pointer; none of them throws, prints or aborts on bad input. The text
 * of the most recent load or save outcome is available from
 * Pixmill_LastErrorMessage().
 *
 * File names are narrow, zero-terminated strings passed to the operating
 * system unchanged.
 */
#ifndef PIXMILL_H
#define PIXMILL_H

#include <stdint.h>

#if defined(PIXMILL_BUILDING_LIBRARY)
#define PIXMILL_API __attribute__((visibility("default")))
#else
#define PIXMILL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* An image record. Opaque: made by Pixmill_Create, released by Pixmill_Delete. */
typedef struct pmMetaImg pmMetaImg;

/* Output container codes for Pixmill_Save. */
enum {
  PIXMILL_FORMAT_JPEG = 0,
  PIXMILL_FORMAT_PNG = 1,
  PIXMILL_FORMAT_TIFF = 2,
  PIXMILL_FORMAT_GIF = 3,
  PIXMILL_FORMAT_BMP = 4
};

/*
 * Decode the image file at img_filename into a new image record.
 * The container is recognised from the file's content, never from its name.
 * img_filename may be null (the load then fails as for a missing file).
 * Returns the new record, which the caller owns and gives back with
 * Pixmill_Delete(), or null on failure; the reason is then in
 * Pixmill_LastErrorMessage(). A success sets the text to "No Error".
 */
PIXMILL_API pmMetaImg* Pixmill_Create(const char* img_filename);

/*
 * Write p_meta_img to img_filename in the container img_format_id
 * (0 JPEG at the current quality, 1 PNG, 2 TIFF, 3 GIF, 4 BMP); the file
 * name's extension plays no part. The record is only read. The whole file
 * is encoded in memory first, so a failing encoder touches nothing. A new
 * file, or an existing regular file with one link in a folder the caller
 * may write, is written whole or not at all: it appears or is replaced only
 * once complete. Other targets (devices, FIFOs, files with several links,
 * files in a folder the caller may not write, another user's file) are
 * written in place, as a plain write would, and a failure part way leaves
 * them partly written. A null record or a null name fails and touches no
 * file. An unknown format code fails and leaves the error text as it was.
 * Returns 0 on success ("No Error"), -1 on failure.
 */
PIXMILL_API int32_t Pixmill_Save(const char* img_filename, const pmMetaImg* p_meta_img,
                                 int32_t img_format_id);

/*
 * Destroy a record made by Pixmill_Create and release all its memory.
 * A null pointer is ignored. The pointer is invalid afterwards.
 */
PIXMILL_API void Pixmill_Delete(pmMetaImg* p_meta_img);

/*
 * Set the JPEG quality used by every later save, clamped to 0 ... 100.
 * The setting is process-wide. Returns the quality in force before the
 * call (75 in a freshly loaded library).
 */
PIXMILL_API int32_t Pixmill_SetQuality(int32_t qality);

/*
 * Return a copy of the text of the most recent load or save outcome
 * ("No Error" after a success). Each call returns a new block from malloc();
 * the caller may release it with free(), and the library never does.
 * Returns null only when that block cannot be allocated.
 */
PIXMILL_API char* Pixmill_LastErrorMessage(void);

#ifdef __cplusplus
}
#endif

#endif /* PIXMILL_H */
