// Small RAII holders shared by every unit of the extension module.
//
// `Ref` owns one strong reference and releases it exactly once; `MemBlock`
// owns one block from the interpreter's allocator. Both make "released on
// every path" hold by construction: an early return cannot leak.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

namespace korvith {

class Ref {
 public:
  Ref() noexcept = default;
  // Takes over an owned reference (may be null).
  explicit Ref(PyObject* owned) noexcept : obj_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : obj_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~Ref() { Py_XDECREF(obj_); }

  // Takes a new reference to a borrowed object.
  static Ref borrow(PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    return Ref(borrowed);
  }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  void reset(PyObject* owned = nullptr) noexcept {
    PyObject* old = std::exchange(obj_, owned);
    Py_XDECREF(old);
  }

 private:
  PyObject* obj_ = nullptr;
};

// A block from PyMem_Malloc, freed with PyMem_Free.
class MemBlock {
 public:
  MemBlock() noexcept = default;
  explicit MemBlock(size_t bytes) noexcept : ptr_(PyMem_Malloc(bytes ? bytes : 1)) {}
  MemBlock(const MemBlock&) = delete;
  MemBlock& operator=(const MemBlock&) = delete;
  MemBlock(MemBlock&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  ~MemBlock() { PyMem_Free(ptr_); }

  template <typename T = void>
  T* as() const noexcept {
    return static_cast<T*>(ptr_);
  }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }
  // Grows or shrinks the block; on failure the old block stays owned.
  bool resize(size_t bytes) noexcept {
    void* grown = PyMem_Realloc(ptr_, bytes ? bytes : 1);
    if (!grown) return false;
    ptr_ = grown;
    return true;
  }

 private:
  void* ptr_ = nullptr;
};

}  // namespace korvith
