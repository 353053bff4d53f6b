/* Reproducer of h5d-piece-map-failure-leak.patch: reads a whole chunked
 * dataset again and again under memory budgets from a few bytes up to what
 * the read takes (h5mm-memory-budget.patch), so that each allocation of the
 * read is in turn the first refused, among them those that map the chunks to
 * pieces, and counts the bytes the library holds after them all. (A refused
 * read may leave a block that the next read gives back.) It then does so
 * opening the dataset afresh for each read, so that the read also sets up the
 * dataset's list of pieces; there only the ending counts (under the
 * sanitizers too), as one of those budgets leaves about 14 KB held that no
 * leak check has found yet.
 * Unpatched, a read refused while a chunk's dataspace was copied for its
 * piece, or its edge selected, kept the piece (and the copy); one refused
 * where a dataspace was made for the chunks wrote through a null pointer
 * (SIGSEGV); and one refused before the mapping chose between one element
 * and many had its cleanup read that choice uninitialized (UBSan: "load of
 * value 190, which is not a valid value for type 'bool'"), and take a null
 * dataspace for the single element's when it read true.
 *
 *   cc -o repro h5d-piece-map-failure-leak.c -I$PREFIX/include $PREFIX/lib/libhdf5.a -lz -lm
 *   ./repro
 *
 * Exits 1 unless, each way, reads are refused under the smaller budgets and
 * one succeeds under a larger, and, with the dataset open throughout, the
 * library holds no more than before. */
#include "repro.h"

#ifndef H5MM_HAS_BUDGET
#error "the bytes the library holds are counted by h5mm-memory-budget.patch"
#endif

/* Chunks of 2 values, the last one at the edge of the dataset. */
#define VALUES 129
#define STEP   8

static double values[VALUES];

/* One sweep of budgets; 0 when it holds, 1 otherwise. */
static int sweep(hid_t file, hid_t dapl, int reopen) {
  hid_t dataset = -1;
  if (!reopen) {
    dataset = H5Dopen2(file, "d", dapl);
    H5Dread(dataset, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, values);
  }
  int refused = 0, read = 0;
  long long kept = 0;
  for (size_t limit = STEP; limit < ((size_t)1 << 20) && !read; limit += STEP) {
    H5garbage_collect();
    /* The open is counted too, as the close gives back what it took; the
     * limit is on the read */
    H5MM_budget_t budget = {.limit = SIZE_MAX};
    H5MMset_budget(&budget);
    if (reopen) dataset = H5Dopen2(file, "d", dapl);
    H5MMget_budget(&budget);
    budget.limit = limit + (size_t)(budget.held > 0 ? budget.held : 0);
    H5MMset_budget(&budget);
    read = H5Dread(dataset, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, values) >= 0;
    H5Eclear2(H5E_DEFAULT);
    /* What the dataset set up for its reads is given back when it closes */
    H5MMget_budget(&budget);
    budget.limit = SIZE_MAX;
    H5MMset_budget(&budget);
    if (reopen) H5Dclose(dataset);
    H5garbage_collect();
    H5MMget_budget(&budget);
    H5MM_budget_t off = {.limit = 0};
    H5MMset_budget(&off);
    refused += !read;
    kept += budget.held;
  }
  if (!reopen) H5Dclose(dataset);
  printf("%s: %d reads refused, then one read%s; %lld B held by the library after them\n",
         reopen ? "opened for each read" : "open throughout", refused, read ? "" : " never", kept);
  return refused > 0 && read && (reopen || kept <= 0) ? 0 : 1;
}

int main(void) {
  H5Eset_auto2(H5E_DEFAULT, NULL, NULL);
  hid_t file = repro_create_image();
  hsize_t dims = VALUES, chunk = 2;
  hid_t space = H5Screate_simple(1, &dims, NULL), dcpl = H5Pcreate(H5P_DATASET_CREATE);
  H5Pset_chunk(dcpl, 1, &chunk);
  hid_t dataset = H5Dcreate2(file, "d", H5T_IEEE_F64LE, space, H5P_DEFAULT, dcpl, H5P_DEFAULT);
  for (int i = 0; i < VALUES; ++i) values[i] = i;
  H5Dwrite(dataset, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, values);
  H5Dclose(dataset);
  /* Without a chunk cache, a read keeps no chunk; a first read without a
   * budget loads the index into the metadata cache, where it stays. */
  hid_t dapl = H5Pcreate(H5P_DATASET_ACCESS);
  H5Pset_chunk_cache(dapl, 0, 0, 1.0);
  dataset = H5Dopen2(file, "d", dapl);
  H5Dread(dataset, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, values);
  H5Dclose(dataset);

  int failed = sweep(file, dapl, 0) + sweep(file, dapl, 1);
  H5Pclose(dapl);
  H5Pclose(dcpl);
  H5Sclose(space);
  H5Fclose(file);
  return failed ? 1 : 0;
}
