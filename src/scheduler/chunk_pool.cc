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

int32_t CChunkPool::Reserve(uint32_t length, Reservation* out, int32_t* missing) {
  platform::MutexLock hold(&lock_);
  // A record of length 0 still takes one chunk, so it counts as one here: otherwise it
  // could use up the spare chunk and leave the write cursor on a stored record.
  const uint64_t needed = std::max<uint64_t>(1, (uint64_t{chunkSize_} + length - 1) / chunkSize_);
  const uint64_t free = uint64_t(std::max(freeCount_, 0));
  if (free < needed + 1) {
    const bool canGrow = needed <= uint64_t(INT32_MAX) - uint64_t(chunkCount_);
    if (missing != nullptr) *missing = canGrow ? static_cast<int32_t>(needed + 1 - free) : -1;
    return 0;
  }
  writeCursor_ = Settle(writeCursor_);
  out->first = writeCursor_;
  out->chunks = static_cast<int32_t>(needed);
  out->length = length;
  out->generation = resets_;
  Node* node = writeCursor_;
  for (uint64_t i = 0; i < needed; ++i) node = Settle(node)->next;
  writeCursor_ = node;
  freeCount_ -= static_cast<int32_t>(needed);
  return 1;
}

bool CChunkPool::Grow(int32_t missing) {
  const int32_t add = std::max(growthStep_, missing);
  if (add <= 0) return true;
  // Build the chain first: allocation can take long, and the reader must not wait for it.
  Node* head = nullptr;
  Node* tail = nullptr;
  auto dropChain = [&head] {
    while (head != nullptr) {
      Node* next = head->next;
      delete head;
      head = next;
    }
  };
  try {
    for (int32_t i = 0; i < add; ++i) {
      Node* node = NewNode().release();
      node->prev = tail;
      if (tail != nullptr) tail->next = node;
      if (head == nullptr) head = node;
      tail = node;
    }
  } catch (const std::bad_alloc&) {
    dropChain();
    return false;
  }
  {
    platform::MutexLock hold(&lock_);
    if (add <= INT32_MAX - chunkCount_) {
      // After the node at the write cursor, in creation order, so the new chunks extend the
      // free run that starts there.
      writeCursor_ = Settle(writeCursor_);
      Node* position = writeCursor_;
      tail->next = position->next;
      position->next->prev = tail;
      position->next = head;
      head->prev = position;
      chunkCount_ += add;
      freeCount_ += add;
      return true;
    }
  }
  dropChain();
  return false;
}

void CChunkPool::Fill(const Reservation& reservation, const void* source) const {
  // The reserved nodes and their links are ours until Commit: growth inserts after the
  // write cursor, which lies beyond them, and only their descriptors change on a Reset.
  const uint8_t* from = static_cast<const uint8_t*>(source);
  uint32_t remaining = reservation.length;
  Node* node = reservation.first;
  for (int32_t i = 0; i < reservation.chunks; ++i) {
    node = node == &sentinel_ ? sentinel_.next : node;
    const uint32_t part = std::min(remaining, chunkSize_);
    if (part > 0) std::memcpy(node->descriptor.data.get(), from, part);
    from += part;
    remaining -= part;
    if (i + 1 < reservation.chunks) node = node->next;
  }
}

int32_t CChunkPool::Commit(const Reservation& reservation) {
  platform::MutexLock hold(&lock_);
  if (reservation.generation != resets_) return 0;
  uint32_t remaining = reservation.length;
  Node* node = reservation.first;
  for (int32_t i = 0; i < reservation.chunks; ++i) {
    node = Settle(node);
    ChunkDescriptor& d = node->descriptor;
    const bool final = i + 1 == reservation.chunks;
    const uint32_t part = std::min(remaining, chunkSize_);
    d.inUse = 1;
    d.last = final ? 1 : 0;
    d.length = static_cast<uint16_t>(part);
    remaining -= part;
    node = node->next;
  }
  usedCount_ += reservation.chunks;
  return 1;
}

bool CChunkPool::Cancel(const Reservation& reservation) {
  platform::MutexLock hold(&lock_);
  if (reservation.generation != resets_) return false;
  writeCursor_ = reservation.first;
  freeCount_ += reservation.chunks;
  return true;
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

uint32_t CChunkPool::NextRecordLength() const {
  platform::MutexLock hold(&lock_);
  if (usedCount_ < 1) return 0;
  uint64_t length = 0;
  const Node* node = readCursor_ == &sentinel_ ? sentinel_.next : readCursor_;
  for (int32_t i = 0; i < usedCount_; ++i) {
    if (node == &sentinel_) node = sentinel_.next;
    if (node->descriptor.inUse == 0) return 0;
    length += node->descriptor.length;
    if (node->descriptor.last != 0)
      return static_cast<uint32_t>(std::min<uint64_t>(length, UINT32_MAX));
    node = node->next;
  }
  return 0;
}

uint32_t CChunkPool::Peek(void* destination, uint32_t n) const {
  platform::MutexLock hold(&lock_);
  uint8_t* to = static_cast<uint8_t*>(destination);
  uint32_t copied = 0;
  const Node* node = readCursor_ == &sentinel_ ? sentinel_.next : readCursor_;
  for (int32_t i = 0; i < usedCount_ && copied < n; ++i) {
    if (node == &sentinel_) node = sentinel_.next;
    if (node->descriptor.inUse == 0) break;
    const uint32_t part = std::min<uint32_t>(node->descriptor.length, n - copied);
    if (part > 0) std::memcpy(to + copied, node->descriptor.data.get(), part);
    copied += part;
    if (node->descriptor.last != 0) break;
    node = node->next;
  }
  return copied;
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
  ++resets_;
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
