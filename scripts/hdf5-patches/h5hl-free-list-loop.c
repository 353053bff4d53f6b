/* Reproducer of h5hl-free-list-loop.patch: looks up a name in a group whose
 * local heap has a free list that points back into itself. In
 * python/tests/data/hostile/heap-free-list-loop-a.qrd the root group's heap
 * does (/nav_points, say), in heap-free-list-loop-b.qrd that of /channels
 * (/channels/c). Unpatched, the lookup allocates a node per step of the list
 * for as long as memory lasts: the address space is capped at 1 GiB here, so
 * that it ends in a failed allocation instead of the system's out-of-memory
 * killer.
 *
 *   cc -o repro h5hl-free-list-loop.c -I$PREFIX/include $PREFIX/lib/libhdf5.a -lz -lm
 *   ./repro python/tests/data/hostile/heap-free-list-loop-a.qrd /nav_points
 *
 * Exits 1 unless the lookup fails and grows the process by at most 16 MiB
 * (unpatched: the whole gibibyte). */
#include <hdf5.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>

static long peak_kib(void) {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s IMAGE NAME\n", argv[0]);
    return 2;
  }
  FILE *in = fopen(argv[1], "rb");
  if (in == NULL) return 2;
  fseek(in, 0, SEEK_END);
  size_t size = (size_t)ftell(in);
  rewind(in);
  void *image = malloc(size);
  if (image == NULL || fread(image, 1, size, in) != size) return 2;
  fclose(in);

  const struct rlimit cap = {1L << 30, 1L << 30};
  if (setrlimit(RLIMIT_AS, &cap) != 0) return 2;
  H5Eset_auto2(H5E_DEFAULT, NULL, NULL);
  hid_t fapl = H5Pcreate(H5P_FILE_ACCESS);
  H5Pset_fapl_core(fapl, 1 << 20, 0);
  H5Pset_file_image(fapl, image, size);
  hid_t file = H5Fopen("image", H5F_ACC_RDONLY, fapl);
  H5Pclose(fapl);
  if (file < 0) return 2;
  long before = peak_kib();
  htri_t exists = H5Lexists(file, argv[2], H5P_DEFAULT);
  long grown = peak_kib() - before;
  H5Fclose(file);
  free(image);
  printf("%s %s; the process grew by %ld KiB\n", argv[2], exists < 0 ? "fails to look up" : "is looked up", grown);
  return exists < 0 && grown <= 16 * 1024 ? 0 : 1;
}
