// Parsing the command line and dispatching to a run or a subcommand; see command_line.h.
#include "host/command_line.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <optional>

#include "host/dialogues/console.h"
#include "host/dialogues/default_dialogue.h"
#include "host/dialogues/scripted_dialogue.h"
#include "host/dialogues/terminal_dialogue.h"
#include "host/exit_status.h"
#include "host/run_setup.h"
#include "host/session/module_runner.h"
#include "host/shared_names.h"
#include "host/vtc_commands.h"

namespace hvhost {

using namespace tolvane::formats;
using namespace tolvane::design;
namespace {

void addRunOptions(CLI::App& app, RunOptions& options) {
  app.add_option("MODULE", options.module, "Plug-in module to run (a shared library)");
  auto* answers = app.add_option("--answers", options.answers,
                                 "Answer the dialogues from this script ('-': standard input)");
  app.add_flag("--defaults", options.defaults,
               "Answer every dialogue with its default (questions: yes; protocol: --protocol)")
      ->excludes(answers);
  app.add_option("--protocol", options.protocol,
                 "Protocol file (.prt or BIDS events .tsv): the protocol dialogue's default");
  app.add_option("--output-dir", options.outputDir,
                 "Folder for files saved under relative names (created if missing)")
      ->capture_default_str();
  app.add_option("--log", options.log, "Also append the plug-in's log lines to this file");
  auto* vmr = app.add_option("--vmr", options.vmr,
                             "Anatomical NIfTI (.nii/.nii.gz) that defines the VMR "
                             "(default: empty 256^3 volume, 1 mm)");
  app.add_flag("--no-vmr", options.noVmr, "Start without a VMR document")->excludes(vmr);
  app.add_flag("--conform", options.conform,
               "Resample the --vmr anatomical to 256^3 voxels of 1 mm, keeping its world "
               "placement, and save it as " +
                   std::string(kConformedAnatomicalName));
  app.add_option("--cross", options.cross, "Cross position X,Y,Z in VMR voxels (default: centre)");
  app.add_option("--box", options.box,
                 "VTC bounding box XSTART,XEND,YSTART,YEND,ZSTART,ZEND in VMR voxels "
                 "(default 57,231,52,172,59,197)");
  app.add_option("--resolution", options.resolution, "VTC voxel edge in VMR voxels")
      ->capture_default_str();
  app.add_option("--tr", options.tr, "Repetition time in milliseconds (10 to 100000)")
      ->capture_default_str();
  // One file per --voi, so that a VOI file given last before the module does not take
  // the module's name as a second VOI file.
  app.add_option("--voi", options.vois,
                 "VOI file: VOI text format or NIfTI label image on the VMR grid (repeatable)")
      ->allow_extra_args(false);
  app.add_option("--gzip-level", options.gzipLevel,
                 "zlib level for VTCs saved as .nii.gz and --conform's anatomical, 1 (fastest) "
                 "to 9 (smallest)")
      ->check(CLI::Range(1, 9))
      ->capture_default_str();
  app.add_option("--host-version", options.hostVersion,
                 "Version the host reports to the plug-in, MAJOR.MINOR.SUB")
      ->capture_default_str();
}

// Sets up the session and runs the module once. Problems with the options or the files
// they name end hvhost before anything runs.
ExitStatus runModule(const RunOptions& options) {
  const bool interactive = options.answers.empty() && !options.defaults;
  Console console(std::cout, std::cerr, ::isatty(STDERR_FILENO) != 0);
  std::optional<SessionSetup> setup;
  std::unique_ptr<Dialogue> dialogue;
  ScriptedDialogue* script = nullptr;
  try {
    if (options.module.empty()) throw UsageError("no plug-in module given (see hvhost --help)");
    if (interactive && ::isatty(STDIN_FILENO) == 0) {
      throw UsageError(
          "standard input is not a terminal: answer the dialogues with --answers "
          "FILE (or --answers - for standard input) or take the defaults with "
          "--defaults");
    }
    setup = buildSessionSetup(checkRunOptions(options));
    if (!options.log.empty()) console.appendLogTo(options.log);
    if (!options.answers.empty()) {
      auto scripted = std::make_unique<ScriptedDialogue>(options.answers, console);
      script = scripted.get();
      dialogue = std::move(scripted);
    } else if (options.defaults) {
      dialogue = std::make_unique<DefaultDialogue>(console);
    } else {
      dialogue = std::make_unique<TerminalDialogue>(std::cin, console);
    }
  } catch (...) {
    return reportFailure(console, std::current_exception(), Stage::Setup);
  }

  HostSession session(std::move(*setup), *dialogue, console);
  session.stageConformedAnatomical();
  ExitStatus status = kExitDone;
  try {
    status = runPluginModule(options.module, session, *dialogue, console);
  } catch (...) {
    return reportFailure(console, std::current_exception(), Stage::Setup);
  }
  if (status == kExitDone && console.logFileFailed()) status = kExitOutputFailed;
  if (script != nullptr && !script->failed() && script->unusedAnswers() > 0) {
    console.warning(std::to_string(script->unusedAnswers()) +
                    " answers of the script were not used, from line " +
                    std::to_string(script->firstUnusedLine()) + " on");
  }
  return status;
}

}  // namespace

int runCommandLine(int argc, char** argv) {
  CLI::App app(
      "hvhost runs a plug-in module in place of the desktop application: it answers "
      "the plug-in's dialogues, owns its documents and writes real files.",
      "hvhost");
  app.footer(
      "Exit status: 0 run completed, 1 run ended early or a dialogue could not be "
      "answered, 2 usage or setup error, 3 a file could not be written.\n"
      "File formats (protocols, VOIs, answers scripts, design matrix, VTC): see the "
      "README, sections \"hvhost\" and \"File formats\".");
  RunOptions options;
  addRunOptions(app, options);

  std::string infoFile;
  auto* info = app.add_subcommand(
      "info", "Print the header and value statistics of a VTC: native, or NIfTI (.nii[.gz])");
  info->add_option("FILE", infoFile, "Native VTC or NIfTI file")->required();
  std::string convertIn;
  std::string convertOut;
  auto* convert = app.add_subcommand("convert", "Export a native VTC file as NIfTI-1");
  convert->add_option("FILE", convertIn, "Native VTC file")->required();
  convert->add_option("OUT", convertOut, "NIfTI file to write, .nii or .nii.gz")->required();
  int convertGzipLevel = kDefaultGzipLevel;
  convert->add_option("--gzip-level", convertGzipLevel, "zlib level for .nii.gz, 1 to 9")
      ->check(CLI::Range(1, 9))
      ->capture_default_str();
  app.require_subcommand(0, 1);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? kExitDone : kExitUsage;
  }
  Console console(std::cout, std::cerr, false);
  ExitStatus status = kExitDone;
  try {
    if (*info) {
      printVtcInfo(infoFile, std::cout);
    } else if (*convert) {
      convertVtcToNifti(convertIn, convertOut, convertGzipLevel, console);
    } else {
      status = runModule(options);
    }
  } catch (...) {
    return reportFailure(console, std::current_exception(), Stage::Command);
  }
  // Standard output carries the log and `info`: losing it (a full disk behind a
  // redirection) is a failed output like any other.
  std::cout.flush();
  if (!std::cout && status == kExitDone) {
    console.error("standard output cannot be written");
    status = kExitOutputFailed;
  }
  return status;
}

}  // namespace hvhost
