/* Test of h5s-dataspace-class.patch: a version 2 dataspace message whose
 * class byte is none of scalar, simple and null is refused when decoded.
 * The program writes an image with two scalar attributes, then sets the
 * class byte of one of them to each value around the three defined (and
 * signs its object header again): the defined ones open with their class;
 * any other is refused with "unknown dataspace class", and the attribute
 * beside it still opens.
 * Unpatched, the attribute opens and H5Sget_simple_extent_type() returns
 * the byte as it is.
 *
 *   cc -o class h5s-dataspace-class.c -I$PREFIX/include $PREFIX/lib/libhdf5.a -lz -lm
 *   ./class
 *
 * Exits 1 on the first check that fails. */
#include <string.h>

#include "repro.h"
#include "repro_check.h"


/* Attributes "edited" and "scalar", both scalar, on the root group of an
 * image whose dataspace messages are of version 2 (which hold the class). */
static unsigned char *make_image(size_t *size) {
  hid_t file = repro_create_image_in(H5F_LIBVER_V18, H5F_LIBVER_V110);
  hid_t scalar = H5Screate(H5S_SCALAR);
  const char *names[] = {"scalar", "edited"};
  for (int i = 0; i < 2; i++) {
    hid_t attr = H5Acreate2(file, names[i], H5T_STD_I32LE, scalar, H5P_DEFAULT, H5P_DEFAULT);
    const int value = 7;
    H5Awrite(attr, H5T_NATIVE_INT, &value);
    H5Aclose(attr);
  }
  H5Sclose(scalar);
  unsigned char *image = repro_take_image(file, size);
  /* The image of a file still open does not match the checksum of its
   * version 2 superblock: signed again, as closing the file would */
  repro_sign(image, 44);
  return image;
}

static unsigned char *find(unsigned char *image, size_t size, const void *bytes, size_t n) {
  for (size_t at = 0; at + n <= size; at++)
    if (memcmp(image + at, bytes, n) == 0) return image + at;
  return NULL;
}

/* The class byte of the dataspace of the attribute "edited", and in
 * `*header` the version 2 object header that holds it. An attribute
 * message of version 2 or 3 has its name, datatype and dataspace unpadded
 * after the sizes of each (and, in version 3, the name's encoding); the
 * dataspace's class is its fourth byte. */
static unsigned char *class_byte(unsigned char *image, size_t size, unsigned char **header) {
  unsigned char *name = find(image, size, "edited", 7);
  *header = find(image, size, "OHDR", 4);
  if (name == NULL || *header == NULL || name < image + 9) return NULL;
  unsigned char *message = name - 9;
  if (message[0] != 3) message++;
  if ((message[0] != 2 && message[0] != 3) || message[2] != 7) return NULL;
  size_t type_size = (size_t)message[4] | (size_t)message[5] << 8;
  unsigned char *space = name + 7 + type_size;
  if (space + 4 > image + size || space[0] != 2 || space[3] != H5S_SCALAR) return NULL;
  return space + 3;
}

/* The first chunk of the object header at `header` signed again. */
static void sign(unsigned char *header) {
  unsigned flags = header[5];
  size_t at = 6 + ((flags & 0x20) ? 16 : 0) + ((flags & 0x10) ? 4 : 0);
  size_t width = (size_t)1 << (flags & 3), chunk = 0;
  for (size_t i = 0; i < width; i++) chunk |= (size_t)header[at + i] << (8 * i);
  size_t end = at + width + chunk;
  uint32_t sum = H5_checksum_metadata(header, end, 0);
  for (int i = 0; i < 4; i++) header[end + (size_t)i] = (unsigned char)(sum >> (8 * i));
}

/* The class of the attribute `name`'s dataspace; -1 with the innermost
 * error's text in `text` when the attribute does not open. */
static int space_class(hid_t file, const char *name, char *text) {
  text[0] = '\0';
  hid_t attr = H5Aopen(file, name, H5P_DEFAULT);
  if (attr < 0) {
    H5Ewalk2(H5E_DEFAULT, H5E_WALK_UPWARD, repro_innermost_cb, text);
    return -1;
  }
  hid_t space = H5Aget_space(attr);
  /* Held as an int: unpatched, the value may be none of the enum's */
  int result = space < 0 ? -2 : (int)H5Sget_simple_extent_type(space);
  if (space >= 0) H5Sclose(space);
  H5Aclose(attr);
  return result;
}

int main(void) {
  H5Eset_auto2(H5E_DEFAULT, NULL, NULL);
  size_t size;
  unsigned char *image = make_image(&size);
  unsigned char *header;
  unsigned char *byte = class_byte(image, size, &header);
  CHECK(byte != NULL, "the attribute's dataspace class is in the image");
  if (byte == NULL) return 1;
  const int values[] = {H5S_SCALAR, H5S_SIMPLE, H5S_NULL, 3, 0x7F, 0xF6, 0xFF};
  for (size_t i = 0; i < sizeof values / sizeof values[0]; i++) {
    *byte = (unsigned char)values[i];
    sign(header);
    hid_t file = repro_open_image(image, size);
    CHECK(file >= 0, "the image opens");
    if (file < 0) continue;
    char text[256], what[400];
    int got = space_class(file, "edited", text);
    if (values[i] <= H5S_NULL) {
      snprintf(what, sizeof what, "an attribute of dataspace class %d opens with it", values[i]);
      CHECK(got == values[i], what);
    } else {
      snprintf(what, sizeof what, "dataspace class %d is refused as unknown (got %d, \"%s\")", values[i], got,
               text);
      CHECK(got == -1 && strcmp(text, "unknown dataspace class") == 0, what);
    }
    CHECK(space_class(file, "scalar", text) == H5S_SCALAR, "the attribute beside it still opens");
    H5Fclose(file);
  }
  free(image);
  if (failures == 0) printf("dataspace classes checked\n");
  return failures == 0 ? 0 : 1;
}
