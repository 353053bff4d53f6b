/* Reproducer of h5d-chunk-shorter-than-dataset-chunks.patch: reads a
 * filtered dataset whose chunks restore to fewer bytes than its chunk size.
 * In python/tests/data/structure/chunk-index-ea-of-another-rank.h5, /d/e2_gz
 * (rank 2, chunks of 8 x 8 doubles) names the extensible array of /d/e1_gz
 * (rank 1, chunks of 32 doubles): both filtered, their sizes encoded alike.
 * Unpatched: the read copies 512 bytes out of each 256-byte chunk (under
 * AddressSanitizer a heap-buffer-overflow READ in H5D__compact_readvv).
 *
 *   cc -o repro h5d-chunk-shorter-than-dataset-chunks.c -I$PREFIX/include $PREFIX/lib/libhdf5.a -lz -lm
 *   ./repro python/tests/data/structure/chunk-index-ea-of-another-rank.h5 /d/e2_gz
 *
 * Exits 1 unless the read is refused with this patch's message and the file
 * then closes. */
#include "repro_dataset.h"

int main(int argc, char **argv) {
  static const char *const messages[] = {"chunk is smaller than the dataset's chunks", NULL};
  return repro_refused(argc, argv, messages);
}
