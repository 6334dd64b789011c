// kill -9 of the daemon while clients run durable transactions of every
// kind (Put, Modify, Copy, recursive Delete, CreateVDb, DeleteVDb) and hold
// monitors open. After each restart every acknowledged transaction is there
// whole, none is there in part, and the one each client had under way is
// wholly in or wholly out, in the objects, the vdbs and the transaction log
// alike; a monitor opened again gets a snapshot of exactly what is stored;
// transaction ids go on growing.

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "e2e/e2e_test_util.h"

namespace tarnix {
namespace e2e {
namespace {

namespace pb = ::google::protobuf;

constexpr char kWriter[] = "inventory-agent";
// Recursive deletes of devices reach child types outside the writer's
// domains (alarms), and only an administrator manages vdbs.
constexpr char kAdmin[] = "tarnix-cli";
constexpr char kMainVdb[] = "main_vdb";
constexpr int kClients = 6;
constexpr int kDevicesPerTxn = 3;
constexpr int kTypes[] = {kDeviceType, kInterfaceType, kAddressType};
// Read whole after every restart, and holds several rounds of transactions.
constexpr uint64_t kTxnLogSize = 4 << 20;

// TARNIX_CRASH_ROUNDS runs more rounds by hand (100 for a long check);
// TARNIX_CRASH_SEED moves the kills.
int EnvInt(const char* name, int otherwise) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::atoi(value) : otherwise;
}

enum Kind { kPut, kModify, kCopy, kDelete, kCreateVDb, kDeleteVDb, kKinds };
constexpr const char* kKindNames[kKinds] = {"Put",    "Modify",    "Copy",
                                            "Delete", "CreateVDb", "DeleteVDb"};

const char* TypeName(int type) {
  switch (type) {
    case kDeviceType:
      return "DeviceMsg";
    case kInterfaceType:
      return "InterfaceMsg";
    default:
      return "AddressMsg";
  }
}

// Where an object is stored: its vdb, by name, its type and its key.
struct Place {
  std::string vdb;
  int type;
  std::string key;

  bool operator<(const Place& other) const {
    return std::tie(vdb, type, key) < std::tie(other.vdb, other.type, other.key);
  }
};

std::ostream& operator<<(std::ostream& out, const Place& place) {
  return out << TypeName(place.type) << " " << place.key << " in " << place.vdb;
}

std::string Show(const std::optional<std::string>& text) {
  return text ? "'" + *text + "'" : "nothing";
}

// The place of `body`, an object of `type` in `vdb`, and its text, which is
// the same for equal objects whatever the order of their fields. The key is
// field 1 in each type of the example schema. False when it does not parse.
bool Describe(ExampleSchema* schema, const std::string& vdb, int type, const std::string& body,
              Place* place, std::string* text) {
  std::unique_ptr<pb::Message> object = schema->Parse(TypeName(type), body);
  if (object == nullptr) return false;
  const pb::FieldDescriptor* key = object->GetDescriptor()->FindFieldByNumber(1);
  place->vdb = vdb;
  place->type = type;
  place->key.clear();
  if (key->type() == pb::FieldDescriptor::TYPE_MESSAGE) {
    place->key = "{ " + object->GetReflection()->GetMessage(*object, key).ShortDebugString() + " }";
  } else {
    pb::TextFormat::PrintFieldValueToString(*object, key, -1, &place->key);
  }
  *text = object->ShortDebugString();
  return true;
}

// A request as the transaction log holds it.
template <class Req>
std::string Logged(Kind kind, const Req& request) {
  return std::string(kKindNames[kind]) + " " + request.ShortDebugString();
}

// One transaction a client tried.
struct Attempt {
  int client = 0;
  int number = 0;  // unique; names the transaction's objects and vdb
  Kind kind = kPut;
  bool acknowledged = false;
  // The objects it writes, with their text after it (none: deleted).
  std::map<Place, std::optional<std::string>> changes;
  std::string vdb;      // CreateVDb and DeleteVDb: the vdb's name
  uint32_t vdb_id = 0;  // an acknowledged CreateVDb: the id it was given
  std::string logged;   // its request, as Logged() writes it
};

std::string Name(const Attempt& attempt) {
  return std::string(kKindNames[attempt.kind]) + " " + std::to_string(attempt.number) +
         " of client " + std::to_string(attempt.client) +
         (attempt.acknowledged ? " (acknowledged)" : " (unacknowledged)");
}

// One client: cycles of CreateVDb, Put, Modify, Copy, recursive Delete and
// DeleteVDb, all durable, until it is stopped or a call fails. The first
// failure ends it, so only its last transaction can be unacknowledged.
class Writer {
 public:
  Writer(int client, ExampleSchema* schema, const std::shared_ptr<grpc::Channel>& channel,
         std::atomic<int>* numbers, const std::atomic<bool>* stop, const std::atomic<bool>* killed)
      : client_(client),
        schema_(schema),
        calls_(channel),
        stub_(tx::Tarnix::NewStub(channel)),
        numbers_(numbers),
        stop_(stop),
        killed_(killed) {}

  // Deletes `leftovers`, the vdbs of cycles that a kill cut short, then
  // runs cycles.
  void Run(const std::vector<std::string>& leftovers) {
    for (const std::string& vdb : leftovers) {
      if (*stop_ || !DeleteVDb(vdb)) return;
    }
    while (!*stop_ && Cycle()) {
    }
  }

  const std::vector<Attempt>& attempts() const { return attempts_; }
  // Calls refused while the daemon was up.
  const std::vector<std::string>& failures() const { return failures_; }

 private:
  bool Cycle() {
    std::string vdb;
    uint32_t vdb_id = 0;
    if (!CreateVDb(&vdb, &vdb_id)) return false;

    // Three devices, two interfaces of the first and an address on one of
    // them.
    Attempt put = Start(kPut);
    const int first = put.number * kDevicesPerTxn;
    const std::string if_a = "if" + std::to_string(put.number) + "-a";
    const std::string if_b = "if" + std::to_string(put.number) + "-b";
    const std::vector<std::pair<int, std::string>> family = {
        {kDeviceType, schema_->Device(first, "crash")},
        {kDeviceType, schema_->Device(first + 1, "crash")},
        {kDeviceType, schema_->Device(first + 2, "crash")},
        {kInterfaceType, Interface(if_a, first)},
        {kInterfaceType, Interface(if_b, first)},
        {kAddressType,
         schema_->Body("AddressMsg", "ip: 'ip" + std::to_string(put.number) +
                                         "' binding { interface { string: '" + if_a + "' } }")}};
    tx::PutRequestMsg puts;
    puts.set_sync(true);
    for (const auto& [type, body] : family) {
      tx::PutMsg* entry = puts.add_puts();
      *entry->mutable_object() = Typed(type, body);
      entry->add_vdb_ids(1);
      Change(&put, kMainVdb, type, body, true);
    }
    if (!Send(std::move(put), kWriter, &tx::Tarnix::Stub::Put, puts)) return false;

    // The other two devices get a hostname naming the transaction, the
    // second one a new interface.
    Attempt modify = Start(kModify);
    const std::string hostname = "modify-" + std::to_string(modify.number);
    const std::string if_c = "if" + std::to_string(modify.number) + "-c";
    const std::vector<std::pair<int, std::string>> modified = {
        {kDeviceType, schema_->Device(first + 1, hostname)},
        {kDeviceType, schema_->Device(first + 2, hostname)},
        {kInterfaceType, Interface(if_c, first + 1)}};
    tx::ModifyRequestMsg modifies;
    modifies.set_sync(true);
    for (const auto& [type, body] : modified) {
      if (type == kDeviceType) {
        tx::PatchMsg* patch = modifies.add_modifies()->mutable_patch_msg();
        patch->mutable_unknown_fields()->AddVarint(tx::PatchMsg::kObjectTypeFieldNumber, type);
        patch->set_op_msg(schema_->Body("DeviceOpMsg", "hostname { op: SET }"));
        patch->set_object_value(body);
        patch->add_vdb_ids(1);
      } else {
        tx::PutMsg* entry = modifies.add_modifies()->mutable_put_msg();
        *entry->mutable_object() = Typed(type, body);
        entry->add_vdb_ids(1);
      }
      Change(&modify, kMainVdb, type, body, true);
    }
    if (!Send(std::move(modify), kWriter, &tx::Tarnix::Stub::Modify, modifies)) return false;

    // What the Modify wrote, copied into the cycle's vdb.
    Attempt copy = Start(kCopy);
    tx::CopyRequestMsg copies;
    copies.set_sync(true);
    for (const auto& [type, body] : modified) {
      tx::CopyMsg* entry = copies.add_copies();
      *entry->mutable_object() = Typed(type, body);
      entry->set_src_vdb_id(1);
      entry->add_vdb_ids(vdb_id);
      Change(&copy, vdb, type, body, true);
    }
    if (!Send(std::move(copy), kWriter, &tx::Tarnix::Stub::Copy, copies)) return false;

    // The first two devices with everything below them, in the main vdb:
    // their interfaces and, below an interface, the address.
    Attempt remove = Start(kDelete);
    tx::DeleteRequestMsg deletes;
    deletes.set_sync(true);
    for (int id : {first, first + 1}) {
      tx::DeleteMsg* entry = deletes.add_deletes();
      *entry->mutable_object() = Typed(kDeviceType, schema_->Device(id, ""));
      entry->set_recursive(true);
      entry->add_vdb_ids(1);
    }
    for (int i : {0, 1, 3, 4, 5}) {
      Change(&remove, kMainVdb, family[i].first, family[i].second, false);
    }
    Change(&remove, kMainVdb, kInterfaceType, Interface(if_c, first + 1), false);
    if (!Send(std::move(remove), kAdmin, &tx::Tarnix::Stub::Delete, deletes)) return false;

    return DeleteVDb(vdb);
  }

  std::string Interface(const std::string& name, int device) {
    return schema_->Body("InterfaceMsg", "name { string: '" + name + "' } device_id { left: " +
                                             std::to_string(device) + " }");
  }

  Attempt Start(Kind kind) {
    Attempt attempt;
    attempt.client = client_;
    attempt.number = (*numbers_)++;
    attempt.kind = kind;
    return attempt;
  }

  // `body` as `attempt` leaves it in `vdb`: written, or deleted.
  void Change(Attempt* attempt, const std::string& vdb, int type, const std::string& body,
              bool written) {
    Place place;
    std::string text;
    EXPECT_TRUE(Describe(schema_, vdb, type, body, &place, &text));
    attempt->changes[place] = written ? std::optional<std::string>(text) : std::nullopt;
  }

  template <class Req, class Resp>
  using OpenStream =
      std::unique_ptr<grpc::ClientWriter<Req>> (tx::Tarnix::Stub::*)(grpc::ClientContext*, Resp*);

  template <class Req, class Resp>
  bool Send(Attempt attempt, const char* client_id, OpenStream<Req, Resp> open,
            const Req& request) {
    attempt.logged = Logged(attempt.kind, request);
    return Finish(std::move(attempt), calls_.Write(open, client_id, {request}));
  }

  // A vdb named after the attempt: "crash-<client>-<number>".
  bool CreateVDb(std::string* name, uint32_t* id) {
    Attempt attempt = Start(kCreateVDb);
    *name = attempt.vdb = "crash-" + std::to_string(client_) + "-" + std::to_string(attempt.number);
    tx::CreateVDbRequestMsg request;
    request.set_vdb_name(*name);
    attempt.logged = Logged(kCreateVDb, request);
    grpc::ClientContext context;
    PrepareCall(kAdmin, &context);
    tx::CreateVDbResponseMsg response;
    const grpc::Status status = stub_->CreateVDb(&context, request, &response);
    attempt.vdb_id = *id = response.vdb_id();
    return Finish(std::move(attempt), status);
  }

  bool DeleteVDb(const std::string& name) {
    Attempt attempt = Start(kDeleteVDb);
    attempt.vdb = name;
    tx::DeleteVDbRequestMsg request;
    request.set_vdb_name(name);
    attempt.logged = Logged(kDeleteVDb, request);
    grpc::ClientContext context;
    PrepareCall(kAdmin, &context);
    tx::DeleteVDbResponseMsg response;
    return Finish(std::move(attempt), stub_->DeleteVDb(&context, request, &response));
  }

  bool Finish(Attempt attempt, const grpc::Status& status) {
    attempt.acknowledged = status.ok();
    // A call the kill cut short fails after the kill was sent.
    if (!status.ok() && !*killed_) {
      failures_.push_back(Name(attempt) +
                          " failed while the daemon was up: " + status.error_message());
    }
    attempts_.push_back(std::move(attempt));
    return status.ok();
  }

  const int client_;
  ExampleSchema* const schema_;
  TarnixClient calls_;
  std::unique_ptr<tx::Tarnix::Stub> stub_;
  std::atomic<int>* const numbers_;
  const std::atomic<bool>* const stop_;
  const std::atomic<bool>* const killed_;
  std::vector<Attempt> attempts_;
  std::vector<std::string> failures_;
};

int UpdateType(const tx::MonitorUpdateMsg& update) {
  const pb::UnknownFieldSet& unknown = update.unknown_fields();
  for (int i = 0; i < unknown.field_count(); ++i) {
    if (unknown.field(i).number() == tx::MonitorUpdateMsg::kObjectTypeFieldNumber) {
      return static_cast<int>(unknown.field(i).varint());
    }
  }
  return 0;
}

// A client's monitor of the main vdb's devices, interfaces and addresses.
// Its snapshot is read at once; Follow() reads the rest on a thread of its
// own until the stream ends.
class Watch {
 public:
  Watch(tx::Tarnix::Stub* stub, int client)
      : reader_(stub, kAdmin, Request(client)), snapshot_(reader_.ReadTransaction()) {}
  ~Watch() { Join(); }

  const std::vector<tx::MonitorResponseMsg>& snapshot() const { return snapshot_; }

  void Follow() {
    thread_ = std::thread([this] {
      for (;;) {
        const std::vector<tx::MonitorResponseMsg> txn = reader_.ReadTransaction();
        if (txn.empty() || !txn.back().transaction_control().end_of_transaction()) break;
        const uint64_t id = txn.back().transaction_control().txn_id();
        for (const tx::MonitorResponseMsg& message : txn) {
          if (message.transaction_control().txn_id() != id) {
            faults_.push_back("a message of transaction " +
                              std::to_string(message.transaction_control().txn_id()) +
                              " came inside transaction " + std::to_string(id));
          }
        }
        if (!told_.empty() && id <= told_.back()) {
          faults_.push_back("transaction " + std::to_string(id) + " was told after " +
                            std::to_string(told_.back()));
        }
        told_.push_back(id);
      }
    });
  }
  // Once the stream ended: the transactions it told of, in order, and
  // what broke the stream's own rules.
  const std::vector<uint64_t>& Told() {
    Join();
    return told_;
  }
  const std::vector<std::string>& Faults() {
    Join();
    return faults_;
  }

 private:
  static tx::MonitorRequestMsg Request(int client) {
    tx::MonitorRequestMsg request;
    request.set_monitor_request_id("crash-" + std::to_string(client));
    for (int type : kTypes) {
      request.add_statements()->mutable_statement()->mutable_unknown_fields()->AddVarint(
          tx::StatementMsg::kObjectTypeFieldNumber, type);
    }
    return request;
  }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

  MonitorReader reader_;
  std::vector<tx::MonitorResponseMsg> snapshot_;
  std::thread thread_;
  std::vector<uint64_t> told_;
  std::vector<std::string> faults_;
};

// What a restarted daemon holds.
struct Stored {
  std::map<std::string, uint32_t> vdbs;  // by name
  std::map<Place, std::string> objects;  // their text
};

// What the committed transactions left, each object with the transaction
// that wrote it last; and what they deleted, with the transaction.
struct Committed {
  std::map<std::string, uint32_t> vdbs = {{kMainVdb, 1}};
  std::map<Place, std::pair<std::string, std::string>> objects;  // text, writer
  std::map<std::string, std::string> deleted_vdbs;
  std::map<Place, std::string> deleted;
};

// The transaction log: the id of each transaction and the requests of ours
// it holds.
struct LoggedTxn {
  uint64_t id;
  std::vector<std::string> requests;
};

// What the rounds found, for the report.
struct Tally {
  int acknowledged[kKinds] = {};
  int unacknowledged_in[kKinds] = {};
  int unacknowledged_out[kKinds] = {};
  int flushed_only = 0;  // unacknowledged DeleteVDb: objects gone, vdb kept
  int lost = 0;
  int partial = 0;
  int cut_logs = 0;
};

// How an unacknowledged transaction came out after the restart.
enum Outcome { kOut, kIn, kFlushedOnly, kPartial };

// The faults one restart found.
class Faults {
 public:
  void Lost(const std::string& what) {
    ++lost_;
    Add("LOST: " + what);
  }
  void Partial(const std::string& what) {
    ++partial_;
    Add("PARTIAL: " + what);
  }
  void Other(const std::string& what) { Add(what); }

  bool empty() const { return lines_.empty(); }
  int lost() const { return lost_; }
  int partial() const { return partial_; }
  std::string Text() const {
    std::string text = std::to_string(count_) + " faults:\n";
    for (const std::string& line : lines_) text += line + "\n";
    return text;
  }

 private:
  void Add(const std::string& line) {
    // The first ones tell the story; a few thousand would drown it.
    if (lines_.size() < 40) lines_.push_back(line);
    ++count_;
  }

  std::vector<std::string> lines_;
  int count_ = 0;
  int lost_ = 0;
  int partial_ = 0;
};

Stored ReadStored(tx::Tarnix::Stub* stub, TarnixClient* client, ExampleSchema* schema,
                  Faults* faults) {
  Stored stored;
  grpc::ClientContext context;
  PrepareCall(kAdmin, &context);
  tx::GetVDbIdResponseMsg response;
  const grpc::Status status = stub->GetVDbId(&context, tx::GetVDbIdRequestMsg(), &response);
  EXPECT_TRUE(status.ok()) << status.error_message();
  for (const tx::VDbMsg& vdb : response.vdbs()) stored.vdbs[vdb.vdb_name()] = vdb.vdb_id();
  for (const auto& [name, id] : stored.vdbs) {
    for (int type : kTypes) {
      for (const tx::GetResponseMsg& got : client->GetAll(kAdmin, type, id)) {
        for (const tx::TypedObjectMsg& object : got.objects()) {
          if (!object.has_object_body()) continue;  // the type alone: none stored
          Place place;
          std::string text;
          if (!Describe(schema, name, type, object.object_body(), &place, &text)) {
            faults->Other("an object of type " + std::to_string(type) + " in " + name +
                          " does not parse");
          } else if (!stored.objects.emplace(place, text).second) {
            std::ostringstream what;
            what << place << " was returned twice";
            faults->Other(what.str());
          }
        }
      }
    }
  }
  return stored;
}

std::vector<LoggedTxn> ReadLog(TarnixClient* client, size_t* bytes) {
  std::vector<tx::TransactionLogUnitMsg> units;
  const grpc::Status status = client->GetTransactionLog(kAdmin, &units);
  EXPECT_TRUE(status.ok()) << status.error_message();
  std::vector<LoggedTxn> txns;
  *bytes = 0;
  for (const tx::TransactionLogUnitMsg& unit : units) {
    *bytes += unit.ByteSizeLong();
    if (unit.has_txn_id()) txns.push_back({unit.txn_id(), {}});
    if (txns.empty()) continue;
    std::vector<std::string>& requests = txns.back().requests;
    if (unit.has_put_request()) requests.push_back(Logged(kPut, unit.put_request()));
    if (unit.has_modify_request()) requests.push_back(Logged(kModify, unit.modify_request()));
    if (unit.has_copy_request()) requests.push_back(Logged(kCopy, unit.copy_request()));
    if (unit.has_delete_request()) requests.push_back(Logged(kDelete, unit.delete_request()));
    if (unit.has_create_vdb_request()) {
      requests.push_back(Logged(kCreateVDb, unit.create_vdb_request()));
    }
    if (unit.has_delete_vdb_request()) {
      requests.push_back(Logged(kDeleteVDb, unit.delete_vdb_request()));
    }
  }
  return txns;
}

std::optional<std::string> Find(const std::map<Place, std::string>& objects, const Place& place) {
  const auto it = objects.find(place);
  return it != objects.end() ? std::optional<std::string>(it->second) : std::nullopt;
}

std::optional<std::string> Find(const Committed& committed, const Place& place) {
  const auto it = committed.objects.find(place);
  return it != committed.objects.end() ? std::optional<std::string>(it->second.first)
                                       : std::nullopt;
}

// How `attempt`, unacknowledged, came out: its objects all as it left them
// (in) or all as before (out). `logged` decides a transaction that changes
// nothing visible.
Outcome Decide(const Attempt& attempt, const Committed& committed, const Stored& stored,
               bool logged, Faults* faults) {
  if (attempt.kind == kCreateVDb) return stored.vdbs.count(attempt.vdb) > 0 ? kIn : kOut;
  std::map<Place, std::optional<std::string>> after = attempt.changes;
  if (attempt.kind == kDeleteVDb) {
    // The flush of its objects commits first; the vdb's record goes after.
    if (stored.vdbs.count(attempt.vdb) == 0) return kIn;
    for (const auto& [place, written] : committed.objects) {
      if (place.vdb == attempt.vdb) after[place] = std::nullopt;
    }
  }
  bool all_after = true;
  bool all_before = true;
  std::ostringstream found;
  for (const auto& [place, text] : after) {
    const std::optional<std::string> was = Find(committed, place);
    const std::optional<std::string> now = Find(stored.objects, place);
    all_after = all_after && now == text;
    all_before = all_before && now == was;
    found << "\n    " << place << ": before " << Show(was) << ", after " << Show(text) << ", found "
          << Show(now);
  }
  if (attempt.kind == kDeleteVDb) {
    if (all_after && logged) return kFlushedOnly;
    if (all_before && !logged) return kOut;
  } else {
    if (all_after && (!all_before || logged)) return kIn;
    if (all_before) return kOut;
  }
  faults->Partial(Name(attempt) + " is there in part (" + (logged ? "logged" : "not logged") +
                  "):" + found.str());
  return kPartial;
}

void Apply(const Attempt& attempt, Outcome outcome, const Stored& stored, Committed* committed) {
  if (outcome == kOut || outcome == kPartial) return;
  for (const auto& [place, text] : attempt.changes) {
    if (text) {
      committed->objects[place] = {*text, Name(attempt)};
      committed->deleted.erase(place);
    } else {
      committed->objects.erase(place);
      committed->deleted[place] = Name(attempt);
    }
  }
  if (attempt.kind == kCreateVDb) {
    const auto it = stored.vdbs.find(attempt.vdb);
    committed->vdbs[attempt.vdb] =
        attempt.acknowledged || it == stored.vdbs.end() ? attempt.vdb_id : it->second;
  }
  if (attempt.kind == kDeleteVDb) {
    for (auto it = committed->objects.begin(); it != committed->objects.end();) {
      if (it->first.vdb != attempt.vdb) {
        ++it;
        continue;
      }
      committed->deleted[it->first] = Name(attempt);
      it = committed->objects.erase(it);
    }
    if (outcome == kIn) {
      committed->vdbs.erase(attempt.vdb);
      committed->deleted_vdbs[attempt.vdb] = Name(attempt);
    }
  }
}

// Settles the transactions of the round before the restart against what
// the daemon holds now and its transaction log since `window_start`, the
// last id taken before the round's writes.
void Judge(const std::vector<std::vector<Attempt>>& attempted, const Stored& stored,
           const std::vector<LoggedTxn>& log, uint64_t window_start, Committed* committed,
           Tally* tally, Faults* faults) {
  std::map<std::string, uint64_t> window;  // request -> transaction id
  for (const LoggedTxn& txn : log) {
    if (txn.id <= window_start) continue;
    for (const std::string& request : txn.requests) {
      if (!window.emplace(request, txn.id).second) {
        faults->Other("the log holds twice: " + request);
      }
    }
  }
  for (const std::vector<Attempt>& attempts : attempted) {
    uint64_t last_id = 0;
    for (const Attempt& attempt : attempts) {
      const auto entry = window.find(attempt.logged);
      const bool logged = entry != window.end();
      if (logged) {
        if (entry->second <= last_id) {
          faults->Other(Name(attempt) + " has id " + std::to_string(entry->second) +
                        ", not above its client's previous " + std::to_string(last_id));
        }
        last_id = entry->second;
        window.erase(entry);
      }
      Outcome outcome = kIn;
      if (attempt.acknowledged) {
        ++tally->acknowledged[attempt.kind];
      } else {
        outcome = Decide(attempt, *committed, stored, logged, faults);
        if (outcome == kOut) ++tally->unacknowledged_out[attempt.kind];
        if (outcome == kIn || outcome == kFlushedOnly) ++tally->unacknowledged_in[attempt.kind];
        if (outcome == kFlushedOnly) ++tally->flushed_only;
      }
      if (outcome != kPartial && logged != (outcome != kOut)) {
        if (attempt.acknowledged) {
          faults->Lost(Name(attempt) + " is not in the transaction log");
        } else {
          faults->Partial(Name(attempt) + std::string(" is ") + (outcome == kOut ? "out" : "in") +
                          " but " + (logged ? "" : "not ") + "in the transaction log");
        }
      }
      Apply(attempt, outcome, stored, committed);
    }
  }
  for (const auto& [request, id] : window) {
    faults->Partial("transaction " + std::to_string(id) +
                    " in the log is none that was tried: " + request);
  }
}

// Every vdb and object that the committed transactions left, and nothing
// else.
void Compare(const Committed& committed, const Stored& stored, Faults* faults) {
  for (const auto& [name, id] : committed.vdbs) {
    const auto it = stored.vdbs.find(name);
    if (it == stored.vdbs.end()) {
      faults->Lost("vdb " + name + " (" + std::to_string(id) + ") is gone");
    } else if (it->second != id) {
      faults->Lost("vdb " + name + " has id " + std::to_string(it->second) + ", not " +
                   std::to_string(id));
    }
  }
  for (const auto& [name, id] : stored.vdbs) {
    if (committed.vdbs.count(name) > 0) continue;
    const auto deleted = committed.deleted_vdbs.find(name);
    if (deleted != committed.deleted_vdbs.end()) {
      faults->Lost("vdb " + name + " (" + std::to_string(id) + "), deleted by " + deleted->second +
                   ", is there");
    } else {
      faults->Partial("vdb " + name + " (" + std::to_string(id) + ") was never created");
    }
  }
  for (const auto& [place, written] : committed.objects) {
    const std::optional<std::string> now = Find(stored.objects, place);
    if (now != written.first) {
      std::ostringstream what;
      what << place << ", as " << written.second << " left it: '" << written.first << "', found "
           << Show(now);
      faults->Lost(what.str());
    }
  }
  for (const auto& [place, text] : stored.objects) {
    if (committed.objects.count(place) > 0) continue;
    std::ostringstream what;
    const auto deleted = committed.deleted.find(place);
    if (deleted != committed.deleted.end()) {
      what << place << ", deleted by " << deleted->second << ", holds '" << text << "'";
      faults->Lost(what.str());
    } else {
      what << place << " holds '" << text << "', which no committed transaction wrote";
      faults->Partial(what.str());
    }
  }
}

// A reopened monitor's snapshot: one transaction holding exactly what the
// main vdb stores. Returns its transaction id.
uint64_t CheckSnapshot(Watch* watch, int client, const Stored& stored, ExampleSchema* schema,
                       Faults* faults) {
  const std::string monitor = "monitor of client " + std::to_string(client);
  const std::vector<tx::MonitorResponseMsg>& snapshot = watch->snapshot();
  if (snapshot.empty() || !snapshot.back().transaction_control().end_of_transaction()) {
    faults->Other(monitor + ": no whole snapshot");
    return 0;
  }
  const uint64_t id = snapshot.back().transaction_control().txn_id();
  std::map<Place, std::string> objects;
  for (const tx::MonitorResponseMsg& message : snapshot) {
    if (message.transaction_control().txn_id() != id) {
      faults->Other(monitor + ": snapshot spans transactions");
    }
    for (const tx::MonitorUpdateMsg& update : message.updates()) {
      if (update.object_body().empty()) continue;  // the type alone: none stored
      Place place;
      std::string text;
      if (!Describe(schema, kMainVdb, UpdateType(update), update.object_body(), &place, &text)) {
        faults->Other(monitor + ": a snapshot object does not parse");
      } else if (!objects.emplace(place, text).second) {
        // Two records hold it in one vdb: what a transaction applied in
        // part leaves.
        std::ostringstream what;
        what << monitor << ": snapshot has " << place << " twice: '" << objects[place] << "' and '"
             << text << "'";
        faults->Partial(what.str());
      }
    }
  }
  for (const auto& [place, text] : stored.objects) {
    if (place.vdb != kMainVdb) continue;
    const std::optional<std::string> told = Find(objects, place);
    if (told != text) {
      std::ostringstream what;
      what << monitor << ": snapshot has " << Show(told) << " for " << place << ", stored '" << text
           << "'";
      faults->Other(what.str());
    }
    objects.erase(place);
  }
  for (const auto& [place, text] : objects) {
    std::ostringstream what;
    what << monitor << ": snapshot has " << place << " '" << text << "', which is not stored";
    faults->Other(what.str());
  }
  return id;
}

// The last `count` lines of `text`, and every line that names `level`.
std::string Evidence(const std::string& text, size_t count, const std::string& level) {
  std::vector<std::string> lines;
  std::string picked;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    lines.push_back(line);
    if (line.find("level=\"" + level + "\"") != std::string::npos) picked += line + "\n";
  }
  std::string tail;
  for (size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i) {
    tail += lines[i] + "\n";
  }
  return level + " lines:\n" + picked + "last " + std::to_string(count) + " lines:\n" + tail;
}

TEST(CrashTest, KillDuringDurableWritesLosesNoAcknowledgedTransaction) {
  const auto began = Clock::now();
  const int rounds = EnvInt("TARNIX_CRASH_ROUNDS", 3);
  const int seed = EnvInt("TARNIX_CRASH_SEED", 7);
  TempDir dir;
  ExampleSchema schema;
  const std::string database = dir.path() + "/db";
  std::mt19937 random(seed);
  std::atomic<int> numbers{0};
  Committed committed;
  Tally tally;
  // Of the round before the restart: what each client tried, what the
  // monitors were told, the last id before its writes and the highest id
  // seen before the kill, and the killed daemon's log.
  std::vector<std::vector<Attempt>> attempted(kClients);
  std::vector<uint64_t> told;
  uint64_t window_start = 0;
  uint64_t seen = 0;
  std::string killed_log;

  for (int round = 0; round <= rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round) + " of seed " + std::to_string(seed));
    ServingDaemon daemon(dir.path(), database, {"--txn_log_size=" + std::to_string(kTxnLogSize)});
    ASSERT_TRUE(daemon.serving());
    std::unique_ptr<tx::Tarnix::Stub> stub = tx::Tarnix::NewStub(daemon.channel());
    TarnixClient client(daemon.channel());

    // What the last kill left: every acknowledged transaction, none in
    // part, each interrupted one in or out, in the log as in the data.
    Faults faults;
    const Stored stored = ReadStored(stub.get(), &client, &schema, &faults);
    size_t log_bytes = 0;
    const std::vector<LoggedTxn> log = ReadLog(&client, &log_bytes);
    uint64_t last_logged = 0;
    std::set<uint64_t> logged_ids;
    for (const LoggedTxn& txn : log) {
      last_logged = std::max(last_logged, txn.id);
      logged_ids.insert(txn.id);
    }
    if (round > 0) {
      // Once full, trimming keeps the log near its bound: then it must
      // still reach back before the round.
      if (log_bytes > kTxnLogSize / 2 && !log.empty() && log.front().id > window_start) {
        faults.Other("the log was trimmed past the round's start; raise kTxnLogSize");
      }
      Judge(attempted, stored, log, window_start, &committed, &tally, &faults);
      Compare(committed, stored, &faults);
      // Told of only once durable.
      for (uint64_t id : told) {
        if (logged_ids.count(id) == 0) {
          faults.Lost("monitors were told of transaction " + std::to_string(id) +
                      ", which is not in the log");
        }
      }
      tally.cut_logs +=
          CountLogLines(daemon.process().Stdout(), "ERROR", "", "ends inside a write");
    }

    // Monitors of the same names open again: their snapshots hold what is
    // stored, under ids above every earlier one.
    std::vector<std::unique_ptr<Watch>> watches;
    window_start = 0;
    for (int c = 0; c < kClients; ++c) {
      watches.push_back(std::make_unique<Watch>(stub.get(), c));
      const uint64_t id = CheckSnapshot(watches.back().get(), c, stored, &schema, &faults);
      if (id != 0 && id <= std::max(seen, last_logged)) {
        faults.Other("a snapshot after the restart has transaction id " + std::to_string(id) +
                     ", not above " + std::to_string(std::max(seen, last_logged)));
      }
      window_start = std::max(window_start, id);
    }

    tally.lost += faults.lost();
    tally.partial += faults.partial();
    ASSERT_TRUE(faults.empty()) << faults.Text() << "\nkilled daemon, "
                                << Evidence(killed_log, 60, "ERROR") << "\nrestarted daemon, "
                                << Evidence(daemon.process().Stdout(), 20, "ERROR");
    if (round == rounds) break;

    std::atomic<bool> stop{false};
    std::atomic<bool> killed{false};
    std::vector<std::unique_ptr<Writer>> writers;
    for (int c = 0; c < kClients; ++c) {
      writers.push_back(
          std::make_unique<Writer>(c, &schema, daemon.channel(), &numbers, &stop, &killed));
      watches[c]->Follow();
    }
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c) {
      std::vector<std::string> leftovers;
      const std::string prefix = "crash-" + std::to_string(c) + "-";
      for (const auto& vdb : committed.vdbs) {
        if (vdb.first.compare(0, prefix.size(), prefix) == 0) leftovers.push_back(vdb.first);
      }
      threads.emplace_back([writer = writers[c].get(), leftovers] { writer->Run(leftovers); });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100 + random() % 500));
    killed = true;
    daemon.process().Terminate(std::chrono::seconds(10), SIGKILL);
    stop = true;
    for (std::thread& thread : threads) thread.join();
    killed_log = daemon.process().Stdout();

    told.clear();
    seen = window_start;
    for (int c = 0; c < kClients; ++c) {
      attempted[c] = writers[c]->attempts();
      for (const std::string& failure : writers[c]->failures()) ADD_FAILURE() << failure;
      for (const std::string& fault : watches[c]->Faults()) ADD_FAILURE() << fault;
      for (uint64_t id : watches[c]->Told()) {
        told.push_back(id);
        seen = std::max(seen, id);
      }
    }
  }

  for (int kind = 0; kind < kKinds; ++kind) {
    EXPECT_GT(tally.acknowledged[kind], 0) << kKindNames[kind];
  }
  std::ostringstream report;
  report << rounds << " rounds, seed " << seed << ", "
         << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began).count() /
                1000.0
         << " s\n";
  for (int kind = 0; kind < kKinds; ++kind) {
    report << "  " << kKindNames[kind] << ": " << tally.acknowledged[kind]
           << " acknowledged; unacknowledged " << tally.unacknowledged_in[kind] << " in, "
           << tally.unacknowledged_out[kind] << " out\n";
  }
  report << "  DeleteVDb flushed with the vdb kept: " << tally.flushed_only
         << "; logs cut by a kill: " << tally.cut_logs << "; lost " << tally.lost << ", partial "
         << tally.partial << "\n";
  std::cout << report.str();
}

}  // namespace
}  // namespace e2e
}  // namespace tarnix
