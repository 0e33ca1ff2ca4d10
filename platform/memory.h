// The process's heap, as the C library keeps it.
#pragma once

namespace Memory {

// Hands the whole pages of freed heap memory back to the system. The C library keeps freed
// memory for reuse and returns only what lies at the heap's end, so a burst of connections or
// commands would otherwise leave its memory resident. Costs a walk of the heap's free lists:
// call it after a burst, not per allocation. Any thread.
void returnFreedPages();

}  // namespace Memory
