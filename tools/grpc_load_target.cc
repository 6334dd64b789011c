#include "tools/grpc_load_target.h"

#include <grpcpp/grpcpp.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <iterator>
#include <list>
#include <set>

#include "caldek/orv/tarnix/tarnix_service.grpc.pb.h"
#include "schema/vdb_id_set.h"
#include "tools/load_objects.h"

namespace tarnix {
namespace load {
namespace {

namespace tx = ::caldek::orv::tarnix;

// Puts per request message of a stream: keeps large transactions well under
// gRPC's 4 MB message limit.
constexpr size_t kPutsPerMessage = 1000;
constexpr auto kCallTimeout = std::chrono::minutes(10);
constexpr auto kConnectTimeout = std::chrono::seconds(10);

class GrpcLoadClient : public LoadClient {
 public:
  GrpcLoadClient(const LoadOptions& options, LoadMode mode)
      : options_(options), mode_(mode) {
    grpc::ChannelArguments args;
    // A connection of its own, not one shared with the other clients.
    args.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
    channel_ =
        grpc::CreateCustomChannel(options.target, grpc::InsecureChannelCredentials(), args);
    // A daemon that is not there shows in the first call's status.
    channel_->WaitForConnected(std::chrono::system_clock::now() + kConnectTimeout);
    stub_ = tx::Tarnix::NewStub(channel_);
  }

  void Prepare(const std::vector<uint64_t>& sequences) override {
    if (mode_ == LoadMode::kPut) {
      puts_.clear();
      for (size_t i = 0; i < sequences.size(); ++i) {
        if (i % kPutsPerMessage == 0) {
          puts_.emplace_back();
          puts_.back().set_sync(options_.sync);
        }
        SetLoadObject(sequences[i], options_.body_bytes,
                      puts_.back().add_puts()->mutable_object());
      }
      return;
    }
    if (mode_ == LoadMode::kQuery) {
      PrepareQuery(sequences.front());
      return;
    }
    get_.Clear();
    get_.set_vdb_id(kMainVdbId);
    for (uint64_t sequence : sequences) SetLoadObject(sequence, 0, get_.add_objects());
    // Each object comes back once, however often it was asked for.
    expected_ = std::set<uint64_t>(sequences.begin(), sequences.end()).size();
  }

  bool Run(std::string* error) override {
    grpc::ClientContext context;
    context.AddMetadata("client-id", options_.client_id);
    context.set_deadline(std::chrono::system_clock::now() + kCallTimeout);
    grpc::Status status;
    size_t found = 0;
    if (mode_ == LoadMode::kPut) {
      tx::PutResponseMsg response;
      // The headers, the messages and the end of the stream leave together
      // where they can, as a unary call's would.
      context.set_initial_metadata_corked(true);
      std::unique_ptr<grpc::ClientWriter<tx::PutRequestMsg>> stream =
          stub_->Put(&context, &response);
      bool open = true;
      const auto last = puts_.empty() ? puts_.end() : std::prev(puts_.end());
      for (auto it = puts_.begin(); open && it != last; ++it) {
        open = stream->Write(*it);  // false: the call has ended; Finish says why
      }
      if (open && !puts_.empty()) {
        stream->WriteLast(puts_.back(), grpc::WriteOptions());
      } else {
        stream->WritesDone();
      }
      status = stream->Finish();
    } else if (mode_ == LoadMode::kQuery) {
      std::unique_ptr<grpc::ClientReader<tx::QueryResponseMsg>> stream =
          stub_->Query(&context, query_);
      tx::QueryResponseMsg response;
      while (stream->Read(&response)) {
        for (const tx::TypedObjectMsg& object : response.objects()) {
          if (object.has_object_body()) ++found;
        }
      }
      status = stream->Finish();
    } else {
      std::unique_ptr<grpc::ClientReader<tx::GetResponseMsg>> stream =
          stub_->Get(&context, get_);
      tx::GetResponseMsg response;
      while (stream->Read(&response)) {
        for (const tx::TypedObjectMsg& object : response.objects()) {
          if (object.has_object_body()) ++found;
        }
      }
      status = stream->Finish();
    }
    if (!status.ok()) {
      *error = std::string(LoadModeName(mode_)) + " failed: code " +
               std::to_string(status.error_code()) + ": " + status.error_message();
      return false;
    }
    return mode_ == LoadMode::kPut || AllFound(found, expected_, error);
  }

 private:
  // The objects of the group of `sequence`: the value carries that object's
  // body, whose action text is the group's; only `action` is compared.
  void PrepareQuery(uint64_t sequence) {
    query_.Clear();
    query_.set_vdb_id(kMainVdbId);
    tx::StatementMsg* statement = query_.mutable_statement();
    statement->mutable_unknown_fields()->AddVarint(tx::StatementMsg::kObjectTypeFieldNumber,
                                                   kLoadTypeId);
    tx::WhereMsg* where = statement->add_where();
    where->set_op_msg(kActionEquals);
    where->set_value(LoadObjectBody(sequence, options_.body_bytes));
    statement->mutable_select()->set_op_msg(kSequenceSelected);
    expected_ = kGetObjects / kQueryGroups;
  }

  // AuditEntryOpMsg with action (field 3) { op: EQUALS } and sequence
  // (field 1) { op: SELECT }.
  static constexpr char kActionEquals[] = "\x1a\x02\x08\x02";
  static constexpr char kSequenceSelected[] = "\x0a\x02\x08\x01";

  const LoadOptions options_;
  const LoadMode mode_;
  std::shared_ptr<grpc::Channel> channel_;
  std::unique_ptr<tx::Tarnix::Stub> stub_;
  std::list<tx::PutRequestMsg> puts_;
  tx::GetRequestMsg get_;
  tx::QueryRequestMsg query_;
  size_t expected_ = 0;
};

// A Monitor call of every object of the load type in the main vdb.
class GrpcLoadMonitor : public LoadMonitor {
 public:
  explicit GrpcLoadMonitor(const LoadOptions& options) : options_(options) {
    grpc::ChannelArguments args;
    args.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
    args.SetInt(GRPC_ARG_MAX_RECEIVE_MESSAGE_LENGTH, -1);
    channel_ = grpc::CreateCustomChannel(options.target, grpc::InsecureChannelCredentials(), args);
    channel_->WaitForConnected(std::chrono::system_clock::now() + kConnectTimeout);
    stub_ = tx::Tarnix::NewStub(channel_);
  }

  bool Open(std::string* error) override {
    tx::MonitorRequestMsg request;
    request.set_vdb_id(kMainVdbId);
    request.add_statements()->mutable_statement()->mutable_unknown_fields()->AddVarint(
        tx::StatementMsg::kObjectTypeFieldNumber, kLoadTypeId);
    context_.AddMetadata("client-id", options_.client_id);
    reader_ = stub_->Monitor(&context_, request);
    tx::MonitorResponseMsg response;
    while (reader_->Read(&response)) {
      if (response.transaction_control().end_of_transaction()) return true;
    }
    return Ended(error);
  }

  bool Next(std::vector<uint64_t>* sequences, bool* end_of_transaction,
            std::string* error) override {
    if (!reader_->Read(&response_)) return Ended(error);
    *end_of_transaction = response_.transaction_control().end_of_transaction();
    for (const tx::MonitorUpdateMsg& update : response_.updates()) {
      uint64_t sequence;
      if (!ReadLoadObjectSequence(update.object_body(), &sequence)) sequence = UINT64_MAX;
      sequences->push_back(sequence);
    }
    return true;
  }

  void Cancel() override { context_.TryCancel(); }

 private:
  bool Ended(std::string* error) {
    const grpc::Status status = reader_->Finish();
    *error = "monitor ended: code " + std::to_string(status.error_code()) + ": " +
             status.error_message();
    return false;
  }

  const LoadOptions options_;
  std::shared_ptr<grpc::Channel> channel_;
  std::unique_ptr<tx::Tarnix::Stub> stub_;
  grpc::ClientContext context_;
  std::unique_ptr<grpc::ClientReader<tx::MonitorResponseMsg>> reader_;
  tx::MonitorResponseMsg response_;
};

class GrpcLoadTarget : public LoadTarget {
 public:
  explicit GrpcLoadTarget(const LoadOptions& options) : options_(options) {}

  std::unique_ptr<LoadClient> NewClient(LoadMode mode) override {
    return std::make_unique<GrpcLoadClient>(options_, mode);
  }

  std::unique_ptr<LoadMonitor> NewMonitor() override {
    return std::make_unique<GrpcLoadMonitor>(options_);
  }

 private:
  const LoadOptions options_;
};

}  // namespace

std::unique_ptr<LoadTarget> NewGrpcLoadTarget(const LoadOptions& options) {
  return std::make_unique<GrpcLoadTarget>(options);
}

}  // namespace load
}  // namespace tarnix
