// The owner template and its published form, over a kind whose frees are
// recorded: who holds what after each move, and that each value is freed
// exactly once. Runs natively (debug, sanitizers) and on Windows (release).
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "platform/PublishedResource.h"
#include "platform/ScopedResource.h"

namespace stavora {
namespace {

std::vector<int>& Freed() {
  static std::vector<int> freed;
  return freed;
}

// Values are numbers, 0 holds nothing; Free records what it frees.
struct RecordedTraits {
  using Value = int;
  static constexpr Value Empty() noexcept { return 0; }
  static bool Holds(Value value) noexcept { return value != 0; }
  static void Free(Value value) noexcept { Freed().push_back(value); }
};
using Owner = ScopedResource<RecordedTraits>;
using Values = std::vector<int>;

class ScopedResourceTest : public testing::Test {
 protected:
  void SetUp() override { Freed().clear(); }
};

TEST_F(ScopedResourceTest, MovesHandOverAndEachValueIsFreedOnce) {
  {
    Owner first(1);
    Owner second(std::move(first));
    EXPECT_FALSE(first) << "the moved-from owner still holds its value";
    EXPECT_EQ(second.Get(), 1);

    Owner third(2);
    third = std::move(second);
    EXPECT_EQ(Freed(), Values{2}) << "a move assignment must free the target's old value";
    EXPECT_FALSE(second);
    EXPECT_EQ(third.Get(), 1);

    Owner& same = third;
    third = std::move(same);
    EXPECT_EQ(third.Get(), 1) << "a self-move must keep the value";
    EXPECT_EQ(Freed(), Values{2});
  }
  EXPECT_EQ(Freed(), (Values{2, 1}));
}

TEST_F(ScopedResourceTest, ReleaseHandsOverAndResetFreesWhatWasHeld) {
  Owner owner(1);
  EXPECT_EQ(owner.Release(), 1);
  EXPECT_FALSE(owner.IsValid());
  EXPECT_EQ(Freed(), Values{}) << "Release must not free what it hands over";

  owner.Reset(2);
  owner.Reset(2);  // taking what is held must not free it
  EXPECT_EQ(Freed(), Values{});
  owner.Reset(3);
  owner.Reset();
  owner.Reset();  // an empty owner frees nothing
  EXPECT_EQ(Freed(), (Values{2, 3}));
  EXPECT_FALSE(owner);
}

TEST_F(ScopedResourceTest, ReceiveFillsAnEmptyOwner) {
  {
    Owner owner;
    *owner.Receive() = 4;
    EXPECT_EQ(owner.Get(), 4);
    EXPECT_EQ(owner.Release(), 4);
    *owner.Receive() = 5;  // empty again after Release
    EXPECT_EQ(Freed(), Values{});
  }
  EXPECT_EQ(Freed(), Values{5}) << "what the callee wrote is owned";
}

TEST_F(ScopedResourceTest, ReceiveOnAFullOwnerStopsADebugBuildAndFreesInARelease) {
  Owner owner(6);
  EXPECT_DEBUG_DEATH(*owner.Receive() = 7, "holds a value");
#ifdef NDEBUG
  EXPECT_EQ(Freed(), Values{6}) << "a release build must free the old value rather than leak it";
  EXPECT_EQ(owner.Get(), 7);
#else
  EXPECT_EQ(owner.Get(), 6);
#endif
}

TEST_F(ScopedResourceTest, PublishedValueIsSeenWholeAndFreedAtResetAndDestruction) {
  {
    PublishedResource<RecordedTraits> published;
    EXPECT_EQ(published.Get(), 0);
    published.Publish(Owner(8));
    EXPECT_EQ(published.Get(), 8);
    EXPECT_EQ(Freed(), Values{}) << "publishing must not free";
    published.Reset();
    EXPECT_EQ(published.Get(), 0);
    EXPECT_EQ(Freed(), Values{8});
    published.Publish(Owner(9));
  }
  EXPECT_EQ(Freed(), (Values{8, 9})) << "destruction must free what is published";
}

}  // namespace
}  // namespace stavora
