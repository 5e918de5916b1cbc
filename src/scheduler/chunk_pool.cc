#include "scheduler/chunk_pool.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace scheduler {

CChunkPool::CChunkPool(uint32_t chunkSize, int32_t count)
    : growthStep_(std::max<int32_t>(count, 0)),
      chunkSize_(std::clamp<uint32_t>(chunkSize, 1, UINT16_MAX)) {
  platform::MutexLock hold(&lock_);
  sentinel_.prev = &sentinel_;
  sentinel_.next = &sentinel_;
  try {
    for (int32_t i = 0; i < growthStep_; ++i) {
      InsertAfter(sentinel_.prev, NewNode().release());
      ++freeCount_;
    }
  } catch (...) {
    for (Node* n = sentinel_.next; n != &sentinel_;) {
      Node* next = n->next;
      delete n;
      n = next;
    }
    throw;
  }
  writeCursor_ = sentinel_.next;
  readCursor_ = sentinel_.next;
}

CChunkPool::~CChunkPool() {
  platform::MutexLock hold(&lock_);
  for (Node* n = sentinel_.next; n != &sentinel_;) {
    Node* next = n->next;
    delete n;
    n = next;
  }
  sentinel_.next = sentinel_.prev = &sentinel_;
}

std::unique_ptr<CChunkPool::Node> CChunkPool::NewNode() const {
  auto node = std::make_unique<Node>();
  // Chunks are written before they are read, so their bytes need no clearing.
  node->descriptor.data = std::make_unique_for_overwrite<uint8_t[]>(chunkSize_);
  return node;
}

void CChunkPool::InsertAfter(Node* position, Node* node) {
  node->prev = position;
  node->next = position->next;
  position->next->prev = node;
  position->next = node;
  ++chunkCount_;
}

CChunkPool::Node* CChunkPool::Settle(Node* cursor) const {
  return cursor == &sentinel_ ? cursor->next : cursor;
}

int32_t CChunkPool::Write(const void* source, uint32_t length, int32_t grow) {
  platform::MutexLock hold(&lock_);
  // A record of length 0 still takes one chunk, so it counts as one here: otherwise it
  // could use up the spare chunk and leave the write cursor on a stored record.
  const uint64_t needed = std::max<uint64_t>(1, (uint64_t{chunkSize_} + length - 1) / chunkSize_);
  if (uint64_t(std::max(freeCount_, 0)) < needed + 1) {
    if (grow == 0) return 0;
    const uint64_t missing = needed + 1 - uint64_t(std::max(freeCount_, 0));
    if (needed > uint64_t(INT32_MAX) - uint64_t(chunkCount_)) return 0;
    const int32_t add = static_cast<int32_t>(std::max<uint64_t>(uint64_t(growthStep_), missing));
    writeCursor_ = Settle(writeCursor_);
    // Each new chunk goes after the previous one, so they follow the write cursor in
    // creation order and extend the free run that starts there.
    Node* position = writeCursor_;
    try {
      for (int32_t i = 0; i < add; ++i) {
        Node* node = NewNode().release();
        InsertAfter(position, node);
        position = node;
        ++freeCount_;
      }
    } catch (const std::bad_alloc&) {
      return 0;  // the chunks already added are complete and simply stay free
    }
  }
  const uint8_t* from = static_cast<const uint8_t*>(source);
  uint32_t remaining = length;
  for (;;) {
    Node* node = Settle(writeCursor_);
    ChunkDescriptor& d = node->descriptor;
    const bool final = remaining <= chunkSize_;
    const uint32_t part = final ? remaining : chunkSize_;
    if (part > 0) std::memcpy(d.data.get(), from, part);
    d.inUse = 1;
    d.last = final ? 1 : 0;
    d.length = static_cast<uint16_t>(part);
    from += part;
    remaining -= part;
    ++usedCount_;
    --freeCount_;
    writeCursor_ = node->next;
    if (final) break;
  }
  return 1;
}

int32_t CChunkPool::Read(void* destination, uint32_t* capacity) {
  platform::MutexLock hold(&lock_);
  uint8_t* to = static_cast<uint8_t*>(destination);
  const uint32_t room = capacity ? *capacity : 0;
  uint32_t offset = 0;
  bool overflow = false;
  for (;;) {
    Node* node = Settle(readCursor_);
    ChunkDescriptor& d = node->descriptor;
    if (usedCount_ < 1 || d.inUse == 0) return 0;
    if (!overflow && uint64_t(offset) + d.length <= room) {
      if (d.length > 0) std::memcpy(to + offset, d.data.get(), d.length);
      offset += d.length;
    } else {
      overflow = true;
    }
    const bool final = d.last != 0;
    d.inUse = 0;
    d.last = 0;
    d.length = 0;
    --usedCount_;
    ++freeCount_;
    readCursor_ = node->next;
    if (final) {
      if (overflow) return 0;
      *capacity = offset;
      return 1;
    }
  }
}

int32_t CChunkPool::HasData() const {
  platform::MutexLock hold(&lock_);
  return usedCount_ > 0 ? 1 : 0;
}

void CChunkPool::Reset() {
  platform::MutexLock hold(&lock_);
  for (Node* n = sentinel_.next; n != &sentinel_; n = n->next) {
    n->descriptor.inUse = 0;
    n->descriptor.last = 0;
    n->descriptor.length = 0;
  }
  usedCount_ = 0;
  freeCount_ = chunkCount_;
  writeCursor_ = sentinel_.next;
  readCursor_ = sentinel_.next;
}

int32_t CChunkPool::FreeCount() const {
  platform::MutexLock hold(&lock_);
  return freeCount_;
}

int32_t CChunkPool::UsedCount() const {
  platform::MutexLock hold(&lock_);
  return usedCount_;
}

int32_t CChunkPool::ChunkCount() const {
  platform::MutexLock hold(&lock_);
  return chunkCount_;
}

}  // namespace scheduler
