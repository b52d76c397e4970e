#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <utility>

namespace ormanta::skill {

// The host's storage for elements. It must outlive every element made in it.
class ElementAllocator {
 public:
  virtual ~ElementAllocator();
  virtual void* allocate(std::size_t size, std::size_t alignment) = 0;  // throws std::bad_alloc
  virtual void deallocate(void* storage, std::size_t size, std::size_t alignment) noexcept = 0;
};

// Standard allocator over an ElementAllocator, so that one allocation holds both the element
// and the host's shared-ownership record for it.
template <class T>
class ElementStorage {
 public:
  using value_type = T;

  explicit ElementStorage(ElementAllocator& allocator) noexcept : allocator_(&allocator) {}
  template <class U>
  ElementStorage(const ElementStorage<U>& other) noexcept : allocator_(other.allocator_) {}  // NOLINT

  T* allocate(std::size_t n) { return static_cast<T*>(allocator_->allocate(n * sizeof(T), alignof(T))); }
  void deallocate(T* p, std::size_t n) noexcept { allocator_->deallocate(p, n * sizeof(T), alignof(T)); }

  template <class U>
  friend bool operator==(const ElementStorage& a, const ElementStorage<U>& b) noexcept {
    return a.allocator_ == b.allocator_;
  }

 private:
  template <class U>
  friend class ElementStorage;
  ElementAllocator* allocator_;
};

// Constructs an element in storage from the host allocator and returns the host's shared
// ownership of it; an element deriving from EnableSharedFromThis is linked to it.
template <class T, class... Args>
std::shared_ptr<T> makeElement(ElementAllocator& allocator, Args&&... args) {
  return std::allocate_shared<T>(ElementStorage<T>(allocator), std::forward<Args>(args)...);
}

}  // namespace ormanta::skill
