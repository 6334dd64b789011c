#include "tools/monitor_load.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/delivery_check.h"

namespace tarnix {
namespace load {
namespace {

using Clock = DeliveryCheck::Clock;

// How long monitors may trail the last write before they are ended.
constexpr auto kDrainTimeout = std::chrono::seconds(60);

double Milliseconds(Clock::duration elapsed) {
  return std::chrono::duration<double, std::milli>(elapsed).count();
}

// What the monitor threads share with the writer.
struct Monitors {
  std::mutex mutex;  // guards what follows
  std::condition_variable changed;
  uint32_t opened = 0;  // monitors whose Open returned, well or not
  uint32_t done = 0;    // monitors that stopped reading
  uint64_t failures = 0;
  std::string error;

  void Fail(const std::string& text) {
    ++failures;
    if (error.empty()) error = text;
  }
};

void ReadMonitor(LoadMonitor* monitor, DeliveryCheck* check, Monitors* shared) {
  std::string error;
  const bool opened = monitor->Open(&error);
  {
    std::lock_guard<std::mutex> lock(shared->mutex);
    ++shared->opened;
    if (!opened) shared->Fail("monitor did not open: " + error);
    shared->changed.notify_all();
  }
  bool reading = opened;
  std::vector<uint64_t> sequences;
  while (reading && !check->Complete()) {
    sequences.clear();
    bool end_of_transaction = false;
    reading = monitor->Next(&sequences, &end_of_transaction, &error);
    const Clock::time_point now = Clock::now();
    for (uint64_t sequence : sequences) check->Receive(sequence, now);
    if (end_of_transaction) check->EndTransaction();
  }
  std::lock_guard<std::mutex> lock(shared->mutex);
  ++shared->done;
  if (opened && !check->Complete()) {
    shared->Fail("monitor ended after " + std::to_string(check->received()) + " objects: " + error);
  }
  shared->changed.notify_all();
}

}  // namespace

LoadResult RunMonitorLoad(const LoadOptions& options, uint64_t first_sequence, LoadTarget* target,
                          std::string* error) {
  LoadResult result;
  std::unique_ptr<LoadClient> writer = target->NewClient(LoadMode::kPut);
  std::vector<std::unique_ptr<LoadMonitor>> monitors;
  std::vector<std::unique_ptr<DeliveryCheck>> checks;
  for (uint32_t i = 0; i < options.monitors; ++i) {
    monitors.push_back(target->NewMonitor());
    checks.push_back(
        std::make_unique<DeliveryCheck>(first_sequence, options.objects, options.count));
  }
  Monitors shared;
  std::vector<std::thread> threads;
  for (uint32_t i = 0; i < options.monitors; ++i) {
    threads.emplace_back(ReadMonitor, monitors[i].get(), checks[i].get(), &shared);
  }
  bool all_open;
  {
    std::unique_lock<std::mutex> lock(shared.mutex);
    shared.changed.wait(lock, [&] { return shared.opened == options.monitors; });
    all_open = shared.failures == 0;
  }

  // The writer runs only when every monitor is there to see all of it.
  const Clock::time_point start = Clock::now();
  std::vector<Clock::time_point> replies;
  std::string writer_error;
  std::vector<uint64_t> sequences(options.objects);
  for (uint64_t t = 0; all_open && t < options.count; ++t) {
    for (uint32_t i = 0; i < options.objects; ++i) {
      sequences[i] = first_sequence + t * options.objects + i;
    }
    writer->Prepare(sequences);
    const Clock::time_point begin = Clock::now();
    if (!writer->Run(&writer_error)) {
      ++result.errors;
      break;
    }
    replies.push_back(Clock::now());
    result.latencies_ms.push_back(Milliseconds(replies.back() - begin));
  }
  result.transactions = replies.size();
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();

  {
    // After a failure, monitors short of objects would wait for ever.
    std::unique_lock<std::mutex> lock(shared.mutex);
    const bool drained = all_open && result.errors == 0 &&
                         shared.changed.wait_for(lock, kDrainTimeout,
                                                 [&] { return shared.done == options.monitors; });
    if (!drained) {
      for (const std::unique_ptr<LoadMonitor>& monitor : monitors) monitor->Cancel();
    }
  }
  for (std::thread& thread : threads) thread.join();

  Clock::time_point last = start;
  for (const std::unique_ptr<DeliveryCheck>& check : checks) {
    result.delivered += check->received();
    result.errors += check->Errors(replies.size());
    for (uint64_t t = 0; t < replies.size(); ++t) {
      if (check->Whole(t)) last = std::max(last, check->WholeAt(t));
    }
  }
  result.errors += shared.failures;
  result.delivery_seconds = std::chrono::duration<double>(last - start).count();
  for (uint64_t t = 0; t < replies.size(); ++t) {
    Clock::time_point latest = replies[t];
    bool whole = true;
    for (const std::unique_ptr<DeliveryCheck>& check : checks) {
      if (!check->Whole(t)) {
        whole = false;
        break;
      }
      latest = std::max(latest, check->WholeAt(t));
    }
    // A monitor may see a transaction before the writer sees its reply.
    if (whole && !checks.empty()) result.delays_ms.push_back(Milliseconds(latest - replies[t]));
  }
  if (!writer_error.empty()) {
    *error = writer_error;
  } else if (!shared.error.empty()) {
    *error = shared.error;
  } else if (result.errors > 0) {
    *error = "a monitor missed, doubled or reordered objects";
  }
  return result;
}

}  // namespace load
}  // namespace tarnix
