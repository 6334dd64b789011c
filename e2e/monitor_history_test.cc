// Monitors against a history of concurrent writes: every monitor must see
// every committed transaction that concerns it, once, whole and in
// transaction order, and the changes it receives, applied in turn, must
// give what the database holds.

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "caldek/orv/tarnix/tarnix_op.pb.h"
#include "e2e/e2e_test_util.h"

namespace tarnix {
namespace e2e {
namespace {

namespace pb = ::google::protobuf;

constexpr char kAdmin[] = "tarnix-cli";
constexpr uint32_t kOtherVdb = 2;

// One changed object as a monitor received it.
struct Entry {
  int type = 0;
  std::string ops;
  std::string body;
  std::optional<std::string> old_body;
};

// One transaction as a monitor received it: every message up to the end
// mark.
struct Txn {
  uint64_t id = 0;
  std::vector<Entry> entries;
};

// A Monitor call read on a thread of its own for as long as it lives, cut
// into transactions. What breaks the stream's own rules (a message of
// another transaction before the end mark, ids that do not grow) is kept
// in faults().
class RecordedMonitor {
 public:
  RecordedMonitor(tx::Tarnix::Stub* stub, const tx::MonitorRequestMsg& request) {
    context_.AddMetadata("client-id", kAdmin);
    reader_ = stub->Monitor(&context_, request);
    thread_ = std::thread([this] { Read(); });
  }
  ~RecordedMonitor() {
    context_.TryCancel();
    thread_.join();
  }

  std::vector<Txn> txns() const {
    std::lock_guard<std::mutex> lock(mu_);
    return txns_;
  }
  std::vector<std::string> faults() const {
    std::lock_guard<std::mutex> lock(mu_);
    return faults_;
  }
  // Waits until `done` holds for the transactions received so far.
  bool WaitFor(const std::function<bool(const std::vector<Txn>&)>& done) const {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
      if (done(txns())) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

 private:
  void Read() {
    tx::MonitorResponseMsg message;
    Txn current;
    bool open = false;
    while (reader_->Read(&message)) {
      std::lock_guard<std::mutex> lock(mu_);
      const uint64_t id = message.transaction_control().txn_id();
      if (open && id != current.id)
        faults_.push_back("transaction " + std::to_string(id) + " began inside " +
                          std::to_string(current.id));
      if (!open && !txns_.empty() && id <= txns_.back().id) {
        faults_.push_back("transaction " + std::to_string(id) + " after " +
                          std::to_string(txns_.back().id));
      }
      current.id = id;
      open = true;
      for (const tx::MonitorUpdateMsg& update : message.updates()) {
        Entry entry;
        entry.type = TypeOf(update);
        entry.ops = update.update_ops();
        entry.body = update.object_body();
        if (update.has_old_object_body()) entry.old_body = update.old_object_body();
        current.entries.push_back(std::move(entry));
      }
      if (message.transaction_control().end_of_transaction()) {
        txns_.push_back(std::move(current));
        current = Txn();
        open = false;
      }
    }
    reader_->Finish();
  }

  static int TypeOf(const tx::MonitorUpdateMsg& update) {
    const pb::UnknownFieldSet& unknown = update.unknown_fields();
    for (int i = 0; i < unknown.field_count(); ++i) {
      if (unknown.field(i).number() == tx::MonitorUpdateMsg::kObjectTypeFieldNumber) {
        return static_cast<int>(unknown.field(i).varint());
      }
    }
    return 0;
  }

  grpc::ClientContext context_;
  std::unique_ptr<grpc::ClientReader<tx::MonitorResponseMsg>> reader_;
  std::thread thread_;
  mutable std::mutex mu_;
  std::vector<Txn> txns_;
  std::vector<std::string> faults_;
};

class MonitorHistoryTest : public ServingDaemonTest {
 protected:
  // Object views: body by type and key.
  using View = std::map<std::string, std::string>;

  void SetUp() override {
    ServingDaemonTest::SetUp();
    if (HasFatalFailure()) return;
    grpc::ClientContext context;
    PrepareCall(kAdmin, &context);
    tx::CreateVDbRequestMsg request;
    request.set_vdb_name("other");
    tx::CreateVDbResponseMsg response;
    ASSERT_TRUE(stub_->CreateVDb(&context, request, &response).ok());
    ASSERT_EQ(response.vdb_id(), kOtherVdb);
  }
  static const char* TypeName(int type) {
    return type == kDeviceType ? "DeviceMsg" : "InterfaceMsg";
  }
  static std::string OpTypeName(int type) {
    return type == kDeviceType ? "DeviceOpMsg" : "InterfaceOpMsg";
  }

  tx::MonitorStatementMsg Statement(int type, bool old_bodies, const std::string& select = "",
                                    const std::string& where_op = "",
                                    const std::string& where_value = "") {
    tx::MonitorStatementMsg statement;
    statement.set_send_old_object_body(old_bodies);
    tx::StatementMsg* body = statement.mutable_statement();
    body->mutable_unknown_fields()->AddVarint(tx::StatementMsg::kObjectTypeFieldNumber, type);
    if (!select.empty()) body->mutable_select()->set_op_msg(schema_.Body(OpTypeName(type), select));
    if (!where_op.empty()) {
      tx::WhereMsg* where = body->add_where();
      where->set_op_msg(schema_.Body(OpTypeName(type), where_op));
      where->set_value(schema_.Body(TypeName(type), where_value));
    }
    return statement;
  }
  std::unique_ptr<RecordedMonitor> Open(const std::string& id, uint32_t vdb,
                                        std::vector<tx::MonitorStatementMsg> statements) {
    tx::MonitorRequestMsg request;
    request.set_monitor_request_id(id);
    request.set_vdb_id(vdb);
    for (auto& statement : statements) *request.add_statements() = std::move(statement);
    auto monitor = std::make_unique<RecordedMonitor>(stub_.get(), request);
    // The snapshot first: the monitor takes part from then on.
    EXPECT_TRUE(monitor->WaitFor([](const std::vector<Txn>& txns) { return !txns.empty(); })) << id;
    return monitor;
  }

  std::unique_ptr<pb::Message> Parse(int type, const std::string& body) {
    return schema_.Parse(TypeName(type), body);
  }
  // The key of an object: its type and key field.
  std::string Key(int type, const std::string& body) {
    std::unique_ptr<pb::Message> object = Parse(type, body);
    if (object == nullptr) return "unparsable";
    const pb::Message& key =
        object->GetReflection()->GetMessage(*object, object->GetDescriptor()->FindFieldByNumber(1));
    return std::to_string(type) + ":" + key.ShortDebugString();
  }
  // The operation on `field` ("self" for the whole object) of an op
  // message of `type`; 0 when none.
  int OpOn(int type, const std::string& ops, const std::string& field) {
    std::unique_ptr<pb::Message> op = schema_.Parse(OpTypeName(type), ops);
    if (op == nullptr) return -1;
    const pb::FieldDescriptor* descriptor = op->GetDescriptor()->FindFieldByName(field);
    if (descriptor == nullptr || !op->GetReflection()->HasField(*op, descriptor)) return 0;
    const tx::OpMsg leaf = [&] {
      tx::OpMsg parsed;
      parsed.ParseFromString(op->GetReflection()->GetMessage(*op, descriptor).SerializeAsString());
      return parsed;
    }();
    return leaf.op();
  }
  // The text form of one field of an object, "" when unset.
  std::string FieldText(int type, const std::string& body, const std::string& field) {
    std::unique_ptr<pb::Message> object = Parse(type, body);
    if (object == nullptr) return "unparsable";
    const pb::FieldDescriptor* descriptor = object->GetDescriptor()->FindFieldByName(field);
    if (!object->GetReflection()->HasField(*object, descriptor)) return "";
    std::string text;
    pb::TextFormat::PrintFieldValueToString(*object, descriptor, -1, &text);
    return text;
  }

  // A snapshot lists each watched type; one without objects comes as an
  // entry with the type alone.
  static bool TypeAlone(const Entry& entry) { return entry.body.empty() && entry.ops.empty(); }

  // Applies a monitor's transaction of whole objects (no selection) to
  // `view`, checking each old body against what the view held. A
  // snapshot's entries are the objects as they are.
  void ApplyWhole(const Txn& txn, bool snapshot, bool old_bodies, View* view) {
    for (const Entry& entry : txn.entries) {
      if (snapshot && TypeAlone(entry)) continue;
      const std::string key = Key(entry.type, entry.body);
      if (snapshot) {
        (*view)[key] = entry.body;
        continue;
      }
      auto held = view->find(key);
      const int self = OpOn(entry.type, entry.ops, "self");
      if (old_bodies && held != view->end()) {
        EXPECT_EQ(entry.old_body, held->second) << "txn " << txn.id << " " << key;
      } else {
        EXPECT_FALSE(entry.old_body.has_value()) << "txn " << txn.id << " " << key;
      }
      if (self == tx::OpMsg::CLEAR) {
        EXPECT_NE(held, view->end()) << "txn " << txn.id << " deletes unknown " << key;
        view->erase(key);
      } else {
        ASSERT_EQ(self, tx::OpMsg::SET) << "txn " << txn.id << " " << key;
        (*view)[key] = entry.body;
      }
    }
  }

  // The database's objects of vdb `vdb`, as a view.
  View Stored(uint32_t vdb) {
    View view;
    for (int type : {kDeviceType, kInterfaceType}) {
      for (const tx::GetResponseMsg& response : client_->GetAll(kAdmin, type, vdb)) {
        for (const tx::TypedObjectMsg& object : response.objects()) {
          if (object.has_object_body())
            view[Key(type, object.object_body())] = object.object_body();
        }
      }
    }
    return view;
  }

  // One random write transaction of writer `writer`; false when refused.
  bool RandomWrite(std::mt19937* random, int* refused_on_purpose) {
    auto pick = [random](int n) { return static_cast<int>((*random)() % n); };
    const bool sync = pick(3) == 0;
    auto vdbs = [&](auto* entry) {
      entry->add_vdb_ids(1);
      if (pick(2) == 0) entry->add_vdb_ids(kOtherVdb);
    };
    auto device = [&](int id) {
      std::string text =
          "id { left: " + std::to_string(id) + " } model: '" + (pick(2) == 0 ? "x" : "y") + "'";
      if (pick(4) != 0) text += " hostname: 'h" + std::to_string(pick(3)) + "'";
      return Typed(kDeviceType, schema_.Body("DeviceMsg", text));
    };
    auto interface = [&](int device_id) {
      std::string text = "name { string: 'd" + std::to_string(device_id) + "/" +
                         std::to_string(pick(3)) +
                         "' } device_id { left: " + std::to_string(device_id) + " }";
      if (pick(3) != 0) text += " mtu: " + std::string(pick(2) == 0 ? "1500" : "9000");
      return Typed(kInterfaceType, schema_.Body("InterfaceMsg", text));
    };
    const int device_id = 1 + pick(5);
    switch (pick(8)) {
      case 0:
      case 1: {
        tx::PutRequestMsg put;
        put.set_sync(sync);
        for (int n = 1 + pick(2); n > 0; --n) {
          tx::PutMsg* entry = put.add_puts();
          *entry->mutable_object() = device(1 + pick(5));
          vdbs(entry);
        }
        if (pick(2) == 0) {
          tx::PutMsg* entry = put.add_puts();
          *entry->mutable_object() = interface(device_id);
          vdbs(entry);
        }
        return client_->Write(&tx::Tarnix::Stub::Put, kAdmin, {put}).ok();
      }
      case 2: {
        tx::PatchRequestMsg patch;
        patch.set_sync(sync);
        tx::PatchMsg* entry = patch.add_patches();
        entry->mutable_unknown_fields()->AddVarint(tx::PatchMsg::kObjectTypeFieldNumber,
                                                   kDeviceType);
        entry->set_op_msg(schema_.Body("DeviceOpMsg", "hostname { op: SET }"));
        entry->set_object_value(
            schema_.Body("DeviceMsg", "id { left: " + std::to_string(device_id) +
                                          " } hostname: 'p" + std::to_string(pick(2)) + "'"));
        entry->add_vdb_ids(1);
        return client_->Write(&tx::Tarnix::Stub::Patch, kAdmin, {patch}).ok();
      }
      case 3: {
        tx::CopyRequestMsg copy;
        copy.set_sync(sync);
        tx::CopyMsg* entry = copy.add_copies();
        *entry->mutable_object() =
            Typed(kDeviceType,
                  schema_.Body("DeviceMsg", "id { left: " + std::to_string(device_id) + " }"));
        entry->set_src_vdb_id(1);
        entry->add_vdb_ids(kOtherVdb);
        return client_->Write(&tx::Tarnix::Stub::Copy, kAdmin, {copy}).ok();
      }
      case 4: {
        tx::DeleteRequestMsg remove;
        remove.set_sync(sync);
        tx::DeleteMsg* entry = remove.add_deletes();
        *entry->mutable_object() =
            Typed(kDeviceType,
                  schema_.Body("DeviceMsg", "id { left: " + std::to_string(device_id) + " }"));
        entry->set_recursive(true);
        entry->add_vdb_ids(pick(3) == 0 ? kOtherVdb : 1);
        return client_->Write(&tx::Tarnix::Stub::Delete, kAdmin, {remove}).ok();
      }
      case 5: {
        tx::ModifyRequestMsg modify;
        modify.set_sync(sync);
        tx::PutMsg* put = modify.add_modifies()->mutable_put_msg();
        *put->mutable_object() = device(device_id);
        put->add_vdb_ids(1);
        tx::DeleteMsg* remove = modify.add_modifies()->mutable_delete_msg();
        *remove->mutable_object() = interface(1 + pick(5));
        remove->add_vdb_ids(1);
        return client_->Write(&tx::Tarnix::Stub::Modify, kAdmin, {modify}).ok();
      }
      case 6: {
        tx::FlushRequestMsg flush;
        flush.set_sync(sync);
        tx::FlushMsg* entry = flush.add_flushes();
        entry->mutable_unknown_fields()->AddVarint(tx::FlushMsg::kObjectTypeFieldNumber,
                                                   kInterfaceType);
        entry->add_vdb_ids(kOtherVdb);
        return client_->Write(&tx::Tarnix::Stub::Flush, kAdmin, {flush}).ok();
      }
      default: {
        // Refused: a body that does not parse. Nothing of it may show.
        tx::PutRequestMsg put;
        *put.add_puts()->mutable_object() = Typed(kDeviceType, "\xff\xff");
        put.mutable_puts(0)->add_vdb_ids(1);
        EXPECT_FALSE(client_->Write(&tx::Tarnix::Stub::Put, kAdmin, {put}).ok());
        ++*refused_on_purpose;
        return false;
      }
    }
  }
};

TEST_F(MonitorHistoryTest, EveryMonitorFollowsTheDatabaseThroughConcurrentWrites) {
  // Whole objects with old bodies in each vdb (the oracles), a twin of the
  // first, a filter, and two selections.
  auto all = [&] {
    return std::vector<tx::MonitorStatementMsg>{Statement(kDeviceType, true),
                                                Statement(kInterfaceType, true)};
  };
  std::unique_ptr<RecordedMonitor> main = Open("main", 1, all());
  std::unique_ptr<RecordedMonitor> other = Open("other", kOtherVdb, all());
  std::unique_ptr<RecordedMonitor> twin = Open("twin", 1, all());
  std::unique_ptr<RecordedMonitor> model_x =
      Open("model-x", 1, {Statement(kDeviceType, false, "", "model { op: EQUALS }", "model: 'x'")});
  auto hostnames = [&] {
    return std::vector<tx::MonitorStatementMsg>{
        Statement(kDeviceType, true, "hostname { op: SELECT }")};
  };
  std::unique_ptr<RecordedMonitor> hostname = Open("hostname", 1, hostnames());
  std::unique_ptr<RecordedMonitor> mtu =
      Open("mtu", 1, {Statement(kInterfaceType, false, "mtu { op: SELECT }")});

  constexpr int kWriters = 3;
  constexpr int kWritesEach = 40;
  std::atomic<int> committed{0}, refused{0}, refused_on_purpose{0}, written{0};
  std::unique_ptr<RecordedMonitor> late;
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      std::mt19937 random(1000 + w);
      int on_purpose = 0;
      for (int i = 0; i < kWritesEach; ++i) {
        ++(RandomWrite(&random, &on_purpose) ? committed : refused);
        ++written;
      }
      refused_on_purpose += on_purpose;
    });
  }
  // A monitor opened halfway: its snapshot must equal the view the others
  // had at its transaction.
  while (written.load() < kWriters * kWritesEach / 2) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  late = Open("late", 1, hostnames());
  for (std::thread& writer : writers) writer.join();
  EXPECT_GT(committed.load(), kWriters * kWritesEach / 3);
  EXPECT_GT(refused_on_purpose.load(), 0);

  // A last write every monitor hears of.
  tx::PutRequestMsg last;
  for (uint32_t vdb : {1u, kOtherVdb}) {
    tx::PutMsg* device = last.add_puts();
    *device->mutable_object() =
        Typed(kDeviceType, schema_.Body("DeviceMsg", "id { left: 99 } model: 'x' hostname: 'z'"));
    device->add_vdb_ids(vdb);
  }
  tx::PutMsg* port = last.add_puts();
  *port->mutable_object() =
      Typed(kInterfaceType,
            schema_.Body("InterfaceMsg", "name { string: 'last' } device_id { left: 99 } mtu: 7"));
  port->add_vdb_ids(1);
  ASSERT_TRUE(client_->Write(&tx::Tarnix::Stub::Put, kAdmin, {last}).ok());
  uint64_t last_id = 0;
  ASSERT_TRUE(main->WaitFor([&](const std::vector<Txn>& txns) {
    for (const Entry& entry : txns.back().entries) {
      if (entry.type == kInterfaceType && FieldText(kInterfaceType, entry.body, "mtu") == "7") {
        last_id = txns.back().id;
        return true;
      }
    }
    return false;
  }));
  for (RecordedMonitor* monitor :
       {other.get(), twin.get(), model_x.get(), hostname.get(), mtu.get(), late.get()}) {
    ASSERT_TRUE(
        monitor->WaitFor([&](const std::vector<Txn>& txns) { return txns.back().id >= last_id; }));
  }
  for (RecordedMonitor* monitor : {main.get(), other.get(), twin.get(), model_x.get(),
                                   hostname.get(), mtu.get(), late.get()}) {
    EXPECT_TRUE(monitor->faults().empty()) << ::testing::PrintToString(monitor->faults());
  }

  // The oracles: every transaction non-empty, each old body the one held,
  // and in the end the database's objects.
  const std::vector<Txn> main_txns = main->txns();
  std::map<uint64_t, View> main_views;  // after each transaction
  View view;
  for (const Txn& txn : main_txns) {
    if (&txn != &main_txns.front()) {
      EXPECT_FALSE(txn.entries.empty()) << txn.id;
    }
    ApplyWhole(txn, &txn == &main_txns.front(), true, &view);
    main_views[txn.id] = view;
  }
  EXPECT_EQ(view, Stored(1));
  View other_view;
  const std::vector<Txn> other_txns = other->txns();
  for (const Txn& txn : other_txns) ApplyWhole(txn, &txn == &other_txns.front(), true, &other_view);
  EXPECT_EQ(other_view, Stored(kOtherVdb));
  // Refused writes took no transaction: at most one per committed write
  // (one that changed nothing has none), the vdb creation and the last.
  std::set<uint64_t> ids;
  for (const Txn& txn : main_txns) ids.insert(txn.id);
  for (const Txn& txn : other_txns) ids.insert(txn.id);
  EXPECT_LE(ids.size(), static_cast<size_t>(committed.load()) + 3);

  // Monitors watching alike hear alike.
  const std::vector<Txn> twin_txns = twin->txns();
  ASSERT_EQ(twin_txns.size(), main_txns.size());
  for (size_t i = 1; i < main_txns.size(); ++i) {
    EXPECT_EQ(twin_txns[i].id, main_txns[i].id);
    ASSERT_EQ(twin_txns[i].entries.size(), main_txns[i].entries.size()) << main_txns[i].id;
    for (size_t e = 0; e < main_txns[i].entries.size(); ++e) {
      EXPECT_EQ(twin_txns[i].entries[e].body, main_txns[i].entries[e].body);
      EXPECT_EQ(twin_txns[i].entries[e].old_body, main_txns[i].entries[e].old_body);
    }
  }

  // Each other monitor: its changes applied in turn give, after every
  // transaction, what the oracle held then, seen through its statement.
  using Projection = std::function<std::map<std::string, std::string>(const View&)>;
  using Apply = std::function<void(const Txn&, bool snapshot, std::map<std::string, std::string>*)>;
  const auto check = [&](RecordedMonitor* monitor, const Projection& project, const Apply& apply) {
    const std::vector<Txn> txns = monitor->txns();
    std::map<std::string, std::string> seen;
    apply(txns.front(), true, &seen);
    auto at = main_views.upper_bound(txns.front().id);
    ASSERT_NE(at, main_views.begin());
    EXPECT_EQ(seen, project(std::prev(at)->second)) << "snapshot at " << txns.front().id;
    size_t next = 1;
    for (; at != main_views.end(); ++at) {
      for (; next < txns.size() && txns[next].id <= at->first; ++next) {
        EXPECT_TRUE(main_views.count(txns[next].id)) << "unknown txn " << txns[next].id;
        apply(txns[next], false, &seen);
      }
      ASSERT_EQ(seen, project(at->second)) << "after txn " << at->first;
    }
    EXPECT_EQ(next, txns.size());
  };
  // A filter: objects that leave it are still told, so the client drops
  // them by the filter itself.
  const auto model_is_x = [&](const View& objects) {
    std::map<std::string, std::string> kept;
    for (const auto& [key, body] : objects) {
      if (key[0] == '0' + kDeviceType && FieldText(kDeviceType, body, "model") == "\"x\"") {
        kept[key] = body;
      }
    }
    return kept;
  };
  check(model_x.get(), model_is_x,
        [&](const Txn& txn, bool snapshot, std::map<std::string, std::string>* seen) {
          View whole(seen->begin(), seen->end());
          ApplyWhole(txn, snapshot, false, &whole);
          *seen = model_is_x(whole);
        });
  // Selections: one field per object, told only when it changed.
  const auto field_check = [&](RecordedMonitor* monitor, int type, const std::string& field) {
    const auto project = [&, type, field](const View& objects) {
      std::map<std::string, std::string> values;
      for (const auto& [key, body] : objects) {
        if (key[0] != '0' + type) continue;
        const std::string value = FieldText(type, body, field);
        if (!value.empty()) values[key] = value;
      }
      return values;
    };
    check(
        monitor, project,
        [&, type, field](const Txn& txn, bool snapshot, std::map<std::string, std::string>* seen) {
          for (const Entry& entry : txn.entries) {
            if (snapshot && TypeAlone(entry)) continue;
            const std::string key = Key(type, entry.body);
            const int op = OpOn(type, entry.ops, field);
            const int self = OpOn(type, entry.ops, "self");
            std::string before = seen->count(key) ? (*seen)[key] : "";
            if (snapshot || op == tx::OpMsg::SET || self == tx::OpMsg::SET) {
              (*seen)[key] = FieldText(type, entry.body, field);
              if ((*seen)[key].empty()) seen->erase(key);
            } else if (op == tx::OpMsg::CLEAR || self == tx::OpMsg::CLEAR) {
              seen->erase(key);
            } else {
              ADD_FAILURE() << "txn " << txn.id << ": no operation on " << field;
            }
            const std::string after = seen->count(key) ? (*seen)[key] : "";
            if (!snapshot) {
              EXPECT_NE(before, after) << "txn " << txn.id << " told " << key << " of no change";
            }
          }
        });
  };
  field_check(hostname.get(), kDeviceType, "hostname");
  field_check(late.get(), kDeviceType, "hostname");
  field_check(mtu.get(), kInterfaceType, "mtu");
}

}  // namespace
}  // namespace e2e
}  // namespace tarnix
