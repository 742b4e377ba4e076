// Fresh memory made resident in one step.
//
// Memory fresh from the kernel costs a page fault per 4 KiB page when first written, and on
// virtual machines a fault costs several microseconds: reading a large data file spent a fifth of
// its time there (the interpreter's arenas for its objects, the reader's own tables, the file's
// bytes). madvise(MADV_POPULATE_WRITE) does the same work for a whole block without a trap per
// page.
#pragma once

#include <Python.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

namespace kv {

// Makes the whole pages inside [start, start + size) resident now, in one call. Advice only: a
// kernel without MADV_POPULATE_WRITE (before 5.14) refuses it, and the pages are then faulted in
// one by one as they are first written.
inline void populate(void* start, std::size_t size) {
#ifdef MADV_POPULATE_WRITE
  auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  auto first = (reinterpret_cast<std::uintptr_t>(start) + page - 1) / page * page;
  auto last = (reinterpret_cast<std::uintptr_t>(start) + size) / page * page;
  if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#else
  (void)start;
  (void)size;
#endif
}

// Blocks this large come straight from the kernel, fresh: worth making resident at once.
inline constexpr std::size_t kPopulateFrom = std::size_t{256} << 10;
// Blocks this large are also aligned to it and offered as huge pages: tables probed at random
// then cost one TLB entry per 2 MiB instead of one per 4 KiB.
inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

// An allocator for vectors that grow to megabytes while a file is read (its elements, the tables
// of what was seen): each large block is made resident when allocated.
template <class T>
struct PopulatedAllocator {
  using value_type = T;

  PopulatedAllocator() noexcept = default;
  template <class U>
  PopulatedAllocator(const PopulatedAllocator<U>&) noexcept {}  // NOLINT(google-explicit-constructor)

  T* allocate(std::size_t n) {
    std::size_t bytes = n * sizeof(T);
    if (bytes < kHugePage) {
      void* p = ::operator new(bytes);
      if (bytes >= kPopulateFrom) populate(p, bytes);
      return static_cast<T*>(p);
    }
    std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* p = std::aligned_alloc(kHugePage, rounded);
    if (p == nullptr) throw std::bad_alloc();
    madvise(p, rounded, MADV_HUGEPAGE);  // advice only: without it the pages are small
    populate(p, rounded);
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (n * sizeof(T) < kHugePage) {
      ::operator delete(p);
    } else {
      std::free(p);
    }
  }
  template <class U>
  bool operator==(const PopulatedAllocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using PopulatedVector = std::vector<T, PopulatedAllocator<T>>;

// While one is held, every new arena of the interpreter's small-object allocator (1 MiB, mapped
// from the kernel) is made resident as it is mapped. The interpreter's own arena allocator still
// maps and unmaps the memory; this only wraps it, so arenas mapped meanwhile are freed as usual.
// Holders may overlap in any order (threads take turns whenever the lock is released, as in
// file reading): the wrapper is installed by the first and removed by the last, and keeps no
// state in any holder. Constructed and destroyed with the interpreter lock held.
class PrefaultArenas {
 public:
  PrefaultArenas() {
    if (holders()++ == 0 && !installed()) {
      PyObject_GetArenaAllocator(&previous());
      PyObjectArenaAllocator wrapped{nullptr, &allocate, &release};
      PyObject_SetArenaAllocator(&wrapped);
      installed() = true;
    }
  }
  ~PrefaultArenas() {
    if (--holders() != 0) return;
    PyObjectArenaAllocator current{};
    PyObject_GetArenaAllocator(&current);
    // Someone else may have wrapped the wrapper meanwhile: then it stays in their chain, passing
    // calls through, and populates nothing until held again.
    if (current.alloc != &allocate) return;
    PyObject_SetArenaAllocator(&previous());
    installed() = false;
  }
  PrefaultArenas(const PrefaultArenas&) = delete;
  PrefaultArenas& operator=(const PrefaultArenas&) = delete;

 private:
  static int& holders() {
    static int count = 0;
    return count;
  }
  static bool& installed() {
    static bool in_chain = false;
    return in_chain;
  }
  static PyObjectArenaAllocator& previous() {
    static PyObjectArenaAllocator allocator{};
    return allocator;
  }

  static void* allocate(void*, std::size_t size) {
    void* arena = previous().alloc(previous().ctx, size);
    if (arena != nullptr && holders() > 0) populate(arena, size);
    return arena;
  }

  static void release(void*, void* arena, std::size_t size) { previous().free(previous().ctx, arena, size); }
};

}  // namespace kv
