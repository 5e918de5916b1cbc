// Storage of a frame queue: a ring of fixed-size chunks in which whole records are written
// and read back in FIFO order. A record spans as many chunks as it needs; the last one is
// marked. The free chunks always form one run starting at the write cursor, so the pool
// grows by inserting chunks right after that cursor without disturbing stored records.
// Used by CFrameQueue (one pool per queue).
#pragma once

#include <cstdint>
#include <memory>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"

namespace scheduler {

// State of one chunk of a CChunkPool.
struct ChunkDescriptor {
  uint8_t inUse = 0;    // 1 = holds bytes of a stored record
  uint8_t last = 0;     // 1 = final chunk of its record
  uint16_t length = 0;  // bytes used in the chunk
  std::unique_ptr<uint8_t[]> data;
};

class CChunkPool {
 public:
  // chunkSize is clamped to 1..65535 (a descriptor's length is 16 bits).
  CChunkPool(uint32_t chunkSize, int32_t count);
  ~CChunkPool();
  CChunkPool(const CChunkPool&) = delete;
  CChunkPool& operator=(const CChunkPool&) = delete;

  // 1 when the whole record is stored; 0 when it does not fit and grow is 0, or when the
  // memory for growing cannot be had.
  int32_t Write(const void* source, uint32_t length, int32_t grow) EXCLUDES(lock_);
  // 1 with one whole record copied to destination and its length stored through capacity;
  // 0 when no record is stored. A record longer than *capacity is consumed and dropped
  // (0 is returned) rather than written past the destination.
  int32_t Read(void* destination, uint32_t* capacity) EXCLUDES(lock_);
  int32_t HasData() const EXCLUDES(lock_);
  // Frees every chunk; the ring keeps its size.
  void Reset() EXCLUDES(lock_);

  int32_t FreeCount() const EXCLUDES(lock_);
  int32_t UsedCount() const EXCLUDES(lock_);
  // Chunks in the ring (the construction count plus every growth).
  int32_t ChunkCount() const EXCLUDES(lock_);
  uint32_t ChunkSize() const { return chunkSize_; }

 private:
  struct Node {
    Node* prev = nullptr;
    Node* next = nullptr;
    ChunkDescriptor descriptor;
  };

  // A complete node (descriptor and buffer) or an exception; never half a node.
  std::unique_ptr<Node> NewNode() const;
  void InsertAfter(Node* position, Node* node) REQUIRES(lock_);
  // The cursor moved off the sentinel.
  Node* Settle(Node* cursor) const REQUIRES(lock_);

  int32_t freeCount_ GUARDED_BY(lock_) = 0;
  int32_t usedCount_ GUARDED_BY(lock_) = 0;
  const int32_t growthStep_;
  const uint32_t chunkSize_;
  mutable platform::Mutex lock_;
  Node sentinel_;
  int32_t chunkCount_ GUARDED_BY(lock_) = 0;
  Node* writeCursor_ GUARDED_BY(lock_);
  Node* readCursor_ GUARDED_BY(lock_);
};

}  // namespace scheduler
