#include "platform/metrics/metric_registry.h"

#include <memory>
#include <set>
#include <string>

#include <gtest/gtest.h>

namespace orv {
namespace metrics {
namespace {

// A value that counts the registry's calls.
class FakeValue : public MetricValue {
 public:
  explicit FakeValue(std::string text) : MetricValue(1), text_(std::move(text)) {}
  std::string string(bool current) override {
    return current ? text_ : "finished";
  }
  int collects = 0;

 protected:
  void reset_impl() override {}
  void collect_impl() override { ++collects; }
  void serialize_impl(Serializer&, bool) override {}

 private:
  std::string text_;
};

std::set<std::string> Names(const MetricKeyPtr& key) {
  std::set<std::string> names;
  for (const auto& child : key->subkeys()) {
    EXPECT_EQ(child.first, child.second->name());
    names.insert(child.first);
  }
  return names;
}

TEST(MetricRegistryTest, PathsFormATree) {
  MetricRegistry registry;
  MetricKeyPtr leaf = registry.key("server/latency/put/process");
  EXPECT_EQ(leaf->name(), "process");
  EXPECT_EQ(registry.key("/server//latency/put/process/"), leaf);
  registry.key("server/latency/get");
  EXPECT_EQ(registry.key("/"), registry.root());
  EXPECT_EQ(registry.key(""), registry.root());
  EXPECT_EQ(Names(registry.root()), std::set<std::string>{"server"});
  EXPECT_EQ(Names(registry.key("server/latency")),
            (std::set<std::string>{"put", "get"}));
  EXPECT_TRUE(leaf->subkeys().empty());
}

TEST(MetricRegistryTest, FindingCreatesNothing) {
  MetricRegistry registry;
  registry.key("a/b");
  EXPECT_EQ(registry.find_key("a/b"), registry.key("a/b"));
  EXPECT_EQ(registry.find_key("/"), registry.root());
  EXPECT_EQ(registry.find_key("a/b/c"), nullptr);
  EXPECT_EQ(registry.find_key("x/y"), nullptr);
  EXPECT_TRUE(registry.key("a/b")->subkeys().empty());
  EXPECT_EQ(Names(registry.root()), std::set<std::string>{"a"});
}

TEST(MetricRegistryTest, ValuesAreCreatedOnceAndCollectedEverywhere) {
  MetricRegistry registry;
  int created = 0;
  auto make = [&] {
    ++created;
    return new FakeValue("v" + std::to_string(created));
  };
  MetricKeyPtr top = registry.key("top");
  MetricValuePtr first = top->get_or_create_value(make);
  MetricValuePtr again = top->get_or_create_value(make);
  EXPECT_EQ(first, again);
  MetricValuePtr deep = registry.key("top/x/y")->get_or_create_value(make);
  EXPECT_EQ(created, 2);

  EXPECT_EQ(top->value_string(true), "v1");
  EXPECT_EQ(top->value_string(false), "finished");
  EXPECT_EQ(registry.key("top/x")->value_string(true), "");
  EXPECT_EQ(registry.key("top/x")->value(), nullptr);

  registry.collect();
  registry.collect();
  EXPECT_EQ(static_cast<FakeValue*>(first.get())->collects, 2);
  EXPECT_EQ(static_cast<FakeValue*>(deep.get())->collects, 2);
}

TEST(MetricRegistryTest, KeysAndValuesOutliveTheRegistry) {
  auto registry = std::make_unique<MetricRegistry>();
  MetricKeyPtr key = registry->key("a/b");
  MetricValuePtr value =
      key->get_or_create_value([] { return new FakeValue("kept"); });
  EXPECT_EQ(value->use_count(), 2u);  // the key's and ours
  registry.reset();
  EXPECT_EQ(key->value_string(true), "kept");
  key.reset();
  EXPECT_EQ(value->use_count(), 1u);
}

}  // namespace
}  // namespace metrics
}  // namespace orv
