// Pushing a buffer out of every core's caches, for memory that one core
// fills and another reads: once the reader is done, evicted lines let the
// writer take them back from memory instead of asking the other core to
// give them up, which costs more where the two share no cache.

#ifndef MORVELA_STREAM_CACHE_LINES_H_
#define MORVELA_STREAM_CACHE_LINES_H_

#include <cstddef>

namespace morvela {

// True where `EvictCacheLines` does anything (x86-64 with CLFLUSHOPT).
bool CanEvictCacheLines();

// Writes back and evicts every cache line of [data, data + size) from
// every cache. A hint only: the memory's contents are unchanged.
void EvictCacheLines(const char* data, size_t size);

}  // namespace morvela

#endif  // MORVELA_STREAM_CACHE_LINES_H_
