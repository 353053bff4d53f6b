/* Reproducer of h5d-chunk-layout-rank.patch: opens and reads a chunked
 * dataset whose layout's rank is not its dataspace's.
 * - python/tests/data/structure/layout-zero-rank-divides-by-zero.qrd,
 *   /nav_points/lon: a version 4 layout of rank 0. Unpatched: SIGFPE in
 *   H5D__chunk_set_info_real.
 * - python/tests/data/structure/layout-rank-*.h5: rank2-given-rank1 (/d/r2
 *   of rank 2 with /d/r1_many's layout: the read succeeds with other
 *   values), rank1-given-rank2 (/d/r1_many with /d/r2's layout: the read
 *   never returns).
 *
 *   cc -o repro h5d-chunk-layout-rank.c -I$PREFIX/include $PREFIX/lib/libhdf5.a -lz -lm
 *   ./repro IMAGE DATASET
 *
 * Exits 1 (or dies) unless the dataset is refused with this patch's messages
 * and the file then closes. */
#include "repro_dataset.h"

int main(int argc, char **argv) {
  static const char *const messages[] = {"bad dimensions for chunked storage",
                                         "dimensionality of chunks doesn't match the dataspace", NULL};
  return repro_refused(argc, argv, messages);
}
