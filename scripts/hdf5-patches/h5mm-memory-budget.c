/* Reproducer of h5mm-memory-budget.patch: what the library allocates for
 * itself while it reads a file is counted exactly, and bounded by a budget.
 *
 * The program writes, in memory, a file with two chunked, deflated datasets
 * of 1024 bytes: "sound", whose chunk inflates to its 1024 bytes, and
 * "bomb", whose chunk is a deflate stream of 128 MiB of zeros (128 KiB
 * stored). The library inflates a chunk's whole stream, doubling its buffer,
 * before it compares the result with the chunk's size: reading "bomb" takes
 * 256 MiB for 1024 bytes of data. Once the library has read "sound" (so that
 * what it keeps for good exists), each read below runs under a budget, after
 * which the file is closed and the free lists are emptied:
 * - "sound" under 1 GiB reads, and the library holds exactly what it held
 *   before (every block counted when taken is counted when given back);
 * - "bomb" under 1 GiB reads, peaking past 128 MiB;
 * - "bomb" under 32 MiB fails, with the refusal recorded, a peak within the
 *   budget, and again exactly what the library held before.
 *
 *   cc -o repro h5mm-memory-budget.c -I$PREFIX/include $PREFIX/lib/libhdf5.a -lz -lm
 *   ./repro
 *
 * Exits 1 unless all of that holds. Unpatched, it does not compile. */
#include <string.h>
#include <zlib.h>

#include "repro.h"

#define MIB ((size_t)1 << 20)

static int failures = 0;

static void expect(int ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "failed: %s\n", what);
    ++failures;
  }
}

/* A chunked dataset of 1024 bytes whose one chunk is `stored` as it is. */
static void write_chunk(hid_t file, const char *name, const void *stored, size_t size) {
  hsize_t dims = 1024, offset = 0;
  hid_t space = H5Screate_simple(1, &dims, NULL);
  hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
  H5Pset_chunk(dcpl, 1, &dims);
  H5Pset_deflate(dcpl, 6);
  hid_t dataset = H5Dcreate2(file, name, H5T_NATIVE_UINT8, space, H5P_DEFAULT, dcpl, H5P_DEFAULT);
  expect(H5Dwrite_chunk(dataset, H5P_DEFAULT, 0, &offset, size, stored) >= 0, "write a chunk");
  H5Dclose(dataset);
  H5Pclose(dcpl);
  H5Sclose(space);
}

/* The deflate stream of `size` zeros; its length in `*length`. */
static void *zeros_deflated(size_t size, size_t *length) {
  void *zeros = calloc(1, size);
  uLongf bound = compressBound((uLong)size);
  void *stream = malloc(bound);
  if (zeros == NULL || stream == NULL || compress2(stream, &bound, zeros, (uLong)size, 6) != Z_OK) exit(2);
  free(zeros);
  *length = bound;
  return stream;
}

static void *make_image(size_t *size) {
  hid_t file = repro_create_image();
  size_t length;
  void *stream = zeros_deflated(1024, &length);
  write_chunk(file, "sound", stream, length);
  free(stream);
  stream = zeros_deflated(128 * MIB, &length);
  write_chunk(file, "bomb", stream, length);
  free(stream);
  return repro_take_image(file, size);
}

/* Reads the dataset `name` of the image whole; whether it read. */
static int read_dataset(const void *image, size_t size, const char *name) {
  hid_t file = repro_open_image(image, size);
  unsigned char data[1024];
  hid_t dataset = H5Dopen2(file, name, H5P_DEFAULT);
  herr_t status = H5Dread(dataset, H5T_NATIVE_UINT8, H5S_ALL, H5S_ALL, H5P_DEFAULT, data);
  H5Dclose(dataset);
  H5Fclose(file);
  return status >= 0;
}

/* Reads `name` under a budget of `limit`; the counts once the library has
 * closed the file and emptied its free lists (emptied before as well, so
 * that no block from earlier counts as given back). */
static H5MM_budget_t read_within(const void *image, size_t size, const char *name, size_t limit, int *read) {
  H5garbage_collect();
  H5MM_budget_t budget = {.limit = limit};
  H5MMset_budget(&budget);
  *read = read_dataset(image, size, name);
  H5garbage_collect();
  H5MMget_budget(&budget);
  H5MM_budget_t off = {.limit = 0};
  H5MMset_budget(&off);
  return budget;
}

int main(void) {
  H5Eset_auto2(H5E_DEFAULT, NULL, NULL);
  size_t size;
  void *image = make_image(&size);
  expect(read_dataset(image, size, "sound"), "a first read of sound");

  int read;
  H5MM_budget_t sound = read_within(image, size, "sound", 1024 * MIB, &read);
  printf("sound under 1 GiB: %s, peak %zu B, %lld B held after\n", read ? "read" : "failed", sound.peak,
         (long long)sound.held);
  expect(read && !sound.refused && sound.peak > 0 && sound.held == 0, "sound reads and gives back all it took");

  H5MM_budget_t bomb = read_within(image, size, "bomb", 1024 * MIB, &read);
  printf("bomb under 1 GiB: %s, peak %zu B\n", read ? "read" : "failed", bomb.peak);
  expect(read && !bomb.refused && bomb.peak > 128 * MIB, "bomb reads under a budget it fits");

  H5MM_budget_t bounded = read_within(image, size, "bomb", 32 * MIB, &read);
  printf("bomb under 32 MiB: %s%s, peak %zu B, %lld B held after\n", read ? "read" : "failed",
         bounded.refused ? " (refused)" : "", bounded.peak, (long long)bounded.held);
  expect(!read && bounded.refused && bounded.peak <= 32 * MIB && bounded.held == 0,
         "bomb fails within a budget it does not fit and gives back all it took");
  free(image);
  return failures == 0 ? 0 : 1;
}
