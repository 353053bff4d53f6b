/* Reproducer of h5b-walk-strictly-down.patch: reads, counts the chunks of and
 * sizes the chunk index of a chunked dataset whose version 1 B-tree does not
 * go strictly down, or names a node twice.
 * - python/tests/data/structure/v1-chunk-btree-self-loop.qrd, /nav_points/lat:
 *   a level-1 node names itself as its first child. Unpatched: stack
 *   overflow in H5B_find / H5B__iterate_helper.
 * - python/tests/data/structure/v1-chunk-btree-*.h5, /d/r1_many (a tree of
 *   three levels): child-is-ancestor (a level-1 node names the root: stack
 *   overflow), child-level-jump (the root names a leaf as its first child:
 *   the leaf's chunks are read as nodes), node-walked-twice (the root names
 *   its first child twice: the chunk count walks the first child's chunks twice), sibling-loop (a
 *   leaf's right sibling is the first leaf: the metadata size never returns).
 *
 *   cc -o repro h5b-walk-strictly-down.c -I$PREFIX/include $PREFIX/lib/libhdf5.a -lz -lm
 *   ./repro IMAGE DATASET
 *
 * Exits 1 (or dies) unless what fails is refused with this patch's messages,
 * something does, and the file then closes. */
#include "repro_dataset.h"

int main(int argc, char **argv) {
  static const char *const messages[] = {"B-tree child node is not one level below its parent",
                                         "B-tree node is out of sibling order", NULL};
  return repro_refused(argc, argv, messages);
}
