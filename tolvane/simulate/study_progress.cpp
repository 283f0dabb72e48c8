// The study's progress line; see study_progress.h.
#include "tolvane/simulate/study_progress.h"

#include <cmath>
#include <cstdio>

namespace tolvane::simulate {
namespace {

constexpr int kBarWidth = 30;
constexpr auto kRedrawInterval = std::chrono::milliseconds(500);

}  // namespace

std::string clockTime(double seconds) {
  const long long whole = std::llround(std::max(0.0, seconds));
  char text[32];
  if (whole >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60,
                  whole % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
  }
  return text;
}

StudyProgress::StudyProgress(std::ostream& out, int total, bool terminal)
    : out_(out), total_(total), terminal_(terminal), start_(std::chrono::steady_clock::now()) {
  if (terminal_ && total_ > 0) ticker_ = std::thread([this] { tick(); });
}

StudyProgress::~StudyProgress() { finish(); }

void StudyProgress::runStarted() {
  const std::lock_guard<std::mutex> guard(mutex_);
  ++started_;
  if (terminal_) draw();
}

void StudyProgress::runFinished(const std::string& label) {
  const std::lock_guard<std::mutex> guard(mutex_);
  ++finished_;
  if (terminal_) {
    draw();
  } else {
    out_ << "tolvane: " << label << " written (" << finished_ << " of " << total_ << " runs)\n"
         << std::flush;
  }
}

void StudyProgress::finish() {
  {
    const std::lock_guard<std::mutex> guard(mutex_);
    if (done_) return;
    done_ = true;
    if (terminal_ && total_ > 0) {
      draw();
      out_ << "\n" << std::flush;
    }
  }
  wake_.notify_all();
  if (ticker_.joinable()) ticker_.join();
}

void StudyProgress::draw() {
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const int filled = total_ > 0 ? kBarWidth * finished_ / total_ : kBarWidth;
  std::string line = "\r[" + std::string(static_cast<std::size_t>(filled), '#') +
                     std::string(static_cast<std::size_t>(kBarWidth - filled), '.') + "] " +
                     std::to_string(finished_) + "/" + std::to_string(total_) + " runs";
  const int running = started_ - finished_;
  if (running > 0) line += ", " + std::to_string(running) + " running";
  line += "  " + clockTime(elapsed) + " elapsed";
  if (finished_ > 0 && finished_ < total_) {
    line += ", about " + clockTime(elapsed / finished_ * (total_ - finished_)) + " left";
  }
  out_ << line << "\x1b[K" << std::flush;  // clear what a longer earlier line left
}

void StudyProgress::tick() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, kRedrawInterval, [this] { return done_; })) draw();
}

}  // namespace tolvane::simulate
