// Large memory blocks: mapped with huge pages on Linux, malloc elsewhere.
#include "blocks.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#if defined(__linux__)

static size_t mapped_size(size_t bytes) {
  return (bytes + kBigBlockBytes - 1) & ~(kBigBlockBytes - 1);
}

// An aligned, unused address range of size bytes (a multiple of 2 MiB),
// reserved without access, or null.
static void* reserve_aligned(size_t size) {
  const size_t span = size + kBigBlockBytes;
  void* p = mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(p);
  const uintptr_t aligned = (start + kBigBlockBytes - 1) & ~(kBigBlockBytes - 1);
  if (aligned > start) munmap(p, aligned - start);
  const uintptr_t end = start + span;
  if (end > aligned + size) munmap(reinterpret_cast<void*>(aligned + size), end - aligned - size);
  return reinterpret_cast<void*>(aligned);
}

void* big_block_alloc(size_t bytes) {
  if (bytes < kBigBlockBytes) return malloc(bytes);
  const size_t size = mapped_size(bytes);
  if (size < bytes) return nullptr;  // wrapped
  void* at = reserve_aligned(size);
  if (!at) return nullptr;
  void* p = mmap(at, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
  if (p == MAP_FAILED) {
    munmap(at, size);
    return nullptr;
  }
  madvise(p, size, MADV_HUGEPAGE);  // a hint: without it the block still works
  return p;
}

void* big_block_grow(void* block, size_t old_bytes, size_t new_bytes) {
  if (!block) return big_block_alloc(new_bytes);
  if (new_bytes < kBigBlockBytes) return realloc(block, new_bytes);
  if (old_bytes < kBigBlockBytes) {
    void* grown = big_block_alloc(new_bytes);
    if (!grown) return nullptr;
    memcpy(grown, block, old_bytes);
    free(block);
    return grown;
  }
  const size_t old_size = mapped_size(old_bytes), size = mapped_size(new_bytes);
  if (size < new_bytes) return nullptr;
  if (size == old_size) return block;
  // The pages move to an aligned range without being copied; huge pages
  // stay huge, and the new part is marked as the old one was.
  void* at = reserve_aligned(size);
  if (!at) return nullptr;
  void* p = mremap(block, old_size, size, MREMAP_MAYMOVE | MREMAP_FIXED, at);
  if (p == MAP_FAILED) {
    munmap(at, size);
    return nullptr;
  }
  madvise(p, size, MADV_HUGEPAGE);
  return p;
}

void big_block_free(void* block, size_t bytes) {
  if (!block) return;
  if (bytes < kBigBlockBytes) {
    free(block);
  } else {
    munmap(block, mapped_size(bytes));
  }
}

#else

void* big_block_alloc(size_t bytes) {
  return malloc(bytes);
}

void* big_block_grow(void* block, size_t, size_t new_bytes) {
  return realloc(block, new_bytes);
}

void big_block_free(void* block, size_t) {
  free(block);
}

#endif
