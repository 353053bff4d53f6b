/* Reproducer of h5-failed-allocation-cleanup.patch: a read that the memory
 * budget (h5mm-memory-budget.patch) stops part-way ends in an error, never in
 * a crash.
 *
 * The program writes, in memory, a file that takes a reader through most of
 * what the library decodes: groups in the earliest format (symbol tables,
 * local heaps, version-1 B-trees) and in the newer one with dense storage
 * (link and attribute messages in fractal heaps, version-2 B-trees), chunked
 * and deflated, contiguous and compact datasets, variable-length string,
 * fixed string and float attributes. It reads all of it again and again,
 * under budgets from 1 KiB up to what a whole read takes, so that each of the
 * read's allocations is in turn among the first refused:
 * - with the reserve for small allocations that readers use, so that only
 *   large allocations are refused: each read must give the values of an
 *   unbounded read or fail, and leave nothing open;
 * - with no reserve, so that every allocation may be refused, the cleanup's
 *   own included: each read must end, in a value or an error.
 * Opening a group and an attribute under every budget, an open that fails in
 * registering the object's ID must leave nothing held. (A dataset's open holds
 * more on its way than when it registers the ID, so that no budget refuses
 * that first; it registers through the same function.)
 * And writing: dense attribute storage created under every budget, in a file
 * that already has free space to give, then more written without a limit; a
 * creation that failed in setting up a v2 B-tree header must leave a file that
 * reads back. (Writes under a budget crash elsewhere, in paths a read never
 * takes: each runs in a child process, and only those that failed there
 * count.)
 * Unpatched, the library crashes within the first hundred budgets: it frees
 * pointers it never set (a B-tree node's child addresses, a property's shared
 * name, a v2 B-tree header twice), dereferences what it failed to allocate (a
 * new file's cache, its shared part, a dataspace's dimensions, a datatype),
 * closes the location instead of the object it just opened when registering
 * the object's ID fails, and inserts into hash tables without noticing that
 * the insertion failed. An ID that could not be registered kept the object's
 * VOL wrapper and its connector reference; a v2 B-tree header that could not
 * be set up gave back file space at address 0, the superblock's, which the
 * next B-tree header of its size was then written over.
 *
 *   cc -o repro h5-failed-allocation-cleanup.c -I$PREFIX/include $PREFIX/lib/libhdf5.a -lz -lm
 *   ./repro
 *
 * Exits 1 unless all of that holds. */
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "repro.h"

#define MIB ((size_t)1 << 20)
#define STEPS 2000

/* ------------------------------------------------------------------------ */
/* The file */

static void text_attribute(hid_t object, const char *name, const char *value) {
  hid_t type = H5Tcopy(H5T_C_S1), space = H5Screate(H5S_SCALAR);
  H5Tset_size(type, H5T_VARIABLE);
  hid_t attribute = H5Acreate2(object, name, type, space, H5P_DEFAULT, H5P_DEFAULT);
  H5Awrite(attribute, type, &value);
  H5Aclose(attribute);
  H5Sclose(space);
  H5Tclose(type);
}

static void fixed_attribute(hid_t object, const char *name, const char *value) {
  hid_t type = H5Tcopy(H5T_C_S1), space = H5Screate(H5S_SCALAR);
  H5Tset_size(type, strlen(value));
  hid_t attribute = H5Acreate2(object, name, type, space, H5P_DEFAULT, H5P_DEFAULT);
  H5Awrite(attribute, type, value);
  H5Aclose(attribute);
  H5Sclose(space);
  H5Tclose(type);
}

static void float_attribute(hid_t object, const char *name, double value) {
  hid_t space = H5Screate(H5S_SCALAR);
  hid_t attribute = H5Acreate2(object, name, H5T_IEEE_F64LE, space, H5P_DEFAULT, H5P_DEFAULT);
  H5Awrite(attribute, H5T_NATIVE_DOUBLE, &value);
  H5Aclose(attribute);
  H5Sclose(space);
}

/* A dataset of `n` 32-bit integers i * scale, laid out as `layout` says. */
static void dataset(hid_t group, const char *name, H5D_layout_t layout, hsize_t n, int scale) {
  int *values = malloc(n * sizeof *values);
  for (hsize_t i = 0; i < n; ++i) values[i] = (int)i * scale;
  hid_t space = H5Screate_simple(1, &n, NULL), dcpl = H5Pcreate(H5P_DATASET_CREATE);
  H5Pset_layout(dcpl, layout);
  if (layout == H5D_CHUNKED) {
    hsize_t chunk = n / 8;
    H5Pset_chunk(dcpl, 1, &chunk);
    H5Pset_shuffle(dcpl);
    H5Pset_deflate(dcpl, 6);
  }
  hid_t d = H5Dcreate2(group, name, H5T_STD_I32LE, space, H5P_DEFAULT, dcpl, H5P_DEFAULT);
  H5Dwrite(d, H5T_NATIVE_INT, H5S_ALL, H5S_ALL, H5P_DEFAULT, values);
  H5Dclose(d);
  H5Pclose(dcpl);
  H5Sclose(space);
  free(values);
}

static void *make_image(size_t *size) {
  hid_t file = repro_create_image();
  text_attribute(file, "title", "a file read under every budget");
  fixed_attribute(file, "fixed", "sixteen bytes ok");
  float_attribute(file, "scale", 0.5);

  hid_t old = H5Gcreate2(file, "old", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
  dataset(old, "chunked", H5D_CHUNKED, 4096, 3);
  dataset(old, "contiguous", H5D_CONTIGUOUS, 512, 5);
  dataset(old, "compact", H5D_COMPACT, 64, 7);
  text_attribute(old, "note", "symbol table");
  H5Gclose(old);

  /* Tracked creation order and more members than the compact limit: dense
   * storage of links and attributes. */
  hid_t gcpl = H5Pcreate(H5P_GROUP_CREATE);
  H5Pset_link_creation_order(gcpl, H5P_CRT_ORDER_TRACKED | H5P_CRT_ORDER_INDEXED);
  H5Pset_attr_creation_order(gcpl, H5P_CRT_ORDER_TRACKED | H5P_CRT_ORDER_INDEXED);
  hid_t dense = H5Gcreate2(file, "dense", H5P_DEFAULT, gcpl, H5P_DEFAULT);
  char name[32];
  for (int i = 0; i < 12; ++i) {
    snprintf(name, sizeof name, "member-%02d", i);
    dataset(dense, name, i % 2 ? H5D_CHUNKED : H5D_CONTIGUOUS, 256, i + 1);
    snprintf(name, sizeof name, "text-%02d", i);
    text_attribute(dense, name, name);
    snprintf(name, sizeof name, "float-%02d", i);
    float_attribute(dense, name, i * 1.5);
  }
  H5Gclose(dense);
  H5Pclose(gcpl);

  return repro_take_image(file, size);
}

/* ------------------------------------------------------------------------ */
/* Opening and closing the file alone (what the library holds of it at least),
 * and reading all of it: a sum over every value read, or -1 */

typedef struct {
  unsigned long long sum; /* (wraps) */
  int failed;
} reading_t;

static void add_bytes(reading_t *r, const void *bytes, size_t n) {
  for (size_t i = 0; i < n; ++i) r->sum = r->sum * 31 + ((const unsigned char *)bytes)[i];
}

static herr_t read_attribute(hid_t object, const char *name, const H5A_info_t *info, void *data) {
  (void)info;
  reading_t *r = data;
  hid_t attribute = H5Aopen(object, name, H5P_DEFAULT);
  if (attribute < 0) return -1;
  hid_t type = H5Aget_type(attribute);
  herr_t status = -1;
  if (type >= 0) {
    if (H5Tget_class(type) == H5T_FLOAT) {
      double value;
      if ((status = H5Aread(attribute, H5T_NATIVE_DOUBLE, &value)) >= 0) add_bytes(r, &value, sizeof value);
    } else if (H5Tis_variable_str(type) > 0) {
      char *value = NULL;
      hid_t space = H5Aget_space(attribute);
      if (space >= 0 && (status = H5Aread(attribute, type, &value)) >= 0) {
        add_bytes(r, value, strlen(value));
        H5Treclaim(type, space, H5P_DEFAULT, &value);
      }
      if (space >= 0) H5Sclose(space);
    } else {
      char value[64] = {0};
      size_t size = H5Tget_size(type);
      if (size < sizeof value && (status = H5Aread(attribute, type, value)) >= 0) add_bytes(r, value, size);
    }
    H5Tclose(type);
  }
  H5Aclose(attribute);
  return status < 0 ? -1 : 0;
}

static herr_t read_member(hid_t group, const char *name, const H5L_info2_t *info, void *data) {
  (void)info;
  reading_t *r = data;
  hid_t d = H5Dopen2(group, name, H5P_DEFAULT);
  if (d < 0) return -1;
  herr_t status = -1;
  hid_t space = H5Dget_space(d);
  hssize_t n = space < 0 ? -1 : H5Sget_simple_extent_npoints(space);
  if (n > 0) {
    int *values = malloc((size_t)n * sizeof *values);
    if ((status = H5Dread(d, H5T_NATIVE_INT, H5S_ALL, H5S_ALL, H5P_DEFAULT, values)) >= 0)
      add_bytes(r, values, (size_t)n * sizeof *values);
    free(values);
  }
  if (space >= 0) H5Sclose(space);
  H5Dclose(d);
  return status < 0 ? -1 : 0;
}

/* The group's attributes, and its datasets when it has no other members. */
static int read_group(hid_t file, const char *path, int datasets, reading_t *r) {
  hid_t group = H5Gopen2(file, path, H5P_DEFAULT);
  if (group < 0) return -1;
  hsize_t at = 0;
  int failed = H5Aiterate2(group, H5_INDEX_NAME, H5_ITER_INC, &at, read_attribute, r) < 0;
  at = 0;
  if (datasets) failed |= H5Literate2(group, H5_INDEX_NAME, H5_ITER_INC, &at, read_member, r) < 0;
  H5Gclose(group);
  return failed ? -1 : 0;
}

static long long read_all(const void *image, size_t size, int open_only) {
  reading_t r = {0, 0};
  hid_t file = repro_open_image(image, size);
  if (file < 0) return -1;
  int failed = !open_only && read_group(file, "/", 0, &r) < 0;
  failed |= !open_only && read_group(file, "old", 1, &r) < 0;
  failed |= !open_only && read_group(file, "dense", 1, &r) < 0;
  /* Closing frees memory: it runs without a limit, counted all the same. */
  H5MM_budget_t budget;
  H5MMget_budget(&budget);
  size_t limit = budget.limit;
  budget.limit = limit ? SIZE_MAX : 0;
  H5MMset_budget(&budget);
  H5Fclose(file);
  H5MMget_budget(&budget);
  budget.limit = limit;
  H5MMset_budget(&budget);
  return failed ? -1 : (long long)(r.sum & 0x7fffffffffffffffULL);
}

/* ------------------------------------------------------------------------ */

/* The most the library holds at once while it reads. */
static size_t peak_of(const void *image, size_t size, int open_only) {
  H5MM_budget_t budget = {.limit = SIZE_MAX};
  H5MMset_budget(&budget);
  (void)read_all(image, size, open_only);
  H5MMget_budget(&budget);
  H5MM_budget_t off = {.limit = 0};
  H5MMset_budget(&off);
  return budget.peak;
}

/* ------------------------------------------------------------------------ */
/* Where a failure was */

static herr_t find_failure(unsigned n, const H5E_error2_t *error, void *data) {
  (void)n;
  const char **wanted = data;
  if (wanted[0] && error->func_name && strcmp(error->func_name, wanted[0]) == 0 &&
      (!wanted[1] || (error->desc && strcmp(error->desc, wanted[1]) == 0)))
    wanted[0] = NULL;
  return 0;
}

/* Whether the error stack holds `function`'s error `text` (any, if null). */
static int failed_in(const char *function, const char *text) {
  const char *wanted[2] = {function, text};
  H5Ewalk2(H5E_DEFAULT, H5E_WALK_DOWNWARD, find_failure, wanted);
  return wanted[0] == NULL;
}

/* ------------------------------------------------------------------------ */
/* An open whose ID could not be registered */

typedef hid_t (*open_t)(hid_t file);
static hid_t open_group(hid_t file) { return H5Gopen2(file, "dense", H5P_DEFAULT); }
static hid_t open_attribute(hid_t file) { return H5Aopen(file, "scale", H5P_DEFAULT); }

/* Opens under budgets from 8 bytes up until the open succeeds, each with
 * nothing in the free lists and no reserve; an open that failed in
 * registering its ID must leave no byte held (what it freed of what was
 * allocated before counts as negative). The number of faults. */
static int open_leaves_nothing(const void *image, size_t size, open_t open, const char *what) {
  hid_t file = repro_open_image(image, size);
  if (file < 0) return 1;
  /* What the open reads stays in the cache */
  H5Idec_ref(open(file));
  int cases = 0, failures = 0;
  for (size_t limit = 8;; limit += 8) {
    H5garbage_collect();
    H5MM_budget_t budget = {.limit = limit};
    H5MMset_budget(&budget);
    hid_t id = open(file);
    int registering = id < 0 && failed_in("H5VL_register", NULL);
    H5MMget_budget(&budget);
    budget.limit = SIZE_MAX;
    H5MMset_budget(&budget);
    if (id >= 0) H5Idec_ref(id);
    H5garbage_collect();
    H5MMget_budget(&budget);
    H5MM_budget_t off = {.limit = 0};
    H5MMset_budget(&off);
    if (registering) {
      ++cases;
      if (budget.held > 0) {
        fprintf(stderr, "%s, limit %zu: registering its ID failed, %lld bytes kept\n", what, limit,
                (long long)budget.held);
        ++failures;
      }
    }
    if (id >= 0) break;
  }
  H5Fclose(file);
  if (cases == 0) {
    fprintf(stderr, "%s: no budget refused registering its ID\n", what);
    ++failures;
  }
  printf("%s: registering its ID refused under %d budgets\n", what, cases);
  return failures;
}

/* ------------------------------------------------------------------------ */
/* A write whose v2 B-tree could not be set up */

/* In a child process: a file with free space to give (a deleted group's
 * header), whose group with dense attributes gets its first attribute under
 * `limit`; then, without a limit, another such group and attributes. Exits 0
 * when the creation did not fail in setting up the v2 B-tree header, 1 when
 * it did and the file reads back with all that was written after, 3 when it
 * does not read back. */
static void write_under(size_t limit) {
  hid_t file = repro_create_image();
  hid_t gcpl = H5Pcreate(H5P_GROUP_CREATE), space = H5Screate(H5S_SCALAR);
  H5Pset_attr_phase_change(gcpl, 0, 0);
  H5Pset_attr_creation_order(gcpl, H5P_CRT_ORDER_TRACKED | H5P_CRT_ORDER_INDEXED);
  hid_t group = H5Gcreate2(file, "first", H5P_DEFAULT, gcpl, H5P_DEFAULT);
  H5Gclose(H5Gcreate2(file, "deleted", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
  H5Gclose(H5Gcreate2(file, "kept", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
  H5Ldelete(file, "deleted", H5P_DEFAULT);
  H5garbage_collect();
  H5MM_budget_t budget = {.limit = limit};
  H5MMset_budget(&budget);
  hid_t attribute = H5Acreate2(group, "a", H5T_STD_I32LE, space, H5P_DEFAULT, H5P_DEFAULT);
  int setting_up = attribute < 0 && failed_in("H5B2__hdr_create", "can't create shared B-tree info");
  H5MM_budget_t off = {.limit = 0};
  H5MMset_budget(&off);
  if (!setting_up) _exit(0);
  hid_t second = H5Gcreate2(file, "second", H5P_DEFAULT, gcpl, H5P_DEFAULT);
  for (int i = 0; i < 3; ++i) {
    char name[16];
    snprintf(name, sizeof name, "b%d", i);
    H5Aclose(H5Acreate2(second, name, H5T_STD_I32LE, space, H5P_DEFAULT, H5P_DEFAULT));
  }
  H5Gclose(second);
  H5Gclose(group);
  H5Sclose(space);
  H5Pclose(gcpl);
  size_t size;
  void *image = repro_take_image(file, &size);
  hid_t again = repro_open_image(image, size);
  H5O_info2_t info;
  int read = again >= 0 && H5Oget_info_by_name3(again, "second", &info, H5O_INFO_NUM_ATTRS, H5P_DEFAULT) >= 0 &&
             info.num_attrs == 3;
  _exit(read ? 1 : 3);
}

static int failed_setup_frees_nothing_else(void) {
  int cases = 0, failures = 0;
  for (size_t limit = 8; limit <= 16384; limit += 8) {
    fflush(NULL);
    pid_t child = fork();
    if (child == 0) write_under(limit);
    int status;
    if (child < 0 || waitpid(child, &status, 0) != child) return failures + 1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 0) continue;
    ++cases;
    if (WEXITSTATUS(status) != 1) {
      fprintf(stderr, "write, limit %zu: setting up a v2 B-tree failed, and the file does not read back\n", limit);
      ++failures;
    }
  }
  if (cases == 0) {
    fprintf(stderr, "write: no budget refused setting up a v2 B-tree\n");
    ++failures;
  }
  printf("write: setting up a v2 B-tree refused under %d budgets\n", cases);
  return failures;
}

int main(void) {
  H5Eset_auto2(H5E_DEFAULT, NULL, NULL);
  size_t size;
  void *image = make_image(&size);
  long long expected = read_all(image, size, 0);
  if (expected < 0) return 2;
  /* Most budgets fall where the read has opened the file, a little below
   * the most the file's opening takes (its metadata cache is one large
   * allocation), and the whole read. */
  size_t opened = peak_of(image, size, 1), peak = peak_of(image, size, 0);
  size_t from = opened > 65536 ? opened - 65536 : 1024;
  int failures = 0;
  for (int reserve = 1; reserve >= 0; --reserve) {
    int refused = 0, read = 0, left_open = 0;
    for (size_t limit = 1024; limit <= peak + 4096; limit += limit < from ? from / 64 : (peak + 4096 - from) / STEPS) {
      H5MM_budget_t bounded = {.limit = limit, .reserve = reserve ? 16 * MIB : 0};
      H5MMset_budget(&bounded);
      long long sum = read_all(image, size, 0);
      H5MMget_budget(&bounded);
      H5MM_budget_t off = {.limit = 0};
      H5MMset_budget(&off);
      if (sum >= 0 && sum != expected) {
        fprintf(stderr, "limit %zu: the read gave other values\n", limit);
        ++failures;
      }
      if (H5Fget_obj_count(H5F_OBJ_ALL, H5F_OBJ_ALL) != 0) {
        ++left_open;
        if (reserve) ++failures;
        /* What one read left open would count against the next. */
        hid_t ids[16];
        ssize_t n = H5Fget_obj_ids(H5F_OBJ_ALL, H5F_OBJ_ALL, 16, ids);
        for (ssize_t i = 0; i < n; ++i) H5Fclose(ids[i]);
      }
      sum >= 0 ? ++read : ++refused;
      if (sum < 0 && !bounded.refused) {
        fprintf(stderr, "limit %zu: the read failed with no allocation refused\n", limit);
        ++failures;
      }
    }
    printf("%s reserve: %d budgets refused, %d read, %d left objects open (peak %zu B)\n", reserve ? "with" : "without",
           refused, read, left_open, peak);
    if (refused == 0 || read == 0) ++failures;
  }
  failures += open_leaves_nothing(image, size, open_group, "group");
  failures += open_leaves_nothing(image, size, open_attribute, "attribute");
  failures += failed_setup_frees_nothing_else();
  free(image);
  return failures == 0 ? 0 : 1;
}
