// The allocator of the trainers' big arrays: values left uninitialised, large arrays on huge
// pages.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace tokenizer {

/// An allocator whose value-less construction leaves trivial values uninitialised, so that
/// resizing the trainer's big arrays costs no pass of its own: the loops that fill them touch
/// each page first, and they poll for interrupts while doing it.
template <class T>
struct Uninitialised : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = Uninitialised<U>;
  };
  Uninitialised() = default;
  template <class U>
  Uninitialised(const Uninitialised<U>&) noexcept {}

  // Arrays this large are aligned to, and backed by, 2 MiB pages where the system offers
  // them on request: the merge loop reaches all over them, and small pages would cost a TLB
  // miss on nearly every access and a page fault per 4 KiB on first touch.
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;

  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
    const std::size_t bytes = n * sizeof(T);
    if (bytes < 2 * kHugePage) return std::allocator<T>::allocate(n);
    void* at = ::operator new(bytes, std::align_val_t{kHugePage});
#ifdef MADV_HUGEPAGE
    // Advice only: where it is refused, small pages serve as before.
    ::madvise(at, bytes - bytes % kHugePage, MADV_HUGEPAGE);
#endif
    return static_cast<T*>(at);
  }
  void deallocate(T* at, std::size_t n) noexcept {
    if (n * sizeof(T) < 2 * kHugePage) {
      std::allocator<T>::deallocate(at, n);
    } else {
      ::operator delete(at, std::align_val_t{kHugePage});
    }
  }

  template <class U>
  void construct(U* at) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(at)) U;
  }
  template <class U, class... Args>
  void construct(U* at, Args&&... args) {
    ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
  }
};

}  // namespace tokenizer
