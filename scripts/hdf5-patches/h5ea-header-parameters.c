/* Reproducer of h5ea-header-parameters.patch: reads a chunked dataset whose
 * extensible array header has a creation parameter out of range. In
 * python/tests/data/structure/extensible-array-page-bits-shift.qrd the array
 * of /event_markers/lon says its data block pages hold 2^128 elements:
 * unpatched, the shift is undefined (UBSan: "shift exponent 128 is too large")
 * and the page size is whatever the machine makes of it.
 *
 *   cc -o repro h5ea-header-parameters.c -I$PREFIX/include $PREFIX/lib/libhdf5.a -lz -lm
 *   ./repro python/tests/data/structure/extensible-array-page-bits-shift.qrd /event_markers/lon
 *
 * Exits 1 unless the read is refused as out of range and the file then
 * closes. */
#include "repro-read.h"

int main(int argc, char **argv) {
  return repro_read_in_turn(argc, argv, "extensible array data block page bits out of range");
}
