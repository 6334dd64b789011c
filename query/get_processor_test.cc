#include "query/get_processor.h"

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "schema/record_key.h"
#include "storage/fault_env.h"
#include "write/write_test_util.h"

namespace tarnix {
namespace {

namespace tx = caldek::orv::tarnix;

constexpr char kAddress[] = "caldek.orv.tarnix.AddressMsg";
constexpr char kVlan[] = "caldek.orv.tarnix.VlanMsg";

// An AddressMsg body: field 1, the ip (its key), then `padding` in field 4.
std::string Address(const std::string& ip, size_t padding = 0) {
  std::string body = "\x0a" + std::string(1, static_cast<char>(ip.size())) + ip;
  if (padding > 0) {
    tx::TypedObjectMsg filler;  // only for its length-delimited encoding
    filler.set_object_body(std::string(padding, 'p'));
    body += "\x22" + filler.SerializeAsString().substr(1);
  }
  return body;
}

class GetProcessorTest : public WriteTest {
 protected:
  std::string Key(const std::string& type, const std::string& body, const VdbIdSet& vdbs) {
    std::string key;
    EXPECT_TRUE(
        MakeObjectRecordKey(schema_, type, schema_.keys().GetKeyFromSerialized(type, body), &key));
    return vdbs.empty() ? key : key + EncodeVdbIdSet(vdbs);
  }
  void Store(const std::string& body, const VdbIdSet& vdbs, const std::string& value = "") {
    PutAll(db_.get(), {{Key(kAddress, body, vdbs), value.empty() ? body : value}});
  }
  void Delete(const std::string& body, const VdbIdSet& vdbs) {
    std::vector<int32_t> codes;
    ASSERT_TRUE(db_->Delete({{Key(kAddress, body, vdbs), ""}}, false, &codes).ok());
  }
  void Select(const std::string& type, const std::string* body = nullptr) {
    tx::TypedObjectMsg* selector = selectors_.Add();
    if (!type.empty()) schema_.types().SetObjectType(type, selector);
    if (body != nullptr) selector->set_object_body(*body);
  }
  // The selectors checked, then read whole into chunks_.
  Status Read(VdbId vdb, const std::string& client = "tarnix-cli") {
    lists_ = GetReadLists();
    chunks_.clear();
    const Status checked = Processor().ProcessGetRequest(client, selectors_, &lists_);
    if (!checked.ok()) return checked;
    return ReadAllChunks(Processor().GetObjects(std::move(lists_), vdb).get(), &chunks_);
  }
  // Each chunk as "type:body" entries ("type" alone without body).
  std::vector<std::vector<std::string>> Chunks() {
    std::vector<std::vector<std::string>> out;
    for (const tx::GetResponseMsg& chunk : chunks_) {
      out.emplace_back();
      for (const tx::TypedObjectMsg& entry : chunk.objects()) {
        std::string type = schema_.types().GetObjectType(&entry);
        type = type.substr(type.rfind('.') + 1);
        out.back().push_back(entry.has_object_body() ? type + ":" + entry.object_body() : type);
      }
    }
    return out;
  }

  GetProcessor Processor() { return GetProcessor(&schema_, db_.get()); }

  GetProcessor::Selectors selectors_;
  GetReadLists lists_;
  std::vector<tx::GetResponseMsg> chunks_;
};

using Entries = std::vector<std::vector<std::string>>;

TEST_F(GetProcessorTest, RefusesTheWholeRequestAtTheFirstBadSelector) {
  EXPECT_EQ(Read(1), Status::InvalidArgument("Missing object request for GET request"));

  const std::string a = Address("a");
  Select(kAddress, &a);
  Select(kAddress);
  Select("");
  EXPECT_EQ(Read(1), Status::InvalidArgument("Unrecognized object type "));
  EXPECT_EQ(lists_.id_pairs.size(), 1u);  // kept for the caller's log

  selectors_.Clear();
  Select(kAddress);
  Select(kVlan);
  EXPECT_EQ(Read(1, "inventory-agent"),
            Status::PermissionDenied("inventory-agent does not have read permission for " +
                                     std::string(kVlan)));

  selectors_.Clear();
  const std::string keyless = "\x10\x18";  // prefix_length only
  Select(kAddress, &keyless);
  const Status status = Read(1);
  EXPECT_EQ(status.code(), Status::kInvalidArgument);
  EXPECT_EQ(status.message().rfind("Unable to extract id for object type ", 0), 0u);
}

TEST_F(GetProcessorTest, ReturnsOnlyRecordsOfTheRequestedVdb) {
  const std::string a = Address("a"), b = Address("b"), c = Address("c");
  Store(a, {1, 2}, a + "-12");
  Store(a, {3}, a + "-3");
  Store(b, {});  // no suffix: the main vdb only
  Select(kAddress, &a);
  Select(kAddress, &b);
  Select(kAddress, &c);
  ASSERT_TRUE(Read(1).ok());
  EXPECT_EQ(Chunks(), (Entries{{"AddressMsg:" + a + "-12", "AddressMsg:" + b, "AddressMsg"}}));

  ASSERT_TRUE(Read(3).ok());
  EXPECT_EQ(Chunks(), (Entries{{"AddressMsg:" + a + "-3", "AddressMsg", "AddressMsg"}}));

  selectors_.Clear();
  Select(kAddress);
  ASSERT_TRUE(Read(2).ok());
  EXPECT_EQ(Chunks(), (Entries{{"AddressMsg:" + a + "-12"}}));
}

TEST_F(GetProcessorTest, ReturnsEachObjectAndEachEmptyTypeOnce) {
  const std::string a = Address("a"), b = Address("b");
  Store(a, {1});
  Store(b, {1});
  Select(kAddress, &b);
  Select(kAddress, &b);
  Select(kAddress, &a);
  Select(kVlan);
  Select(kAddress);
  Select(kVlan);
  ASSERT_TRUE(Read(1).ok());
  EXPECT_EQ(Chunks(), (Entries{{"AddressMsg:" + b, "AddressMsg:" + a}, {"VlanMsg"}}));

  selectors_.Clear();
  Select(kAddress, &a);
  Select(kAddress);
  ASSERT_TRUE(Read(1).ok());
  EXPECT_EQ(Chunks(), (Entries{{"AddressMsg:" + a}, {"AddressMsg:" + b}}));
}

TEST_F(GetProcessorTest, ReadsEachRepeatedKeyAndTypeOnce) {
  const std::string a = Address("a"), b = Address("b");
  Store(a, {1});
  Store(b, {1, 2});
  for (int i = 0; i < 10000; ++i) {
    Select(kAddress);
    Select(kAddress, &a);
  }
  ASSERT_TRUE(Processor().ProcessGetRequest("tarnix-cli", selectors_, &lists_).ok());
  std::unique_ptr<GetProcessor::Read> read = Processor().GetObjects(std::move(lists_), 1);
  // a by id, a and b by type: 20,000 selectors take a handful of steps of
  // one record each, the repeats costing none.
  int steps = 1;
  while (!read->Step(1, &chunks_)) ASSERT_LT(++steps, 8);
  EXPECT_EQ(Chunks(), (Entries{{"AddressMsg:" + a}, {"AddressMsg:" + b}}));
}

// Ids stored in random vdb sets, some large, most deleted, asked for out of
// key order with repeats and read in random steps: each is answered once, in
// selector order, as a read of it alone answers it.
TEST_F(GetProcessorTest, AnswersAsEachIdReadAloneDoes) {
  std::mt19937 random(49);
  auto pick = [&](int n) { return static_cast<int>(random() % n); };
  auto id = [](int i, size_t padding = 0) { return Address(std::to_string(1000 + i), padding); };
  for (int i = 0; i < 400; ++i) {
    const size_t padding = pick(4) == 0 ? 100000 + pick(300000) : pick(100);
    if (pick(3) > 0) Store(id(i, padding), {1, 2});
    if (pick(3) == 0) Store(id(i, padding + 1), {static_cast<VdbId>(1 + pick(3))});
    if (pick(4) > 0) Delete(id(i, padding), {1, 2});
  }
  auto entries = [this] {
    std::vector<size_t> out;  // hashes: the large bodies are not printed
    for (const tx::GetResponseMsg& chunk : chunks_) {
      for (const tx::TypedObjectMsg& entry : chunk.objects()) {
        out.push_back(std::hash<std::string>()(entry.SerializeAsString()));
      }
    }
    return out;
  };
  for (int round = 0; round < 40; ++round) {
    const VdbId vdb = 1 + pick(3);
    std::vector<std::string> ids;
    std::vector<size_t> alone;
    for (int n = 1 + pick(80); n > 0; --n) ids.push_back(id(pick(410)));
    for (const std::string& body : ids) {
      if (&*std::find(ids.begin(), ids.end(), body) != &body) continue;  // a repeat
      selectors_.Clear();
      Select(kAddress, &body);
      ASSERT_TRUE(Read(vdb).ok());
      alone.push_back(entries().at(0));
    }
    selectors_.Clear();
    for (const std::string& body : ids) Select(kAddress, &body);
    ASSERT_TRUE(Processor().ProcessGetRequest("tarnix-cli", selectors_, &lists_).ok());
    std::unique_ptr<GetProcessor::Read> read = Processor().GetObjects(std::move(lists_), vdb);
    chunks_.clear();
    while (!read->Step(1 + pick(pick(2) == 0 ? 4 : 100), &chunks_)) {
    }
    ASSERT_TRUE(read->status().ok());
    ASSERT_EQ(entries(), alone) << "round " << round;
  }
}

TEST_F(GetProcessorTest, ClosesAChunkOnceItsStoredBytesPassTheLimit) {
  const std::string big = Address("big", 599990), mid = Address("mid", 499990);
  const std::string x = Address("x"), y = Address("y");
  Store(big, {1});
  Store(mid, {1});
  // The marker byte is not returned but counts: 999,999 body bytes close it.
  Store(x, {1}, std::string(1, '\0') + std::string(999999, 'x'));
  Select(kAddress, &big);
  Select(kAddress, &mid);
  Store(y, {1});
  Select(kAddress, &x);
  Select(kAddress, &big);
  Select(kAddress, &y);
  ASSERT_TRUE(Read(1).ok());
  std::vector<tx::GetResponseMsg>& chunks = chunks_;
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(chunks[0].objects_size(), 2);
  ASSERT_EQ(chunks[1].objects_size(), 1);
  EXPECT_EQ(chunks[1].objects(0).object_body(), std::string(999999, 'x'));
  EXPECT_EQ(chunks[2].objects_size(), 1);

  // A step ends with the chunk it completed: the next is made when asked.
  ASSERT_TRUE(Processor().ProcessGetRequest("tarnix-cli", selectors_, &lists_).ok());
  std::unique_ptr<GetProcessor::Read> read = Processor().GetObjects(std::move(lists_), 1);
  std::vector<tx::GetResponseMsg> stepped;
  EXPECT_FALSE(read->Step(100, &stepped));
  EXPECT_EQ(stepped.size(), 1u);
  EXPECT_FALSE(read->Step(100, &stepped));
  EXPECT_EQ(stepped.size(), 2u);
  EXPECT_TRUE(read->Step(100, &stepped));
  EXPECT_EQ(stepped.size(), 3u);

  // By type: the same limit, over the type's records in key order.
  selectors_.Clear();
  Select(kAddress);
  ASSERT_TRUE(Read(1).ok());
  ASSERT_EQ(chunks.size(), 2u);
  ASSERT_EQ(chunks[0].objects_size(), 1);  // x: the shorter ids sort first
  EXPECT_EQ(chunks[0].objects(0).object_body(), std::string(999999, 'x'));
  EXPECT_EQ(chunks[1].objects_size(), 3);  // y, big, mid
}

TEST_F(GetProcessorTest, SkipsARecordWhoseKeyDoesNotDecode) {
  const std::string a = Address("a");
  Store(a, {1});
  std::string prefix;
  ASSERT_TRUE(MakeObjectTypeKeyPrefix(schema_, kAddress, &prefix));
  PutAll(db_.get(), {{prefix + "\x09" "ab", "torn"}});  // id runs past the key
  Select(kAddress);
  ASSERT_TRUE(Read(1).ok());
  EXPECT_EQ(Chunks(), (Entries{{"AddressMsg:" + a}}));
  EXPECT_TRUE(HasLine("ERROR", "DRX0203", "Malformed object record key (5 bytes): 0003096162"));
}

TEST_F(GetProcessorTest, AStorageFailureEndsTheReadAsItsStatus) {
  const std::string a = Address("a");
  Store(a, {1});
  FaultEnv env;
  db_.reset();
  db_ = OpenDb(&env);  // recovery moves the record into a table file
  env.FailReadsAfter(0, leveldb::Status::Corruption("injected"));
  Select(kAddress, &a);
  const Status status = Read(1);
  EXPECT_EQ(status.code(), Status::kDataLoss);
  EXPECT_EQ(status.message().rfind("LevelDB error: ", 0), 0u);
  EXPECT_TRUE(capture_.Contains("errorCode=\"DRX0104\"] PrefixFilter() failed on prefix '"));
  env.FailReadsAfter(-1, leveldb::Status::OK());
  db_.reset();  // before `env` goes
}

}  // namespace
}  // namespace tarnix
