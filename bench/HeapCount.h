// Heap bytes held by the program: the usable size of every live block,
// counted where the C library hands blocks out and takes them back, so that
// every reader is counted alike whether it allocates through operator new or
// malloc. The allocator's own statistics count the blocks it keeps cached for
// reuse as held, which hides the memory of small trees.
//
// Include in one source file of a benchmark program only: it replaces the C
// library's allocation entry points for the whole program.
#pragma once

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <malloc.h>
#include <unistd.h>

namespace HeapCount {

inline std::atomic<long long> Held{0};
inline std::atomic<long long> Peak{0};  // the most Held reached since ResetPeak

inline void* Counted(void* Block) {
  if (!Block) return Block;
  const long long Now =
      Held.fetch_add(static_cast<long long>(malloc_usable_size(Block)), std::memory_order_relaxed) +
      static_cast<long long>(malloc_usable_size(Block));
  long long P = Peak.load(std::memory_order_relaxed);
  while (Now > P && !Peak.compare_exchange_weak(P, Now, std::memory_order_relaxed)) {
  }
  return Block;
}

inline void Uncount(void* Block) {
  if (Block) Held.fetch_sub(static_cast<long long>(malloc_usable_size(Block)), std::memory_order_relaxed);
}

inline size_t HeldBytes() { return size_t(Held.load(std::memory_order_relaxed)); }

// The peak restarts from what is held now.
inline void ResetPeak() { Peak.store(Held.load(std::memory_order_relaxed), std::memory_order_relaxed); }

// The most bytes held since ResetPeak, beyond Base.
inline size_t PeakAbove(size_t Base) { return size_t(Peak.load(std::memory_order_relaxed)) - Base; }

}  // namespace HeapCount

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);

void* malloc(size_t Size) noexcept { return HeapCount::Counted(__libc_malloc(Size)); }
void* calloc(size_t Count, size_t Size) noexcept { return HeapCount::Counted(__libc_calloc(Count, Size)); }
void* memalign(size_t Alignment, size_t Size) noexcept {
  return HeapCount::Counted(__libc_memalign(Alignment, Size));
}
void* aligned_alloc(size_t Alignment, size_t Size) noexcept { return memalign(Alignment, Size); }
void* valloc(size_t Size) noexcept { return memalign(size_t(sysconf(_SC_PAGESIZE)), Size); }
void* pvalloc(size_t Size) noexcept {
  const size_t Page = size_t(sysconf(_SC_PAGESIZE));
  return memalign(Page, (Size + Page - 1) / Page * Page);
}
int posix_memalign(void** Block, size_t Alignment, size_t Size) noexcept {
  void* B = memalign(Alignment, Size);
  if (!B) return ENOMEM;
  *Block = B;
  return 0;
}
void free(void* Block) noexcept {
  HeapCount::Uncount(Block);
  __libc_free(Block);
}
void* realloc(void* Block, size_t Size) noexcept {
  const long long Before = Block ? static_cast<long long>(malloc_usable_size(Block)) : 0;
  void* Moved = __libc_realloc(Block, Size);
  if (Moved || Size == 0) HeapCount::Held.fetch_sub(Before, std::memory_order_relaxed);
  return HeapCount::Counted(Moved);
}
}
