#include "platform/memory.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace Memory {

void returnFreedPages() {
#ifdef __GLIBC__
  malloc_trim(0);
#endif
}

void limitArenas() {
#ifdef __GLIBC__
  mallopt(M_ARENA_MAX, 4);
#endif
}

}  // namespace Memory
