/* A program outside the tree that links the installed library directly:
 * converts argv[1] into a PNG at argv[2], loads that back, and checks the
 * texts of a success and of a failure. Exit status 0 when all holds. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <pixmill.h>

static int text_is(const char* want_part) {
  char* text = Pixmill_LastErrorMessage();
  const int ok = text != NULL && strstr(text, want_part) != NULL;
  if (!ok) fprintf(stderr, "text '%s', wanted '%s'\n", text ? text : "(null)", want_part);
  free(text);
  return ok;
}

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  pmMetaImg* img = Pixmill_Create(argv[1]);
  if (img == NULL || !text_is("No Error")) return 3;
  if (Pixmill_Save(argv[2], img, PIXMILL_FORMAT_PNG) != 0) return 4;
  Pixmill_Delete(img);

  pmMetaImg* back = Pixmill_Create(argv[2]);
  if (back == NULL) return 5;
  Pixmill_Delete(back);

  if (Pixmill_Create("/no/such/file.png") != NULL || !text_is("No such file or directory")) return 6;
  puts("consumer: ok");
  return 0;
}
