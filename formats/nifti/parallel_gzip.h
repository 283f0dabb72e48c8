// A byte stream compressed as consecutive gzip members, several pieces at once.
//
// The stream is cut into pieces of kGzipPieceBytes (the last one may be shorter), and
// each piece becomes a complete gzip member of its own. A gzip file may hold any number
// of members one after another, and readers (zlib's gzread, gzip, Python's gzip module)
// decompress them as one stream; independent pieces are what let every core compress at
// once, at the cost of about 20 bytes per member and of the matches that a piece cannot
// find in the one before it.
//
// The cut depends only on the stream's length, and libdeflate writes neither a time
// stamp nor a file name into a member's header (its OS byte is always "unknown"), so the
// output is the same, byte for byte, for any number of threads and from run to run.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <span>

#include "formats/threads.h"

namespace tolvane::formats {

// Large enough that the cut costs nothing measurable in size (deflate looks back only
// 32 KiB), small enough that a thread holds only a few MiB: one piece and its member.
constexpr std::size_t kGzipPieceBytes = std::size_t{4} << 20;

// Writes bytes [offset, offset + piece.size()) of the stream into `piece`: one or more
// whole pieces from a piece's start. Called from several threads at once, each time
// for different pieces.
using StreamPieceFiller = std::function<void(std::size_t offset, std::span<unsigned char> piece)>;

// Receives the members in stream order, from one thread at a time.
using GzipMemberSink = std::function<void(std::span<const unsigned char> member)>;

// Where compressions in progress take on threads that have nothing else to do, such as
// a study's jobs that have no run left to make while others are still writing theirs.
// A compression given the desk offers its pieces there while it runs; a thread in
// helpUntilClosed() compresses pieces of whichever compression has some left, and
// returns once close() has been called and it is not in the middle of a piece. The
// output does not change: the pieces and their order are the same whoever compresses
// them. Thread-safe; it must outlive the compressions and the helpers that use it.
class GzipHelpDesk {
 public:
  GzipHelpDesk();
  ~GzipHelpDesk();
  GzipHelpDesk(const GzipHelpDesk&) = delete;
  GzipHelpDesk& operator=(const GzipHelpDesk&) = delete;

  void helpUntilClosed();
  void close();

  struct State;  // the offers and their helpers, in parallel_gzip.cpp
  State* state() { return state_.get(); }

 private:
  std::unique_ptr<State> state_;
};

// Compresses the `streamBytes` bytes that `fill` provides at libdeflate's `level`
// (0 to 12) on `threads` threads, the calling one included (at least one, and never more
// than there are fills), and, when `helpers` is given, on the threads waiting there
// too; hands the members to `write` in order. Each call of `fill` asks for
// `piecesPerFill` consecutive pieces at once (fewer at the end), for a stream that is
// cheaper to produce in larger spans; each piece is still a member of its own, so the
// output is the same for any value, and a thread holds that many pieces and members. An empty
// stream gives one empty member. The first exception thrown by `fill` or `write` stops every thread
// and is rethrown here; memory that cannot be had, for the buffers or for libdeflate's compressor,
// throws std::bad_alloc.
void compressAsGzipMembers(std::size_t streamBytes, const StreamPieceFiller& fill,
                           const GzipMemberSink& write, int level, unsigned threads,
                           GzipHelpDesk* helpers = nullptr, std::size_t piecesPerFill = 1);

}  // namespace tolvane::formats
