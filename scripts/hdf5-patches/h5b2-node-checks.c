/* Reproducer of h5b2-node-checks.patch (and, built from
 * h5b2-tree-of-another-type.c, of that patch): reads the objects named, in
 * turn, each as the package reads it: a group's links and attributes by name
 * (the dense iterations build a table sized by the index's total), a
 * dataset's attributes and all its values. The objects before the last load
 * the metadata that a damaged file names from elsewhere into the cache; their
 * reads may fail or not. The last one must fail with the message given, as
 * the innermost error of the library's stack. Unpatched, the images of
 * python/tests/data/structure/ named v2-btree-* crash the read, read past
 * buffers, or read values that are not the file's.
 *
 *   cc -o repro h5b2-node-checks.c -I$PREFIX/include $PREFIX/lib/libhdf5.a -lz -lm
 *   ./repro python/tests/data/structure/v2-btree-total-short.qrd \
 *       "v2 B-tree node record count differs from its parent's" /c
 *
 * Exits 1 unless the last read fails so and the file then closes. */
#include "repro.h"

#include <string.h>

static herr_t on_link(hid_t group, const char *name, const H5L_info2_t *info, void *data) {
  (void)group, (void)name, (void)info, (void)data;
  return 0;
}

static herr_t on_attribute(hid_t object, const char *name, const H5A_info_t *info, void *data) {
  (void)object, (void)name, (void)info, (void)data;
  return 0;
}

/* -1, with the innermost error's text in `text`, when `status` says a call
 * failed (before the next call clears the error stack); 0 otherwise. */
static int check(herr_t status, char *text) {
  if (status >= 0) return 0;
  H5Ewalk2(H5E_DEFAULT, H5E_WALK_UPWARD, repro_innermost_cb, text);
  return -1;
}

/* The object at `path` read; negative when a read fails. */
static int read_object(hid_t file, const char *path, char *text) {
  hid_t object = H5Oopen(file, path, H5P_DEFAULT);
  if (check(object < 0 ? -1 : 0, text) < 0) return -1;
  H5O_info2_t info;
  hsize_t at = 0;
  int result = check(H5Oget_info3(object, &info, H5O_INFO_BASIC), text);
  if (result == 0) result = check(H5Aiterate2(object, H5_INDEX_NAME, H5_ITER_INC, &at, on_attribute, NULL), text);
  if (result == 0 && info.type == H5O_TYPE_GROUP) {
    at = 0;
    result = check(H5Literate2(object, H5_INDEX_NAME, H5_ITER_INC, &at, on_link, NULL), text);
  } else if (result == 0 && info.type == H5O_TYPE_DATASET) {
    hid_t space = H5Dget_space(object), type = H5Dget_type(object);
    hssize_t count = H5Sget_simple_extent_npoints(space);
    /* As bytes of the size the file declares: the values do not matter. */
    void *values = count >= 0 ? malloc((size_t)count * H5Tget_size(type) + 1) : NULL;
    if (values == NULL) exit(2);
    result = check(H5Dread(object, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, values), text);
    free(values);
    H5Tclose(type);
    H5Sclose(space);
  }
  H5Oclose(object);
  return result;
}

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: %s IMAGE MESSAGE OBJECT...\n", argv[0]);
    return 2;
  }
  void *image;
  hid_t file = repro_open_argument(3, argv, "IMAGE MESSAGE", &image);
  char text[256] = "";
  for (int i = 3; i < argc - 1; ++i) read_object(file, argv[i], text);
  text[0] = 0;
  int read = read_object(file, argv[argc - 1], text);
  herr_t closed = H5Fclose(file);
  free(image);
  printf("%s %s%s%s; the file %s\n", argv[argc - 1], read < 0 ? "fails to read: " : "is read", text,
         read < 0 && strcmp(text, argv[2]) != 0 ? " (not the expected error)" : "",
         closed < 0 ? "fails to close" : "closes");
  return read < 0 && strcmp(text, argv[2]) == 0 && closed >= 0 ? 0 : 1;
}
