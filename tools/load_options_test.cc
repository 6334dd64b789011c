#include "tools/load_options.h"

#include <gtest/gtest.h>

#include <vector>

namespace tarnix {
namespace load {
namespace {

// Parses "tarnix-load" followed by `args`; *error gets the parser's text.
bool Parse(const std::vector<const char*>& args, LoadOptions* options, std::string* error) {
  std::vector<std::string> words{"tarnix-load"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  return ParseLoadOptions(static_cast<int>(words.size()), argv.data(), options, error);
}

TEST(ParseLoadOptionsTest, ReadsEveryOption) {
  LoadOptions options;
  std::string error;
  ASSERT_TRUE(Parse({"--target=127.0.0.1:7000", "--clients", "16", "--objects=100000",
                     "--body_bytes=0", "--sync", "--duration_s=5", "--mode=get",
                     "--client_id=policy-engine", "--schema=/s.pb"},
                    &options, &error))
      << error;
  EXPECT_EQ(options.target, "127.0.0.1:7000");
  EXPECT_EQ(options.clients, 16u);
  EXPECT_EQ(options.objects, 100000u);
  EXPECT_EQ(options.body_bytes, 0u);
  EXPECT_TRUE(options.sync);
  EXPECT_EQ(options.duration_s, 5u);
  EXPECT_EQ(options.count, 0u);
  EXPECT_EQ(options.mode, LoadMode::kGet);
  EXPECT_EQ(options.client_id, "policy-engine");
  EXPECT_EQ(options.schema_path, "/s.pb");

  LoadOptions query;
  ASSERT_TRUE(Parse({"--target=t", "--count=1", "--mode=query"}, &query, &error)) << error;
  EXPECT_EQ(query.mode, LoadMode::kQuery);
  EXPECT_STREQ(LoadModeName(query.mode), "query");

  LoadOptions monitor;
  ASSERT_TRUE(
      Parse({"--target=t", "--count=3", "--mode=monitor", "--monitors=100"}, &monitor, &error))
      << error;
  EXPECT_EQ(monitor.mode, LoadMode::kMonitor);
  EXPECT_EQ(monitor.monitors, 100u);
  EXPECT_STREQ(LoadModeName(monitor.mode), "monitor");

  LoadOptions defaults;
  ASSERT_TRUE(Parse({"--baseline_leveldb=/tmp", "--count=18446744073709551615"}, &defaults,
                    &error))
      << error;
  EXPECT_EQ(defaults.count, 18446744073709551615u);
  EXPECT_EQ(defaults.mode, LoadMode::kPut);
  EXPECT_EQ(defaults.clients, 1u);
  EXPECT_EQ(defaults.objects, 1u);
  EXPECT_FALSE(defaults.sync);
  EXPECT_EQ(defaults.client_id, "tarnix-cli");
}

TEST(ParseLoadOptionsTest, RefusesUnboundedOrMalformedRuns) {
  const std::vector<std::vector<const char*>> bad = {
      {"--target=t"},                                 // unbounded
      {"--target=t", "--count=1", "--duration_s=1"},  // two bounds
      {"--count=1"},                                  // nowhere to go
      {"--target=t", "--count=0"},
      {"--target=t", "--count=-1"},
      {"--target=t", "--count=18446744073709551616"},
      {"--target=t", "--count=1", "--clients=0"},
      {"--target=t", "--count=1", "--objects=4294967296"},
      {"--target=t", "--count=1", "--body_bytes=1k"},
      {"--target=t", "--count=1", "--body_bytes= 1"},
      {"--target=t", "--count=1", "--mode=delete"},
      {"--baseline_leveldb=/tmp", "--count=1", "--mode=query"},  // LevelDB has no queries
      {"--baseline_leveldb=/tmp", "--count=1", "--mode=monitor"},
      {"--target=t", "--duration_s=1", "--mode=monitor"},  // what should monitors expect?
      {"--target=t", "--count=1", "--mode=monitor", "--clients=2"},
      {"--target=t", "--count=1", "--monitors=x"},
      {"--target=t", "--count=1", "--bogus"},
      {"--target=t", "--count"},
      {"--target=t", "--count=1", "stray"},
  };
  for (const std::vector<const char*>& args : bad) {
    LoadOptions options;
    std::string error;
    EXPECT_FALSE(Parse(args, &options, &error)) << args.back();
    EXPECT_FALSE(error.empty()) << args.back();
  }
}

}  // namespace
}  // namespace load
}  // namespace tarnix
