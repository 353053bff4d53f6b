/* Reproducer of h5a-attribute-table-leak.patch: lists, in name order, the
 * attributes of an object whose attributes are in dense storage and whose
 * first attribute does not decode, many times, and reports the bytes the
 * library holds afterwards. In
 * python/tests/data/damaged/leak-dense-attribute-table.qrd the root group's
 * attributes are such; unpatched, each failed listing loses the table it
 * allocated for them.
 *
 *   cc -o repro h5a-attribute-table-leak.c -I$PREFIX/include $PREFIX/lib/libhdf5.a -lz -lm
 *   ./repro python/tests/data/damaged/leak-dense-attribute-table.qrd /
 *
 * Exits 1 unless the listing fails and the library, once its free lists are
 * emptied, holds no more than before (h5mm-memory-budget.patch counts each
 * block it takes and gives back). */
#include "repro.h"

#ifndef H5MM_HAS_BUDGET
#error "the bytes the library holds are counted by h5mm-memory-budget.patch"
#endif

static herr_t count_attribute(hid_t object, const char *name, const H5A_info_t *info, void *count) {
  (void)object, (void)name, (void)info;
  ++*(size_t *)count;
  return 0;
}

/* 1 when the listing fails, 0 when it succeeds, -1 when the file or the
 * object does not open. */
static int list_attributes(const void *image, size_t size, const char *path) {
  hid_t file = repro_open_image(image, size);
  if (file < 0) return -1;
  int failed = -1;
  hid_t object = H5Oopen(file, path, H5P_DEFAULT);
  if (object >= 0) {
    size_t count = 0;
    /* Any order but the index's own builds the table first. */
    failed = H5Aiterate2(object, H5_INDEX_NAME, H5_ITER_INC, NULL, count_attribute, &count) < 0;
    H5Oclose(object);
  }
  H5Fclose(file);
  return failed;
}

int main(int argc, char **argv) {
  size_t size;
  void *image = repro_read_argument(argc, argv, "IMAGE OBJECT", &size);

  H5Eset_auto2(H5E_DEFAULT, NULL, NULL);
  const int listings = 1000;
  int failed = 0;
  long long held = repro_bytes_kept(list_attributes, image, size, argv[2], 100, listings, &failed);
  free(image);
  printf("%s: attributes %s; %.1f B held by the library per listing\n", argv[2],
         failed == 1 ? "fail to list" : failed == 0 ? "list" : "do not open", (double)held / listings);
  return failed == 1 && held <= 0 ? 0 : 1;
}
