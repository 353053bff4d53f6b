/* Reproducer of h5ea-super-block-shifts.patch: reads a chunked dataset whose
 * extensible array header says its element indices take 64 bits. In
 * python/tests/data/structure/extensible-array-64-count-bits.qrd the array of
 * /nav_points/lon has them with data blocks of at least 2 elements, so
 * that it has 63 super blocks: unpatched, the counts of the last ones were
 * shifted as ints (UBSan: "left shift of 1 by 31 places cannot be
 * represented in type 'int'"), which only the sanitizers show; the index is
 * then refused as not the dataset's either way.
 *
 *   cc -fsanitize=undefined -o repro h5ea-super-block-shifts.c -I$PREFIX/include $PREFIX/lib/libhdf5.a -lz -lm
 *   ./repro python/tests/data/structure/extensible-array-64-count-bits.qrd /nav_points/lon
 *
 * Exits 1 unless the read is refused and the file then closes. */
#include "repro-read.h"

int main(int argc, char **argv) {
  return repro_read_in_turn(argc, argv, "chunk index belongs to a dataset of another kind");
}
