/* Reproducer of h5o-chunk-of-another-header.patch: opens an object whose
 * continuation message names a chunk of another object's header, after that
 * other object. In python/tests/data/hostile/ohdr-shared-chunk-a.qrd
 * /channels/b names the chunk of /channels/a that holds a's attributes.
 * Unpatched, b opens as a group without attributes (h5py, reading b first,
 * gives it a's "unit" and "description").
 *
 *   cc -o repro h5o-chunk-of-another-header.c -I$PREFIX/include $PREFIX/lib/libhdf5.a -lz -lm
 *   ./repro python/tests/data/hostile/ohdr-shared-chunk-a.qrd /channels/a /channels/b
 *
 * Exits 1 unless the first object opens, the second fails to, and the file
 * then closes. */
#include "repro.h"

int main(int argc, char **argv) {
  void *image;
  hid_t file = repro_open_argument(argc, argv, "IMAGE FIRST SECOND", &image);
  hid_t first = H5Oopen(file, argv[2], H5P_DEFAULT);
  if (first < 0) return 2;
  hid_t second = H5Oopen(file, argv[3], H5P_DEFAULT);
  H5O_info2_t info;
  if (second >= 0 && H5Oget_info3(second, &info, H5O_INFO_NUM_ATTRS) >= 0)
    printf("%s opens with %llu attributes\n", argv[3], (unsigned long long)info.num_attrs);
  else if (second < 0)
    printf("%s fails to open\n", argv[3]);
  if (second >= 0) H5Oclose(second);
  H5Oclose(first);
  herr_t closed = H5Fclose(file);
  free(image);
  printf("the file %s\n", closed < 0 ? "fails to close" : "closes");
  return second < 0 && closed >= 0 ? 0 : 1;
}
