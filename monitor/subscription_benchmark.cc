// MatchObjectSubscriptions for one changed DeviceMsg against one index of N
// monitors, each with an EQUALS on its own hostname, beside 100 monitors
// with a CONTAINS_ALL of three tags. The object matches one monitor (its
// hostname) or three (and two of the tag sets). Also reports the heap bytes
// one EQUALS subscription takes, registration and statement data included
// (tcmalloc builds only).
//
// Then one monitor of many clauses that the device all satisfies: N
// NOT_EQUALS on the hostname, or a CONTAINS_ALL of every pair of the
// device's T tags; and one whose CONTAINS_ALL sets it holds in part.
// Last, such a monitor of every pair of 45 tags lacking a tag, alone and
// beside another client's monitor of 45 {p_i, rare} sets that the device
// holds in full: what the other monitor is charged for.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>
#include <google/protobuf/text_format.h>

#include "logging/logger.h"
#include "monitor/monitor_engine.h"
#include "platform/metrics/metric_registry.h"
#include "schema/schema.h"

// tcmalloc's C interface, resolved only when the process links tcmalloc.
extern "C" int MallocExtension_GetNumericProperty(const char* property, size_t* value)
    __attribute__((weak));

namespace tarnix {
namespace {

namespace pb = google::protobuf;

constexpr char kType[] = "caldek.orv.tarnix.DeviceMsg";
constexpr int kContainsAll = 100;

double AllocatedBytes() {
  size_t value = 0;
  if (MallocExtension_GetNumericProperty == nullptr ||
      !MallocExtension_GetNumericProperty("generic.current_allocated_bytes", &value)) {
    return 0;
  }
  return static_cast<double>(value);
}

std::string Tag(int i) { return "tag-" + std::to_string(i); }

struct Index {
  explicit Index(int monitors) : schema(TARNIX_EXAMPLE_SCHEMA, "caldek.orv.tarnix") {
    orv::Logger::logLevel = orv::ERROR;  // no line per subscription
    engine = std::make_unique<MonitorEngine>(&schema, &registry);
    op_type = schema.op_messages().GetOpMsgTypeName(kType);
    const double before = AllocatedBytes();
    for (int i = 0; i < monitors; ++i) {
      const std::string id = "equals-" + std::to_string(i);
      engine->AddMonitor(id, 1);
      Subscribe(id, "hostname { op: EQUALS }", "hostname: 'host-" + std::to_string(i) + "'");
    }
    if (monitors > 0) bytes_per_subscription = (AllocatedBytes() - before) / monitors;
    // Disjoint triples: tag-0..2, tag-3..5, ...
    for (int i = 0; i < kContainsAll; ++i) {
      const std::string id = "all-" + std::to_string(i);
      engine->AddMonitor(id, 1);
      Subscribe(id, "tags { op: CONTAINS_ALL }",
                "tags: ['" + Tag(3 * i) + "', '" + Tag(3 * i + 1) + "', '" + Tag(3 * i + 2) + "']");
    }
  }

  void Subscribe(const std::string& monitor, const std::string& op_text,
                 const std::string& value_text) {
    if (!engine->AddSubscription(monitor, kType, TarnixObject(op_type, Text(op_type, op_text)),
                                 TarnixObject(kType, Text(kType, value_text)))) {
      std::abort();
    }
  }

  std::string Text(const std::string& type, const std::string& text) {
    std::unique_ptr<pb::Message> message(schema.types().NewMessage(type));
    if (!google::protobuf::TextFormat::ParseFromString(text, message.get())) std::abort();
    return message->SerializeAsString();
  }

  Schema schema;
  orv::metrics::MetricRegistry registry;
  std::unique_ptr<MonitorEngine> engine;
  std::string op_type;
  double bytes_per_subscription = 0;
};

// The changed device: host-0, with eight tags that hold two of the triples
// when `matching` is 3 and none when it is 1.
std::unique_ptr<pb::Message> Device(Index* index, int matching) {
  std::string text = "hostname: 'host-0'";
  const int first = matching == 3 ? 0 : 1000;
  for (int t = 0; t < 6; ++t) text += " tags: '" + Tag(first + t) + "'";
  text += " tags: 'rack-7' tags: 'prod'";
  std::unique_ptr<pb::Message> device(index->schema.types().NewMessage(kType));
  if (!google::protobuf::TextFormat::ParseFromString(text, device.get())) std::abort();
  return device;
}

void BM_MatchObjectSubscriptions(benchmark::State& state) {
  const int monitors = static_cast<int>(state.range(0));
  const int matching = static_cast<int>(state.range(1));
  Index index(monitors);
  std::unique_ptr<pb::Message> device = Device(&index, matching);
  const VdbIdSet vdbs{1};
  for (auto _ : state) {
    MonitorIdSet matched;
    index.engine->MatchObjectSubscriptions(kType, device.get(), vdbs, &matched);
    if (static_cast<int>(matched.size()) != matching) std::abort();
    benchmark::DoNotOptimize(matched);
  }
  state.counters["bytes_per_subscription"] = index.bytes_per_subscription;
}

BENCHMARK(BM_MatchObjectSubscriptions)
    ->ArgsProduct({{10, 1000, 100000}, {1, 3}})
    ->ArgNames({"monitors", "matching"});

void MatchOneMonitor(benchmark::State& state, Index* index, const pb::Message& device) {
  const VdbIdSet vdbs{1};
  for (auto _ : state) {
    MonitorIdSet matched;
    index->engine->MatchObjectSubscriptions(kType, &device, vdbs, &matched);
    if (matched.size() != 1) std::abort();
    benchmark::DoNotOptimize(matched);
  }
}

void BM_NotEqualsClausesOfOneMonitor(benchmark::State& state) {
  Index index(0);
  index.engine->AddMonitor("many", 1);
  for (int64_t i = 0; i < state.range(0); ++i) {
    index.Subscribe("many", "hostname { op: NOT_EQUALS }",
                    "hostname: 'x" + std::to_string(i) + "'");
  }
  MatchOneMonitor(state, &index, *Device(&index, 1));
}
BENCHMARK(BM_NotEqualsClausesOfOneMonitor)->Arg(1000)->Arg(100000)->ArgName("clauses");

void BM_ContainsAllPairsOfOneMonitor(benchmark::State& state) {
  Index index(0);
  index.engine->AddMonitor("pairs", 1);
  const int tags = static_cast<int>(state.range(0));
  auto tag = [](int i) { return "pair-" + std::to_string(i); };  // in none of the triples
  std::string text = "hostname: 'host-0'";
  for (int a = 0; a < tags; ++a) {
    text += " tags: '" + tag(a) + "'";
    for (int b = a + 1; b < tags; ++b) {
      index.Subscribe("pairs", "tags { op: CONTAINS_ALL }",
                      "tags: ['" + tag(a) + "', '" + tag(b) + "']");
    }
  }
  std::unique_ptr<pb::Message> device(index.schema.types().NewMessage(kType));
  if (!google::protobuf::TextFormat::ParseFromString(text, device.get())) std::abort();
  MatchOneMonitor(state, &index, *device);
}
BENCHMARK(BM_ContainsAllPairsOfOneMonitor)->Arg(45)->Arg(450)->ArgName("tags");

// The same pairs, each with an element of its own that the device lacks,
// sorted after its tags or before them: every set is held in part and
// none matches. "steps" is what one match counts.
void BM_ContainsAllPairsHeldInPart(benchmark::State& state) {
  Index index(0);
  index.engine->AddMonitor("part", 1);
  const int tags = static_cast<int>(state.range(0));
  const std::string lacking = state.range(1) != 0 ? "a-lacking-" : "z-lacking-";
  auto tag = [](int i) { return "pair-" + std::to_string(i); };
  std::string text = "hostname: 'host-0'";
  int pair = 0;
  for (int a = 0; a < tags; ++a) {
    text += " tags: '" + tag(a) + "'";
    for (int b = a + 1; b < tags; ++b) {
      index.Subscribe(
          "part", "tags { op: CONTAINS_ALL }",
          "tags: ['" + tag(a) + "', '" + tag(b) + "', '" + lacking + std::to_string(pair++) + "']");
    }
  }
  std::unique_ptr<pb::Message> device(index.schema.types().NewMessage(kType));
  if (!google::protobuf::TextFormat::ParseFromString(text, device.get())) std::abort();
  const VdbIdSet vdbs{1};
  size_t steps = 0;
  for (auto _ : state) {
    MatchedSubscribers matched;
    index.engine->MatchObjectSubscribers(kType, device.get(), vdbs, &matched);
    if (!matched.empty()) std::abort();
    steps = matched.visits;
    benchmark::DoNotOptimize(matched);
  }
  state.counters["steps"] = static_cast<double>(steps);
}
BENCHMARK(BM_ContainsAllPairsHeldInPart)
    ->ArgsProduct({{45, 450}, {0, 1}})
    ->ArgNames({"tags", "lacking_first"});

// One device of the tags p00..p44 and "rare", against a monitor of every
// pair of them, each with a tag of its own that the device lacks, and,
// when `bystander` is 1, another monitor of the 45 sets {p_i, rare}.
// Counters: the steps of one match, and which monitor was put over budget
// or found (1 or 0).
void BM_ContainsAllPairsLackingATagBesideABystander(benchmark::State& state) {
  const int tags = 45;
  const bool bystander = state.range(0) != 0;
  Index index(0);
  auto tag = [](int i) { return std::string(i < 10 ? "p0" : "p") + std::to_string(i); };
  index.engine->AddMonitor("hostile", 1);
  std::string text = "hostname: 'host-0' tags: 'rare'";
  int pair = 0;
  for (int a = 0; a < tags; ++a) {
    text += " tags: '" + tag(a) + "'";
    for (int b = a + 1; b < tags; ++b) {
      index.Subscribe(
          "hostile", "tags { op: CONTAINS_ALL }",
          "tags: ['" + tag(a) + "', '" + tag(b) + "', 'zz" + std::to_string(pair++) + "']");
    }
  }
  if (bystander) {
    index.engine->AddMonitor("bystander", 1);
    for (int a = 0; a < tags; ++a) {
      index.Subscribe("bystander", "tags { op: CONTAINS_ALL }", "tags: ['" + tag(a) + "', 'rare']");
    }
  }
  std::unique_ptr<pb::Message> device(index.schema.types().NewMessage(kType));
  if (!google::protobuf::TextFormat::ParseFromString(text, device.get())) std::abort();
  const VdbIdSet vdbs{1};
  for (auto _ : state) {
    MatchedSubscribers matched;
    index.engine->MatchObjectSubscribers(kType, device.get(), vdbs, &matched);
    benchmark::DoNotOptimize(matched);
  }
  MatchedSubscribers matched;
  index.engine->MatchObjectSubscribers(kType, device.get(), vdbs, &matched);
  MonitorIdSet found;
  matched.ForEachMonitor([&found](const std::string& id) { found.insert(id); });
  auto over_budget = [&matched](const char* id) {
    for (const MatchedSubscribers::OverBudget& over : matched.over_budget) {
      if (over.monitor_id == id) return 1.0;
    }
    return 0.0;
  };
  state.counters["steps"] = static_cast<double>(matched.visits);
  state.counters["hostile_over_budget"] = over_budget("hostile");
  state.counters["hostile_found"] = static_cast<double>(found.count("hostile"));
  if (bystander) {
    state.counters["bystander_over_budget"] = over_budget("bystander");
    state.counters["bystander_found"] = static_cast<double>(found.count("bystander"));
  }
}
BENCHMARK(BM_ContainsAllPairsLackingATagBesideABystander)->Arg(0)->Arg(1)->ArgName("bystander");

}  // namespace
}  // namespace tarnix

BENCHMARK_MAIN();
