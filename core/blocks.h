// Large memory blocks backed by huge pages where the platform gives them.
#pragma once

#include <cstddef>

// Blocks from kBigBlockBytes on are mapped on their own on Linux, 2 MiB
// aligned and marked for transparent huge pages, so that first touch costs
// one fault per 2 MiB instead of one per 4 KiB; smaller blocks, and every
// block on other platforms, come from malloc. The caller keeps the size: it
// decides which kind a block is, so grow and free must be given the size
// the block was made or last grown with.
constexpr size_t kBigBlockBytes = size_t{2} << 20;

// A block of bytes (> 0), not cleared. Null when it cannot be had.
void* big_block_alloc(size_t bytes);

// Grows block (of old_bytes, or null with old_bytes 0) to new_bytes >=
// old_bytes, keeping its contents. Returns the block, which may have moved;
// null when it cannot grow, leaving the old block as it was.
void* big_block_grow(void* block, size_t old_bytes, size_t new_bytes);

// Releases a block of bytes. Null is ignored.
void big_block_free(void* block, size_t bytes);
