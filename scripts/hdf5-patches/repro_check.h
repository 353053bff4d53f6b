/* Checks that count their failures rather than end the reproducer, so that
 * it reports every one that fails. */
#ifndef QR_HDF5_REPRO_CHECK_H
#define QR_HDF5_REPRO_CHECK_H

#include <stdio.h>

static int failures = 0;

#define CHECK(cond, what)                    \
  do {                                       \
    if (!(cond)) {                           \
      fprintf(stderr, "FAILED: %s\n", what); \
      failures++;                            \
    }                                        \
  } while (0)

#endif
