// From an error to what the user sees and how hvhost exits; see exit_status.h.
#include "host/exit_status.h"

#include <new>

#include "host/dialogues/console.h"

namespace hvhost {

using namespace tolvane::formats;

Failure describeFailure(const std::exception_ptr& error, Stage stage) {
  try {
    std::rethrow_exception(error);
  } catch (const UsageError& usage) {
    return {kExitUsage, usage.what()};
  } catch (const InputError& input) {
    return {stage == Stage::Setup ? kExitUsage : kExitRunEnded, input.what()};
  } catch (const OutputError& output) {
    return {kExitOutputFailed, output.what()};
  } catch (const StorageError& storage) {
    // The plug-in learns it from the missing storage and ends the run itself.
    if (stage == Stage::Run)
      return {kExitRunEnded, std::string(storage.what()) + "; the run is abandoned"};
    return {kExitRunEnded, storage.what()};
  } catch (const std::bad_alloc&) {
    return {kExitRunEnded, "not enough memory; nothing more can be done"};
  } catch (const std::exception& unforeseen) {
    // Every expected problem has a kind above; this is the last line of defence, so
    // that even an unforeseen one ends with a message rather than a crash.
    return {kExitRunEnded, std::string("unexpected problem: ") + unforeseen.what()};
  } catch (...) {
    return {kExitRunEnded, "unexpected problem"};
  }
}

ExitStatus reportFailure(Console& console, const std::exception_ptr& error, Stage stage) {
  const Failure failure = describeFailure(error, stage);
  console.error(failure.message);
  return failure.status;
}

}  // namespace hvhost
