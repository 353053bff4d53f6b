/* Reproducer of h5fa-header-parameters.patch: reads a chunked dataset whose
 * fixed array header has a parameter or a count out of range. In
 * python/tests/data/structure/
 * - fixed-array-page-bits-shift.h5, one array's pages hold 2^64 elements:
 *   unpatched, the shift is undefined (UBSan "shift exponent 64");
 * - fixed-array-count-past-file.h5, one array says 2^50 elements in pages of
 *   2^40 in an 18 KB file: unpatched, walking the index looks up every one
 *   of them (the read does not end).
 *
 *   cc -o repro h5fa-header-parameters.c -I$PREFIX/include $PREFIX/lib/libhdf5.a -lz -lm
 *   ./repro python/tests/data/structure/fixed-array-page-bits-shift.h5 /faB \
 *     "fixed array data block page bits out of range"
 *
 * Exits 1 unless every dataset but the last reads, the last is refused with
 * the text given as the innermost error, and the file then closes; a read
 * still busy after 20 s ends the program by SIGALRM. */
#include "repro-read.h"
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: %s IMAGE DATASET... REFUSAL\n", argv[0]);
    return 2;
  }
  alarm(20);
  return repro_read_in_turn(argc - 1, argv, argv[argc - 1]);
}
