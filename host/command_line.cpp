// Parsing the command line and dispatching to a run or a subcommand; see command_line.h.
#include "host/command_line.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <iostream>
#include <memory>
#include <new>

#include "formats/atomic_file.h"
#include "host/dialogues/console.h"
#include "host/dialogues/default_dialogue.h"
#include "host/session/module_runner.h"
#include "host/dialogues/scripted_dialogue.h"
#include "host/dialogues/terminal_dialogue.h"
#include "formats/text_parsing.h"
#include "host/shared_names.h"
#include "host/vtc_commands.h"

namespace hvhost {
namespace {

constexpr double kMinTrMilliseconds = 10.0;
constexpr double kMaxTrMilliseconds = 100000.0;

// "A,B,C" with exactly `count` whole numbers.
std::vector<int> integerList(const std::string& text, std::size_t count, const std::string& option,
                             char separator) {
  std::vector<int> values;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find(separator, start);
    const auto value = parseInt(trim(std::string_view(text).substr(start, end - start)));
    if (!value) break;
    values.push_back(*value);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (values.size() != count ||
      std::count(text.begin(), text.end(), separator) != static_cast<long>(count - 1)) {
    throw InputError(option + " expects " + std::to_string(count) + " whole numbers separated by '" +
                     separator + "', not " + inQuotes(text));
  }
  return values;
}

VtcGrid checkedGrid(const RunOptions& options) {
  VtcGrid grid = defaultVtcGrid();
  if (!options.box.empty()) {
    const auto box = integerList(options.box, 6, "--box", ',');
    grid.xStart = box[0];
    grid.xEnd = box[1];
    grid.yStart = box[2];
    grid.yEnd = box[3];
    grid.zStart = box[4];
    grid.zEnd = box[5];
  }
  if (options.resolution < 1) throw InputError("--resolution must be 1 or more");
  grid.resolution = options.resolution;
  if (!(options.tr >= kMinTrMilliseconds && options.tr <= kMaxTrMilliseconds)) {
    throw InputError("--tr must lie between 10 and 100000 milliseconds");
  }
  grid.trMilliseconds = options.tr;
  const int starts[3] = {grid.xStart, grid.yStart, grid.zStart};
  const int ends[3] = {grid.xEnd, grid.yEnd, grid.zEnd};
  for (int axis = 0; axis < 3; ++axis) {
    if (starts[axis] < 0 || ends[axis] - starts[axis] < grid.resolution) {
      throw InputError("--box: axis " + std::string(1, "XYZ"[axis]) + " runs from " +
                       std::to_string(starts[axis]) + " to " + std::to_string(ends[axis]) +
                       "; it must start at 0 or later and span at least one VTC voxel of "
                       "resolution " + std::to_string(grid.resolution));
    }
  }
  return grid;
}

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
                 "zlib level for VTCs saved as .nii.gz, 1 (fastest) to 9 (smallest)")
      ->check(CLI::Range(1, 9))
      ->capture_default_str();
  app.add_option("--host-version", options.hostVersion,
                 "Version the host reports to the plug-in, MAJOR.MINOR.SUB")
      ->capture_default_str();
}

int runModule(const RunOptions& options) {
  const bool interactive = options.answers.empty() && !options.defaults;
  Console console(std::cout, std::cerr, ::isatty(STDERR_FILENO) != 0);
  if (options.module.empty()) {
    console.error("no plug-in module given (see hvhost --help)");
    return kExitUsage;
  }
  if (interactive && ::isatty(STDIN_FILENO) == 0) {
    console.error("standard input is not a terminal: answer the dialogues with --answers FILE "
                  "(or --answers - for standard input) or take the defaults with --defaults");
    return kExitUsage;
  }
  try {
    std::error_code error;
    if (!std::filesystem::is_regular_file(options.module, error)) {
      throw InputError(options.module + ": no such plug-in module");
    }
    SessionSetup setup = buildSessionSetup(options);
    if (!options.log.empty()) console.appendLogTo(options.log);

    std::unique_ptr<Dialogue> dialogue;
    ScriptedDialogue* script = nullptr;
    if (!options.answers.empty()) {
      auto scripted = std::make_unique<ScriptedDialogue>(options.answers, console);
      script = scripted.get();
      dialogue = std::move(scripted);
    } else if (options.defaults) {
      dialogue = std::make_unique<DefaultDialogue>(console);
    } else {
      dialogue = std::make_unique<TerminalDialogue>(std::cin, console);
    }

    HostSession session(std::move(setup), *dialogue, console);
    int status = runPluginModule(options.module, session, *dialogue, console);
    if (status == kExitCompleted && console.logFileFailed()) status = kExitOutputFailed;
    if (script != nullptr && !script->failed() && script->unusedAnswers() > 0) {
      console.warning(std::to_string(script->unusedAnswers()) +
                      " answers of the script were not used, from line " +
                      std::to_string(script->firstUnusedLine()) + " on");
    }
    return status;
  } catch (const InputError& error) {
    console.error(error.what());
    return kExitUsage;
  }
}

}  // namespace

SessionSetup buildSessionSetup(const RunOptions& options) {
  SessionSetup setup;
  const auto version = integerList(options.hostVersion, 3, "--host-version", '.');
  setup.version = {version[0], version[1], version[2]};
  if (options.noVmr) {
    setup.vmr.reset();
  } else if (!options.vmr.empty()) {
    setup.vmr = VmrDocument(readAnatomical(options.vmr));
  }
  if (!options.cross.empty()) {
    if (!setup.vmr) throw InputError("--cross needs a VMR");
    const auto cross = integerList(options.cross, 3, "--cross", ',');
    setup.vmr->setCross({cross[0], cross[1], cross[2]});
  }
  setup.vtcGrid = checkedGrid(options);
  for (const std::string& file : options.vois) {
    if (!setup.vmr) throw InputError("--voi needs a VMR");
    setup.vois.add(readVoiFile(file, setup.vmr->dims()));
  }
  std::error_code error;
  if (!options.protocol.empty() && !std::filesystem::is_regular_file(options.protocol, error)) {
    throw InputError(options.protocol + ": no such protocol file");
  }
  setup.protocolFile = options.protocol;
  setup.gzipLevel = options.gzipLevel;
  std::filesystem::create_directories(options.outputDir, error);
  if (error || !std::filesystem::is_directory(options.outputDir, error)) {
    throw InputError(options.outputDir + ": cannot be used as the output folder" +
                     (error ? ": " + error.message() : std::string()));
  }
  // Finding out now spares a simulation whose result could not be saved.
  try {
    checkFolderIsWritable(options.outputDir);
  } catch (const OutputError& unwritable) {
    throw InputError(std::string(unwritable.what()) + "; choose another --output-dir");
  }
  setup.outputDir = options.outputDir;
  return setup;
}

int runCommandLine(int argc, char** argv) {
  CLI::App app("hvhost runs a plug-in module in place of the desktop application: it answers "
               "the plug-in's dialogues, owns its documents and writes real files.",
               "hvhost");
  app.footer("Exit status: 0 run completed, 1 run ended early or a dialogue could not be "
             "answered, 2 usage or setup error, 3 a file could not be written.\n"
             "File formats (protocols, VOIs, answers scripts, design matrix, VTC): see the "
             "README, sections \"hvhost\" and \"File formats\".");
  RunOptions options;
  addRunOptions(app, options);

  std::string infoFile;
  auto* info = app.add_subcommand("info", "Print the header and value statistics of a VTC file");
  info->add_option("FILE", infoFile, "Native VTC file")->required();
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
    return app.exit(error) == 0 ? kExitCompleted : kExitUsage;
  }
  Console console(std::cout, std::cerr, false);
  int status = kExitCompleted;
  try {
    if (*info) {
      status = printVtcInfo(infoFile, std::cout, console);
    } else if (*convert) {
      status = convertVtcToNifti(convertIn, convertOut, convertGzipLevel, console);
    } else {
      status = runModule(options);
    }
  } catch (const std::bad_alloc&) {
    console.error("not enough memory; nothing more can be done");
    return kExitRunEnded;
  } catch (const std::exception& error) {
    // Every expected problem is reported where it happens; this is the last line of
    // defence, so that even an unforeseen one ends with a message rather than a crash.
    console.error(std::string("unexpected problem: ") + error.what());
    return kExitRunEnded;
  }
  // Standard output carries the log and `info`: losing it (a full disk behind a
  // redirection) is a failed output like any other.
  std::cout.flush();
  if (!std::cout && status == kExitCompleted) {
    console.error("standard output cannot be written");
    status = kExitOutputFailed;
  }
  return status;
}

}  // namespace hvhost
