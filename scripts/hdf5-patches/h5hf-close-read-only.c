/* Test of h5hf-close-read-only.patch: a fractal heap whose header names a
 * tree of huge objects but counts none closes in a file opened read-only,
 * and the file closes after it.
 * The program writes an image whose root group keeps its attributes densely
 * (a fractal heap of their messages), points the heap's huge-object tree at
 * the superblock (the count stays 0) and signs the header again, then:
 *   - read-only: iterating the attributes sees them all, the file closes,
 *     and nothing of it stays open (unpatched, closing the heap tries to
 *     delete the tree, fails, and leaves the heap's header pinned: the
 *     iteration fails, the file does not close, and its ID stays open);
 *   - for writing: the deletion fails as before, and the iteration with
 *     it, but the file still closes (unpatched, it does not).
 *
 *   cc -o huge h5hf-close-read-only.c -I$PREFIX/include $PREFIX/lib/libhdf5.a -lz -lm
 *   ./huge
 *
 * Exits 1 on the first check that fails, 2 when the image is not as
 * expected. */
#include <string.h>

#include "repro.h"
#include "repro_check.h"


enum { ATTRIBUTES = 20 };

static int signed_as(const unsigned char *at, size_t length) {
  uint32_t sum = H5_checksum_metadata(at, length, 0);
  for (int i = 0; i < 4; i++)
    if (at[length + (size_t)i] != (unsigned char)(sum >> (8 * i))) return 0;
  return 1;
}

/* The image of a file of 8-byte addresses and lengths whose root group has
 * ATTRIBUTES attributes in dense storage. */
static unsigned char *make_image(size_t *size) {
  hid_t file = repro_create_image_in(H5F_LIBVER_V18, H5F_LIBVER_V110);
  hid_t scalar = H5Screate(H5S_SCALAR);
  for (int i = 0; i < ATTRIBUTES; i++) {
    char name[16];
    snprintf(name, sizeof name, "attribute%02d", i);
    hid_t attr = H5Acreate2(file, name, H5T_STD_I32LE, scalar, H5P_DEFAULT, H5P_DEFAULT);
    H5Awrite(attr, H5T_NATIVE_INT, &i);
    H5Aclose(attr);
  }
  H5Sclose(scalar);
  unsigned char *image = repro_take_image(file, size);
  /* The image of a file still open does not match the checksum of its
   * version 2 superblock: signed again, as closing the file would */
  repro_sign(image, 44);
  return image;
}

/* The heap header's huge-object tree set to address 0 (the superblock),
 * its count left at 0; 0 when the header is not where and as expected. A
 * header without I/O filters holds, after its 14-byte prefix, the next huge
 * ID and then the tree's address; with 8-byte fields it is 142 bytes before
 * its checksum. */
static int point_huge_tree_at_superblock(unsigned char *image, size_t size) {
  for (size_t at = 0; at + 146 <= size; at++) {
    if (memcmp(image + at, "FRHP", 4) != 0) continue;
    unsigned char *header = image + at;
    if (!signed_as(header, 142)) return 0;
    unsigned char *tree = header + 14 + 8;
    for (int i = 0; i < 8; i++)
      if (tree[i] != 0xFF) return 0;
    memset(tree, 0, 8);
    repro_sign(header, 142);
    return 1;
  }
  return 0;
}

static herr_t count_attribute(hid_t object, const char *name, const H5A_info_t *info, void *data) {
  (void)object, (void)name, (void)info;
  ++*(int *)data;
  return 0;
}

static void open_iterate_close(const unsigned char *image, size_t size, unsigned flags) {
  const int read_only = flags == H5F_ACC_RDONLY;
  hid_t fapl = H5Pcreate(H5P_FILE_ACCESS);
  H5Pset_fapl_core(fapl, 1 << 16, 0);
  H5Pset_file_image(fapl, (void *)(uintptr_t)image, size);
  H5Pset_fclose_degree(fapl, H5F_CLOSE_STRONG);
  hid_t file = H5Fopen("huge-open", flags, fapl);
  H5Pclose(fapl);
  CHECK(file >= 0, "the image opens");
  if (file < 0) return;
  int seen = 0;
  herr_t status = H5Aiterate2(file, H5_INDEX_NAME, H5_ITER_INC, NULL, count_attribute, &seen);
  if (read_only) {
    CHECK(status >= 0 && seen == ATTRIBUTES, "read-only, the attributes are iterated");
  } else {
    CHECK(status < 0, "for writing, the empty tree's deletion fails the iteration");
  }
  CHECK(H5Fclose(file) >= 0, read_only ? "read-only, the file closes" : "for writing, the file closes");
  CHECK(H5Fget_obj_count(H5F_OBJ_ALL, H5F_OBJ_ALL) == 0, "nothing of the file stays open");
}

int main(void) {
  H5Eset_auto2(H5E_DEFAULT, NULL, NULL);
  size_t size;
  unsigned char *image = make_image(&size);
  if (!point_huge_tree_at_superblock(image, size)) {
    fprintf(stderr, "the heap header is not as expected\n");
    return 2;
  }
  open_iterate_close(image, size, H5F_ACC_RDONLY);
  open_iterate_close(image, size, H5F_ACC_RDWR);
  free(image);
  if (failures == 0) printf("heaps with an empty huge-object tree close\n");
  return failures == 0 ? 0 : 1;
}
