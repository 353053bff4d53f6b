/* Reproducer of h5b-node-of-another-type.patch: reads chunked datasets whose
 * chunk index names a B-tree node that the cache holds for another tree.
 * - python/tests/data/hostile/btree-shared-node-a.qrd, /nav_points/lat:
 *   its chunk index names the root group's B-tree node, which opening the
 *   dataset has just loaded. Unpatched, the group's keys are taken for chunk
 *   keys, read past the end of the node's keys, and the read succeeds.
 * - python/tests/data/structure/v1-chunk-btree-of-another-rank.qrd,
 *   /event_markers/annotation then /channels/ch1/value: the rank-1 channel
 *   names the rank-2 annotation's chunk B-tree. Unpatched, the channel reads
 *   the annotation's bytes as its doubles.
 * - python/tests/data/structure/v1-chunk-btree-of-other-chunk-size.h5,
 *   /d/r1_many then /d/strings: both of rank 1, with chunks of 4 doubles and
 *   of 16 8-byte strings. Unpatched, the strings read the doubles' chunks.
 *
 *   cc -o repro h5b-node-of-another-type.c -I$PREFIX/include $PREFIX/lib/libhdf5.a -lz -lm
 *   ./repro IMAGE [EARLIER_DATASET...] DATASET
 *
 * Exits 1 unless the earlier datasets read, the last is refused as a node of
 * another tree, and the file then closes. */
#include "repro_dataset.h"

int main(int argc, char **argv) {
  static const char *const messages[] = {"B-tree node belongs to a tree of another type",
                                         "B-tree node belongs to a tree of another key shape", NULL};
  return repro_refused(argc, argv, messages);
}
