// The study's progress line; see study_progress.h.
#include "tolvane/simulate/study_progress.h"

#include <algorithm>
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

StudyProgress::StudyProgress(std::ostream& out, int total, std::int64_t volumes, int jobs,
                             bool terminal)
    : out_(out),
      total_(total),
      volumes_(volumes),
      terminal_(terminal),
      start_(std::chrono::steady_clock::now()),
      written_(static_cast<std::size_t>(std::max(jobs, 1)), -1) {
  if (terminal_ && total_ > 0) ticker_ = std::thread([this] { tick(); });
}

StudyProgress::~StudyProgress() { finish(); }

void StudyProgress::runStarted(int job) {
  const std::lock_guard<std::mutex> guard(mutex_);
  ++started_;
  written_.at(static_cast<std::size_t>(job)) = 0;
  if (terminal_) draw();
}

void StudyProgress::runVolumes(int job, std::int64_t written) {
  const std::lock_guard<std::mutex> guard(mutex_);
  written_.at(static_cast<std::size_t>(job)) = written;
}

void StudyProgress::runFinished(int job, const std::string& label) {
  const std::lock_guard<std::mutex> guard(mutex_);
  ++finished_;
  written_.at(static_cast<std::size_t>(job)) = -1;
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
  // The runs in progress, each with its volumes written; they count towards the pace by
  // that share.
  std::string inProgress;
  double done = finished_;
  for (const std::int64_t written : written_) {
    if (written < 0) continue;
    inProgress += (inProgress.empty() ? "" : ", ") + std::to_string(written);
    if (volumes_ > 0) done += static_cast<double>(written) / static_cast<double>(volumes_);
  }
  if (!inProgress.empty()) {
    line += "; running: " + inProgress + " of " + std::to_string(volumes_) + " volumes";
  }
  line += "  " + clockTime(elapsed) + " elapsed";
  if (done > 0.0 && finished_ < total_) {
    line += ", about " + clockTime(elapsed / done * (total_ - done)) + " left";
  }
  out_ << line << "\x1b[K" << std::flush;  // clear what a longer earlier line left
}

void StudyProgress::tick() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, kRedrawInterval, [this] { return done_; })) draw();
}

}  // namespace tolvane::simulate
