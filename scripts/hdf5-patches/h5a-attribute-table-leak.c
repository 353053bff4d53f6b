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
#include <hdf5.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

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
static int list_attributes(void *image, size_t size, const char *path) {
  hid_t fapl = H5Pcreate(H5P_FILE_ACCESS);
  H5Pset_fapl_core(fapl, 1 << 20, 0);
  H5Pset_file_image(fapl, image, size);
  hid_t file = H5Fopen("image", H5F_ACC_RDONLY, fapl);
  H5Pclose(fapl);
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
  if (argc != 3) {
    fprintf(stderr, "usage: %s IMAGE OBJECT\n", argv[0]);
    return 2;
  }
  FILE *in = fopen(argv[1], "rb");
  if (in == NULL) return 2;
  fseek(in, 0, SEEK_END);
  size_t size = (size_t)ftell(in);
  rewind(in);
  void *image = malloc(size);
  if (image == NULL || fread(image, 1, size, in) != size) return 2;
  fclose(in);

  H5Eset_auto2(H5E_DEFAULT, NULL, NULL);
  const int warmup = 100, listings = 1000;
  int failed = 0;
  for (int i = 0; i < warmup; ++i) list_attributes(image, size, argv[2]);
  H5garbage_collect();
  H5MM_budget_t counting = {.limit = SIZE_MAX};
  H5MMset_budget(&counting);
  for (int i = 0; i < listings; ++i) failed = list_attributes(image, size, argv[2]);
  H5garbage_collect();
  H5MMget_budget(&counting);
  H5MM_budget_t off = {.limit = 0};
  H5MMset_budget(&off);
  free(image);
  printf("%s: attributes %s; %.1f B held by the library per listing\n", argv[2],
         failed == 1 ? "fail to list" : failed == 0 ? "list" : "do not open", (double)counting.held / listings);
  return failed == 1 && counting.held <= 0 ? 0 : 1;
}
