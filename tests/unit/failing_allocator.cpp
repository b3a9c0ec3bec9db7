// The allocator of the unit-test program: the language's default, except that it can fail once.
#include <cstdlib>
#include <new>

namespace kg::test {
bool fail_next_allocation = false;
}  // namespace kg::test

// Fails when asked to, as the language's allocator does when memory is exhausted: asks the
// new-handler, and throws std::bad_alloc when the handler returns.
void* operator new(std::size_t size) {
  if (kg::test::fail_next_allocation) {
    kg::test::fail_next_allocation = false;
    if (std::new_handler handler = std::get_new_handler()) handler();
    throw std::bad_alloc();
  }
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}

void operator delete(void* block) noexcept {
  std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}
