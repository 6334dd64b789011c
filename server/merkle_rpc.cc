// The GetMerkleTree handler of the data service.

#include <memory>
#include <string>
#include <utility>

#include "caldek/orv/tarnix/tarnix_merkle.pb.h"
#include "logging/logger.h"
#include "server/merkle_tree.h"
#include "server/merkle_walk.h"
#include "server/rpc_status.h"
#include "server/tarnix_server.h"

namespace tarnix {

namespace tx = caldek::orv::tarnix;

struct TarnixServer::MerkleCall {
  std::unique_ptr<MerkleWalk> walk;
  CallPtr<tx::GetMerkleTreeResponseMsg> call;
};

void TarnixServer::GetMerkleTree(orv::rpc::CallContext& context,
                                 const tx::GetMerkleTreeRequestMsg& request,
                                 const CallPtr<tx::GetMerkleTreeResponseMsg>& call) {
  const orv::rpc::AppStatus authenticated =
      AuthenticateClient(*client_certificates_, InstalledServerCertificate(security_), context,
                         "GetMerkleTree operation", MissingClientId::kInvalidArgument);
  if (!authenticated.ok()) {
    call->Fail(authenticated);
    return;
  }
  const std::string& client_id = context.client_id();
  TARNIX_LOG(orv::INFO, nullptr, "GetMerkleTree: Client ID=%s", client_id.c_str());
  VdbId vdb_id = 0;
  if (!ResolveReadVdb(request.has_vdb_id(), request.vdb_id(), &vdb_id)) {
    call->Fail(orv::rpc::FAILED_PRECONDITION("no mapping for vdb_id found"));
    return;
  }
  MerkleWalk::BlockRanges ranges;
  if (request.has_block_ranges()) {
    // Checked before the walk: a bad range would otherwise leave objects out
    // of the tree, or place them past its leaves.
    const Status checked = MerkleWalk::CheckBlockRanges(request.block_ranges());
    if (!checked.ok()) {
      TARNIX_LOG(orv::ERROR, "errorCode:DRX0007", "GetMerkleTree operation failed: %s",
                 checked.message().c_str());
      call->Fail(ToAppStatus(checked));
      return;
    }
    ranges = std::make_shared<const tx::MerkleTreeBlockRangesMsg>(request.block_ranges());
  }
  auto merkle = std::make_shared<MerkleCall>();
  merkle->walk.reset(new MerkleWalk(*schema_, db_access_, client_id,
                                    vdb_id, std::move(ranges),
                                    merkle_sort_protobufs_));
  merkle->call = call;
  StepMerkleWalk(merkle);
}

void TarnixServer::StepMerkleWalk(const std::shared_ptr<MerkleCall>& merkle) {
  // Nobody waits for the answer any more.
  if (!merkle->call->is_open()) return;
  MerkleWalk& walk = *merkle->walk;
  while (!walk.Step(read_slice_records_)) {
    if (loop_poster_) {
      loop_poster_([this, merkle] { StepMerkleWalk(merkle); });
      return;
    }
  }
  if (!walk.status().ok()) {
    TARNIX_LOG(orv::ERROR, "errorCode:DRX0101", "GetMerkleTree operation failed: %s",
               walk.status().message().c_str());
    merkle->call->Fail(ToAppStatus(walk.status()));
    return;
  }
  MerkleTree tree;
  walk.FillLeaves(&tree);
  tx::GetMerkleTreeResponseMsg response;
  tx::MerkleTreeNodeMsg root;
  if (tree.Build(&root)) response.mutable_root()->Swap(&root);
  merkle->call->Respond(response);
}

}  // namespace tarnix
