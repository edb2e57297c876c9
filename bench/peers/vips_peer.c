/* The libvips peer in the comparison: decodes IN once into memory, then
 * writes it five times with libvips' defaults (JPEG at quality 75). libvips
 * has no BMP writer of its own; it hands BMP to ImageMagick. */
#include <stdio.h>
#include <vips/vips.h>

static int fail(const char *what) {
  fprintf(stderr, "vips_peer: %s: %s\n", what, vips_error_buffer());
  return 1;
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: vips_peer IN\n");
    return 2;
  }
  if (VIPS_INIT(argv[0])) return fail("init");
  VipsImage *in = vips_image_new_from_file(argv[1], NULL);
  if (in == NULL) return fail(argv[1]);
  /* One decode: without this each save would run the loader again. */
  VipsImage *img = vips_image_copy_memory(in);
  g_object_unref(in);
  if (img == NULL) return fail("decode");
  int rc = 0;
  if (vips_image_write_to_file(img, "out.png", NULL)) rc = fail("out.png");
  if (vips_magicksave(img, "out.bmp", "format", "bmp", NULL)) rc = fail("out.bmp");
  if (vips_image_write_to_file(img, "out.tif", NULL)) rc = fail("out.tif");
  if (vips_jpegsave(img, "out.jpg", "Q", 75, NULL)) rc = fail("out.jpg");
  if (vips_image_write_to_file(img, "out.gif", NULL)) rc = fail("out.gif");
  g_object_unref(img);
  vips_shutdown();
  return rc;
}
