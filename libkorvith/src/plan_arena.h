// Bump allocator for plan results: every value, array and text of one
// result lives in its blocks and goes away at once. `reset` keeps the first
// block, so a stream that reuses one arena per record reaches a steady size.
#ifndef KORVITH_PLAN_ARENA_H
#define KORVITH_PLAN_ARENA_H

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace korvith::plan {

class Arena {
 public:
  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  ~Arena() {
    for (Block& b : blocks_) std::free(b.data);
  }

  // Null when memory runs out.
  void* allocate(size_t size, size_t align = alignof(std::max_align_t)) {
    size_t at = (used_ + align - 1) & ~(align - 1);
    if (current_ >= blocks_.size() || at + size > blocks_[current_].size) {
      if (!next_block(size)) return nullptr;
      at = 0;
    }
    used_ = at + size;
    return blocks_[current_].data + at;
  }

  template <typename T>
  T* make_array(size_t n) {
    void* p = allocate(sizeof(T) * (n ? n : 1), alignof(T));
    if (p) std::memset(p, 0, sizeof(T) * (n ? n : 1));
    return static_cast<T*>(p);
  }

  // NUL-terminated copy of `len` bytes.
  char* copy(const char* s, size_t len) {
    char* p = static_cast<char*>(allocate(len + 1, 1));
    if (!p) return nullptr;
    if (len) std::memcpy(p, s, len);
    p[len] = '\0';
    return p;
  }

  // Bytes held in blocks, used or not.
  size_t reserved() const {
    size_t total = 0;
    for (const Block& b : blocks_) total += b.size;
    return total;
  }

  // Drops everything but keeps the largest block for reuse.
  void reset() {
    if (blocks_.size() > 1) {
      size_t keep = 0;
      for (size_t i = 1; i < blocks_.size(); ++i)
        if (blocks_[i].size > blocks_[keep].size) keep = i;
      for (size_t i = 0; i < blocks_.size(); ++i)
        if (i != keep) std::free(blocks_[i].data);
      Block b = blocks_[keep];
      blocks_.clear();
      blocks_.push_back(b);
    }
    current_ = 0;
    used_ = 0;
  }

 private:
  struct Block {
    char* data;
    size_t size;
  };

  bool next_block(size_t need) {
    // Reuse a following block kept by an earlier round when it is big enough.
    if (current_ + 1 < blocks_.size() && blocks_[current_ + 1].size >= need) {
      ++current_;
      used_ = 0;
      return true;
    }
    size_t size = kBlock;
    while (size < need) size *= 2;
    char* data = static_cast<char*>(std::malloc(size));
    if (!data) return false;
    try {
      blocks_.push_back({data, size});
    } catch (const std::bad_alloc&) {
      std::free(data);
      return false;
    }
    current_ = blocks_.size() - 1;
    used_ = 0;
    return true;
  }

  static constexpr size_t kBlock = 16 * 1024;
  std::vector<Block> blocks_;
  size_t current_ = 0;
  size_t used_ = 0;
};

}  // namespace korvith::plan

#endif
