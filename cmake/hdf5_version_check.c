/* Configure-time check: the HDF5 headers found belong to the library found. */
#include <hdf5.h>
#include <stdio.h>

int main(void) {
  unsigned major = 0, minor = 0, release = 0;
  if (H5get_libversion(&major, &minor, &release) < 0) return 2;
  printf("%u.%u.%u", major, minor, release);
  return major == H5_VERS_MAJOR && minor == H5_VERS_MINOR && release == H5_VERS_RELEASE ? 0 : 1;
}
