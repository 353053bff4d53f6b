/* Reproducer of h5d-open-property-list-leak.patch: opens a dataset whose
 * header holds a message that does not decode, many times, and reports the
 * bytes the library holds afterwards. Unpatched, each failed open keeps the
 * dataset's creation and access property lists registered for good (about
 * 5 KB); LeakSanitizer does not see them, as the ID table still points at
 * them.
 *
 * It also tests h5o-dtype-member-leak.patch: /tracked_sats/azimuth of
 * python/tests/data/damaged/leak-datatype-member-name.qrd has a compound
 * datatype whose member fails to decode after its name was copied; unpatched,
 * each failed open loses that name.
 *
 * And h5d-layout-init-leak.patch: /d/r1_many of
 * python/tests/data/structure/layout-chunk-size-past-4gb.h5 has chunks of 4 GB
 * or more, refused after the layout was initialized; unpatched, each failed
 * open keeps the chunk cache's slots and the chunk index's shared info.
 *
 *   cc -o repro h5d-open-property-list-leak.c -I$PREFIX/include $PREFIX/lib/libhdf5.a -lz -lm
 *   ./repro python/tests/data/damaged/leak-dataset-open.qrd /nav_points/lat
 *
 * Exits 1 unless the open fails and the library, once its free lists are
 * emptied, holds no more than before (h5mm-memory-budget.patch counts each
 * block it takes and gives back). */
#include "repro.h"

#ifndef H5MM_HAS_BUDGET
#error "the bytes the library holds are counted by h5mm-memory-budget.patch"
#endif

/* 1 when the dataset fails to open, 0 when it opens, -1 when the file does
 * not. */
static int open_dataset(const void *image, size_t size, const char *path) {
  hid_t file = repro_open_image(image, size);
  if (file < 0) return -1;
  hid_t dataset = H5Dopen2(file, path, H5P_DEFAULT);
  if (dataset >= 0) H5Dclose(dataset);
  H5Fclose(file);
  return dataset < 0;
}

int main(int argc, char **argv) {
  size_t size;
  void *image = repro_read_argument(argc, argv, "IMAGE DATASET", &size);

  H5Eset_auto2(H5E_DEFAULT, NULL, NULL);
  const int opens = 1000;
  int failed = 0;
  long long held = repro_bytes_kept(open_dataset, image, size, argv[2], 100, opens, &failed);
  free(image);
  printf("%s %s; %.1f B held by the library per open\n", argv[2],
         failed == 1 ? "fails to open" : failed == 0 ? "opens" : "is in a file that does not open",
         (double)held / opens);
  return failed == 1 && held <= 0 ? 0 : 1;
}
