/* Reproducer of h5hf-block-of-another-heap.patch: reads the attributes of
 * one object, then of another whose attribute heap names a block that the
 * first read left in the metadata cache. In
 * python/tests/data/structure/fractal-heap-block-of-another-heap.qrd the root
 * block of /channels/ch0001's heap is the first direct block of the link
 * heap of /channels: unpatched, attribute messages are decoded from links
 * (a READ past the block under the sanitizers, "bad version number" by luck
 * without them). In ...-wrong-value.qrd it is the direct block of
 * /channels/ch0000's heap: unpatched, the read succeeds with ch0000's values.
 *
 *   cc -o repro h5hf-block-of-another-heap.c -I$PREFIX/include $PREFIX/lib/libhdf5.a -lz -lm
 *   ./repro python/tests/data/structure/fractal-heap-block-of-another-heap.qrd /channels/ch0000 /channels/ch0001
 *
 * Exits 1 unless the first object's attributes read, the second's are
 * refused by the heap and the file then closes.
 *
 * Without arguments, the same for indirect blocks, on a heap of a file it
 * writes whose root indirect block has rows of indirect blocks: an entry of
 * the first of those rows names the root itself (unpatched: the lookup goes
 * round for ever; the program gives up after a minute), another heap's root
 * indirect block (SIGSEGV), and the child indirect block there says it is at
 * the heap's offset 0, the root's (SIGSEGV). Exits 1 unless each read is
 * refused by the heap. */
#include <string.h>
#include <unistd.h>

#include "repro.h"

static herr_t read_attribute(hid_t object, const char *name, const H5A_info_t *info, void *data) {
  (void)info;
  (void)data;
  hid_t attr = H5Aopen(object, name, H5P_DEFAULT);
  hid_t type = H5Aget_type(attr);
  hid_t space = H5Aget_space(attr);
  hssize_t count = H5Sget_simple_extent_npoints(space);
  size_t size = H5Tget_size(type);
  herr_t status = -1;
  if (attr >= 0 && count >= 0 && size > 0) {
    void *values = calloc((size_t)count + 1, size);
    status = H5Aread(attr, type, values);
    if (status >= 0) H5Treclaim(type, space, H5P_DEFAULT, values);
    free(values);
  }
  H5Sclose(space);
  H5Tclose(type);
  H5Aclose(attr);
  return status;
}

/* Reads every attribute of `path`: 1 when they read, 0 when the heap refused
 * them, -1 when something else failed. */
static int read_attributes(hid_t file, const char *path) {
  hid_t object = H5Oopen(file, path, H5P_DEFAULT);
  if (object < 0) return -1;
  herr_t status = H5Aiterate2(object, H5_INDEX_NAME, H5_ITER_INC, NULL, read_attribute, NULL);
  hid_t major = -1;
  if (status < 0) H5Ewalk2(H5E_DEFAULT, H5E_WALK_UPWARD, repro_innermost_major_cb, &major);
  H5Eclear2(H5E_DEFAULT);
  H5Oclose(object);
  return status >= 0 ? 1 : major == H5E_HEAP ? 0 : -1;
}

static uint64_t get_le(const unsigned char *p, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | p[i];
  return value;
}

static void put_le(unsigned char *p, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i, value >>= 8) p[i] = (unsigned char)value;
}

/* A fractal heap of the image, as far as the edits need it. */
typedef struct {
  uint64_t man_size, root;
  unsigned width, off_bytes;
} heap_t;

static heap_t heap_at(const unsigned char *image, size_t header) {
  heap_t heap = {get_le(image + header + 46, 8), get_le(image + header + 132, 8),
                 (unsigned)get_le(image + header + 110, 2), ((unsigned)get_le(image + header + 128, 2) + 7) / 8};
  return heap;
}

/* The size of the indirect block at `at`: the one whose checksum holds. */
static size_t iblock_size(const unsigned char *image, size_t size, const heap_t *heap, uint64_t at) {
  for (size_t rows = 1; rows <= 64; ++rows) {
    size_t length = 13 + heap->off_bytes + rows * heap->width * 8 + 4;
    if (at + length > size) break;
    if (H5_checksum_metadata(image + at, length - 4, 0) == get_le(image + at + length - 4, 4)) return length;
  }
  exit(2);
}

static void sign_iblock(unsigned char *image, size_t length, uint64_t at) {
  repro_sign(image + at, length - 4);
}

/* A file whose /deep heap has indirect rows in its root block, and whose
 * /other heap has a root indirect block of its own. */
static unsigned char *make_image(size_t *size) {
  hid_t file = repro_create_image();
  /* (tracked creation order: a version 2 header, whose attributes past
   * eight go to a heap) */
  hid_t gcpl = H5Pcreate(H5P_GROUP_CREATE);
  H5Pset_attr_creation_order(gcpl, H5P_CRT_ORDER_TRACKED);
  static double values[480];
  hsize_t dims[2] = {480, 12};
  const char *groups[2] = {"deep", "other"};
  const int attributes[2] = {170, 40};
  for (int g = 0; g < 2; ++g) {
    hid_t group = H5Gcreate2(file, groups[g], H5P_DEFAULT, gcpl, H5P_DEFAULT);
    hid_t space = H5Screate_simple(1, &dims[g], NULL);
    for (int i = 0; i < attributes[g]; ++i) {
      char name[16];
      snprintf(name, sizeof name, "a%03d", i);
      hid_t attr = H5Acreate2(group, name, H5T_IEEE_F64LE, space, H5P_DEFAULT, H5P_DEFAULT);
      values[0] = i;
      H5Awrite(attr, H5T_NATIVE_DOUBLE, values);
      H5Aclose(attr);
    }
    H5Sclose(space);
    H5Gclose(group);
  }
  H5Pclose(gcpl);
  return repro_take_image(file, size);
}

static int indirect_block_cases(void) {
  size_t size;
  H5Eset_auto2(H5E_DEFAULT, NULL, NULL);
  unsigned char *image = make_image(&size);
  /* The heap with the most managed space is /deep's; the other one /other's */
  heap_t deep = {0}, other = {0};
  for (size_t at = 0; at + 146 <= size; ++at)
    if (memcmp(image + at, "FRHP", 4) == 0) {
      heap_t heap = heap_at(image, at);
      if (heap.man_size > deep.man_size) {
        other = deep;
        deep = heap;
      } else if (heap.man_size > other.man_size)
        other = heap;
    }
  if (deep.man_size == 0 || other.man_size == 0) exit(2);
  size_t root_length = iblock_size(image, size, &deep, deep.root);
  /* The first entry of the first row of indirect blocks (8 rows of direct
   * blocks: 1 KB, then up to 64 KB) */
  size_t entry = deep.root + 13 + deep.off_bytes + 8 * 8 * deep.width;
  uint64_t child = get_le(image + entry, 8);
  if (child + 4 > size || memcmp(image + child, "FHIB", 4) != 0) exit(2);
  size_t child_length = iblock_size(image, size, &deep, child);

  const char *names[3] = {"names the root block itself", "names another heap's root block",
                          "has a child at the root's offset"};
  int failures = 0;
  for (int c = 0; c < 3; ++c) {
    unsigned char *edited = malloc(size);
    memcpy(edited, image, size);
    if (c == 0) put_le(edited + entry, deep.root, 8);
    if (c == 1) put_le(edited + entry, other.root, 8);
    if (c < 2) sign_iblock(edited, root_length, deep.root);
    if (c == 2) {
      put_le(edited + child + 13, 0, deep.off_bytes);
      sign_iblock(edited, child_length, child);
    }
    hid_t file = repro_open_image(edited, size);
    int other_read = read_attributes(file, "/other");
    int read = read_attributes(file, "/deep");
    herr_t closed = H5Fclose(file);
    printf("a root indirect block that %s: /deep's attributes %s; the file %s\n", names[c],
           read > 0 ? "read" : read == 0 ? "are refused by the heap" : "fail elsewhere",
           closed < 0 ? "fails to close" : "closes");
    failures += other_read != 1 || read != 0 || closed < 0;
    free(edited);
  }
  free(image);
  return failures ? 1 : 0;
}

int main(int argc, char **argv) {
  /* (unpatched, a walk that comes back to its block never ends) */
  alarm(60);
  if (argc == 1) return indirect_block_cases();
  void *image;
  hid_t file = repro_open_argument(argc, argv, "IMAGE FIRST SECOND", &image);
  int first = read_attributes(file, argv[2]);
  int second = read_attributes(file, argv[3]);
  herr_t closed = H5Fclose(file);
  free(image);
  printf("%s's attributes %s; %s's %s; the file %s\n", argv[2], first > 0 ? "read" : "fail", argv[3],
         second > 0 ? "read" : second == 0 ? "are refused by the heap" : "fail elsewhere",
         closed < 0 ? "fails to close" : "closes");
  return first > 0 && second == 0 && closed >= 0 ? 0 : 1;
}
