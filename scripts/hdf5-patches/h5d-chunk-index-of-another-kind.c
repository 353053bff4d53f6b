/* Reproducer of h5d-chunk-index-of-another-kind.patch: reads a chunked
 * dataset whose layout names another dataset's extensible or fixed array.
 * - python/tests/data/structure/layout-names-chunk-index-of-another-class.qrd,
 *   /nav_points/gps_time_us (unfiltered) names lon's (filtered) array.
 *   Unpatched: 24-byte elements copied into an 8-byte address (under
 *   AddressSanitizer a READ past a buffer; in release, a failure by luck).
 * - python/tests/data/structure/chunk-index-*.h5: ea-of-filtered-dataset
 *   (/d/r1_many names /d/r1_many_gz's array: reads sizes as addresses),
 *   fa-of-filtered-dataset (the same with fixed arrays), fa-shorter
 *   (/d/fixed_many names /d/r2's array of 602 elements for its 3000 chunks:
 *   read past the array's data block).
 *
 *   cc -o repro h5d-chunk-index-of-another-kind.c -I$PREFIX/include $PREFIX/lib/libhdf5.a -lz -lm
 *   ./repro IMAGE DATASET
 *
 * Exits 1 unless the dataset is refused with this patch's message and the
 * file then closes. */
#include "repro_dataset.h"

int main(int argc, char **argv) {
  static const char *const messages[] = {"chunk index belongs to a dataset of another kind", NULL};
  return repro_refused(argc, argv, messages);
}
