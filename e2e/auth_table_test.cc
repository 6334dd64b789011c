// Every RPC of the data and operations services against every kind of caller,
// over TLS: who gets in, with which refusal, and that a refused call changed
// nothing.

#include <algorithm>
#include <array>
#include <functional>
#include <iomanip>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/e2e_test_util.h"

namespace tarnix {
namespace e2e {
namespace {

constexpr char kAdmin[] = "tarnix-cli";
// Registered with a certificate of its own; reads and writes the inventory
// and may not manage vdbs.
constexpr char kRegistered[] = "inventory-agent";
// Registered with another certificate.
constexpr char kNeighbour[] = "network-controller";
// Neither in the schema nor registered.
constexpr char kUnknown[] = "mallory";

// The kinds of caller: the columns of the table.
enum CallerKind {
  kNoId,          // no client-id metadata, no certificate
  kUnknownId,     // kUnknown, no certificate
  kOwnCert,       // kRegistered with its own certificate
  kOthersCert,    // kRegistered with kNeighbour's certificate
  kNoCert,        // kRegistered without a certificate
  kForgedAdmin,   // kAdmin with kRegistered's certificate
  kAdministrator  // kAdmin with the server's certificate
};
constexpr int kCallerKinds = 7;
constexpr const char* kCallerNames[kCallerKinds] = {
    "no id", "unknown id", "own cert", "other's cert", "no cert", "forged admin", "admin"};

// What a call ends with: a code and the whole message ("" with OK).
struct Outcome {
  grpc::StatusCode code;
  std::string message;
};

std::string CodeName(grpc::StatusCode code) {
  switch (code) {
    case grpc::StatusCode::OK:
      return "OK";
    case grpc::StatusCode::INVALID_ARGUMENT:
      return "INVALID_ARGUMENT";
    case grpc::StatusCode::NOT_FOUND:
      return "NOT_FOUND";
    case grpc::StatusCode::PERMISSION_DENIED:
      return "PERMISSION_DENIED";
    case grpc::StatusCode::UNAUTHENTICATED:
      return "UNAUTHENTICATED";
    case grpc::StatusCode::FAILED_PRECONDITION:
      return "FAILED_PRECONDITION";
    case grpc::StatusCode::UNAVAILABLE:
      return "UNAVAILABLE";
    case grpc::StatusCode::DEADLINE_EXCEEDED:
      return "DEADLINE_EXCEEDED";
    default:
      return "code " + std::to_string(static_cast<int>(code));
  }
}

std::string Describe(const Outcome& outcome) {
  if (outcome.code == grpc::StatusCode::OK) return "OK";
  return CodeName(outcome.code) + " \"" + outcome.message + "\"";
}

template <class Stub, class Req, class Resp>
grpc::Status Unary(Stub* stub,
                   grpc::Status (Stub::*method)(grpc::ClientContext*, const Req&, Resp*),
                   const std::string& client_id, const Req& request, Resp* response) {
  grpc::ClientContext context;
  PrepareCall(client_id, &context);
  return (stub->*method)(&context, request, response);
}

// One caller: the id it claims and the channel it calls on.
struct Party {
  std::string client_id;
  std::shared_ptr<grpc::Channel> channel;
  std::unique_ptr<tx::Tarnix::Stub> data;
  std::unique_ptr<tx::TarnixOps::Stub> ops;
};

// One row: the call of one RPC, well formed for a caller with every right,
// made as caller kind `k`, and its outcome for each kind.
struct Row {
  std::string rpc;
  std::function<grpc::Status(const Party& party, int k)> call;
  std::array<Outcome, kCallerKinds> expected;
};

// A daemon with its own TLS identity; the administrator has registered
// kRegistered and kNeighbour with their certificates and "spare-<k>" with a
// spare one, created the vdbs "writes-<k>" (holding the device 10k+1) and
// "old-<k>", put a device into the main vdb and opened the monitors
// "cfg-<k>" on it.
class AuthTableTest : public TlsDaemonTest {
 protected:
  void SetUp() override {
    TlsDaemonTest::SetUp();
    for (const char* name : {"server", kRegistered, kNeighbour, "spare"}) {
      ASSERT_TRUE(MakeIdentity(name, Key(name), Cert(name))) << name;
    }
    daemon_ = std::make_unique<ServingDaemon>(
        dir_.path(), dir_.path() + "/db", std::vector<std::string>{},
        [this](const std::string& address) { return Channel(address, ""); });
    ASSERT_TRUE(daemon_->serving());
    admin_ = MakeParty(kAdmin, "server");

    for (const char* name : {kRegistered, kNeighbour}) {
      ASSERT_TRUE(Register(name, name).ok()) << name;
    }
    for (int k = 0; k < kCallerKinds; ++k) {
      ASSERT_TRUE(Register("spare-" + std::to_string(k), "spare").ok());
      tx::CreateVDbResponseMsg created;
      ASSERT_TRUE(CreateVDb(admin_, "writes-" + std::to_string(k), &created).ok());
      writes_vdb_[k] = created.vdb_id();
      ASSERT_TRUE(CreateVDb(admin_, "old-" + std::to_string(k), &created).ok());
    }
    tx::PutRequestMsg put;
    *put.add_puts()->mutable_object() = Typed(kDeviceType, schema_.Device(kMainDevice, "seed"));
    for (int k = 0; k < kCallerKinds; ++k) {
      tx::PutMsg* entry = put.add_puts();
      *entry->mutable_object() = Typed(kDeviceType, schema_.Device(DeviceId(k, 1), "seed"));
      entry->add_vdb_ids(writes_vdb_[k]);
    }
    ASSERT_TRUE(TarnixClient(admin_.channel).Write(&tx::Tarnix::Stub::Put, kAdmin, {put}).ok());
    // The snapshot shows each monitor open before anyone configures it.
    for (int k = 0; k < kCallerKinds; ++k) {
      tx::MonitorRequestMsg request;
      request.set_monitor_request_id("cfg-" + std::to_string(k));
      *request.add_statements() = Statement(kDeviceType);
      admin_monitors_.push_back(
          std::make_unique<MonitorReader>(admin_.data.get(), kAdmin, request));
      ASSERT_FALSE(admin_monitors_.back()->ReadTransaction().empty());
    }

    parties_[kNoId] = MakeParty("", "");
    parties_[kUnknownId] = MakeParty(kUnknown, "");
    parties_[kOwnCert] = MakeParty(kRegistered, kRegistered);
    parties_[kOthersCert] = MakeParty(kRegistered, kNeighbour);
    parties_[kNoCert] = MakeParty(kRegistered, "");
    parties_[kForgedAdmin] = MakeParty(kAdmin, kRegistered);
    parties_[kAdministrator] = MakeParty(kAdmin, "server");
  }

  void TearDown() override {
    admin_monitors_.clear();
    if (daemon_ && daemon_->serving()) {
      EXPECT_EQ(daemon_->Stop(), 0);
    }
  }

  Party MakeParty(const std::string& client_id, const std::string& identity) const {
    Party party;
    party.client_id = client_id;
    party.channel = Channel(daemon_->address(), identity);
    party.data = tx::Tarnix::NewStub(party.channel);
    party.ops = tx::TarnixOps::NewStub(party.channel);
    return party;
  }

  // The administrator registers the certificate of `identity` for `name`.
  grpc::Status Register(const std::string& name, const std::string& identity) {
    tx::AddClientCertificateRequestMsg request;
    request.set_client_name(name);
    request.set_certificate(ReadText(Cert(identity)));
    tx::AddClientCertificateResponseMsg response;
    return Unary(admin_.ops.get(), &tx::TarnixOps::Stub::AddClientCertificate, kAdmin, request,
                 &response);
  }
  static grpc::Status CreateVDb(const Party& party, const std::string& name,
                                tx::CreateVDbResponseMsg* response) {
    tx::CreateVDbRequestMsg request;
    request.set_vdb_name(name);
    return Unary(party.data.get(), &tx::Tarnix::Stub::CreateVDb, party.client_id, request,
                 response);
  }

  static constexpr int kMainDevice = 1000;
  // The devices of caller kind `k`: n = 1 is put by the administrator, 2 and
  // 3 by the caller's Put and Modify.
  static int DeviceId(int k, int n) { return 10 * k + n; }

  static tx::MonitorStatementMsg Statement(int type) {
    tx::MonitorStatementMsg statement;
    statement.mutable_statement()->mutable_unknown_fields()->AddVarint(
        tx::StatementMsg::kObjectTypeFieldNumber, type);
    return statement;
  }

  // The devices that vdb `vdb` holds, as text, as the administrator reads them.
  std::set<std::string> DevicesIn(uint32_t vdb) {
    std::set<std::string> devices;
    for (const tx::GetResponseMsg& response :
         TarnixClient(admin_.channel).GetAll(kAdmin, kDeviceType, vdb)) {
      for (const tx::TypedObjectMsg& object : response.objects()) {
        if (object.has_object_body()) devices.insert(DeviceText(object.object_body()));
      }
    }
    return devices;
  }
  std::string DeviceText(const std::string& body) {
    std::unique_ptr<google::protobuf::Message> device = schema_.Parse("DeviceMsg", body);
    return device ? device->ShortDebugString() : "unparsable";
  }

  uint32_t AdminQueueSize() {
    tx::GetWorkflowTracerResponseMsg response;
    EXPECT_TRUE(Unary(admin_.data.get(), &tx::Tarnix::Stub::GetWorkflowTracer, kAdmin,
                      tx::GetWorkflowTracerRequestMsg(), &response)
                    .ok());
    return response.config().max_queued_spans();
  }

  grpc::Status AdminGetDigest(const std::string& name) {
    tx::GetClientCertificateRequestMsg request;
    request.set_client_id(name);
    tx::GetClientCertificateResponseMsg response;
    return Unary(admin_.ops.get(), &tx::TarnixOps::Stub::GetClientCertificate, kAdmin, request,
                 &response);
  }

  ExampleSchema schema_;
  std::unique_ptr<ServingDaemon> daemon_;
  Party admin_;
  std::array<uint32_t, kCallerKinds> writes_vdb_{};
  std::vector<std::unique_ptr<MonitorReader>> admin_monitors_;
  std::array<Party, kCallerKinds> parties_;
};

TEST_F(AuthTableTest, EveryRpcAgainstEveryKindOfCaller) {
  const Outcome ok{grpc::StatusCode::OK, ""};
  // The data service's refusals.
  const Outcome no_id{grpc::StatusCode::UNAUTHENTICATED,
                      "Unable to authenticate client. Missing client id."};
  const Outcome no_id_argument{grpc::StatusCode::INVALID_ARGUMENT, "Missing client id."};
  const Outcome unproven{grpc::StatusCode::PERMISSION_DENIED,
                         std::string("Invalid certificate used for client ") + kRegistered};
  const Outcome unproven_admin{grpc::StatusCode::PERMISSION_DENIED,
                               std::string("Invalid certificate used for client ") + kAdmin};
  // The administrator's rule.
  const Outcome no_cert{grpc::StatusCode::FAILED_PRECONDITION,
                        "Client did not provide a mandatory certificate."};
  const Outcome not_server_cert{grpc::StatusCode::PERMISSION_DENIED,
                                "Incorrect certificate provided. Server certificate must be used."};
  const auto denied = [](const std::string& message) {
    return Outcome{grpc::StatusCode::PERMISSION_DENIED, message};
  };
  const std::string device = "caldek.orv.tarnix.DeviceMsg";
  const std::string unknown = kUnknown;
  const std::string registered = kRegistered;
  // Outcomes in the order of CallerKind. Writing and reading devices: the
  // unknown id has no right in the schema.
  const std::array<Outcome, kCallerKinds> device_write = {
      no_id,    denied(unknown + " does not have write permission for " + device + "."),
      ok,       unproven,
      unproven, unproven_admin,
      ok};
  const std::array<Outcome, kCallerKinds> device_read = {
      no_id,    denied(unknown + " does not have read permission for " + device),
      ok,       unproven,
      unproven, unproven_admin,
      ok};
  const std::array<Outcome, kCallerKinds> authenticated = {
      no_id, ok, ok, unproven, unproven, unproven_admin, ok};
  const std::array<Outcome, kCallerKinds> authenticated_or_argument = {
      no_id_argument, ok, ok, unproven, unproven, unproven_admin, ok};
  const std::array<Outcome, kCallerKinds> administrator = {
      no_cert, no_cert, not_server_cert, not_server_cert, no_cert, not_server_cert, ok};
  // Open to every caller entitled to the id it claims, none included.
  const std::array<Outcome, kCallerKinds> claimed = {
      ok, ok, ok, unproven, unproven, unproven_admin, ok};

  const auto write_vdb = [this](int k) { return writes_vdb_[k]; };
  std::array<uint32_t, kCallerKinds> queue_sizes{};

  // In the order they run: the writes of each caller kind go to its own vdb,
  // so that each finds there what it needs and the refused ones can be told
  // to have changed nothing.
  const std::vector<Row> rows = {
      {"Put",
       [&](const Party& p, int k) {
         tx::PutRequestMsg put;
         tx::PutMsg* entry = put.add_puts();
         *entry->mutable_object() = Typed(kDeviceType, schema_.Device(DeviceId(k, 2), "put"));
         entry->add_vdb_ids(write_vdb(k));
         return TarnixClient(p.channel).Write(&tx::Tarnix::Stub::Put, p.client_id, {put});
       },
       device_write},
      {"Patch",
       [&](const Party& p, int k) {
         tx::PatchRequestMsg patch;
         tx::PatchMsg* entry = patch.add_patches();
         entry->mutable_unknown_fields()->AddVarint(tx::PatchMsg::kObjectTypeFieldNumber,
                                                    kDeviceType);
         entry->set_object_value(schema_.Device(DeviceId(k, 1), "patched"));
         entry->set_op_msg(schema_.Body("DeviceOpMsg", "hostname { op: SET }"));
         entry->add_vdb_ids(write_vdb(k));
         return TarnixClient(p.channel).Write(&tx::Tarnix::Stub::Patch, p.client_id, {patch});
       },
       device_write},
      {"Copy",
       [&](const Party& p, int k) {
         tx::CopyRequestMsg copy;
         tx::CopyMsg* entry = copy.add_copies();
         *entry->mutable_object() = Typed(kDeviceType, schema_.Device(DeviceId(k, 1), ""));
         entry->set_src_vdb_id(write_vdb(k));
         entry->add_vdb_ids(1);
         return TarnixClient(p.channel).Write(&tx::Tarnix::Stub::Copy, p.client_id, {copy});
       },
       device_write},
      {"Modify",
       [&](const Party& p, int k) {
         tx::ModifyRequestMsg modify;
         tx::PutMsg* entry = modify.add_modifies()->mutable_put_msg();
         *entry->mutable_object() = Typed(kDeviceType, schema_.Device(DeviceId(k, 3), "modify"));
         entry->add_vdb_ids(write_vdb(k));
         return TarnixClient(p.channel).Write(&tx::Tarnix::Stub::Modify, p.client_id, {modify});
       },
       device_write},
      {"Delete",
       [&](const Party& p, int k) {
         tx::DeleteRequestMsg del;
         tx::DeleteMsg* entry = del.add_deletes();
         *entry->mutable_object() = Typed(kDeviceType, schema_.Device(DeviceId(k, 2), ""));
         entry->add_vdb_ids(write_vdb(k));
         return TarnixClient(p.channel).Write(&tx::Tarnix::Stub::Delete, p.client_id, {del});
       },
       device_write},
      // Block 1 holds the low-frequency types, the devices among them. A
      // client without write permission flushes nothing and succeeds.
      {"FlushByBlockId",
       [&](const Party& p, int k) {
         tx::FlushByBlockIdRequestMsg flush;
         AddBlockFlush(1, &flush)->add_vdb_ids(write_vdb(k));
         return TarnixClient(p.channel).Write(&tx::Tarnix::Stub::FlushByBlockId, p.client_id,
                                              {flush});
       },
       authenticated},
      {"Flush",
       [&](const Party& p, int k) {
         tx::FlushRequestMsg flush;
         tx::FlushMsg* entry = flush.add_flushes();
         entry->mutable_unknown_fields()->AddVarint(tx::FlushMsg::kObjectTypeFieldNumber,
                                                    kDeviceType);
         entry->add_vdb_ids(write_vdb(k));
         return TarnixClient(p.channel).Write(&tx::Tarnix::Stub::Flush, p.client_id, {flush});
       },
       device_write},
      {"Get",
       [&](const Party& p, int) {
         tx::GetRequestMsg get;
         *get.add_objects() = Typed(kDeviceType, "", false);
         std::vector<tx::GetResponseMsg> responses;
         return TarnixClient(p.channel).Get(p.client_id, get, &responses);
       },
       device_read},
      {"Query",
       [&](const Party& p, int) {
         tx::QueryRequestMsg query;
         tx::StatementMsg* statement = query.mutable_statement();
         statement->mutable_unknown_fields()->AddVarint(tx::StatementMsg::kObjectTypeFieldNumber,
                                                        kDeviceType);
         tx::WhereMsg* where = statement->add_where();
         where->set_op_msg(schema_.Body("DeviceOpMsg", "hostname { op: EQUALS }"));
         where->set_value(schema_.Body("DeviceMsg", "hostname: 'seed'"));
         std::vector<tx::QueryResponseMsg> responses;
         return TarnixClient(p.channel).Query(p.client_id, query, &responses);
       },
       device_read},
      {"GetMerkleTree",
       [&](const Party& p, int) {
         tx::GetMerkleTreeResponseMsg response;
         return Unary(p.data.get(), &tx::Tarnix::Stub::GetMerkleTree, p.client_id,
                      tx::GetMerkleTreeRequestMsg(), &response);
       },
       authenticated_or_argument},
      // Opened on the main vdb, whose device makes a snapshot: its first
      // message tells an open monitor, a status a refused one.
      {"Monitor",
       [&](const Party& p, int k) {
         tx::MonitorRequestMsg request;
         request.set_monitor_request_id("mon-" + std::to_string(k));
         *request.add_statements() = Statement(kDeviceType);
         MonitorReader monitor(p.data.get(), p.client_id, request);
         if (!monitor.ReadTransaction().empty()) return grpc::Status::OK;
         return monitor.Finish();
       },
       device_read},
      // Adds interfaces to the administrator's monitor "cfg-<k>": a monitor
      // is for its owner and the administrator only.
      {"ConfigureMonitor",
       [&](const Party& p, int k) {
         tx::ConfigureMonitorRequestMsg request;
         request.set_monitor_request_id("cfg-" + std::to_string(k));
         *request.add_add_statements() = Statement(kInterfaceType);
         tx::ConfigureMonitorResponseMsg response;
         return Unary(p.data.get(), &tx::Tarnix::Stub::ConfigureMonitor, p.client_id, request,
                      &response);
       },
       {no_id, denied(unknown + " may not configure monitor cfg-1"),
        denied(registered + " may not configure monitor cfg-2"), unproven, unproven,
        unproven_admin, ok}},
      // Every client's request bodies are in the log.
      {"GetTransactionLog",
       [&](const Party& p, int) {
         std::vector<tx::TransactionLogUnitMsg> units;
         return TarnixClient(p.channel).GetTransactionLog(p.client_id, &units);
       },
       administrator},
      {"CreateVDb",
       [&](const Party& p, int k) {
         tx::CreateVDbResponseMsg response;
         return CreateVDb(p, "new-" + std::to_string(k), &response);
       },
       {no_id, denied(unknown + " does not have permission to create VDb"),
        denied(registered + " does not have permission to create VDb"), unproven, unproven,
        unproven_admin, ok}},
      {"DeleteVDb",
       [&](const Party& p, int k) {
         tx::DeleteVDbRequestMsg request;
         request.set_vdb_name("old-" + std::to_string(k));
         tx::DeleteVDbResponseMsg response;
         return Unary(p.data.get(), &tx::Tarnix::Stub::DeleteVDb, p.client_id, request, &response);
       },
       {no_id, denied(unknown + " does not have permission to delete VDb"),
        denied(registered + " does not have permission to delete VDb"), unproven, unproven,
        unproven_admin, ok}},
      {"GetVDbId",
       [&](const Party& p, int) {
         tx::GetVDbIdResponseMsg response;
         return Unary(p.data.get(), &tx::Tarnix::Stub::GetVDbId, p.client_id,
                      tx::GetVDbIdRequestMsg(), &response);
       },
       authenticated},
      // Each caller kind sets its own queue size; the administrator reads
      // back which one is in force.
      {"ConfigureWorkflowTracer",
       [&](const Party& p, int k) {
         tx::ConfigureWorkflowTracerRequestMsg request;
         request.mutable_config()->set_enable(false);
         request.mutable_config()->set_max_queued_spans(100 + k);
         tx::ConfigureWorkflowTracerResponseMsg response;
         const grpc::Status status = Unary(p.data.get(), &tx::Tarnix::Stub::ConfigureWorkflowTracer,
                                           p.client_id, request, &response);
         queue_sizes[k] = AdminQueueSize();
         return status;
       },
       authenticated_or_argument},
      {"GetWorkflowTracer",
       [&](const Party& p, int) {
         tx::GetWorkflowTracerResponseMsg response;
         return Unary(p.data.get(), &tx::Tarnix::Stub::GetWorkflowTracer, p.client_id,
                      tx::GetWorkflowTracerRequestMsg(), &response);
       },
       authenticated_or_argument},
      // A reload replaces every client's permissions.
      {"LoadSchema",
       [&](const Party& p, int) {
         tx::LoadSchemaRequestMsg request;
         request.set_schema_path(TARNIX_EXAMPLE_SCHEMA);
         tx::LoadSchemaResponseMsg response;
         const grpc::Status status =
             Unary(p.ops.get(), &tx::TarnixOps::Stub::LoadSchema, p.client_id, request, &response);
         EXPECT_EQ(response.loaded(), status.ok());
         return status;
       },
       administrator},
      {"GetSchema",
       [&](const Party& p, int) {
         tx::GetSchemaResponseMsg response;
         return Unary(p.ops.get(), &tx::TarnixOps::Stub::GetSchema, p.client_id,
                      tx::GetSchemaRequestMsg(), &response);
       },
       claimed},
      {"GetSchemaVersion",
       [&](const Party& p, int) {
         tx::GetSchemaVersionResponseMsg response;
         return Unary(p.ops.get(), &tx::TarnixOps::Stub::GetSchemaVersion, p.client_id,
                      tx::GetSchemaVersionRequestMsg(), &response);
       },
       claimed},
      {"GetMetrics",
       [&](const Party& p, int) {
         tx::GetMetricsResponseMsg response;
         return Unary(p.ops.get(), &tx::TarnixOps::Stub::GetMetrics, p.client_id,
                      tx::GetMetricsRequestMsg(), &response);
       },
       claimed},
      {"AddClientCertificate",
       [&](const Party& p, int k) {
         tx::AddClientCertificateRequestMsg request;
         request.set_client_name("added-" + std::to_string(k));
         request.set_certificate(ReadText(Cert("spare")));
         tx::AddClientCertificateResponseMsg response;
         return Unary(p.ops.get(), &tx::TarnixOps::Stub::AddClientCertificate, p.client_id, request,
                      &response);
       },
       administrator},
      {"DeleteClientCertificate",
       [&](const Party& p, int k) {
         tx::DeleteClientCertificateRequestMsg request;
         request.set_client_name("spare-" + std::to_string(k));
         tx::DeleteClientCertificateResponseMsg response;
         return Unary(p.ops.get(), &tx::TarnixOps::Stub::DeleteClientCertificate, p.client_id,
                      request, &response);
       },
       administrator},
      {"GetClientCertificate",
       [&](const Party& p, int) {
         tx::GetClientCertificateRequestMsg request;
         request.set_client_id(kRegistered);
         tx::GetClientCertificateResponseMsg response;
         const grpc::Status status = Unary(p.ops.get(), &tx::TarnixOps::Stub::GetClientCertificate,
                                           p.client_id, request, &response);
         EXPECT_EQ(response.certificate_digest().size(), status.ok() ? 64u : 0u);
         return status;
       },
       {denied(" does not have permission to delete certificate"),
        denied(unknown + " does not have permission to delete certificate"),
        denied(registered + " does not have permission to delete certificate"), unproven, unproven,
        unproven_admin, ok}},
  };

  std::ostringstream table;
  table << std::left << std::setw(24) << "";
  for (const char* name : kCallerNames) table << " | " << name;
  table << "\n";
  int mismatches = 0;
  for (const Row& row : rows) {
    table << std::setw(24) << row.rpc;
    for (int k = 0; k < kCallerKinds; ++k) {
      const grpc::Status status = row.call(parties_[k], k);
      const Outcome got{status.error_code(), status.error_message()};
      const Outcome& expected = row.expected[k];
      table << " | " << CodeName(got.code);
      if (got.code != expected.code || got.message != expected.message) {
        ++mismatches;
        ADD_FAILURE() << row.rpc << " as " << kCallerNames[k] << ": expected " << Describe(expected)
                      << ", got " << Describe(got);
      }
    }
    table << "\n";
  }
  EXPECT_EQ(mismatches, 0) << "outcomes:\n" << table.str();

  // What the refused calls would have changed, as the administrator sees it.
  const Row& tracer_row = *std::find_if(rows.begin(), rows.end(), [](const Row& row) {
    return row.rpc == "ConfigureWorkflowTracer";
  });
  for (int k = 0; k < kCallerKinds; ++k) {
    SCOPED_TRACE(kCallerNames[k]);
    std::set<std::string> left;
    if (k != kOwnCert && k != kAdministrator) {
      left.insert(DeviceText(schema_.Device(DeviceId(k, 1), "seed")));
    }
    EXPECT_EQ(DevicesIn(writes_vdb_[k]), left);

    const uint32_t before = k == 0 ? 0 : queue_sizes[k - 1];
    EXPECT_EQ(queue_sizes[k],
              tracer_row.expected[k].code == grpc::StatusCode::OK ? 100u + k : before);

    const bool admin = k == kAdministrator;
    EXPECT_EQ(AdminGetDigest("added-" + std::to_string(k)).ok(), admin);
    EXPECT_EQ(AdminGetDigest("spare-" + std::to_string(k)).ok(), !admin);
  }
  EXPECT_EQ(DevicesIn(1), (std::set<std::string>{
                              DeviceText(schema_.Device(kMainDevice, "seed")),
                              DeviceText(schema_.Device(DeviceId(kOwnCert, 1), "patched")),
                              DeviceText(schema_.Device(DeviceId(kAdministrator, 1), "patched"))}));

  tx::GetVDbIdResponseMsg vdbs;
  ASSERT_TRUE(
      Unary(admin_.data.get(), &tx::Tarnix::Stub::GetVDbId, kAdmin, tx::GetVDbIdRequestMsg(), &vdbs)
          .ok());
  std::set<std::string> names;
  for (const tx::VDbMsg& vdb : vdbs.vdbs()) names.insert(vdb.vdb_name());
  std::set<std::string> expected_names = {"main_vdb"};
  for (int k = 0; k < kCallerKinds; ++k) {
    expected_names.insert("writes-" + std::to_string(k));
    expected_names.insert((k == kAdministrator ? "new-" : "old-") + std::to_string(k));
  }
  EXPECT_EQ(names, expected_names);
}

}  // namespace
}  // namespace e2e
}  // namespace tarnix
