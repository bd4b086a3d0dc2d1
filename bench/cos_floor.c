/* The cost floor of similarity: one libm cos call per position. Compiled
   with the module's floating-point flags and called through ctypes; the
   same angles are run `reps` times so that the call overhead vanishes. */
#include <math.h>
#include <stddef.h>

void cos_each(const double *angles, double *out, size_t count, size_t reps) {
  for (size_t r = 0; r < reps; ++r)
    for (size_t i = 0; i < count; ++i) out[i] = cos(angles[i]);
}
