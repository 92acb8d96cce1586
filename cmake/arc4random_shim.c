/* Linked into the self-contained module only. The static libstdc++ of GCC 12
   refers to arc4random (std::random_device, which the module never uses),
   and glibc has it only since 2.36: that one reference alone would raise the
   wheel's platform tag from manylinux_2_34 to manylinux_2_36. This hidden
   definition answers it with getentropy (glibc 2.25) instead. */
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

__attribute__((visibility("hidden"))) uint32_t arc4random(void) {
  uint32_t v;
  if (getentropy(&v, sizeof v) != 0) abort();
  return v;
}
