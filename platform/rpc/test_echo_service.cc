#include "platform/rpc/test_echo_service.h"

#include <algorithm>
#include <stdexcept>
#include <thread>

namespace orv {
namespace rpc {
namespace testing {

using tarnix_test::EchoRequest;
using tarnix_test::EchoResponse;
using Handle = boost::intrusive_ptr<CallHandle<EchoResponse>>;

void EventLog::Add(const std::string& event) {
  std::lock_guard<std::mutex> lock(mu_);
  events_.push_back(event);
  cv_.notify_all();
}

std::vector<std::string> EventLog::events() const {
  std::lock_guard<std::mutex> lock(mu_);
  return events_;
}

size_t EventLog::Count(const std::string& event) const {
  std::lock_guard<std::mutex> lock(mu_);
  return std::count(events_.begin(), events_.end(), event);
}

bool EventLog::WaitFor(const std::string& event, size_t times,
                       std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, [&] {
    return static_cast<size_t>(std::count(events_.begin(), events_.end(), event)) >=
           times;
  });
}

namespace {

// What the client stream's preparer saw of a message, and where.
struct EchoExtra : RequestExtra {
  std::string text;
  std::thread::id thread;
};

}  // namespace

EchoTestService::EchoTestService() : Service("tarnix_test.Echo") {
  AddUnaryMethod("Unary", &EchoTestService::Unary);
  AddServerStreamMethod("ServerStream", &EchoTestService::ServerStream);
  AddClientStreamMethod("ClientStream", &EchoTestService::ClientStream);
  SetRequestPreparer<EchoRequest>(
      "ClientStream", [](const EchoRequest& message) -> std::unique_ptr<RequestExtra> {
        auto extra = std::make_unique<EchoExtra>();
        extra->text = message.text();
        extra->thread = std::this_thread::get_id();
        return extra;
      });
}

EchoTestService::Scope::Scope(EchoTestService* service)
    : service_(service), outer_(!service->in_scope_) {
  if (!outer_) service_->log_.Add("reentered");
  service_->in_scope_ = true;
}

EchoTestService::Scope::~Scope() {
  if (outer_) service_->in_scope_ = false;
}

void EchoTestService::WatchCompletion(CallContext& context, const std::string& tag) {
  context.set_completion_callback([this, tag](const Status& status) {
    Scope scope(this);
    log_.Add("done:" + tag + ":" + std::to_string(status.code()));
  });
}

void EchoTestService::Unary(CallContext& context, const EchoRequest& request,
                            const Handle& call) {
  Scope scope(this);
  const std::string& action = request.action();
  WatchCompletion(context, "unary-" + action);
  EchoResponse response;
  response.set_text(request.text());
  response.set_client_id(context.client_id());
  const auto& digest = context.peer_authentication().certificate_sha256_digest();
  if (digest) response.set_digest(std::string(digest->begin(), digest->end()));
  response.set_total(static_cast<int64_t>(request.payload().size()));
  if (action == "throw") throw std::runtime_error("handler failure");
  if (action == "fail") {
    call->Fail(INVALID_ARGUMENT("fail requested"));
    return;
  }
  if (action == "hold") {
    held_.push_back(call);
    log_.Add("held");
    return;
  }
  call->Respond(response);
  if (action == "ops_after_end") {
    call->Write(response);
    call->Respond(response);
    call->Finish();
    call->Fail(INTERNAL("too late"));
  }
}

void EchoTestService::ServerStream(CallContext& context, const EchoRequest& request,
                                   const Handle& call) {
  Scope scope(this);
  const std::string& action = request.action();
  WatchCompletion(context, "stream-" + action);
  if (action == "drain") {
    DrainStream(request, call);
    return;
  }
  for (int i = 0; i < request.count(); ++i) {
    EchoResponse response;
    response.set_index(i);
    response.set_text(request.payload());
    call->call()->Write(response);
  }
  if (action == "fail") {
    call->Fail(ABORTED("after writes"));
    call->Write(EchoResponse());  // no-op after the end
  } else if (action == "hold") {
    held_.push_back(call);
    log_.Add("held");
  } else if (action == "feed") {
    if (!request.text().empty()) call->set_queue_cap(std::stoul(request.text()));
    feeds_.push_back(call);
    log_.Add("feed-held");
  } else {
    call->Finish();
  }
}

void EchoTestService::DrainStream(const EchoRequest& request, const Handle& call) {
  // Writes while at most kDrainLowWater bytes are queued, goes on as the
  // client reads, and logs the most it ever had queued.
  auto next = std::make_shared<int>(0);
  auto most = std::make_shared<size_t>(0);
  auto pump = [this, call, request, next, most] {
    while (*next < request.count() && call->queued_bytes() <= kDrainLowWater) {
      EchoResponse response;
      response.set_index((*next)++);
      response.set_text(request.payload());
      call->Write(response);
      *most = std::max(*most, call->queued_bytes());
    }
    if (*next == request.count()) {
      log_.Add("drain-most:" + std::to_string(*most));
      call->set_drain_callback(0, nullptr);
      call->Finish();
    }
  };
  call->set_drain_callback(kDrainLowWater, pump);
  pump();
}

namespace {

// Collects messages; answers with their count and texts when the client ends
// the stream normally.
class CollectingObserver : public CallObserver<EchoRequest> {
 public:
  CollectingObserver(EchoTestService* service, Handle call, std::string mode)
      : service_(service),
        log_(&service->log()),
        call_(std::move(call)),
        mode_(std::move(mode)) {}

  void OnMessage(const EchoRequest& message) override {
    EchoTestService::Scope scope(service_);
    if (completed_) log_->Add("message-after-complete");
    if (mode_ == "throw-on-message") throw std::runtime_error("observer failure");
    if (mode_ == "log-each") log_->Add("got:" + message.text());
    if (failed_) log_->Add("message-after-fail");
    if (mode_ == "fail-on-third" && count_ == 2) {  // the client may go on sending
      failed_ = true;
      log_->Add("failed:" + mode_);
      call_->Fail(RESOURCE_EXHAUSTED("third message"));
      return;
    }
    if (mode_ == "block-on-message") {  // holds up the loop thread
      log_->Add("blocking");
      std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    }
    ++count_;
    texts_ += message.text();
    bytes_ += static_cast<int64_t>(message.payload().size());
  }

  // "log-extra" logs "extra:<text the preparer saw>:<io|loop>" per message.
  void TakeMessage(EchoRequest&& message, std::unique_ptr<RequestExtra> extra) override {
    if (mode_ == "log-extra") {
      auto* seen = dynamic_cast<EchoExtra*>(extra.get());
      log_->Add(seen == nullptr ? std::string("extra:none")
                                : "extra:" + seen->text + ":" +
                                      (seen->thread == std::this_thread::get_id() ? "loop" : "io"));
    }
    OnMessage(message);
  }

  void OnComplete(const Status& status) override {
    EchoTestService::Scope scope(service_);
    if (completed_) log_->Add("complete-twice");
    completed_ = true;
    log_->Add("complete:" + mode_ + ":" + std::to_string(status.code()));
    if (status.code() != 0) return;
    EchoResponse response;
    response.set_index(count_);
    response.set_text(texts_);
    response.set_total(bytes_);
    call_->Respond(response);
  }

  void OnRelease() override {
    {
      EchoTestService::Scope scope(service_);
      log_->Add(std::string("release:") + mode_ + (completed_ ? "" : ":before-complete"));
    }
    delete this;
  }

 private:
  EchoTestService* service_;
  EventLog* log_;
  Handle call_;
  std::string mode_;
  int count_ = 0;
  int64_t bytes_ = 0;
  std::string texts_;
  bool completed_ = false;
  bool failed_ = false;
};

// The "feeder": writes to the service's feeds; logs "fed:<n>:open" after
// its n-th message (1-based) while every feed is open, else "fed:<n>:closed".
class FeedingObserver : public CallObserver<EchoRequest> {
 public:
  FeedingObserver(EchoTestService* service, Handle call)
      : service_(service), call_(std::move(call)) {}

  void OnMessage(const EchoRequest& message) override {
    EchoTestService::Scope scope(service_);
    bool open = true;
    for (const Handle& feed : service_->feeds()) {
      for (int i = 0; i < message.count(); ++i) {
        EchoResponse response;
        response.set_index(written_ + i);
        response.set_text(message.payload());
        feed->Write(response);
      }
      open = open && feed->is_open();
    }
    written_ += message.count();
    service_->log().Add("fed:" + std::to_string(++messages_) +
                        (open ? ":open" : ":closed"));
  }

  void OnComplete(const Status& status) override {
    EchoTestService::Scope scope(service_);
    if (status.code() != 0) return;
    for (const Handle& feed : service_->feeds()) feed->Finish();
    service_->feeds().clear();
    EchoResponse response;
    response.set_index(messages_);
    call_->Respond(response);
  }

 private:
  EchoTestService* service_;
  Handle call_;
  int messages_ = 0;
  int written_ = 0;
};

}  // namespace

CallObserver<EchoRequest>* EchoTestService::ClientStream(CallContext& context,
                                                         const Handle& call) {
  Scope scope(this);
  std::string mode = context.client_id();
  WatchCompletion(context, "client-" + mode);
  if (mode == "fail-at-entry") call->Fail(UNAUTHENTICATED("refused"));
  if (mode == "throw-at-entry") throw std::runtime_error("entry failure");
  if (mode == "feeder") return new FeedingObserver(this, call);
  return new CollectingObserver(this, call, mode);
}

}  // namespace testing
}  // namespace rpc
}  // namespace orv
