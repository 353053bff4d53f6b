/* Datasets read in order from an image, the last of which the library must
 * refuse with one of a patch's messages: the reproducers of the patches that
 * check a chunk index or a chunked layout against its dataset. */
#ifndef QR_HDF5_REPRO_DATASET_H
#define QR_HDF5_REPRO_DATASET_H

#include "repro.h"

#include <string.h>
#include <unistd.h>

/* 0 when `what` succeeded; 1 when it failed with one of `messages`; -1
 * (after saying so) when it failed with another. */
static int repro_outcome(herr_t status, const char *dataset, const char *what, const char *const *messages) {
  if (status >= 0) return 0;
  char text[256] = "";
  H5Ewalk2(H5E_DEFAULT, H5E_WALK_UPWARD, repro_innermost_cb, text);
  printf("%s: %s fails: %s\n", dataset, what, text);
  for (const char *const *m = messages; *m; ++m)
    if (strcmp(text, *m) == 0) return 1;
  return -1;
}

/* Reads DATASET... of IMAGE in order: each but the last must read; the last
 * must be refused with one of `messages` (NULL-terminated) by its open, its
 * read, its chunk count or its metadata size, and by nothing else; and the
 * file must close. Exits 1 otherwise, 2 on a bad argument. An alarm ends a
 * run that hangs (as the unpatched library does on some of the images). */
static int repro_refused(int argc, char **argv, const char *const *messages) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s IMAGE DATASET...\n", argv[0]);
    return 2;
  }
  alarm(60);
  size_t size;
  void *image = repro_read_file(argv[1], &size);
  H5Eset_auto2(H5E_DEFAULT, NULL, NULL);
  hid_t file = repro_open_image(image, size);
  if (file < 0) return 2;
  int refused = 0, other = 0;
  for (int i = 2; i < argc; ++i) {
    const char *name = argv[i];
    int last = i == argc - 1, outcome;
    hid_t dataset = H5Dopen2(file, name, H5P_DEFAULT);
    if ((outcome = repro_outcome(dataset, name, "open", messages)) != 0) {
      refused += outcome > 0, other += outcome < 0 || !last;
      continue;
    }
    hid_t space = H5Dget_space(dataset), type = H5Dget_type(dataset);
    hssize_t count = H5Sget_simple_extent_npoints(space);
    /* As bytes of the size the file declares: the values do not matter. */
    void *values = malloc((size_t)(count > 0 ? count : 0) * H5Tget_size(type) + 1);
    if (values == NULL) return 2;
    herr_t status[3];
    hsize_t chunks;
    H5O_native_info_t info;
    status[0] = H5Dread(dataset, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, values);
    outcome = repro_outcome(status[0], name, "read", messages);
    refused += outcome > 0, other += outcome < 0 || (outcome > 0 && !last);
    if (last) {
      /* The walks over the whole index, which a read may not take */
      status[1] = H5Dget_num_chunks(dataset, space, &chunks);
      outcome = repro_outcome(status[1], name, "chunk count", messages);
      refused += outcome > 0, other += outcome < 0;
      status[2] = H5Oget_native_info(dataset, &info, H5O_NATIVE_INFO_META_SIZE);
      outcome = repro_outcome(status[2], name, "metadata size", messages);
      refused += outcome > 0, other += outcome < 0;
    }
    free(values);
    H5Tclose(type);
    H5Sclose(space);
    H5Dclose(dataset);
  }
  herr_t closed = H5Fclose(file);
  free(image);
  printf("%s refused %d time(s), %d other failure(s); the file %s\n", argv[argc - 1], refused, other,
         closed < 0 ? "fails to close" : "closes");
  return refused > 0 && other == 0 && closed >= 0 ? 0 : 1;
}

#endif
