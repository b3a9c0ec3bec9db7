// The fixture every unit test starts from: a fresh fake platform and runtime state.
#pragma once

#include <gtest/gtest.h>

#include "runtime/console.h"
#include "runtime/io_result.h"
#include "tests/fake_platform.h"

namespace kg {

namespace test {
// Set by a test: the program's next allocation fails as if memory were exhausted, calling the
// new-handler (failing_allocator.cpp).
extern bool fail_next_allocation;
}  // namespace test

class FakeTest : public ::testing::Test {
 protected:
  // Empties the fake, clears the I/O result and marks both console streams not yet open.
  void SetUp() override {
    fake::Reset();
    SetIoResult(0);
    StandardInput().Bind("");
    StandardOutput().Bind("");
  }
};

}  // namespace kg
