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

// Threads take pieces in stream order from a shared counter, a few consecutive ones at a
// time (one fill), compress them on their own, and then wait for their turn to write, so
// that members leave in order while the other threads go on compressing. A thread holds
// one fill's pieces and members at a time, which bounds the memory per thread.
class OrderedCompression {
 public:
  OrderedCompression(std::size_t streamBytes, const StreamPieceFiller& fill,
                     const GzipMemberSink& write, int level, std::size_t piecesPerFill)
      : streamBytes_(streamBytes),
        pieceCount_(streamBytes == 0 ? 1 : (streamBytes - 1) / kGzipPieceBytes + 1),
        piecesPerFill_(std::max<std::size_t>(piecesPerFill, 1)),
        fill_(fill),
        write_(write),
        level_(level) {}

  std::size_t pieceCount() const { return pieceCount_; }
  // Whether a thread that joins now would find a piece to compress.
  bool piecesLeft() const { return !failed_ && nextPiece_.load() < pieceCount_; }

  // The loop each thread runs; never throws, a failure is kept for rethrow().
  void work() noexcept {
    try {
      compressPieces();
    } catch (...) {
      const std::lock_guard lock(mutex_);
      if (!failure_) failure_ = std::current_exception();
      failed_ = true;
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
    const std::size_t pieceBytes = std::min(streamBytes_, kGzipPieceBytes);
    const std::size_t fillPieces = std::min(piecesPerFill_, pieceCount_);
    const std::size_t memberBound = libdeflate_gzip_compress_bound(compressor.get(), pieceBytes);
    std::vector<unsigned char> pieces(pieceBytes * fillPieces);
    std::vector<unsigned char> members(memberBound * fillPieces);
    std::vector<std::size_t> memberBytes(fillPieces);
    for (;;) {
      const std::size_t first = nextPiece_.fetch_add(fillPieces);
      if (first >= pieceCount_) return;
      const std::size_t count = std::min(fillPieces, pieceCount_ - first);
      const std::size_t offset = first * kGzipPieceBytes;
      const std::size_t bytes = std::min(count * kGzipPieceBytes, streamBytes_ - offset);
      fill_(offset, {pieces.data(), bytes});
      for (std::size_t i = 0; i < count; ++i) {
        const std::size_t start = i * kGzipPieceBytes;
        memberBytes[i] = libdeflate_gzip_compress(compressor.get(), pieces.data() + start,
                                                  std::min(kGzipPieceBytes, bytes - start),
                                                  members.data() + i * memberBound, memberBound);
        if (memberBytes[i] == 0) {
          throw std::logic_error("gzip member larger than libdeflate's bound");
        }
      }

      std::unique_lock lock(mutex_);
      turnChanged_.wait(lock, [&] { return turn_ == first || failure_; });
      if (failure_) return;
      for (std::size_t i = 0; i < count; ++i) {
        write_(std::span<const unsigned char>(members.data() + i * memberBound, memberBytes[i]));
        ++turn_;
      }
      turnChanged_.notify_all();
    }
  }

  const std::size_t streamBytes_;
  const std::size_t pieceCount_;
  const std::size_t piecesPerFill_;
  const StreamPieceFiller& fill_;
  const GzipMemberSink& write_;
  const int level_;
  std::atomic<std::size_t> nextPiece_{0};
  std::mutex mutex_;
  std::condition_variable turnChanged_;
  std::size_t turn_ = 0;  // the piece whose member is written next
  std::exception_ptr failure_;
  std::atomic<bool> failed_{false};  // failure_ is set, readable without the mutex
};

}  // namespace

// A compression on offer, and the helpers inside its work() at the moment.
struct Offer {
  OrderedCompression* compression;
  int helpers;
};

struct GzipHelpDesk::State {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Offer> offers;
  bool closed = false;
};

GzipHelpDesk::GzipHelpDesk() : state_(std::make_unique<State>()) {}
GzipHelpDesk::~GzipHelpDesk() = default;

void GzipHelpDesk::helpUntilClosed() {
  State& state = *state_;
  std::unique_lock lock(state.mutex);
  for (;;) {
    Offer* offer = nullptr;
    state.changed.wait(lock, [&] {
      for (Offer& candidate : state.offers) {
        if (candidate.compression->piecesLeft()) offer = &candidate;
      }
      return offer != nullptr || state.closed;
    });
    if (offer == nullptr) return;
    // The offer stays in place while it has helpers (its owner waits for them), but the
    // vector may move it, so the compression is held by its own pointer.
    OrderedCompression* const compression = offer->compression;
    ++offer->helpers;
    lock.unlock();
    compression->work();
    lock.lock();
    for (Offer& same : state.offers) {
      if (same.compression == compression) --same.helpers;
    }
    state.changed.notify_all();
  }
}

void GzipHelpDesk::close() {
  const std::lock_guard lock(state_->mutex);
  state_->closed = true;
  state_->changed.notify_all();
}

namespace {

// Offers a compression at a desk for as long as it lives; its end waits for the
// helpers still at work on it.
class DeskOffer {
 public:
  DeskOffer(GzipHelpDesk::State* desk, OrderedCompression& compression)
      : desk_(desk), compression_(&compression) {
    if (desk_ == nullptr) return;
    const std::lock_guard lock(desk_->mutex);
    desk_->offers.push_back({compression_, 0});
    desk_->changed.notify_all();
  }
  ~DeskOffer() {
    if (desk_ == nullptr) return;
    std::unique_lock lock(desk_->mutex);
    const auto mine = [&] {
      return std::find_if(desk_->offers.begin(), desk_->offers.end(),
                          [&](const Offer& offer) { return offer.compression == compression_; });
    };
    desk_->changed.wait(lock, [&] { return mine()->helpers == 0; });
    desk_->offers.erase(mine());
    desk_->changed.notify_all();
  }
  DeskOffer(const DeskOffer&) = delete;
  DeskOffer& operator=(const DeskOffer&) = delete;

 private:
  GzipHelpDesk::State* const desk_;
  OrderedCompression* const compression_;
};

}  // namespace

void compressAsGzipMembers(std::size_t streamBytes, const StreamPieceFiller& fill,
                           const GzipMemberSink& write, int level, unsigned threads,
                           GzipHelpDesk* desk, std::size_t piecesPerFill) {
  OrderedCompression compression(streamBytes, fill, write, level, piecesPerFill);
  const std::size_t fills =
      (compression.pieceCount() - 1) / std::max<std::size_t>(piecesPerFill, 1) + 1;
  const std::size_t wanted = std::min<std::size_t>(std::max(threads, 1u), fills);
  {
    // Any thread takes the next piece, so those that can be started share the work.
    const DeskOffer offer(desk == nullptr ? nullptr : desk->state(), compression);
    onAvailableThreads(static_cast<unsigned>(wanted), [&](unsigned) { compression.work(); });
  }
  compression.rethrowFailure();
}

}  // namespace tolvane::formats
