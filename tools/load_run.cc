#include "tools/load_run.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <thread>

#include "tools/load_objects.h"

namespace tarnix {
namespace load {
namespace {

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::duration elapsed) {
  return std::chrono::duration<double, std::milli>(elapsed).count();
}

// What the client threads share.
struct Shared {
  const LoadOptions* options;
  uint64_t first_sequence;
  Clock::time_point deadline;
  std::atomic<uint64_t> claimed{0};        // transactions handed out (count runs)
  std::atomic<uint64_t> next_sequence{0};  // Put objects handed out
  std::atomic<bool> failed{false};
  std::mutex mutex;  // guards what follows
  LoadResult result;
  std::string error;
};

// Whether another transaction may start.
bool MayStart(Shared* shared) {
  if (shared->failed.load()) return false;
  if (shared->options->count > 0) return shared->claimed.fetch_add(1) < shared->options->count;
  return Clock::now() < shared->deadline;
}

void RunClient(uint32_t index, LoadClient* client, Shared* shared) {
  const LoadOptions& options = *shared->options;
  std::mt19937_64 random(index + 1);
  std::vector<uint64_t> sequences(options.objects);
  std::vector<double> latencies;
  std::string error;
  bool ok = true;
  while (ok && MayStart(shared)) {
    if (options.mode == LoadMode::kPut) {
      const uint64_t first = shared->next_sequence.fetch_add(options.objects);
      for (uint32_t i = 0; i < options.objects; ++i) {
        sequences[i] = shared->first_sequence + first + i;
      }
    } else if (options.mode == LoadMode::kGet) {
      for (uint64_t& sequence : sequences) {
        sequence = shared->first_sequence + random() % kGetObjects;
      }
    } else {
      sequences.assign(1, shared->first_sequence + random() % kQueryGroups);
    }
    client->Prepare(sequences);
    const Clock::time_point start = Clock::now();
    ok = client->Run(&error);
    if (ok) latencies.push_back(Milliseconds(Clock::now() - start));
  }
  std::lock_guard<std::mutex> lock(shared->mutex);
  shared->result.transactions += latencies.size();
  shared->result.latencies_ms.insert(shared->result.latencies_ms.end(), latencies.begin(),
                                     latencies.end());
  if (!ok) {
    shared->failed = true;
    ++shared->result.errors;
    if (shared->error.empty()) shared->error = error;
  }
}

}  // namespace

bool AllFound(size_t found, size_t expected, std::string* error) {
  if (found == expected) return true;
  *error = "get found " + std::to_string(found) + " of " + std::to_string(expected) + " objects";
  return false;
}

LoadResult RunLoad(const LoadOptions& options, uint64_t first_sequence, LoadTarget* target,
                   std::string* error) {
  if (options.mode != LoadMode::kPut) {
    std::unique_ptr<LoadClient> writer = target->NewClient(LoadMode::kPut);
    std::vector<uint64_t> sequences(kGetObjects);
    for (uint64_t i = 0; i < kGetObjects; ++i) sequences[i] = first_sequence + i;
    writer->Prepare(sequences);
    std::string preload_error;
    if (!writer->Run(&preload_error)) {
      *error = "writing the objects to read: " + preload_error;
      LoadResult failed;
      failed.errors = 1;
      return failed;
    }
  }

  // Connections are made before the clock starts.
  std::vector<std::unique_ptr<LoadClient>> clients;
  for (uint32_t i = 0; i < options.clients; ++i) clients.push_back(target->NewClient(options.mode));
  Shared shared;
  shared.options = &options;
  shared.first_sequence = first_sequence;
  const Clock::time_point start = Clock::now();
  shared.deadline = start + std::chrono::seconds(options.duration_s);
  std::vector<std::thread> threads;
  for (uint32_t i = 0; i < options.clients; ++i) {
    threads.emplace_back(RunClient, i, clients[i].get(), &shared);
  }
  for (std::thread& thread : threads) thread.join();
  shared.result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (!shared.error.empty() || shared.result.errors > 0) *error = shared.error;
  return std::move(shared.result);
}

}  // namespace load
}  // namespace tarnix
