/* Reproducer of h5o-protect-continuation-leak.patch: opens an object whose
 * header fails to load after its continuation messages were decoded, many
 * times, and reports the resident memory kept per failed open. In
 * python/tests/data/damaged/leak-header-message-count.qrd the object
 * /tracked_sats/constellation fails with "bad object header message count".
 * Unpatched, each failed open loses the list of continuation messages, and
 * HDF5 prints "HDF5: infinite loop closing library" at exit because that
 * free-list block is never returned.
 *
 * The objects /sat_reports/nav_point_idx of
 * python/tests/data/hostile/free-invalid-pointer-a.qrd and /nav_points/lon of
 * free-invalid-pointer-b.qrd have an undefined address: the first version of
 * the patch freed the list before it was set on that path, and the process
 * died on the first open (the stack is filled with a pattern before each
 * open, so that the list is never null by chance).
 *
 *   cc -o repro h5o-protect-continuation-leak.c -I$PREFIX/include $PREFIX/lib/libhdf5.a -lz -lm
 *   ./repro python/tests/data/damaged/leak-header-message-count.qrd /tracked_sats/constellation
 *
 * Exits 1 unless the open fails and keeps nothing: the bytes the library
 * holds after the opens, once its free lists are emptied, where it counts
 * them (h5mm-memory-budget.patch), else at most 16 bytes of resident memory
 * per open (unpatched: about 60). */
#include <unistd.h>

#include "repro.h"

#ifndef H5MM_HAS_BUDGET
static long resident(void) {
  long size = 0, pages = 0;
  FILE *statm = fopen("/proc/self/statm", "r");
  if (statm == NULL || fscanf(statm, "%ld %ld", &size, &pages) != 2) pages = 0;
  if (statm != NULL) fclose(statm);
  return pages * sysconf(_SC_PAGESIZE);
}
#endif

/* Fills the stack below the caller with a pattern, as earlier calls leave it
 * filled with their own values: a variable that the library frees before it
 * sets it then holds no null by chance. */
static void __attribute__((noinline)) dirty_stack(void) {
  volatile unsigned char filler[1 << 16];
  for (size_t i = 0; i < sizeof filler; ++i) filler[i] = 0xA5;
}

/* 1 when the object fails to open, 0 when it opens, -1 when the file does not. */
static int open_object(const void *image, size_t size, const char *path) {
  hid_t file = repro_open_image(image, size);
  if (file < 0) return -1;
  dirty_stack();
  hid_t object = H5Oopen(file, path, H5P_DEFAULT);
  if (object >= 0) H5Oclose(object);
  H5Fclose(file);
  return object < 0;
}

int main(int argc, char **argv) {
  size_t size;
  void *image = repro_read_argument(argc, argv, "IMAGE OBJECT", &size);

  /* Errors are expected; keep the default printer so that the library still
   * reports a failed shutdown, but silence the stack of each failed open. */
  H5E_auto2_t print;
  void *print_data;
  H5Eget_auto2(H5E_DEFAULT, &print, &print_data);
  H5Eset_auto2(H5E_DEFAULT, NULL, NULL);
  const int warmup = 2000, opens = 20000;
  int failed = 0;
  for (int i = 0; i < warmup; ++i) open_object(image, size, argv[2]);
#ifdef H5MM_HAS_BUDGET
  /* Exact: every block the library takes and gives back is counted. */
  double per_open = (double)repro_bytes_kept(open_object, image, size, argv[2], 0, opens, &failed) / opens, bound = 0;
  const char *what = "held by the library";
#else
  long before = resident();
  for (int i = 0; i < opens; ++i) failed = open_object(image, size, argv[2]);
  double per_open = (double)(resident() - before) / opens, bound = 16;
  const char *what = "resident";
#endif
  H5Eset_auto2(H5E_DEFAULT, print, print_data);
  printf("%s %s; %.1f B %s kept per open\n", argv[2], failed == 1 ? "fails to open" : "opens", per_open, what);
  free(image);
  return failed == 1 && per_open <= bound ? 0 : 1;
}
