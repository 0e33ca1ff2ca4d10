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

}  // namespace Memory
