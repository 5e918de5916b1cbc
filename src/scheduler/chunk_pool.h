// Storage of a frame queue: a ring of fixed-size chunks in which whole records are written
// and read back in FIFO order. A record spans as many chunks as it needs; the last one is
// marked. The free chunks always form one run starting at the write cursor, so the pool
// grows by inserting chunks right after that cursor without disturbing stored records.
// Used by CFrameQueue (one pool per queue).
//
// A record is written in three steps, so that a producer copies its bytes while holding no
// lock that the reader needs: Reserve takes the chunks under the pool's lock, Fill copies
// into them with no lock held, Commit hands them to Read. Only one producer may hold a
// reservation at a time; a Reset in between voids it.
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
 private:
  struct Node;

 public:
  // Chunks taken by Reserve for one record.
  struct Reservation {
    Node* first = nullptr;
    int32_t chunks = 0;
    uint32_t length = 0;
    uint64_t generation = 0;  // Resets of the pool when it was taken
  };

  // chunkSize is clamped to 1..65535 (a descriptor's length is 16 bits).
  CChunkPool(uint32_t chunkSize, int32_t count);
  ~CChunkPool();
  CChunkPool(const CChunkPool&) = delete;
  CChunkPool& operator=(const CChunkPool&) = delete;

  // 1 with one whole record copied to destination and its length stored through capacity;
  // 0 when no record is stored. A record longer than *capacity is consumed and dropped
  // (0 is returned) rather than written past the destination.
  int32_t Read(void* destination, uint32_t* capacity) EXCLUDES(lock_);
  int32_t HasData() const EXCLUDES(lock_);
  // Length of the record Read would return next; 0 when none is stored.
  uint32_t NextRecordLength() const EXCLUDES(lock_);
  // Copies up to `n` bytes from the start of the record Read would return next, leaving it
  // stored; returns how many (0 when none is stored).
  uint32_t Peek(void* destination, uint32_t n) const EXCLUDES(lock_);

  // 1 with the record's chunks taken from the free run; 0 when fewer than its chunks plus
  // the spare one are free, with *missing = the chunks short (-1 when no growth can help).
  int32_t Reserve(uint32_t length, Reservation* out, int32_t* missing) EXCLUDES(lock_);
  // Adds max(growth step, missing) free chunks after the write cursor, allocated before the
  // lock is taken. false when the memory cannot be had.
  bool Grow(int32_t missing) EXCLUDES(lock_);
  // Copies the record into its reserved chunks; takes no lock.
  void Fill(const Reservation& reservation, const void* source) const;
  // Makes the record readable. 0 when a Reset came after Reserve (the chunks are free again).
  int32_t Commit(const Reservation& reservation) EXCLUDES(lock_);
  // Returns unused chunks to the free run. false when a Reset came after Reserve, which
  // freed them already.
  bool Cancel(const Reservation& reservation) EXCLUDES(lock_);
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
  uint64_t resets_ GUARDED_BY(lock_) = 0;
  Node* writeCursor_ GUARDED_BY(lock_);
  Node* readCursor_ GUARDED_BY(lock_);
};

}  // namespace scheduler
