// Monitors of many where clauses over 2,000 devices, beside another client
// that puts a device every 10 ms: opened, then told of a write of every
// device. Monitors of ordinary clauses, however many, are served in full;
// those whose CONTAINS_ALL sets every device holds in part end with
// RESOURCE_EXHAUSTED, and a monitor beside them is served in full. How long
// the opening and the write hold the other client is printed (a whole-type
// monitor of the same devices is the reference), not asserted. Then other
// clients' monitors beside one client's monitor that ends over budget.
//
// Sizes come from TARNIX_E2E_MANY_CLAUSES (20,000), TARNIX_E2E_PAIR_TAGS
// (200: the tags of a device, and of the pairs) and TARNIX_E2E_TRIPLE_TAGS
// (40: the tags of the triples).

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "e2e/e2e_test_util.h"

namespace tarnix {
namespace e2e {
namespace {

constexpr char kWriter[] = "inventory-agent";
constexpr size_t kMiB = size_t{1} << 20;
constexpr int kDevices = 2000;

int EnvOr(const char* name, int fallback) {
  const char* env = std::getenv(name);
  return env != nullptr ? std::atoi(env) : fallback;
}

std::string Tag(int n) { return "t" + std::to_string(n); }

// A where clause as DeviceOpMsg and DeviceMsg text.
struct ClauseText {
  std::string op;
  std::string operand;
};

// Every `size` of the first `tags` tags, as CONTAINS_ALL clauses; each with
// a tag of its own that no device holds, sorted after the others, when
// `lacking` (named by `lacking_prefix` and the clause's number).
std::vector<ClauseText> EverySet(int size, int tags, bool lacking,
                                 const std::string& lacking_prefix = "zz") {
  std::vector<ClauseText> clauses;
  std::vector<int> set(size);
  const auto add = [&] {
    std::string operand;
    for (int n : set) operand += "tags: '" + Tag(n) + "' ";
    if (lacking) operand += "tags: '" + lacking_prefix + std::to_string(clauses.size()) + "'";
    clauses.push_back({"tags { op: CONTAINS_ALL }", operand});
  };
  for (set[0] = 0; set[0] < tags; ++set[0]) {
    for (set[1] = set[0] + 1; set[1] < tags; ++set[1]) {
      if (size == 2) {
        add();
        continue;
      }
      for (set[2] = set[1] + 1; set[2] < tags; ++set[2]) add();
    }
  }
  return clauses;
}

// The monitors' where clauses, and what becomes of them.
struct ClauseShape {
  explicit ClauseShape(const char* shape_name) : name(shape_name) {}

  // Clause n of TARNIX_E2E_MANY_CLAUSES.
  ClauseShape& Each(ClauseText (*make)(int n)) {
    clause = make;
    return *this;
  }
  // Every pair of a device's tags, or of the first `per_450` of each 450;
  // devices hold their tags.
  ClauseShape& Pairs(int per_450 = 450) {
    set_size = 2;
    set_tags_per_450 = per_450;
    tagged = true;
    return *this;
  }
  // Every triple of TARNIX_E2E_TRIPLE_TAGS tags.
  ClauseShape& Triples() {
    set_size = 3;
    tagged = true;
    return *this;
  }
  // Each set with a tag no device holds: the monitors end over budget.
  ClauseShape& LackingATag() {
    lacking = true;
    every_clause_matches = false;
    return *this;
  }
  ClauseShape& Tagged() {
    tagged = true;
    return *this;
  }
  // Of sets, each has them all, lacking tags of its own; of other clauses,
  // each has a share.
  ClauseShape& Monitors(int count) {
    monitors = count;
    return *this;
  }
  ClauseShape& SomeMatchNothing() {
    every_clause_matches = false;
    return *this;
  }
  // The clauses come by ConfigureMonitor, to a monitor opened with one.
  ClauseShape& Configured() {
    configured = true;
    return *this;
  }
  // Opened before any device is stored.
  ClauseShape& OpenedFirst() {
    opened_first = true;
    return *this;
  }

  const char* name;
  ClauseText (*clause)(int n) = nullptr;  // neither: the whole type
  int set_size = 0;
  int set_tags_per_450 = 450;
  bool lacking = false;
  bool tagged = false;
  int monitors = 1;
  bool every_clause_matches = true;
  bool configured = false;
  bool opened_first = false;
};

// Puts a device every 10 ms from its own connection until destroyed.
class OtherClient {
 public:
  OtherClient(const std::string& address, ExampleSchema* schema)
      : thread_([this, address, schema] {
          const std::unique_ptr<tx::Tarnix::Stub> stub = OwnStub(address);
          for (int k = 0; !stop_; ++k) {
            tx::PutRequestMsg put;
            *put.add_puts()->mutable_object() =
                Typed(kDeviceType, schema->Device(100000 + k % 100, "other"));
            const auto begun = Clock::now();
            EXPECT_TRUE(Put(stub.get(), put).ok());
            const auto end = Clock::now();
            {
              std::lock_guard<std::mutex> lock(mu_);
              puts_.push_back({end, Ms(end - begun)});
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
          }
        }) {}
  ~OtherClient() {
    stop_ = true;
    thread_.join();
  }
  // The longest of its puts that ended after `from`, in ms.
  double LongestSince(Clock::time_point from) {
    std::lock_guard<std::mutex> lock(mu_);
    double longest = 0;
    for (const Timed& put : puts_) {
      if (put.end >= from) longest = std::max(longest, put.ms);
    }
    return longest;
  }

  // A Put that waits as long as the daemon takes, within reason.
  static grpc::Status Put(tx::Tarnix::Stub* stub, const tx::PutRequestMsg& put) {
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + std::chrono::minutes(5));
    context.AddMetadata("client-id", kWriter);
    tx::PutResponseMsg response;
    std::unique_ptr<grpc::ClientWriter<tx::PutRequestMsg>> writer = stub->Put(&context, &response);
    writer->Write(put);
    writer->WritesDone();
    return writer->Finish();
  }

 private:
  struct Timed {
    Clock::time_point end;
    double ms;
  };

  std::mutex mu_;
  std::vector<Timed> puts_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class MonitorClausesTest : public ServingDaemonTest {
 protected:
  // Device i with `model` and `tags` tags; one tag when `tags` is 0.
  std::string Device(int i, const std::string& model, int tags) {
    std::string text = "id { left: " + std::to_string(i) + " } hostname: 'h" + std::to_string(i) +
                       "' model: '" + model + "' location { site: 's' }";
    for (int n = 0; n < std::max(tags, 1); ++n) text += " tags: '" + Tag(n) + "'";
    return schema_.Body("DeviceMsg", text);
  }
  void PutDevices(const std::string& model, int tags, std::vector<double>* put_ms) {
    PutEach([&](int i) { return Device(i, model, tags); }, put_ms);
  }
  // Devices 0..kDevices-1 as `device` makes them, in Puts of 500; how long
  // each took goes to *put_ms unless it is null.
  void PutEach(const std::function<std::string(int i)>& device, std::vector<double>* put_ms) {
    for (int start = 0; start < kDevices; start += 500) {
      tx::PutRequestMsg put;
      for (int i = start; i < start + 500; ++i) {
        *put.add_puts()->mutable_object() = Typed(kDeviceType, device(i));
      }
      const auto begun = Clock::now();
      ASSERT_TRUE(OtherClient::Put(stub_.get(), put).ok());
      if (put_ms != nullptr) put_ms->push_back(Ms(Clock::now() - begun));
    }
  }
  tx::MonitorStatementMsg Statement(const std::vector<ClauseText>& clauses) {
    tx::MonitorStatementMsg statement;
    tx::StatementMsg* inner = statement.mutable_statement();
    inner->mutable_unknown_fields()->AddVarint(tx::StatementMsg::kObjectTypeFieldNumber,
                                               kDeviceType);
    for (const ClauseText& clause : clauses) {
      tx::WhereMsg* where = inner->add_where();
      where->set_op_msg(schema_.Body("DeviceOpMsg", clause.op));
      where->set_value(schema_.Body("DeviceMsg", clause.operand));
    }
    return statement;
  }
  std::unique_ptr<OpenMonitor> Open(const std::string& id, const std::vector<ClauseText>& clauses,
                                    const std::string& client_id = "tarnix-cli") {
    tx::MonitorRequestMsg request;
    request.set_monitor_request_id(id);
    *request.add_statements() = Statement(clauses);
    return std::make_unique<OpenMonitor>(daemon_->address(), request, client_id);
  }
  // Adds `clauses` to the device statement of monitor `id`.
  grpc::Status Configure(const std::string& id, const std::vector<ClauseText>& clauses) {
    tx::ConfigureMonitorRequestMsg request;
    request.set_monitor_request_id(id);
    tx::MonitorStatementUpdateMsg* update = request.add_update_statements();
    update->mutable_unknown_fields()->AddVarint(
        tx::MonitorStatementUpdateMsg::kObjectTypeFieldNumber, kDeviceType);
    *update->mutable_add_where() = Statement(clauses).statement().where();
    const std::unique_ptr<tx::Tarnix::Stub> stub = OwnStub(daemon_->address());
    grpc::ClientContext context;
    context.AddMetadata("client-id", "tarnix-cli");
    tx::ConfigureMonitorResponseMsg response;
    return stub->ConfigureMonitor(&context, request, &response);
  }
  // A monitor ended over budget: at its snapshot, or by a write.
  static void ExpectOverBudget(const grpc::Status& status, const std::string& starts) {
    EXPECT_EQ(status.error_code(), grpc::StatusCode::RESOURCE_EXHAUSTED) << status.error_message();
    EXPECT_EQ(status.error_message().rfind(starts, 0), 0u) << status.error_message();
    EXPECT_NE(status.error_message().find(" steps, the limit for that object; narrow "),
              std::string::npos)
        << status.error_message();
  }
};

class ManyClauseMonitorTest : public MonitorClausesTest,
                              public ::testing::WithParamInterface<ClauseShape> {};

TEST_P(ManyClauseMonitorTest, MonitorsAreServedInFullOrEndOverBudgetBesideAWriter) {
  const ClauseShape& shape = GetParam();
  const int tags = shape.tagged ? EnvOr("TARNIX_E2E_PAIR_TAGS", 200) : 0;
  std::vector<std::vector<ClauseText>> clauses(shape.monitors);
  const int many = EnvOr("TARNIX_E2E_MANY_CLAUSES", 20000);
  size_t clause_count = 0;
  for (int m = 0; m < shape.monitors; ++m) {
    const std::string lacking = "zz" + std::to_string(m) + "-";
    if (shape.set_size == 2) {
      clauses[m] = EverySet(2, tags * shape.set_tags_per_450 / 450, shape.lacking, lacking);
    } else if (shape.set_size == 3) {
      clauses[m] = EverySet(3, EnvOr("TARNIX_E2E_TRIPLE_TAGS", 40), shape.lacking, lacking);
    } else if (shape.clause != nullptr) {
      const int share = many / shape.monitors;
      for (int n = m * share; n < (m + 1 == shape.monitors ? many : (m + 1) * share); ++n) {
        clauses[m].push_back(shape.clause(n));
      }
    } else {
      clauses[m].push_back({"", ""});  // the whole type
    }
    clause_count += clauses[m].size();
  }
  const bool ends = shape.lacking;
  if (!shape.opened_first) PutDevices("stored", tags, nullptr);
  const size_t stored = shape.opened_first ? 0 : kDevices;
  const pid_t pid = daemon_->process().pid();
  const size_t stored_rss = Rss(pid);
  OtherClient other(daemon_->address(), &schema_);

  const auto opening = Clock::now();
  // Beside monitors that end, one whose sets every device holds: every pair
  // of its first 45 tags.
  std::unique_ptr<OpenMonitor> witness;
  if (ends) {
    witness = Open("witness", EverySet(2, 45, false));
    const std::vector<std::string> snapshot = witness->ReadTransaction();
    EXPECT_EQ(std::set<std::string>(snapshot.begin(), snapshot.end()).size(),
              shape.opened_first ? 1 : stored);
  }
  std::vector<std::unique_ptr<OpenMonitor>> monitors;
  for (int m = 0; m < shape.monitors; ++m) {
    const std::string id = "many" + std::to_string(m);
    if (!shape.configured) {
      monitors.push_back(Open(id, clauses[m]));
      continue;
    }
    monitors.push_back(Open(id, {{"hostname { op: NOT_EQUALS }", "hostname: 'x-open'"}}));
    EXPECT_GE(monitors.back()->ReadTransaction().size(), stored);
    const grpc::Status configured = Configure(id, clauses[m]);
    EXPECT_TRUE(configured.ok()) << configured.error_message();
  }
  size_t ended = 0;
  for (auto& monitor : monitors) {
    // Every device once (and some of the other client's); the type alone
    // when some clause matched nothing. The change's snapshot may come
    // after some of the other client's puts.
    std::vector<std::string> snapshot = monitor->ReadTransaction();
    for (int i = 0; shape.configured && snapshot.size() < stored && i < 1000; ++i) {
      snapshot = monitor->ReadTransaction();
    }
    if (ends && !shape.opened_first) {
      EXPECT_TRUE(snapshot.empty());
      ExpectOverBudget(monitor->Finish(),
                       "Matching the CONTAINS_ALL where clauses of "
                       "caldek.orv.tarnix.DeviceMsg against one stored object took more than ");
      ++ended;
      continue;
    }
    std::set<std::string> devices(snapshot.begin(), snapshot.end());
    EXPECT_EQ(devices.size(), snapshot.size());
    const size_t none = shape.every_clause_matches ? 0 : 1;
    EXPECT_EQ(devices.count(""), none);
    EXPECT_GE(devices.size(), stored + none);
  }
  const double open_ms = Ms(Clock::now() - opening);
  const double open_longest = other.LongestSince(opening);
  std::printf(
      "figures: shape=%s clauses=%zu monitors=%d opening=%.0f ms (other client's longest put "
      "%.1f ms, rss %zu -> %zu MiB)\n",
      shape.name, clause_count, shape.monitors, open_ms, open_longest, stored_rss / kMiB,
      Rss(pid) / kMiB);
  std::fflush(stdout);

  // Each monitor still open, and the witness, hears of every device
  // written again; those over budget end on the first.
  std::vector<OpenMonitor*> listening;
  for (auto& monitor : monitors) {
    if (!monitor->finished) listening.push_back(monitor.get());
  }
  if (witness != nullptr) listening.push_back(witness.get());
  std::vector<std::thread> readers;
  std::vector<int> heard(listening.size(), 0);
  for (size_t m = 0; m < listening.size(); ++m) {
    readers.emplace_back([&, m] {
      while (heard[m] < kDevices) {
        const std::vector<std::string> bodies = listening[m]->ReadTransaction();
        if (bodies.empty()) return;  // ended
        for (const std::string& body : bodies) {
          if (body.find("written") != std::string::npos) ++heard[m];
        }
      }
    });
  }
  const auto writing = Clock::now();
  std::vector<double> put_ms;
  PutDevices("written", tags, &put_ms);
  for (std::thread& reader : readers) reader.join();
  const double write_ms = Ms(Clock::now() - writing);
  const double write_longest = other.LongestSince(writing);
  for (size_t m = 0; m < listening.size(); ++m) {
    if (!ends || listening[m] == witness.get()) {
      EXPECT_EQ(heard[m], kDevices) << m;
      continue;
    }
    EXPECT_EQ(heard[m], 0) << m;
    ExpectOverBudget(listening[m]->Finish(),
                     "Monitor many" + std::to_string(m) +
                         " ended: matching its CONTAINS_ALL where clauses against one object "
                         "took more than ");
    ++ended;
  }
  EXPECT_EQ(ended, ends ? monitors.size() : 0u);
  std::printf(
      "figures: shape=%s write of %d devices=%.0f ms (longest put of 500 %.0f ms; other "
      "client's longest put %.1f ms) monitors ended=%zu\n",
      shape.name, kDevices, write_ms, *std::max_element(put_ms.begin(), put_ms.end()),
      write_longest, ended);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, ManyClauseMonitorTest,
    ::testing::Values(
        ClauseShape("EqualsHostname")
            .Each([](int n) {
              return ClauseText{"hostname { op: EQUALS }",
                                "hostname: 'h" + std::to_string(n) + "'"};
            })
            .SomeMatchNothing(),
        ClauseShape("NotEqualsHostname").Each([](int n) {
          return ClauseText{"hostname { op: NOT_EQUALS }",
                            "hostname: 'x" + std::to_string(n) + "'"};
        }),
        ClauseShape("NotEqualsTags").Each([](int n) {
          return ClauseText{"tags { op: NOT_EQUALS }", "tags: 'x" + std::to_string(n) + "'"};
        }),
        ClauseShape("NotEqualsLocation").Each([](int n) {
          return ClauseText{"location { self { op: NOT_EQUALS } }",
                            "location { site: 'x" + std::to_string(n) + "' }"};
        }),
        ClauseShape("NotEqualsHostnameTenMonitors")
            .Each([](int n) {
              return ClauseText{"hostname { op: NOT_EQUALS }",
                                "hostname: 'x" + std::to_string(n) + "'"};
            })
            .Monitors(10),
        ClauseShape("ContainsAllPairs").Pairs(),
        ClauseShape("ContainsAllTriples").Triples(),
        // Any of a tag every device holds, or one none holds.
        ClauseShape("ContainsAnyHeldOrLacking")
            .Each([](int n) {
              return ClauseText{"tags { op: CONTAINS_ANY }",
                                "tags: '" + Tag(n % 40) + "' tags: 'x" + std::to_string(n) + "'"};
            })
            .Tagged(),
        // Half NOT_EQUALS, half EQUALS on the hostname.
        ClauseShape("NotEqualsAndEqualsHostname")
            .Each([](int n) {
              const char* op =
                  n % 2 == 0 ? "hostname { op: NOT_EQUALS }" : "hostname { op: EQUALS }";
              return ClauseText{op, "hostname: 'h" + std::to_string(n / 2) + "'"};
            })
            .SomeMatchNothing(),
        ClauseShape("ExistsHostname").Each([](int) {
          return ClauseText{"hostname { op: EXISTS }", ""};
        }),
        ClauseShape("ConfiguredNotEqualsHostname")
            .Each([](int n) {
              return ClauseText{"hostname { op: NOT_EQUALS }",
                                "hostname: 'x" + std::to_string(n) + "'"};
            })
            .Configured(),
        // Sets every device holds in part.
        ClauseShape("PairsLackingATag").Pairs().LackingATag(),
        ClauseShape("PairsLackingATagOpenedFirst").Pairs().LackingATag().OpenedFirst(),
        ClauseShape("TenMonitorsOfPairsLackingATag").Pairs(143).LackingATag().Monitors(10),
        ClauseShape("TriplesLackingATag").Triples().LackingATag(),
        // The devices of the pairs watched whole: what any monitor of them costs.
        ClauseShape("WholeTypeManyTags").Tagged()),
    [](const ::testing::TestParamInfo<ClauseShape>& info) { return std::string(info.param.name); });

// Ten monitors of sets every device holds in part, each lacking tags of
// its own, opened on an empty database, then a write of 2,000 devices and
// SIGTERM once it is answered: the daemon ends within a few seconds,
// whatever matching the write left to do.
TEST_F(MonitorClausesTest, SigtermEndsTheDaemonWhileMonitorsOverBudgetAreTold) {
  const int tags = EnvOr("TARNIX_E2E_PAIR_TAGS", 200);
  std::vector<std::unique_ptr<OpenMonitor>> monitors;
  for (int m = 0; m < 10; ++m) {
    const std::string id = "part" + std::to_string(m);
    monitors.push_back(Open(id, EverySet(2, tags, true, "zz" + id + "-")));
    EXPECT_EQ(monitors.back()->ReadTransaction(), std::vector<std::string>{""});
  }
  tx::PutRequestMsg put;
  for (int i = 0; i < kDevices; ++i) {
    *put.add_puts()->mutable_object() = Typed(kDeviceType, Device(i, "written", tags));
  }
  ASSERT_TRUE(OtherClient::Put(stub_.get(), put).ok());
  ExpectStopWithinFiveSeconds(daemon_.get(), std::chrono::seconds(60));
}

// Another client's costly monitor beside well-behaved ones. Devices hold
// the tags p000.. of TARNIX_E2E_PAIR_TAGS, the even ones "rare" too. Each
// bystander, of another client, is one statement of CONTAINS_ALL {p_i,
// rare} for the first B tags; the hostile monitor (inventory-agent) holds
// {p_i, p_j, zz_k} for every pair, no device holding any zz_k. Bystanders
// are told every even device of each write, in order and once, and stay
// open; the hostile monitor ends over budget, whichever comes first.
enum class Arrival {
  kBystandersAlone,       // no hostile monitor; one write of every device
  kAllBeforeAnyDevice,    // bystanders, then the hostile one; two writes
  kHostileAfterSnapshots  // devices stored, bystanders, the hostile one; one write
};

struct BystanderRow {
  const char* name;
  Arrival arrival;
};

void PrintTo(const BystanderRow& row, std::ostream* os) { *os << row.name; }

std::string PTag(int n) {
  char tag[16];
  std::snprintf(tag, sizeof(tag), "p%03d", n);
  return tag;
}

// A monitor read on a thread of its own until it has been told `expected`
// objects or its call ends.
class Listener {
 public:
  Listener(OpenMonitor* monitor, size_t expected)
      : monitor_(monitor), thread_([this, expected] {
          while (bodies_.size() < expected) {
            const std::vector<std::string> bodies = monitor_->ReadTransaction();
            if (bodies.empty()) {
              ended_ = true;
              break;
            }
            bodies_.insert(bodies_.end(), bodies.begin(), bodies.end());
            told_.push_back({bodies_.size(), Clock::now()});
          }
          done_ = true;
        }) {}
  ~Listener() { Join(std::chrono::seconds(0)); }

  // Waits up to `wait` for it, then cancels the call. False when it had
  // to be cancelled.
  bool Join(std::chrono::seconds wait) {
    if (!thread_.joinable()) return true;
    const auto deadline = Clock::now() + wait;
    while (!done_ && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const bool in_time = done_;
    if (!in_time) monitor_->context.TryCancel();
    thread_.join();
    return in_time;
  }
  // After Join: the objects told, and whether the call ended.
  const std::vector<std::string>& bodies() const { return bodies_; }
  bool ended() const { return ended_; }
  // When it had been told `count` objects (nothing before then).
  std::optional<Clock::time_point> ToldBy(size_t count) const {
    for (const auto& [told, at] : told_) {
      if (told >= count) return at;
    }
    return std::nullopt;
  }

 private:
  OpenMonitor* monitor_;
  std::vector<std::string> bodies_;
  std::vector<std::pair<size_t, Clock::time_point>> told_;
  bool ended_ = false;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

class BystanderMonitorTest : public MonitorClausesTest,
                             public ::testing::WithParamInterface<BystanderRow> {
 protected:
  // Device i of `round`, holding the first `tags` tags.
  std::string TaggedDevice(int i, const std::string& round, int tags) {
    std::string text = "id { left: " + std::to_string(i) + " } hostname: 'h" + std::to_string(i) +
                       "' model: '" + round + "' location { site: 's' }";
    for (int n = 0; n < tags; ++n) text += " tags: '" + PTag(n) + "'";
    if (i % 2 == 0) text += " tags: 'rare'";
    return schema_.Body("DeviceMsg", text);
  }
  // "round/hostname" of each device told.
  std::vector<std::string> Told(const std::vector<std::string>& bodies) {
    std::vector<std::string> told;
    for (const std::string& body : bodies) {
      const std::unique_ptr<google::protobuf::Message> device = schema_.Parse("DeviceMsg", body);
      if (device == nullptr) {
        told.push_back("undecodable");
        continue;
      }
      const google::protobuf::Descriptor* type = device->GetDescriptor();
      const google::protobuf::Reflection* fields = device->GetReflection();
      told.push_back(fields->GetString(*device, type->FindFieldByName("model")) + "/" +
                     fields->GetString(*device, type->FindFieldByName("hostname")));
    }
    return told;
  }
};

TEST_P(BystanderMonitorTest, BystandersAreToldInFullAndTheHostileMonitorEndsBesideAWriter) {
  const BystanderRow& row = GetParam();
  const int tags = EnvOr("TARNIX_E2E_PAIR_TAGS", 200);
  const int rounds = row.arrival == Arrival::kAllBeforeAnyDevice ? 2 : 1;
  const bool hostile = row.arrival != Arrival::kBystandersAlone;
  const bool stored = row.arrival == Arrival::kHostileAfterSnapshots;
  const size_t told_per_round = kDevices / 2;

  struct Bystander {
    int sets;
    const char* client;
    std::string id;
    std::unique_ptr<OpenMonitor> monitor;
    std::unique_ptr<Listener> listener;
  };
  std::vector<Bystander> bystanders;
  for (const auto& [sets, client] :
       std::vector<std::pair<int, const char*>>{{1, "network-controller"},
                                                {10, "policy-engine"},
                                                {50, "tarnix-cli"},
                                                {450, "network-controller"}}) {
    const int b = std::min(sets, tags);
    bystanders.push_back({b, client,
                          std::string(row.name) + "-by" + std::to_string(b) + "-" + client, nullptr,
                          nullptr});
  }
  std::vector<ClauseText> hostile_sets;
  for (int a = 0; hostile && a < tags; ++a) {
    for (int b = a + 1; b < tags; ++b) {
      hostile_sets.push_back({"tags { op: CONTAINS_ALL }",
                              "tags: '" + PTag(a) + "' tags: '" + PTag(b) + "' tags: 'zz" +
                                  std::to_string(hostile_sets.size()) + "'"});
    }
  }
  const std::string hostile_id = std::string(row.name) + "-hostile-inventory-agent";
  if (stored) {
    PutEach([&](int i) { return TaggedDevice(i, "stored", tags); }, nullptr);
  }
  // Even devices, in order, of each round.
  const auto expected = [&](const std::vector<std::string>& round_names) {
    std::vector<std::string> told;
    for (const std::string& round : round_names) {
      for (int i = 0; i < kDevices; i += 2) told.push_back(round + "/h" + std::to_string(i));
    }
    return told;
  };
  std::vector<std::string> rounds_written;
  for (int r = 1; r <= rounds; ++r) rounds_written.push_back("written-" + std::to_string(r));

  OtherClient other(daemon_->address(), &schema_);
  const auto opening = Clock::now();
  for (Bystander& bystander : bystanders) {
    std::vector<ClauseText> sets;
    for (int n = 0; n < bystander.sets; ++n) {
      sets.push_back({"tags { op: CONTAINS_ALL }", "tags: '" + PTag(n) + "' tags: 'rare'"});
    }
    bystander.monitor = Open(bystander.id, sets, bystander.client);
    std::vector<std::string> snapshot = Told(bystander.monitor->ReadTransaction());
    if (!stored) {
      // Of no device: the type alone.
      EXPECT_EQ(snapshot, std::vector<std::string>{"/"}) << bystander.id;
      continue;
    }
    std::sort(snapshot.begin(), snapshot.end());
    std::vector<std::string> want = expected({"stored"});
    std::sort(want.begin(), want.end());
    EXPECT_EQ(snapshot.size(), want.size()) << bystander.id;
    EXPECT_TRUE(snapshot == want) << bystander.id << ": not every even device, once";
  }
  for (Bystander& bystander : bystanders) {
    bystander.listener =
        std::make_unique<Listener>(bystander.monitor.get(), told_per_round * rounds);
  }
  std::unique_ptr<OpenMonitor> hostile_monitor;
  std::unique_ptr<Listener> hostile_listener;
  if (hostile) {
    hostile_monitor = Open(hostile_id, hostile_sets, kWriter);
    if (!stored) {
      EXPECT_EQ(Told(hostile_monitor->ReadTransaction()), std::vector<std::string>{"/"});
    }
    hostile_listener = std::make_unique<Listener>(hostile_monitor.get(), SIZE_MAX);
    // Ended by its snapshot before the rewrite.
    if (stored) {
      EXPECT_TRUE(hostile_listener->Join(std::chrono::seconds(120)));
    }
  }
  const double open_ms = Ms(Clock::now() - opening);
  const double open_longest = other.LongestSince(opening);

  std::vector<Clock::time_point> round_begun;
  std::vector<double> put_ms;
  for (const std::string& round : rounds_written) {
    round_begun.push_back(Clock::now());
    PutEach([&](int i) { return TaggedDevice(i, round, tags); }, &put_ms);
  }
  const auto written = Clock::now();
  for (Bystander& bystander : bystanders) {
    EXPECT_TRUE(bystander.listener->Join(std::chrono::seconds(120)))
        << bystander.id << " was not told every device within 120 s of the last write";
  }
  if (hostile_listener != nullptr) {
    EXPECT_TRUE(hostile_listener->Join(std::chrono::seconds(120)))
        << hostile_id << " still open 120 s after the last write";
  }
  const double write_ms = Ms(Clock::now() - round_begun.front());
  const double write_longest = other.LongestSince(round_begun.front());
  const double row_longest = other.LongestSince(opening);

  std::string outcome;
  for (Bystander& bystander : bystanders) {
    const Listener& listener = *bystander.listener;
    outcome += " by" + std::to_string(bystander.sets) + "=";
    if (listener.ended()) {
      const grpc::Status status = bystander.monitor->Finish();
      ADD_FAILURE() << "bystander " << bystander.id << " (" << bystander.sets << " sets, client "
                    << bystander.client << ") was ended after " << listener.bodies().size()
                    << " of " << told_per_round * rounds << " devices: code " << status.error_code()
                    << " \"" << status.error_message() << "\"";
      outcome += "ended-after-" + std::to_string(listener.bodies().size());
      continue;
    }
    const std::vector<std::string> told = Told(listener.bodies());
    const std::vector<std::string> want = expected(rounds_written);
    EXPECT_EQ(told.size(), want.size()) << bystander.id;
    const auto differ = std::mismatch(told.begin(), told.end(), want.begin(), want.end());
    EXPECT_TRUE(differ.first == told.end())
        << bystander.id << ": told " << *differ.first << " where "
        << (differ.second == want.end() ? std::string("nothing") : *differ.second) << " was due";
    outcome += "told-" + std::to_string(told.size());
    for (size_t r = 1; r <= rounds_written.size(); ++r) {
      const std::optional<Clock::time_point> at = listener.ToldBy(told_per_round * r);
      if (at.has_value()) {
        outcome += "/" + std::to_string(static_cast<int>(Ms(*at - round_begun[r - 1]))) + "ms";
      }
    }
  }
  if (hostile_monitor != nullptr) {
    EXPECT_TRUE(hostile_listener->bodies().empty());
    const grpc::Status status = hostile_monitor->Finish();
    EXPECT_EQ(status.error_code(), grpc::StatusCode::RESOURCE_EXHAUSTED) << status.error_message();
    const std::string text =
        stored ? "Matching the CONTAINS_ALL where clauses of caldek\\.orv\\.tarnix\\.DeviceMsg "
                 "against one stored object took more than [0-9]+ steps, the limit for that "
                 "object; narrow the where clauses"
               : "Monitor " + hostile_id +
                     " ended: matching its CONTAINS_ALL where clauses against one object took "
                     "more than [0-9]+ steps, the limit for that object; narrow its where clauses";
    EXPECT_TRUE(std::regex_match(status.error_message(), std::regex(text)))
        << status.error_message();
    outcome += " hostile=" + std::to_string(status.error_code());
  }
  std::printf(
      "figures: bystanders row=%s tags=%d hostile_sets=%zu opening=%.0f ms (other client's "
      "longest put %.1f ms) writes of %d devices x%d=%.0f ms (longest put of 500 %.0f ms; other "
      "client's longest put %.1f ms); told within %.0f ms of the last write; other client's "
      "longest put in the row %.1f ms;%s\n",
      row.name, tags, hostile ? hostile_sets.size() : size_t{0}, open_ms, open_longest, kDevices,
      rounds, write_ms, *std::max_element(put_ms.begin(), put_ms.end()), write_longest,
      Ms(Clock::now() - written), row_longest, outcome.c_str());
  std::fflush(stdout);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BystanderMonitorTest,
    ::testing::Values(BystanderRow{"BystandersAlone", Arrival::kBystandersAlone},
                      BystanderRow{"AllBeforeAnyDevice", Arrival::kAllBeforeAnyDevice},
                      BystanderRow{"HostileAfterSnapshots", Arrival::kHostileAfterSnapshots}),
    [](const ::testing::TestParamInfo<BystanderRow>& info) {
      return std::string(info.param.name);
    });

}  // namespace
}  // namespace e2e
}  // namespace tarnix
