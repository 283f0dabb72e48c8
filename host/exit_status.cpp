// From an error to what the user sees and how hvhost exits; see exit_status.h.
#include "host/exit_status.h"

#include <string>

#include "host/dialogues/console.h"

namespace hvhost {

Failure describeFailure(const std::exception_ptr& error, Stage stage) {
  try {
    std::rethrow_exception(error);
  } catch (const UsageError& usage) {
    return {formats::kExitUsage, usage.what()};
  } catch (const formats::InputError& input) {
    // Past the setup, bad input ends the run or the subcommand rather than its usage.
    if (stage != Stage::Setup) return {formats::kExitFailed, input.what()};
  } catch (const StorageError& storage) {
    // The plug-in learns it from the missing storage and ends the run itself.
    if (stage == Stage::Run)
      return {formats::kExitFailed, std::string(storage.what()) + "; the run is abandoned"};
    return {formats::kExitFailed, storage.what()};
  } catch (...) {
  }
  return formats::describeFailure(error);
}

ExitStatus reportFailure(Console& console, const std::exception_ptr& error, Stage stage) {
  const Failure failure = describeFailure(error, stage);
  console.error(failure.message);
  return failure.status;
}

}  // namespace hvhost
