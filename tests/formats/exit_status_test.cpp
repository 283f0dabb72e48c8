// The shared description of errors: each kind lands on its row of the exit-status table
// with the message the user reads.
#include "formats/exit_status.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "formats/errors.h"

using namespace tolvane::formats;

namespace {

template <typename Thrown>
Failure describe(const Thrown& thrown) {
  return describeFailure(std::make_exception_ptr(thrown));
}

}  // namespace

TEST(ExitStatus, EachSharedKindOfErrorHasItsStatusAndMessage) {
  const Failure input = describe(InputError("study.toml:3: key seed: expected an integer"));
  EXPECT_EQ(input.status, 2);
  EXPECT_EQ(input.message, "study.toml:3: key seed: expected an integer");

  const Failure output = describe(OutputError("out/a.nii.gz: cannot write: No space left"));
  EXPECT_EQ(output.status, 3);
  EXPECT_EQ(output.message, "out/a.nii.gz: cannot write: No space left");

  const Failure memory = describe(std::bad_alloc());
  EXPECT_EQ(memory.status, 1);
  EXPECT_EQ(memory.message, "not enough memory; nothing more can be done");

  const Failure unforeseen = describe(std::logic_error("a broken promise"));
  EXPECT_EQ(unforeseen.status, 1);
  EXPECT_EQ(unforeseen.message, "unexpected problem: a broken promise");

  const Failure foreign = describe(42);
  EXPECT_EQ(foreign.status, 1);
  EXPECT_EQ(foreign.message, "unexpected problem");
}
