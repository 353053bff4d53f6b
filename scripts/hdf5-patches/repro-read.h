/* Reads of chunked datasets, for the reproducers of patches whose refusals
 * look alike from outside: a damaged file often fails some other way too, so
 * these tell a refusal by the innermost text on HDF5's error stack. */
#ifndef QR_HDF5_REPRO_READ_H
#define QR_HDF5_REPRO_READ_H

#include "repro.h"
#include <string.h>

/* Walks the chunk index of dataset `path` (as a storage-size query does) and
 * reads all its values. 0 when both succeed; otherwise -1, with the
 * innermost error text in `text` (256 bytes). */
static inline int repro_read_dataset(hid_t file, const char *path, char *text) {
  text[0] = '\0';
  H5Eclear2(H5E_DEFAULT);
  hid_t dataset = H5Dopen2(file, path, H5P_DEFAULT);
  int result = dataset < 0 ? -1 : 0;
  if (result == 0) {
    H5Dget_storage_size(dataset);
    result = H5Eget_num(H5E_DEFAULT) > 0 ? -1 : 0;
    if (result < 0) H5Ewalk2(H5E_DEFAULT, H5E_WALK_UPWARD, repro_innermost_cb, text);
  }
  if (result == 0) {
    hid_t space = H5Dget_space(dataset), type = H5Dget_type(dataset);
    hssize_t count = H5Sget_simple_extent_npoints(space);
    /* As bytes of the size the file declares: the values do not matter. */
    void *values = count >= 0 ? malloc((size_t)count * H5Tget_size(type) + 1) : NULL;
    if (values == NULL) exit(2);
    result = H5Dread(dataset, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, values) < 0 ? -1 : 0;
    /* Before the next call of the library clears the stack */
    if (result < 0) H5Ewalk2(H5E_DEFAULT, H5E_WALK_UPWARD, repro_innermost_cb, text);
    free(values);
    H5Tclose(type);
    H5Sclose(space);
  }
  if (dataset < 0) H5Ewalk2(H5E_DEFAULT, H5E_WALK_UPWARD, repro_innermost_cb, text);
  if (dataset >= 0) H5Dclose(dataset);
  return result;
}

/* Reads the datasets named by argv[2..] in turn: each but the last must read;
 * the last must be refused with `refusal` as the innermost error text, or
 * read as well when `refusal` is NULL; the file must then close. 0 when all
 * of that holds, else 1. */
static inline int repro_read_in_turn(int argc, char **argv, const char *refusal) {
  void *image;
  size_t size;
  if (argc < 3) {
    fprintf(stderr, "usage: %s IMAGE DATASET...\n", argv[0]);
    exit(2);
  }
  image = repro_read_file(argv[1], &size);
  H5Eset_auto2(H5E_DEFAULT, NULL, NULL);
  hid_t file = repro_open_image(image, size);
  if (file < 0) exit(2);
  int ok = 1;
  char text[256];
  for (int i = 2; i < argc; ++i) {
    int read = repro_read_dataset(file, argv[i], text);
    printf("%s %s%s\n", argv[i], read < 0 ? "fails to read: " : "is read", text);
    ok &= i + 1 < argc || refusal == NULL ? read == 0 : read < 0 && strcmp(text, refusal) == 0;
  }
  herr_t closed = H5Fclose(file);
  free(image);
  printf("the file %s\n", closed < 0 ? "fails to close" : "closes");
  return ok && closed >= 0 ? 0 : 1;
}

#endif
