// From a shared error to what the user reads and the exit status; see exit_status.h.
#include "formats/exit_status.h"

#include <new>
#include <stdexcept>

#include "formats/errors.h"
#include "formats/threads.h"

namespace tolvane::formats {

Failure describeFailure(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const InputError& input) {
    return {kExitUsage, input.what()};
  } catch (const OutputError& output) {
    return {kExitOutputFailed, output.what()};
  } catch (const ThreadStartError& threads) {
    return {kExitFailed, threads.what()};
  } catch (const std::bad_alloc&) {
    return {kExitFailed, "not enough memory; nothing more can be done"};
  } catch (const std::exception& unforeseen) {
    // Every expected problem has a kind of its own; this is the last line of defence,
    // so that even an unforeseen one ends with a message rather than a crash.
    return {kExitFailed, std::string("unexpected problem: ") + unforeseen.what()};
  } catch (...) {
    return {kExitFailed, "unexpected problem"};
  }
}

}  // namespace tolvane::formats
