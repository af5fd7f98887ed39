// The process-wide size-class arena behind the engine's arena mode.
//
// Requests up to 2048 bytes are served from the classes 16, 32, ..., 2048
// (index ceil(log2((size + 15) / 16))), requests from 2049 to 32768 bytes
// from the classes 4096, 8192, 16384 and 32768 (index 8 + ceil(log2((size -
// 1) / 4096 + 1))). Each class keeps a free list threaded through the first
// word of its free blocks; an empty list is refilled by carving from the
// current 131072-byte chunk, and a chunk with too little left is abandoned
// for a new one from malloc. Chunks are never returned. Larger requests go
// to malloc and free directly. Single-threaded.
#pragma once

#include <cstddef>

namespace kiln::engine {

// Size of the chunks the arena obtains from malloc.
constexpr size_t k_arena_chunk = 131072;

// Largest request served from a size class.
constexpr size_t k_arena_max_class_size = 32768;

// Number of size classes (8 small, 4 large).
constexpr int k_arena_classes = 12;

// Class index of a request of at most 32768 bytes (0 counts as 1).
int arena_class_of(size_t size);

// Block size of a class.
size_t arena_class_size(int class_index);

// A block for the request; aborts when malloc fails for a chunk, returns
// null when malloc fails for a large request.
void* arena_alloc(size_t size);

// Returns a block obtained for size bytes.
void arena_free(void* block, size_t size);

// Moves a block to a new size, copying the smaller of the two sizes; null
// (old block untouched) when the new block cannot be had.
void* arena_resize(void* block, size_t old_size, size_t new_size);

// Blocks waiting on a class's free list (for tests and statistics).
size_t arena_free_count(int class_index);

}  // namespace kiln::engine
