/* Reproducer of h5hl-shared-data-block.patch: looks up a name in a group
 * whose local heap names the data block of another group's heap. In
 * python/tests/data/hostile/heap-shared-data-block-a.qrd the heap of
 * /event_marker_styles does: the root group's lookup of /event_marker_styles
 * loads that block for the root's heap first, and the lookup of
 * /event_marker_styles/variant_path is then handed it. Unpatched, the second
 * lookup reads names from a null image and dies unpinning a null data block
 * (SIGSEGV).
 *
 *   cc -o repro h5hl-shared-data-block.c -I$PREFIX/include $PREFIX/lib/libhdf5.a -lz -lm
 *   ./repro python/tests/data/hostile/heap-shared-data-block-a.qrd /event_marker_styles/variant_path
 *
 * Exits 1 unless the lookup fails and the file then closes. */
#include "repro.h"

int main(int argc, char **argv) {
  void *image;
  hid_t file = repro_open_argument(argc, argv, "IMAGE NAME", &image);
  htri_t exists = H5Lexists(file, argv[2], H5P_DEFAULT);
  herr_t closed = H5Fclose(file);
  free(image);
  printf("%s %s; the file %s\n", argv[2], exists < 0 ? "fails to look up" : "is looked up",
         closed < 0 ? "fails to close" : "closes");
  return exists < 0 && closed >= 0 ? 0 : 1;
}
