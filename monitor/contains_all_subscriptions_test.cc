// CONTAINS_ALL lookups: what they find, and the steps they take.
#include "monitor/contains_all_subscriptions.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace tarnix {
namespace {

// Tags t0000, t0001, ..., in the order of their numbers. Elements no object
// holds sort before them ("aa<n>") or after them ("zz<n>").
AttributeValue Tag(int n) {
  char text[16];
  std::snprintf(text, sizeof text, "t%04d", n);
  return AttributeValue::String(text);
}
AttributeValue Absent(int n, bool first) {
  return AttributeValue::String((first ? "aa" : "zz") + std::to_string(n));
}
std::vector<AttributeValue> Sorted(std::vector<AttributeValue> values) {
  std::sort(values.begin(), values.end());
  return values;
}

enum class Absence { kNone, kLast, kFirst };

class ContainsAllSubscriptionsTest : public ::testing::Test {
 protected:
  struct Result {
    std::set<std::string> found;
    std::vector<MatchedSubscribers::OverBudget> over_budget;
    size_t visits;
  };

  void Add(const std::string& monitor, std::vector<AttributeValue> set) {
    trie_.Add(Sorted(std::move(set)), monitor, {monitor, ""}, tally_);
  }
  // Every pair of tags from `from` to `to` - 1, each with an element of its
  // own that no object holds unless `absence` is kNone.
  void AddPairs(const std::string& monitor, int from, int to, Absence absence) {
    int pair = 0;
    for (int a = from; a < to; ++a) {
      for (int b = a + 1; b < to; ++b, ++pair) {
        std::vector<AttributeValue> set = {Tag(a), Tag(b)};
        if (absence != Absence::kNone) set.push_back(Absent(pair, absence == Absence::kFirst));
        Add(monitor, std::move(set));
      }
    }
  }
  // Looks up an object of the tags below `tags`.
  Result Lookup(int tags, const MonitorIdSet* passed_over = nullptr, bool stop = false) {
    std::vector<AttributeValue> values;
    for (int n = 0; n < tags; ++n) values.push_back(Tag(n));
    MatchedSubscribers matched;
    matched.passed_over = passed_over;
    matched.stop_over_budget = stop;
    trie_.Lookup(values, &matched);
    Result result{{}, matched.over_budget, matched.visits};
    matched.ForEachMonitor([&result](const std::string& id) { result.found.insert(id); });
    return result;
  }
  static std::set<std::string> Ids(std::initializer_list<const char*> ids) {
    return std::set<std::string>(ids.begin(), ids.end());
  }

  metrics::UnitCounter gauge_;
  size_t registrations_ = 0;
  const RegistrationTally tally_{&gauge_, &registrations_};
  ContainsAllSubscriptions trie_;
};

// A few monitors with many sets each, added, removed and dropped at random
// between lookups, some lookups passing over one monitor: every lookup
// finds the monitors of the stored subsets but those passed over, however
// much of the trie it skips, and the trie ends empty.
TEST(ContainsAllSubscriptionsModelTest, LookupFindsEveryStoredSubsetAndRemovalPrunes) {
  metrics::UnitCounter gauge;
  size_t registrations = 0;
  const RegistrationTally tally(&gauge, &registrations);
  std::mt19937 random(7);
  auto random_set = [&](int one_in) {
    std::vector<AttributeValue> set;
    for (int v = 0; v < 8; ++v) {
      if (random() % one_in == 0) set.push_back(AttributeValue::Int64(v));
    }
    return set;
  };
  using Stored = std::set<std::pair<std::string, std::vector<AttributeValue>>>;
  for (int round = 0; round < 50; ++round) {
    ContainsAllSubscriptions trie;
    Stored stored;
    for (int step = 0; step < 200; ++step) {
      const std::string monitor = "m" + std::to_string(random() % 4);
      const int action = static_cast<int>(random() % 10);
      if (action < 5) {
        std::vector<AttributeValue> set = random_set(3);
        if (set.empty()) continue;
        trie.Add(set, monitor, {monitor, ""}, tally);
        stored.insert({monitor, set});
      } else if (action < 8 && !stored.empty()) {
        auto victim = std::next(stored.begin(), random() % stored.size());
        SubscriptionText removed;
        ASSERT_TRUE(
            trie.Delete(victim->second, victim->first, {victim->first, ""}, &removed, tally));
        stored.erase(victim);
      } else if (action == 8) {
        trie.RemoveMonitor(monitor, tally);
        for (auto it = stored.begin(); it != stored.end();) {
          it = it->first == monitor ? stored.erase(it) : std::next(it);
        }
      }
      const std::vector<AttributeValue> values = random_set(2);
      if (values.empty()) continue;
      MonitorIdSet passed;
      if (random() % 3 == 0) passed.insert("m" + std::to_string(random() % 4));
      MonitorIdSet expected;
      for (const auto& [id, set] : stored) {
        if (passed.count(id) == 0 &&
            std::includes(values.begin(), values.end(), set.begin(), set.end())) {
          expected.insert(id);
        }
      }
      MatchedSubscribers matched;
      matched.passed_over = &passed;
      trie.Lookup(values, &matched);
      MonitorIdSet found;
      matched.ForEachMonitor([&](const std::string& id) {
        if (passed.count(id) == 0) found.insert(id);
      });
      ASSERT_EQ(found, expected) << "round " << round << " step " << step;
      ASSERT_TRUE(matched.over_budget.empty());
    }
    for (const auto& [id, set] : stored) {
      SubscriptionText removed;
      ASSERT_TRUE(trie.Delete(set, id, {id, ""}, &removed, tally));
    }
    EXPECT_TRUE(trie.IsEmpty());
    EXPECT_EQ(registrations, 0u);
  }
}

// Pairs of 12 tags, each with an element the object lacks: a node of a
// pair looks that element up among the values left, galloping, so ten
// times the values cost a few steps more at each node, not ten times more.
// Sorted first, the lacking elements are passed over at the root.
TEST_F(ContainsAllSubscriptionsTest, SetsHeldInPartCostAboutTheLogOfTheValuesAtEachNode) {
  for (Absence absence : {Absence::kLast, Absence::kFirst}) {
    SCOPED_TRACE(absence == Absence::kLast ? "lacking element last" : "lacking element first");
    trie_.RemoveMonitor("part", tally_);
    trie_.RemoveMonitor("held", tally_);
    AddPairs("part", 0, 12, absence);
    Add("held", {Tag(3), Tag(1)});
    size_t visits[2];
    for (int round = 0; round < 2; ++round) {
      const int tags = round == 0 ? 450 : 4500;
      const Result result = Lookup(tags);
      EXPECT_EQ(result.found, Ids({"held"}));
      EXPECT_TRUE(result.over_budget.empty());
      visits[round] = result.visits;
      // The root, 12 tags and 66 pairs, each a few steps and a gallop.
      EXPECT_LE(result.visits, 80 * (6 + 2 * std::log2(tags))) << tags;
    }
    if (absence == Absence::kLast) {
      // Each gallop counted: a little more for more values.
      EXPECT_GT(visits[1], visits[0]);
      EXPECT_LT(visits[1], visits[0] * 3 / 2);
    } else {
      EXPECT_EQ(visits[1], visits[0]);
    }
  }
}

// Every pair of 420 of an object's 450 tags, each with an element it lacks,
// sorted after them: about 88,000 nodes of 20 steps and more. Before it in
// the walk, "lesser": the same over the other 30 tags, within its allowance.
// Beside them, monitors whose sets the object holds, sharing their nodes.
// The lookup puts the one charged past its allowance over budget and passes
// over it, and finds the others; or stops there, when asked to.
TEST_F(ContainsAllSubscriptionsTest, ALookupPassesOverAMonitorChargedPastItsAllowance) {
  AddPairs("lesser", 0, 30, Absence::kLast);
  AddPairs("pairs", 0, 45, Absence::kNone);
  Add("held", {Tag(3), Tag(1)});
  Add("cheap", {Tag(5), Absent(0, false)});
  const size_t without_part = Lookup(450).visits;
  AddPairs("part", 30, 450, Absence::kLast);
  const size_t least = ContainsAllSubscriptions::AllowedSteps(450, 0);
  const size_t most = ContainsAllSubscriptions::AllowedSteps(450, 5);
  EXPECT_LT(without_part, least);
  for (bool stop : {false, true}) {
    SCOPED_TRACE(stop ? "stopping" : "going on");
    const Result result = Lookup(450, nullptr, stop);
    ASSERT_EQ(result.over_budget.size(), 1u);
    EXPECT_EQ(result.over_budget[0].monitor_id, "part");
    EXPECT_GE(result.over_budget[0].allowed_steps, least);
    EXPECT_LE(result.over_budget[0].allowed_steps, most);
    if (stop) {
      // Stopped soon after the limit, the others walked before: a node's
      // own steps are charged as its walk ends.
      EXPECT_LE(result.visits, without_part + most + 4096);
    } else {
      EXPECT_EQ(result.found, Ids({"pairs", "held"}));
      EXPECT_LE(result.visits, 2 * most);
    }
  }
  trie_.RemoveMonitor("lesser", tally_);
  // Passed over from the start, it costs nothing: what is left is in the
  // values, "cheap" going over them once.
  const MonitorIdSet passed = {"part"};
  const Result passing = Lookup(450, &passed);
  EXPECT_TRUE(passing.over_budget.empty());
  EXPECT_EQ(passing.found, Ids({"pairs", "held"}));
  EXPECT_LE(passing.visits, 20u * 450);

  // Sorted first, the lacking elements are never reached: the root's
  // first search passes its 101,025 children, and then it steps from one
  // tag's child to the next.
  trie_.RemoveMonitor("part", tally_);
  AddPairs("part", 0, 450, Absence::kFirst);
  const Result cheap = Lookup(450);
  EXPECT_TRUE(cheap.over_budget.empty());
  EXPECT_EQ(cheap.found, Ids({"pairs", "held"}));
  EXPECT_GE(cheap.visits, std::log2(101025));  // the search counted
  EXPECT_LE(cheap.visits, 64 * (2 + std::log2(101025)) + 10 * 450);
}

// Monitors of sets held in part, each well within the allowance of an
// object of 450 tags, all together past what they may take together: 11 of
// every pair of 30 tags, 12 of every pair of 8. The lookups of the object
// put the monitor charged the most over budget, one at a time, until the
// others fit together; a monitor whose sets the object holds is never one
// of them.
TEST_F(ContainsAllSubscriptionsTest, ManyMonitorsEachWithinTheAllowanceAreBoundTogether) {
  const size_t allowed = ContainsAllSubscriptions::AllowedSteps(450, 1);
  const size_t together = ContainsAllSubscriptions::kMonitorsTogether * allowed;
  AddPairs("big0", 0, 30, Absence::kLast);
  const Result alone = Lookup(450);
  EXPECT_TRUE(alone.over_budget.empty());
  EXPECT_LT(alone.visits * 2, allowed);
  for (int m = 1; m < 11; ++m) {
    AddPairs("big" + std::to_string(m), 30 * m, 30 * m + 30, Absence::kLast);
  }
  for (int m = 0; m < 12; ++m) {
    AddPairs("small" + std::to_string(m), 330 + 8 * m, 338 + 8 * m, Absence::kLast);
  }
  AddPairs("held", 0, 10, Absence::kNone);

  MonitorIdSet passed;
  size_t rounds = 0;
  for (bool over = true; over; ++rounds) {
    ASSERT_LT(rounds, 20u);
    const Result result = Lookup(450, &passed);
    EXPECT_EQ(result.found, Ids({"held"}));
    EXPECT_LE(result.visits, (1 + result.over_budget.size()) * (together + 64));
    EXPECT_LE(result.over_budget.size(), 1u);
    for (const MatchedSubscribers::OverBudget& ended : result.over_budget) {
      EXPECT_EQ(ended.monitor_id.rfind("big", 0), 0u) << ended.monitor_id;
      EXPECT_EQ(ended.allowed_steps, together);
      EXPECT_TRUE(passed.insert(ended.monitor_id).second);
    }
    over = !result.over_budget.empty();
    if (!over) {
      EXPECT_LE(result.visits, together);
    }
  }
  // Some ended; those left fit together, and there are some.
  EXPECT_GE(passed.size(), 2u);
  EXPECT_LE(passed.size(), 6u);
}

// The steps each monitor is charged when looking up `values`.
std::unordered_map<std::string, size_t> Charges(const ContainsAllSubscriptions& trie,
                                                const std::vector<AttributeValue>& values,
                                                MatchedSubscribers* matched) {
  std::unordered_map<std::string, size_t> charges;
  matched->charges = &charges;
  trie.Lookup(values, matched);
  matched->charges = nullptr;
  return charges;
}

MonitorIdSet Found(const MatchedSubscribers& matched) {
  MonitorIdSet found;
  matched.ForEachMonitor([&found](const std::string& id) { found.insert(id); });
  return found;
}

// Random monitors whose sets an object holds in full, in part or not at
// all, looked up together and each alone: together, each is charged at
// most a few times the log of the children beside its own what it costs
// alone, whatever the others hold, and the same monitors are found.
TEST(ContainsAllSubscriptionsChargeTest, AMonitorIsChargedAboutWhatItsOwnSetsCostAlone) {
  metrics::UnitCounter gauge;
  size_t registrations = 0;
  const RegistrationTally tally(&gauge, &registrations);
  std::mt19937 random(11);
  constexpr int kElements = 64;  // the object holds the first 40
  std::vector<AttributeValue> values;
  for (int n = 0; n < 40; ++n) values.push_back(Tag(n));
  const double factor = 2 + std::log2(kElements);
  for (int round = 0; round < 40; ++round) {
    ContainsAllSubscriptions together;
    std::vector<std::unique_ptr<ContainsAllSubscriptions>> alone;
    std::vector<std::string> monitors;
    for (int m = 0; m < 6; ++m) {
      const std::string monitor = "m" + std::to_string(m);
      monitors.push_back(monitor);
      alone.push_back(std::make_unique<ContainsAllSubscriptions>());
      // Sets drawn from the held elements, from all, or from those not held.
      const int kind = static_cast<int>(random() % 3);
      const int from = kind == 2 ? 40 : 0;
      const int to = kind == 0 ? 40 : kElements;
      const int sets = 1 + static_cast<int>(random() % (m < 2 ? 400 : 40));
      for (int k = 0; k < sets; ++k) {
        std::set<int> picked;
        const int size = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < size; ++e)
          picked.insert(from + static_cast<int>(random() % (to - from)));
        std::vector<AttributeValue> set;
        for (int e : picked) set.push_back(Tag(e));
        together.Add(set, monitor, {monitor, ""}, tally);
        alone.back()->Add(set, monitor, {monitor, ""}, tally);
      }
    }
    MatchedSubscribers all;
    const auto charges = Charges(together, values, &all);
    ASSERT_TRUE(all.over_budget.empty());
    MonitorIdSet found_alone;
    for (size_t m = 0; m < monitors.size(); ++m) {
      MatchedSubscribers one;
      const auto own = Charges(*alone[m], values, &one);
      const MonitorIdSet found = Found(one);
      found_alone.insert(found.begin(), found.end());
      const auto charged = charges.find(monitors[m]);
      if (charged == charges.end()) continue;
      const auto cost = own.find(monitors[m]);
      const size_t alone_cost = cost == own.end() ? 0 : cost->second;
      EXPECT_LE(charged->second, factor * alone_cost + 4)
          << "round " << round << " monitor " << monitors[m] << " alone " << alone_cost;
    }
    EXPECT_EQ(Found(all), found_alone) << "round " << round;
  }
}

// One client's monitor of every pair of 60 tags, each with an element no
// object holds, beside other clients' monitors of {tag, rare} for the
// first 1, 10 and 60 tags, sharing its nodes; objects with and without
// "rare". The pairs go over budget; the others are found or not as alone,
// are charged about what they cost alone, and once the pairs are settled
// the pairs' nodes cost them nothing.
TEST_F(ContainsAllSubscriptionsTest, AMonitorOverBudgetCostsTheMonitorsSharingItsNodesNothing) {
  const AttributeValue rare = AttributeValue::String("trare");  // after the tags
  const std::vector<int> widths = {1, 10, 60};
  const auto add_bystanders = [&](ContainsAllSubscriptions* trie) {
    for (int width : widths) {
      const std::string monitor = "by" + std::to_string(width);
      for (int n = 0; n < width; ++n) trie->Add({Tag(n), rare}, monitor, {monitor, ""}, tally_);
    }
  };
  ContainsAllSubscriptions bystanders;
  add_bystanders(&bystanders);

  for (bool hostile_first : {true, false}) {
    ContainsAllSubscriptions trie;
    if (!hostile_first) add_bystanders(&trie);
    int pair = 0;
    for (int a = 0; a < 60; ++a) {
      for (int b = a + 1; b < 60; ++b, ++pair) {
        trie.Add({Tag(a), Tag(b), Absent(pair, false)}, "hostile", {"hostile", ""}, tally_);
      }
    }
    if (hostile_first) add_bystanders(&trie);
    for (bool with_rare : {true, false}) {
      SCOPED_TRACE(std::string(hostile_first ? "hostile added first" : "bystanders added first") +
                   (with_rare ? ", object with rare" : ", object without rare"));
      std::vector<AttributeValue> values;
      for (int n = 0; n < 60; ++n) values.push_back(Tag(n));
      if (with_rare) values.push_back(rare);
      MatchedSubscribers alone;
      const auto own = Charges(bystanders, values, &alone);
      const MonitorIdSet expected =
          with_rare ? MonitorIdSet{"by1", "by10", "by60"} : MonitorIdSet{};
      ASSERT_EQ(Found(alone), expected);

      MatchedSubscribers matched;
      const auto charges = Charges(trie, values, &matched);
      ASSERT_EQ(matched.over_budget.size(), 1u);
      EXPECT_EQ(matched.over_budget[0].monitor_id, "hostile");
      EXPECT_EQ(Found(matched), expected);
      for (const auto& [monitor, cost] : own) {
        EXPECT_LE(charges.at(monitor), (2 + std::log2(61)) * cost + 4) << monitor;
      }
      const size_t allowed = ContainsAllSubscriptions::AllowedSteps(values.size(), 3);
      EXPECT_LE(matched.visits, 2 * allowed);

      // Passed over from the start, the pairs cost a few steps at each node
      // of a monitor not found, however many children they have there.
      const MonitorIdSet passed = {"hostile"};
      MatchedSubscribers passing;
      passing.passed_over = &passed;
      trie.Lookup(values, &passing);
      EXPECT_TRUE(passing.over_budget.empty());
      EXPECT_EQ(Found(passing), expected);
      EXPECT_LE(passing.visits, 3 * alone.visits);
    }
  }
}

}  // namespace
}  // namespace tarnix
