/* Reproducer of h5b-node-of-another-type.patch: reads a chunked dataset whose
 * chunk index names the root group's B-tree node. In
 * python/tests/data/hostile/btree-shared-node-a.qrd, /nav_points/lat (chunks
 * of 8 of its 20 values) does: opening it looks the name up through that node
 * first, so the cache holds it, decoded as a group's, when the read asks for
 * it as a chunk index node. Unpatched, the read takes the group's keys for
 * chunk keys, reading past the end of the node's keys, and succeeds.
 *
 *   cc -o repro h5b-node-of-another-type.c -I$PREFIX/include $PREFIX/lib/libhdf5.a -lz -lm
 *   ./repro python/tests/data/hostile/btree-shared-node-a.qrd /nav_points/lat
 *
 * Exits 1 unless the read fails and the file then closes. */
#include "repro.h"

int main(int argc, char **argv) {
  void *image;
  hid_t file = repro_open_argument(argc, argv, "IMAGE DATASET", &image);
  hid_t dataset = H5Dopen2(file, argv[2], H5P_DEFAULT);
  if (dataset < 0) return 2;
  hid_t space = H5Dget_space(dataset);
  hssize_t count = H5Sget_simple_extent_npoints(space);
  H5Sclose(space);
  if (count < 0) return 2;
  /* As bytes of the size the file declares: the values do not matter. */
  hid_t type = H5Dget_type(dataset);
  void *values = malloc((size_t)count * H5Tget_size(type) + 1);
  if (values == NULL) return 2;
  herr_t read = H5Dread(dataset, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, values);
  free(values);
  H5Tclose(type);
  H5Dclose(dataset);
  herr_t closed = H5Fclose(file);
  free(image);
  printf("%s %s; the file %s\n", argv[2], read < 0 ? "fails to read" : "is read",
         closed < 0 ? "fails to close" : "closes");
  return read < 0 && closed >= 0 ? 0 : 1;
}
