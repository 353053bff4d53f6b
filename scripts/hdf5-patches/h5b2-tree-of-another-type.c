/* Reproducer of h5b2-tree-of-another-type.patch: the objects named are read
 * as h5b2-node-checks.c reads them, and the last must fail with the message
 * given. In python/tests/data/structure/v2-btree-chunk-index-of-another-dataset.qrd
 * /d2u (chunks of 3 x 3) names the chunk index of /d2s (chunks of 2 x 2);
 * unpatched, /d2u reads /d2s's chunks and succeeds. In
 * v2-btree-attribute-index-names-link-index.qrd the attribute name index of
 * /a is the link name index of /g; unpatched, the read of /a's attributes
 * takes link records for attribute records and crashes.
 *
 *   ./repro python/tests/data/structure/v2-btree-chunk-index-of-another-dataset.qrd \
 *       "chunk index belongs to a dataset of another shape" /d2s /d2u
 *
 * Exits 1 unless the last read fails so and the file then closes. */
#include "h5b2-node-checks.c"
