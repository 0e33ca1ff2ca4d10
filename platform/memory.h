// The process's heap, as the C library keeps it.
#pragma once

namespace Memory {

// Hands the whole pages of freed heap memory back to the system. The C library keeps freed
// memory for reuse and returns only what lies at the heap's end, so a burst of connections or
// commands would otherwise leave its memory resident. Costs a walk of the heap's free lists:
// call it after a burst, not per allocation. Any thread.
void returnFreedPages();

// Bounds the C library's heaps to four. Each of many command threads would otherwise get a heap
// of its own and keep in it the largest answer it ever built (megabytes for thousands of
// discoveries); four bound what stays resident without making the threads wait for one
// another. Call once, at start, before other threads run.
void limitArenas();

}  // namespace Memory
