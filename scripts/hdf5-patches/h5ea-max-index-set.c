/* Reproducer of h5ea-max-index-set.patch: walks over extensible arrays must
 * take time in proportion to the blocks they hold. In
 * python/tests/data/structure/
 * - extensible-array-max-index-slow-read.qrd, the array of
 *   /channels/ch0000/value (2 chunks) says 2^32 + 1: unpatched, walking the
 *   index looks up every one of those elements (208 s), then the read returns
 *   the file's values. It must read them at once;
 * - extensible-array-max-index-past-capacity.h5, /eaA's says more than its
 *   parameters let it hold: it must be refused;
 * - extensible-array-deep-hole.h5, /eaA's array has a super block near the
 *   top of what it can hold, whose last data block (past the end of the file)
 *   has a page, with no block below it on disk: the walk of a storage size
 *   query must be refused at that page, without a call back for each of the
 *   5 * 10^8 elements below it (1.1 s a walk unpatched). It is walked 100
 *   times (--walks), each refused with the text given.
 * With --layouts, datasets written in memory with chunks left out, the
 * unlimited dimension first, between or last, must give back each chunk's
 * own coordinates in H5Dget_chunk_info (unpatched, those of a dataset whose
 * unlimited dimension is not first count along the wrong dimension).
 *
 *   cc -o repro h5ea-max-index-set.c -I$PREFIX/include $PREFIX/lib/libhdf5.a -lz -lm
 *   ./repro python/tests/data/structure/extensible-array-max-index-slow-read.qrd /channels/ch0000/value
 *   ./repro python/tests/data/structure/extensible-array-max-index-past-capacity.h5 /eaA \
 *     "extensible array max index set past what it can hold"
 *   ./repro --walks python/tests/data/structure/extensible-array-deep-hole.h5 /eaA "addr overflow, ..."
 *   ./repro --layouts
 *
 * Exits 1 unless the datasets read (the last is refused with the text given,
 * if any) and the file then closes; a read still busy after 20 s ends the
 * program by SIGALRM. */
#include "repro-read.h"
#include <unistd.h>

/* Walks `path`'s chunk index 100 times, each to be refused with `refusal`. */
static int walks(const char *image_path, const char *path, const char *refusal) {
  size_t size;
  void *image = repro_read_file(image_path, &size);
  H5Eset_auto2(H5E_DEFAULT, NULL, NULL);
  hid_t file = repro_open_image(image, size), dataset = H5Dopen2(file, path, H5P_DEFAULT);
  if (dataset < 0) exit(2);
  char text[256] = "";
  int refused = 0;
  for (int i = 0; i < 100; ++i) {
    H5Eclear2(H5E_DEFAULT);
    H5Dget_storage_size(dataset);
    text[0] = '\0';
    H5Ewalk2(H5E_DEFAULT, H5E_WALK_UPWARD, repro_innermost_cb, text);
    refused += strcmp(text, refusal) == 0;
  }
  printf("%s: %d of 100 walks refused with \"%s\"\n", path, refused, text);
  H5Dclose(dataset);
  herr_t closed = H5Fclose(file);
  free(image);
  return refused == 100 && closed >= 0 ? 0 : 1;
}

typedef struct {
  const hsize_t *chunk;
  int rank, bad, count;
} layout_check_t;

/* Chunk i (row-major over the grid of `dims` / `chunk`) holds i if written;
 * every third one is left out, and a run of them wide enough that the array
 * leaves data blocks and pages out. */
static int chunk_written(hsize_t i) { return i % 3 != 1 && (i < 40 || i >= 1500); }

static int layouts(void) {
  static const struct {
    int rank;
    hsize_t dims[3], max[3], chunk[3];
  } sets[] = {
      {1, {3000}, {H5S_UNLIMITED}, {1}},
      {2, {2000, 3}, {H5S_UNLIMITED, 3}, {1, 2}},
      {2, {5, 1000}, {7, H5S_UNLIMITED}, {2, 1}},
      {3, {3, 600, 4}, {3, H5S_UNLIMITED, 8}, {2, 1, 3}},
      {3, {3, 4, 900}, {5, 4, H5S_UNLIMITED}, {2, 3, 1}},
  };
  H5Eset_auto2(H5E_DEFAULT, NULL, NULL);
  hid_t file = repro_create_image_in(H5F_LIBVER_LATEST, H5F_LIBVER_LATEST);
  int bad = 0;
  for (size_t s = 0; s < sizeof sets / sizeof sets[0]; ++s) {
    int rank = sets[s].rank;
    hsize_t grid[3] = {1, 1, 1}, nchunks = 1, written = 0, count = 0, bytes = 4;
    int others = 0;
    for (int d = 0; d < rank; ++d) {
      grid[d] = (sets[s].dims[d] + sets[s].chunk[d] - 1) / sets[s].chunk[d];
      nchunks *= grid[d];
      bytes *= sets[s].chunk[d];
    }
    hid_t space = H5Screate_simple(rank, sets[s].dims, sets[s].max), dcpl = H5Pcreate(H5P_DATASET_CREATE);
    H5Pset_chunk(dcpl, rank, sets[s].chunk);
    if (s % 2) {
      H5Pset_deflate(dcpl, 1); /* Filtered: another element */
      bytes = 4;               /* Raw bytes, never decoded here */
    }
    hid_t dataset = H5Dcreate2(file, "d", H5T_NATIVE_UINT32, space, H5P_DEFAULT, dcpl, H5P_DEFAULT);
    for (hsize_t i = 0; i < nchunks; ++i) {
      hsize_t offset[3], rest = i;
      uint32_t values[24];
      for (int d = rank - 1; d >= 0; --d) {
        offset[d] = rest % grid[d] * sets[s].chunk[d];
        rest /= grid[d];
      }
      for (int v = 0; v < 24; ++v) values[v] = (uint32_t)i;
      if (chunk_written(i) && H5Dwrite_chunk(dataset, H5P_DEFAULT, 0, offset, bytes, values) < 0) exit(2);
      written += chunk_written(i);
    }
    H5Dget_num_chunks(dataset, H5S_ALL, &count);
    for (hsize_t k = 0; k < count; ++k) {
      hsize_t offset[3], i = 0, stored = 0;
      unsigned mask;
      haddr_t addr;
      uint32_t values[24] = {UINT32_MAX}, filters = 0;
      int inside = H5Dget_chunk_info(dataset, H5S_ALL, k, offset, &mask, &addr, &stored) >= 0;
      for (int d = 0; inside && d < rank; ++d) {
        inside = offset[d] % sets[s].chunk[d] == 0 && offset[d] / sets[s].chunk[d] < grid[d];
        i = i * grid[d] + offset[d] / sets[s].chunk[d];
      }
      /* Looked up by its coordinates, the chunk must be the one listed */
      if (!inside || stored != bytes || H5Dread_chunk(dataset, H5P_DEFAULT, offset, &filters, values) < 0 ||
          values[0] != i || !chunk_written(i))
        others++;
    }
    printf("rank %d, unlimited dimension %s: %llu of %llu chunks, %d at other coordinates\n", rank,
           sets[s].max[0] == H5S_UNLIMITED ? "0" : sets[s].max[1] == H5S_UNLIMITED ? "1" : "2",
           (unsigned long long)count, (unsigned long long)written, others);
    bad += others + (count != written);
    H5Dclose(dataset);
    H5Ldelete(file, "d", H5P_DEFAULT);
    H5Pclose(dcpl);
    H5Sclose(space);
  }
  H5Fclose(file);
  return bad ? 1 : 0;
}

int main(int argc, char **argv) {
  alarm(20);
  if (argc == 2 && strcmp(argv[1], "--layouts") == 0) return layouts();
  if (argc == 5 && strcmp(argv[1], "--walks") == 0) return walks(argv[2], argv[3], argv[4]);
  const char *last = argv[argc - 1];
  int refusal = argc > 3 && last[0] != '/';
  return repro_read_in_turn(refusal ? argc - 1 : argc, argv, refusal ? last : NULL);
}
