/* Reproducer of h5ea-max-index-set.patch: reads chunked datasets whose
 * extensible array header declares a "max index set" far past the blocks it
 * has. In python/tests/data/structure/
 * - extensible-array-max-index-slow-read.qrd, the array of
 *   /channels/ch0000/value (2 chunks) says 2^32 + 1: unpatched, walking the
 *   index looks up every one of those elements (208 s), then the read returns
 *   the file's values. It must read them at once;
 * - extensible-array-max-index-past-capacity.h5, /eaA's says more than its
 *   parameters let it hold: it must be refused.
 *
 *   cc -o repro h5ea-max-index-set.c -I$PREFIX/include $PREFIX/lib/libhdf5.a -lz -lm
 *   ./repro python/tests/data/structure/extensible-array-max-index-slow-read.qrd /channels/ch0000/value
 *   ./repro python/tests/data/structure/extensible-array-max-index-past-capacity.h5 /eaA \
 *     "extensible array max index set past what it can hold"
 *
 * Exits 1 unless the datasets read (the last is refused with the text given,
 * if any) and the file then closes; a read still busy after 20 s ends the
 * program by SIGALRM. */
#include "repro-read.h"
#include <unistd.h>

int main(int argc, char **argv) {
  alarm(20);
  const char *last = argv[argc - 1];
  int refusal = argc > 3 && last[0] != '/';
  return repro_read_in_turn(refusal ? argc - 1 : argc, argv, refusal ? last : NULL);
}
