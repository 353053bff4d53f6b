/* Test of h5o-attribute-lookup.patch: opening attributes by name in a file
 * opened read-only finds what the search of the header found before, and a
 * file opened for writing sees its changes.
 *   - of two attributes of one name (a hostile header), the first in the
 *     header is opened, with its place in the header as creation index;
 *   - a header one of whose attributes does not decode still opens those
 *     before it, and fails on that one;
 *   - in a file opened for writing, an attribute added or deleted after an
 *     open is found or missed;
 *   - a lookup that the memory budget (h5mm-memory-budget.patch) refused,
 *     whose search then found the attribute, leaves no refusal marked, so
 *     that a later failure of the same read is not taken for a refusal.
 * With an argument N, also opens each of N attributes of one header kept
 * compact and prints the time it took (unpatched, time in N squared:
 * about 40 s for 65,535 here; patched, a fraction of a second).
 *
 *   cc -o lookup h5o-attribute-lookup.c -I$PREFIX/include $PREFIX/lib/libhdf5.a -lz -lm
 *   ./lookup [N]
 *
 * Exits 1 on the first check that fails. */
#include <string.h>
#include <time.h>

#include "repro.h"
#include "repro_check.h"


/* An in-memory file of version 1 object headers (no checksums, so that its
 * bytes can be edited), with integer attributes `names` = `values` on its
 * root group; its bytes in *size. */
static unsigned char *make_image(const char **names, const int *values, int count, size_t *size) {
  hid_t file = repro_create_image_in(H5F_LIBVER_EARLIEST, H5F_LIBVER_V110);
  hid_t space = H5Screate(H5S_SCALAR);
  for (int i = 0; i < count; i++) {
    hid_t attr = H5Acreate2(file, names[i], H5T_STD_I32LE, space, H5P_DEFAULT, H5P_DEFAULT);
    H5Awrite(attr, H5T_NATIVE_INT, &values[i]);
    H5Aclose(attr);
  }
  H5Sclose(space);
  return repro_take_image(file, size);
}

static hid_t open_image(unsigned char *image, size_t size, unsigned flags) {
  hid_t fapl = H5Pcreate(H5P_FILE_ACCESS);
  H5Pset_fapl_core(fapl, 1 << 16, 0);
  H5Pset_file_image(fapl, image, size);
  hid_t file = H5Fopen("lookup-open", flags, fapl);
  H5Pclose(fapl);
  return file;
}

/* The value of the attribute `name` of the root group, and its creation
 * index; -1 when it does not open. */
static int read_attribute(hid_t file, const char *name, hsize_t *corder) {
  hid_t attr = H5Aopen(file, name, H5P_DEFAULT);
  if (attr < 0) return -1;
  int value = -1;
  H5A_info_t info;
  if (H5Aread(attr, H5T_NATIVE_INT, &value) < 0 || H5Aget_info(attr, &info) < 0) value = -1;
  if (corder) *corder = info.corder;
  H5Aclose(attr);
  return value;
}

static unsigned char *find(unsigned char *image, size_t size, const char *text) {
  size_t n = strlen(text) + 1;
  for (size_t at = 0; at + n <= size; at++)
    if (memcmp(image + at, text, n) == 0) return image + at;
  return NULL;
}

static void duplicate_names(void) {
  const char *names[] = {"b_first", "a_other", "b_firsX"};
  const int values[] = {1, 2, 3};
  size_t size;
  unsigned char *image = make_image(names, values, 3, &size);
  unsigned char *third = find(image, size, "b_firsX");
  CHECK(third != NULL, "the third attribute's name is in the image");
  if (third) third[6] = 't';
  hid_t file = open_image(image, size, H5F_ACC_RDONLY);
  CHECK(file >= 0, "the image with two attributes of one name opens");
  hsize_t corder = 99;
  CHECK(read_attribute(file, "b_first", &corder) == 1, "the first of two of one name opens");
  CHECK(corder == 0, "its creation index is its place in the header");
  CHECK(read_attribute(file, "a_other", &corder) == 2 && corder == 1, "another opens, with its place");
  CHECK(read_attribute(file, "b_firsX", NULL) == -1, "the name no longer there does not open");
  CHECK(read_attribute(file, "missing", NULL) == -1, "a missing name does not open");
  H5Fclose(file);
  free(image);
}

static void undecodable(void) {
  const char *names[] = {"early", "late"};
  const int values[] = {1, 2};
  size_t size;
  unsigned char *image = make_image(names, values, 2, &size);
  unsigned char *late = find(image, size, "late");
  CHECK(late != NULL, "the second attribute's name is in the image");
  /* The name is padded to 8 bytes; the datatype follows: version 15. */
  if (late) late[8] = 0xF0 | (late[8] & 0x0F);
  hid_t file = open_image(image, size, H5F_ACC_RDONLY);
  CHECK(file >= 0, "the image with an undecodable attribute opens");
  CHECK(read_attribute(file, "early", NULL) == 1, "the attribute before one that does not decode opens");
  CHECK(read_attribute(file, "late", NULL) == -1, "the one that does not decode fails");
  CHECK(read_attribute(file, "early", NULL) == 1, "the one before still opens");
  H5Fclose(file);
  free(image);
}

static void written(void) {
  const char *names[] = {"one", "two"};
  const int values[] = {1, 2};
  size_t size;
  unsigned char *image = make_image(names, values, 2, &size);
  hid_t file = open_image(image, size, H5F_ACC_RDWR);
  CHECK(file >= 0, "the image opens for writing");
  CHECK(read_attribute(file, "two", NULL) == 2, "an attribute opens for writing");
  hid_t space = H5Screate(H5S_SCALAR);
  hid_t attr = H5Acreate2(file, "three", H5T_STD_I32LE, space, H5P_DEFAULT, H5P_DEFAULT);
  const int three = 3;
  H5Awrite(attr, H5T_NATIVE_INT, &three);
  H5Aclose(attr);
  H5Sclose(space);
  CHECK(read_attribute(file, "three", NULL) == 3, "an attribute added after an open opens");
  H5Adelete(file, "two");
  CHECK(read_attribute(file, "two", NULL) == -1, "an attribute deleted after an open does not");
  CHECK(read_attribute(file, "one", NULL) == 1, "the others still open");
  H5Fclose(file);
  free(image);
}

static void timed(int count) {
  char **names = malloc((size_t)count * sizeof(char *));
  int *values = malloc((size_t)count * sizeof(int));
  for (int i = 0; i < count; i++) {
    names[i] = malloc(16);
    snprintf(names[i], 16, "a%06d", i);
    values[i] = i;
  }
  size_t size;
  unsigned char *image = make_image((const char **)names, values, count, &size);
  hid_t file = open_image(image, size, H5F_ACC_RDONLY);
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  int wrong = 0;
  for (int i = 0; i < count; i++) wrong += read_attribute(file, names[i], NULL) != i;
  clock_gettime(CLOCK_MONOTONIC, &end);
  CHECK(wrong == 0, "each of many attributes opens with its value");
  printf("%d attributes (%zu bytes) opened in %.3f s\n", count, size,
         (double)(end.tv_sec - start.tv_sec) + 1e-9 * (double)(end.tv_nsec - start.tv_nsec));
  H5Fclose(file);
  for (int i = 0; i < count; i++) free(names[i]);
  free(names);
  free(values);
  free(image);
}

/* 200 attributes: their lookup takes more than the budget's small
 * allocations, while the search takes only small ones. */
static void refused_lookup(void) {
  enum { COUNT = 200 };
  char names[COUNT][16];
  const char *pointers[COUNT];
  int values[COUNT];
  for (int i = 0; i < COUNT; i++) {
    snprintf(names[i], sizeof names[i], "n%03d", i);
    pointers[i] = names[i];
    values[i] = i;
  }
  size_t size;
  unsigned char *image = make_image(pointers, values, COUNT, &size);
  for (int reserve = 1; reserve >= 0; reserve--) {
    hid_t file = open_image(image, size, H5F_ACC_RDONLY);
    CHECK(file >= 0, "the image of many attributes opens");
    H5MM_budget_t budget = {.limit = 1, .reserve = reserve ? (size_t)1 << 24 : 0};
    H5MMset_budget(&budget);
    hid_t attr = H5Aopen(file, "n123", H5P_DEFAULT);
    H5MMget_budget(&budget);
    H5MM_budget_t off = {.limit = 0};
    H5MMset_budget(&off);
    if (reserve) {
      int value = -1;
      CHECK(attr >= 0 && H5Aread(attr, H5T_NATIVE_INT, &value) >= 0 && value == 123,
            "the attribute opens by a search when its lookup is refused");
      CHECK(!budget.refused, "a refused lookup that the search did without is no refusal");
    } else {
      CHECK(attr < 0, "the search fails without memory");
      CHECK(budget.refused, "a search that failed without memory is a refusal");
    }
    if (attr >= 0) H5Aclose(attr);
    H5Fclose(file);
  }
  free(image);
}

int main(int argc, char **argv) {
  H5Eset_auto2(H5E_DEFAULT, NULL, NULL);
  duplicate_names();
  undecodable();
  written();
  refused_lookup();
  if (argc > 1) timed(atoi(argv[1]));
  if (failures == 0) printf("attribute lookups as before\n");
  return failures == 0 ? 0 : 1;
}
