// Monitors of many where clauses over 2,000 devices, beside another client
// that puts a device every 10 ms: opened, then told of a write of every
// device. Monitors of ordinary clauses, however many, are served in full;
// those whose CONTAINS_ALL sets every device holds in part end with
// RESOURCE_EXHAUSTED, and a monitor beside them is served in full. How long
// the opening and the write hold the other client is printed (a whole-type
// monitor of the same devices is the reference), not asserted.
//
// Sizes come from TARNIX_E2E_MANY_CLAUSES (20,000), TARNIX_E2E_PAIR_TAGS
// (200: the tags of a device, and of the pairs) and TARNIX_E2E_TRIPLE_TAGS
// (40: the tags of the triples).

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
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
    for (int start = 0; start < kDevices; start += 500) {
      tx::PutRequestMsg put;
      for (int i = start; i < start + 500; ++i) {
        *put.add_puts()->mutable_object() = Typed(kDeviceType, Device(i, model, tags));
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
  std::unique_ptr<OpenMonitor> Open(const std::string& id, const std::vector<ClauseText>& clauses) {
    tx::MonitorRequestMsg request;
    request.set_monitor_request_id(id);
    *request.add_statements() = Statement(clauses);
    return std::make_unique<OpenMonitor>(daemon_->address(), request);
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

}  // namespace
}  // namespace e2e
}  // namespace tarnix
