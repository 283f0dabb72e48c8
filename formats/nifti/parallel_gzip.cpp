// Gzip members compressed in parallel and written in order; see parallel_gzip.h.
#include "formats/nifti/parallel_gzip.h"

#include <sched.h>

#include <libdeflate.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

namespace tolvane::formats {
namespace {

struct CompressorDeleter {
  void operator()(libdeflate_compressor* compressor) const {
    libdeflate_free_compressor(compressor);
  }
};

// Threads take pieces in stream order from a shared counter, compress them on their own,
// and then wait for their turn to write, so that members leave in order while the other
// threads go on compressing. A thread holds one piece at a time, which bounds the memory
// to a piece and a member per thread.
class OrderedCompression {
 public:
  OrderedCompression(std::size_t streamBytes, const StreamPieceFiller& fill,
                     const GzipMemberSink& write, int level)
      : streamBytes_(streamBytes),
        pieceCount_(streamBytes == 0 ? 1 : (streamBytes - 1) / kGzipPieceBytes + 1),
        fill_(fill),
        write_(write),
        level_(level) {}

  std::size_t pieceCount() const { return pieceCount_; }

  // The loop each thread runs; never throws, a failure is kept for rethrow().
  void work() noexcept {
    try {
      compressPieces();
    } catch (...) {
      const std::lock_guard lock(mutex_);
      if (!failure_) failure_ = std::current_exception();
      turnChanged_.notify_all();
    }
  }

  void rethrowFailure() const {
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  void compressPieces() {
    const std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(
        libdeflate_alloc_compressor(level_));
    if (!compressor) throw std::bad_alloc();
    std::vector<unsigned char> piece(std::min(streamBytes_, kGzipPieceBytes));
    std::vector<unsigned char> member(
        libdeflate_gzip_compress_bound(compressor.get(), piece.size()));
    for (;;) {
      const std::size_t index = nextPiece_.fetch_add(1);
      if (index >= pieceCount_) return;
      const std::size_t offset = index * kGzipPieceBytes;
      const std::span<unsigned char> bytes(piece.data(),
                                           std::min(kGzipPieceBytes, streamBytes_ - offset));
      fill_(offset, bytes);
      const std::size_t memberBytes = libdeflate_gzip_compress(
          compressor.get(), bytes.data(), bytes.size(), member.data(), member.size());
      if (memberBytes == 0) throw std::logic_error("gzip member larger than libdeflate's bound");

      std::unique_lock lock(mutex_);
      turnChanged_.wait(lock, [&] { return turn_ == index || failure_; });
      if (failure_) return;
      write_(std::span<const unsigned char>(member.data(), memberBytes));
      ++turn_;
      turnChanged_.notify_all();
    }
  }

  const std::size_t streamBytes_;
  const std::size_t pieceCount_;
  const StreamPieceFiller& fill_;
  const GzipMemberSink& write_;
  const int level_;
  std::atomic<std::size_t> nextPiece_{0};
  std::mutex mutex_;
  std::condition_variable turnChanged_;
  std::size_t turn_ = 0;  // the piece whose member is written next
  std::exception_ptr failure_;
};

}  // namespace

void compressAsGzipMembers(std::size_t streamBytes, const StreamPieceFiller& fill,
                           const GzipMemberSink& write, int level, unsigned threads) {
  OrderedCompression compression(streamBytes, fill, write, level);
  const std::size_t wanted = std::min<std::size_t>(std::max(threads, 1u), compression.pieceCount());
  std::vector<std::thread> helpers;
  helpers.reserve(wanted - 1);  // so that only starting a thread can fail below
  for (std::size_t i = 1; i < wanted; ++i) {
    // A thread that cannot be started leaves its share to the others.
    try {
      helpers.emplace_back(&OrderedCompression::work, &compression);
    } catch (const std::system_error&) {
      break;
    }
  }
  compression.work();
  for (std::thread& helper : helpers) helper.join();
  compression.rethrowFailure();
}

unsigned usableCores() {
  cpu_set_t allowed;
  if (::sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
    return static_cast<unsigned>(std::max(1, CPU_COUNT(&allowed)));
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace tolvane::formats
