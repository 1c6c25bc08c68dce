// What this process holds of its heap, for tests that show something kept
// for months (a station's runner and relay) does not grow with what passes
// through it. glibc's allocator only: a sanitizer's allocator leaves glibc's
// figures unchanged, and there the tests check nothing.
//
// Threads: any; the figures are the whole process's.
#pragma once
#include <malloc.h>

// Bytes taken from the allocator and not given back, the large blocks it
// maps on their own included.
inline long long HeapInUse() {
  const struct mallinfo2 heap = mallinfo2();
  return static_cast<long long>(heap.uordblks + heap.hblkhd);
}
