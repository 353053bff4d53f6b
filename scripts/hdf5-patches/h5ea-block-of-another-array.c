/* Reproducer of h5ea-block-of-another-array.patch: reads a chunked dataset
 * whose extensible array chunk index names a block of another array (or
 * another block of its own), after the dataset that loaded that block into
 * the cache. In python/tests/data/structure/
 * - extensible-array-index-block-of-another-array.qrd, /nav_points/gps_time_us
 *   (filtered) names the index block of /nav_points/lon (unfiltered): its
 *   elements are read as filtered ones, past their buffer;
 * - extensible-array-super-block-of-another-array.h5, /eaB's first super
 *   block is /eaA's: the read succeeds with /eaA's values;
 * - extensible-array-super-block-of-another-index.h5, /eaA's second super
 *   block is its first: the read succeeds with values from other chunks;
 * - extensible-array-data-block-of-another-size.h5, /eaA's second data block
 *   (32 elements) is its first (16): elements are read past the block.
 *
 *   cc -o repro h5ea-block-of-another-array.c -I$PREFIX/include $PREFIX/lib/libhdf5.a -lz -lm
 *   ./repro python/tests/data/structure/extensible-array-index-block-of-another-array.qrd \
 *     /nav_points/lon /nav_points/gps_time_us "extensible array index block belongs to another array"
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
