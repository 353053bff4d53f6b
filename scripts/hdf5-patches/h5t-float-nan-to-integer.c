/* Test of h5t-float-nan-to-integer.patch: the hard conversions of a NaN
 * from a native floating-point type to a native integer type treat it as
 * the soft conversion does. For several pairs of types, a NaN between two
 * ordinary values:
 *   - without an exception callback, becomes 0;
 *   - goes to the callback as H5T_CONV_EXCEPT_NAN (unpatched, the value is
 *     cast, which is undefined, and the callback hears of a truncation);
 *     the value the callback writes is kept when it handles it, 0 when it
 *     leaves it unhandled, and the conversion fails when it aborts;
 *   - the values beside it convert as before.
 *
 *   cc -o nan h5t-float-nan-to-integer.c -I$PREFIX/include $PREFIX/lib/libhdf5.a -lz -lm
 *   ./nan
 *
 * Exits 1 on the first check that fails. */
#include <math.h>
#include <string.h>

#include "repro.h"

static int failures = 0;

#define CHECK(cond, ...)              \
  do {                                \
    if (!(cond)) {                    \
      fprintf(stderr, "FAILED: ");    \
      fprintf(stderr, __VA_ARGS__);   \
      fprintf(stderr, "\n");          \
      failures++;                     \
    }                                 \
  } while (0)

struct callback {
  H5T_conv_ret_t answer;
  int calls;
  H5T_conv_except_t kind;
};

/* Records the exception; when it handles it, writes 7 as the native
 * integer of the destination's size. */
static H5T_conv_ret_t on_exception(H5T_conv_except_t kind, hid_t src, hid_t dst, void *from, void *to,
                                   void *data) {
  (void)src, (void)from;
  struct callback *seen = data;
  seen->calls++;
  seen->kind = kind;
  if (seen->answer == H5T_CONV_HANDLED) {
    size_t size = H5Tget_size(dst);
    memset(to, 0, size);
    if (size == 1) *(unsigned char *)to = 7;
    else if (size == 2) *(short *)to = 7;
    else if (size == 4) *(int *)to = 7;
    else *(long long *)to = 7;
  }
  return seen->answer;
}

/* The integer at `p` of the native type `type`, as a long long (an
 * unsigned long long above its range reads as negative: only small values
 * are compared). */
static long long integer_at(const void *p, hid_t type) {
  size_t size = H5Tget_size(type);
  int is_signed = H5Tget_sign(type) == H5T_SGN_2;
  if (size == 1) return is_signed ? (long long)*(const signed char *)p : (long long)*(const unsigned char *)p;
  if (size == 2) return is_signed ? (long long)*(const short *)p : (long long)*(const unsigned short *)p;
  if (size == 4) return is_signed ? (long long)*(const int *)p : (long long)*(const unsigned *)p;
  return *(const long long *)p;
}

/* Converts {2, NaN, 3} of `from` to `to` in place; the three results, or
 * -1 when the conversion fails. */
static int convert(hid_t from, hid_t to, struct callback *seen, long long out[3]) {
  unsigned char buffer[3 * 16];
  size_t from_size = H5Tget_size(from), to_size = H5Tget_size(to);
  if (from_size == sizeof(float)) {
    float values[3] = {2.0f, nanf(""), 3.0f};
    memcpy(buffer, values, sizeof values);
  } else if (from_size == sizeof(double)) {
    double values[3] = {2.0, nan(""), 3.0};
    memcpy(buffer, values, sizeof values);
  } else {
    long double values[3] = {2.0L, nanl(""), 3.0L};
    memcpy(buffer, values, sizeof values);
  }
  hid_t dxpl = H5P_DEFAULT;
  if (seen) {
    dxpl = H5Pcreate(H5P_DATASET_XFER);
    H5Pset_type_conv_cb(dxpl, on_exception, seen);
  }
  herr_t status = H5Tconvert(from, to, 3, buffer, NULL, dxpl);
  if (seen) H5Pclose(dxpl);
  if (status < 0) return -1;
  for (int i = 0; i < 3; i++) out[i] = integer_at(buffer + (size_t)i * to_size, to);
  return 0;
}

int main(void) {
  H5Eset_auto2(H5E_DEFAULT, NULL, NULL);
  struct {
    const char *name;
    hid_t from, to;
  } pairs[] = {
      {"float to long", H5T_NATIVE_FLOAT, H5T_NATIVE_LONG},
      {"double to unsigned long", H5T_NATIVE_DOUBLE, H5T_NATIVE_ULONG},
      {"float to unsigned char", H5T_NATIVE_FLOAT, H5T_NATIVE_UCHAR},
      {"float to unsigned long", H5T_NATIVE_FLOAT, H5T_NATIVE_ULONG},
      {"double to int", H5T_NATIVE_DOUBLE, H5T_NATIVE_INT},
      {"double to signed char", H5T_NATIVE_DOUBLE, H5T_NATIVE_SCHAR},
      {"long double to short", H5T_NATIVE_LDOUBLE, H5T_NATIVE_SHORT},
      {"long double to unsigned long long", H5T_NATIVE_LDOUBLE, H5T_NATIVE_ULLONG},
  };
  for (size_t p = 0; p < sizeof pairs / sizeof pairs[0]; p++) {
    const char *name = pairs[p].name;
    long long out[3] = {-9, -9, -9};

    int status = convert(pairs[p].from, pairs[p].to, NULL, out);
    CHECK(status == 0 && out[0] == 2 && out[1] == 0 && out[2] == 3,
          "%s without a callback: NaN gives 0 (status %d, got %lld %lld %lld)", name, status, out[0], out[1],
          out[2]);

    const H5T_conv_ret_t answers[] = {H5T_CONV_UNHANDLED, H5T_CONV_HANDLED, H5T_CONV_ABORT};
    const long long expected[] = {0, 7, 0};
    for (int a = 0; a < 3; a++) {
      struct callback seen = {answers[a], 0, H5T_CONV_EXCEPT_PRECISION};
      out[0] = out[1] = out[2] = -9;
      status = convert(pairs[p].from, pairs[p].to, &seen, out);
      CHECK(seen.calls == 1 && seen.kind == H5T_CONV_EXCEPT_NAN,
            "%s: the callback hears of one NaN (%d calls, the last of kind %d)", name, seen.calls, (int)seen.kind);
      if (answers[a] == H5T_CONV_ABORT) {
        CHECK(status < 0, "%s: an aborted NaN fails the conversion", name);
      } else {
        CHECK(status == 0 && out[0] == 2 && out[1] == expected[a] && out[2] == 3,
              "%s, callback answer %d: NaN gives %lld (status %d, got %lld %lld %lld)", name, (int)answers[a],
              expected[a], status, out[0], out[1], out[2]);
      }
    }
  }
  if (failures == 0) printf("NaN converted to integers as the soft conversion does\n");
  return failures == 0 ? 0 : 1;
}
