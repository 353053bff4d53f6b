/* Files in memory, as the reproducers of our HDF5 patches use them: an image
 * read from disk or written by the program, opened through the core driver. */
#ifndef QR_HDF5_REPRO_H
#define QR_HDF5_REPRO_H

#include <hdf5.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

/* The library's checksum of metadata (lookup3, initial value 0;
 * H5private.h), to sign again what a reproducer edits. */
H5_DLL uint32_t H5_checksum_metadata(const void *data, size_t len, uint32_t initval);

/* H5Ewalk2's callback: the innermost message of the library's error stack
 * into `text` (256 bytes). */
static inline herr_t repro_innermost_cb(unsigned n, const H5E_error2_t *error, void *text) {
  if (n == 0) snprintf((char *)text, 256, "%s", error->desc ? error->desc : "");
  return 0;
}

/* H5Ewalk2's callback: the major error number of the innermost error into
 * `major` (an hid_t). */
static inline herr_t repro_innermost_major_cb(unsigned n, const H5E_error2_t *error, void *major) {
  if (n == 0) *(hid_t *)major = error->maj_num;
  return 0;
}

/* Writes the checksum of the `length` bytes at `at` after them. */
static inline void repro_sign(unsigned char *at, size_t length) {
  uint32_t sum = H5_checksum_metadata(at, length, 0);
  for (int i = 0; i < 4; i++) at[length + (size_t)i] = (unsigned char)(sum >> (8 * i));
}

/* The whole file at `path`; the program exits 2 when it cannot be read. */
static inline void *repro_read_file(const char *path, size_t *size) {
  FILE *in = fopen(path, "rb");
  if (in == NULL) exit(2);
  fseek(in, 0, SEEK_END);
  *size = (size_t)ftell(in);
  rewind(in);
  void *image = malloc(*size);
  if (image == NULL || fread(image, 1, *size, in) != *size) exit(2);
  fclose(in);
  return image;
}

/* A new file that lives in memory only, in the file formats from `low` to
 * `high`. */
static inline hid_t repro_create_image_in(H5F_libver_t low, H5F_libver_t high) {
  hid_t fapl = H5Pcreate(H5P_FILE_ACCESS);
  H5Pset_fapl_core(fapl, (size_t)1 << 20, 0);
  H5Pset_libver_bounds(fapl, low, high);
  hid_t file = H5Fcreate("image", H5F_ACC_TRUNC, H5P_DEFAULT, fapl);
  H5Pclose(fapl);
  return file;
}

/* A new file that lives in memory only, in the library's default formats. */
static inline hid_t repro_create_image(void) {
  return repro_create_image_in(H5F_LIBVER_EARLIEST, H5F_LIBVER_LATEST);
}

/* The image of `file`, which is closed; its size in `*size`. */
static inline void *repro_take_image(hid_t file, size_t *size) {
  H5Fflush(file, H5F_SCOPE_GLOBAL);
  ssize_t length = H5Fget_file_image(file, NULL, 0);
  void *image = length > 0 ? malloc((size_t)length) : NULL;
  if (image == NULL || H5Fget_file_image(file, image, (size_t)length) != length) exit(2);
  H5Fclose(file);
  *size = (size_t)length;
  return image;
}

/* `image` opened read-only; closing the file closes what is still open in
 * it. A negative ID when the library refuses the file (or, under a budget,
 * the memory to open it). */
static inline hid_t repro_open_image(const void *image, size_t size) {
  hid_t fapl = H5Pcreate(H5P_FILE_ACCESS);
  if (fapl < 0) return -1;
  H5Pset_fapl_core(fapl, (size_t)1 << 20, 0);
  H5Pset_file_image(fapl, (void *)(uintptr_t)image, size);
  H5Pset_fclose_degree(fapl, H5F_CLOSE_STRONG);
  hid_t file = H5Fopen("image", H5F_ACC_RDONLY, fapl);
  H5Pclose(fapl);
  return file;
}

/* The image named by the first argument; `usage` names the arguments. The
 * program exits 2 when there are not as many as it names. */
static inline void *repro_read_argument(int argc, char **argv, const char *usage, size_t *size) {
  int words = 1;
  for (const char *c = usage; *c; ++c) words += *c == ' ';
  if (argc != words + 1) {
    fprintf(stderr, "usage: %s %s\n", argv[0], usage);
    exit(2);
  }
  return repro_read_file(argv[1], size);
}

/* The same image, opened with the library's error printing off; the program
 * exits 2 when it does not open. */
static inline hid_t repro_open_argument(int argc, char **argv, const char *usage, void **image) {
  size_t size;
  *image = repro_read_argument(argc, argv, usage, &size);
  H5Eset_auto2(H5E_DEFAULT, NULL, NULL);
  hid_t file = repro_open_image(*image, size);
  if (file < 0) exit(2);
  return file;
}

#ifdef H5MM_HAS_BUDGET
/* One use of an image: a result of the program's choosing. */
typedef int (*repro_step_t)(const void *image, size_t size, const char *path);

/* Runs `step` `warmup` times, then `times` times with each block the library
 * takes and gives back counted (h5mm-memory-budget.patch); the bytes it holds
 * afterwards, its free lists emptied before and after, and the last result in
 * `*last`. */
static inline long long repro_bytes_kept(repro_step_t step, const void *image, size_t size, const char *path,
                                         int warmup, int times, int *last) {
  for (int i = 0; i < warmup; ++i) step(image, size, path);
  H5garbage_collect();
  H5MM_budget_t counting = {.limit = SIZE_MAX};
  H5MMset_budget(&counting);
  for (int i = 0; i < times; ++i) *last = step(image, size, path);
  H5garbage_collect();
  H5MMget_budget(&counting);
  H5MM_budget_t off = {.limit = 0};
  H5MMset_budget(&off);
  return counting.held;
}
#endif

#endif
