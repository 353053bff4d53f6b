/* Reproducer of h5hf-heap-parameters.patch: writes a file whose group
 * /small keeps its attributes in a fractal heap with a root indirect block,
 * then reads them back with one field of the heap's header edited (and the
 * header's checksum made to hold), each to a value that HDF5 never writes:
 *   - table width 0 or 3, starting block size 0, 3 or 32 bytes (unpatched:
 *     SIGSEGV, SIGFPE; under the sanitizers heap-buffer-overflow READs);
 *   - maximum heap size 0 or 11 bits, below the first row's blocks, or 64
 *     (an allocation of 2^32 rows, a table read past its end);
 *   - 30 root block rows, past the 29 of the table; a heap size past what
 *     its offsets address; an ID length of 0; a largest managed object past
 *     the largest direct block;
 *   - an ID length of 17, with which a huge object's ID holds its address
 *     and length: the 8-byte IDs of attributes are read past their end,
 *     and the length read is allocated (under the sanitizers: "requested
 *     allocation size exceeds maximum supported size").
 *
 *   cc -o repro h5hf-heap-parameters.c -I$PREFIX/include $PREFIX/lib/libhdf5.a -lz -lm
 *   ./repro
 *
 * Exits 1 unless the unedited file reads and every edited one is refused
 * by the heap, and closes. */
#include <string.h>

#include "repro.h"

/* Fields of a fractal heap header (8-byte addresses and lengths) */
enum {
  ID_LEN = 5,
  MAX_MAN_SIZE = 10,
  MAN_SIZE = 46,
  WIDTH = 110,
  START_BLOCK = 112,
  MAX_DIRECT = 120,
  MAX_INDEX = 128,
  CURR_ROOT_ROWS = 140,
  CHECKSUM = 142
};

static const struct {
  const char *what;
  int field, bytes;
  uint64_t value;
} cases[] = {
    {"table width 0", WIDTH, 2, 0},
    {"table width 3", WIDTH, 2, 3},
    {"starting block size 0", START_BLOCK, 8, 0},
    {"starting block size 3", START_BLOCK, 8, 3},
    {"starting block size 32", START_BLOCK, 8, 32},
    {"maximum heap size 0 bits", MAX_INDEX, 2, 0},
    {"maximum heap size 11 bits", MAX_INDEX, 2, 11},
    {"maximum heap size 64 bits", MAX_INDEX, 2, 64},
    {"30 root block rows", CURR_ROOT_ROWS, 2, 30},
    {"heap size 2^40 + 1", MAN_SIZE, 8, ((uint64_t)1 << 40) + 1},
    {"ID length 0", ID_LEN, 2, 0},
    {"ID length 17", ID_LEN, 2, 17},
    {"largest managed object 2^32 - 1", MAX_MAN_SIZE, 4, 0xffffffff},
};

static herr_t read_attribute(hid_t object, const char *name, const H5A_info_t *info, void *data) {
  (void)info;
  (void)data;
  static double values[600];
  hid_t attr = H5Aopen(object, name, H5P_DEFAULT);
  herr_t status = attr < 0 ? -1 : H5Aread(attr, H5T_NATIVE_DOUBLE, values);
  H5Aclose(attr);
  return status;
}

/* 1 when the attributes of /small read, 0 when the heap refused them, -1
 * when something else failed; *closed is whether the file then closed. */
static int read_image(const unsigned char *image, size_t size, int *closed) {
  hid_t file = repro_open_image(image, size);
  if (file < 0) return -1;
  hid_t group = H5Gopen2(file, "/small", H5P_DEFAULT);
  herr_t status = group < 0 ? -1 : H5Aiterate2(group, H5_INDEX_NAME, H5_ITER_INC, NULL, read_attribute, NULL);
  hid_t major = -1;
  if (status < 0) H5Ewalk2(H5E_DEFAULT, H5E_WALK_UPWARD, repro_innermost_major_cb, &major);
  H5Eclear2(H5E_DEFAULT);
  H5Gclose(group);
  *closed = H5Fclose(file) >= 0;
  return status >= 0 ? 1 : major == H5E_HEAP ? 0 : -1;
}

static void put_le(unsigned char *p, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i, value >>= 8) p[i] = (unsigned char)value;
}

int main(void) {
  H5Eset_auto2(H5E_DEFAULT, NULL, NULL);
  /* 40 attributes of 12 doubles: a heap of two 1 KB rows (tracked creation
   * order: a version 2 header, whose attributes past eight go to a heap) */
  hid_t file = repro_create_image();
  hid_t gcpl = H5Pcreate(H5P_GROUP_CREATE);
  H5Pset_attr_creation_order(gcpl, H5P_CRT_ORDER_TRACKED);
  hid_t group = H5Gcreate2(file, "small", H5P_DEFAULT, gcpl, H5P_DEFAULT);
  hsize_t dims = 12;
  hid_t space = H5Screate_simple(1, &dims, NULL);
  double values[12] = {0};
  for (int i = 0; i < 40; ++i) {
    char name[16];
    snprintf(name, sizeof name, "a%02d", i);
    hid_t attr = H5Acreate2(group, name, H5T_IEEE_F64LE, space, H5P_DEFAULT, H5P_DEFAULT);
    values[0] = i;
    H5Awrite(attr, H5T_NATIVE_DOUBLE, values);
    H5Aclose(attr);
  }
  H5Sclose(space);
  /* and one past the largest managed object: a huge object, whose heap ID
   * is its key in the heap's B-tree */
  static double huge[600];
  dims = 600;
  space = H5Screate_simple(1, &dims, NULL);
  hid_t attr = H5Acreate2(group, "huge", H5T_IEEE_F64LE, space, H5P_DEFAULT, H5P_DEFAULT);
  H5Awrite(attr, H5T_NATIVE_DOUBLE, huge);
  H5Aclose(attr);
  H5Sclose(space);
  H5Gclose(group);
  H5Pclose(gcpl);
  size_t size;
  unsigned char *image = repro_take_image(file, &size);
  size_t header = 0;
  while (header + CHECKSUM + 4 <= size && memcmp(image + header, "FRHP", 4) != 0) ++header;
  if (header + CHECKSUM + 4 > size) return 2;

  int closed, failures = 0;
  if (read_image(image, size, &closed) != 1 || !closed) {
    printf("the unedited file does not read\n");
    failures++;
  }
  unsigned char *edited = malloc(size);
  for (size_t c = 0; c < sizeof cases / sizeof cases[0]; ++c) {
    memcpy(edited, image, size);
    put_le(edited + header + cases[c].field, cases[c].value, cases[c].bytes);
    repro_sign(edited + header, CHECKSUM);
    fflush(stdout);
    int read = read_image(edited, size, &closed);
    printf("%s: the attributes %s; the file %s\n", cases[c].what,
           read > 0 ? "read" : read == 0 ? "are refused by the heap" : "fail elsewhere",
           closed ? "closes" : "fails to close");
    failures += read != 0 || !closed;
  }
  free(edited);
  free(image);
  return failures ? 1 : 0;
}
