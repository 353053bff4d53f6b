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
#include <sys/resource.h>

#include "repro.h"

static long peak_kib(void) {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

int main(int argc, char **argv) {
  const struct rlimit cap = {1L << 30, 1L << 30};
  if (setrlimit(RLIMIT_AS, &cap) != 0) return 2;
  void *image;
  hid_t file = repro_open_argument(argc, argv, "IMAGE NAME", &image);
  long before = peak_kib();
  htri_t exists = H5Lexists(file, argv[2], H5P_DEFAULT);
  long grown = peak_kib() - before;
  H5Fclose(file);
  free(image);
  printf("%s %s; the process grew by %ld KiB\n", argv[2], exists < 0 ? "fails to look up" : "is looked up", grown);
  return exists < 0 && grown <= 16 * 1024 ? 0 : 1;
}
