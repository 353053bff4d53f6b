/* Reproducer of h5fa-block-of-another-array.patch: reads a chunked dataset
 * whose fixed array chunk index names the data block of another array, or
 * holds fewer elements than the dataset has chunks. In
 * python/tests/data/structure/
 * - fixed-array-data-block-of-another-array.qrd, /nav_points/gps_time_us
 *   (filtered) names the data block of /nav_points/lon (unfiltered), which
 *   the read of lon left in the cache: its elements are read as filtered
 *   ones, past their buffer;
 * - fixed-array-count-below-dataset.h5, one array says 5 elements for 100
 *   chunks: lookups read past its elements.
 *
 *   cc -o repro h5fa-block-of-another-array.c -I$PREFIX/include $PREFIX/lib/libhdf5.a -lz -lm
 *   ./repro python/tests/data/structure/fixed-array-data-block-of-another-array.qrd \
 *     /nav_points/lon /nav_points/gps_time_us "fixed array data block belongs to another array"
 *
 * Exits 1 unless every dataset but the last reads, the last is refused with
 * the text given as the innermost error, and the file then closes. */
#include "repro-read.h"

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: %s IMAGE DATASET... REFUSAL\n", argv[0]);
    return 2;
  }
  return repro_read_in_turn(argc - 1, argv, argv[argc - 1]);
}
