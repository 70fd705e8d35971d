// The watcher's decisions that need no platform: when a watched folder is
// opened again, when the clock reloads, and how the memory of change reads
// is handed out and given back.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <vector>

#include "watcher/FolderIdentity.h"
#include "watcher/OneReadAtATime.h"
#include "watcher/ReloadPlan.h"

namespace stavora {
namespace {

FolderIdentity Folder(std::uint8_t low, std::uint8_t high = 0, std::uint64_t created = 0) {
  FolderIdentity identity;
  identity.volume = 0x5A5A;
  identity.fileId[0] = low;
  identity.fileId[15] = high;
  identity.created = created;
  return identity;
}

// Runs one check with the probe at `atPath` and the watched handle reading
// `watchedNow`.
bool Check(FolderCheck& check, const FolderIdentity& atPath, const FolderIdentity& watchedNow) {
  return check.Reopen(true, atPath, watchedNow);
}

TEST(FolderCheck, AFailedProbeReopensAtOnceAMismatchOnlyTheSecondInARow) {
  const FolderIdentity watched = Folder(7);
  const FolderIdentity other = Folder(8);
  FolderCheck check;
  check.Opened(watched);
  EXPECT_TRUE(check.Reopen(false, std::nullopt, watched)) << "the path no longer opens";

  check.Opened(watched);
  EXPECT_FALSE(Check(check, other, watched)) << "one mismatch";
  EXPECT_FALSE(Check(check, watched, watched));
  EXPECT_FALSE(Check(check, other, watched)) << "a match in between starts the count again";
  EXPECT_TRUE(Check(check, other, watched)) << "two in a row";
  EXPECT_FALSE(Check(check, other, watched)) << "the count starts again after a reopen";
  EXPECT_TRUE(Check(check, other, watched));

  // Identifiers that differ only in their upper 64 bits (ReFS) differ.
  check.Opened(Folder(7, 1));
  EXPECT_FALSE(Check(check, Folder(7, 2), Folder(7, 1)));
  EXPECT_TRUE(Check(check, Folder(7, 2), Folder(7, 1)));
}

// Some servers report an identifier of zero: it tells nothing, and the
// creation time is compared instead; with neither known, only a failed probe
// reopens.
TEST(FolderCheck, ZeroIdentifiersAreUnknownAndTheCreationTimeDecides) {
  FolderCheck check;
  check.Opened(Folder(0, 0, 1000));
  EXPECT_FALSE(Check(check, Folder(0, 0, 1000), Folder(0, 0, 1000)));
  EXPECT_FALSE(Check(check, Folder(0, 0, 2000), Folder(0, 0, 1000)));
  EXPECT_TRUE(Check(check, Folder(0, 0, 2000), Folder(0, 0, 1000)))
      << "a folder made anew at the path, both identifiers zero";

  check.Opened(Folder(0));
  EXPECT_FALSE(Check(check, Folder(0), Folder(0)));
  EXPECT_FALSE(Check(check, Folder(0), Folder(0))) << "nothing known: no reopen";
  EXPECT_TRUE(check.Reopen(false, std::nullopt, Folder(0)));

  // Identities that could not be read are unknown as well.
  check.Opened(std::nullopt);
  EXPECT_FALSE(check.Reopen(true, Folder(3), Folder(3)));
  EXPECT_FALSE(check.Reopen(true, Folder(3), Folder(3)));
  check.Opened(Folder(1));
  EXPECT_FALSE(check.Reopen(true, std::nullopt, Folder(1)));
  EXPECT_FALSE(check.Reopen(true, std::nullopt, Folder(1)));
}

// An identifier that changes from one query to the next, even on the one
// handle, must not reopen (and so reload) the folder every second or two.
TEST(FolderCheck, AnIdentifierThatChangesOnTheWatchedHandleIsNotTrusted) {
  FolderCheck check;
  check.Opened(Folder(1));
  for (std::uint8_t i = 2; i < 12; i += 2) {
    EXPECT_FALSE(Check(check, Folder(i), Folder(static_cast<std::uint8_t>(i + 1))))
        << "check " << int(i);
  }
  EXPECT_TRUE(check.Reopen(false, std::nullopt, std::nullopt)) << "a failed probe still reopens";
  check.Opened(Folder(20));
  EXPECT_FALSE(Check(check, Folder(21), Folder(20)));
  EXPECT_TRUE(Check(check, Folder(21), Folder(20))) << "a new handle is trusted again";
}

// Nothing is due until something happens: the object's own load is the one
// read at creation, and the watcher adds none.
TEST(ReloadPlan, ACreatedObjectIsNotReadAgainUntilAChange) {
  ReloadPlan plan;
  plan.LoadEndedElsewhere(0, LoadResult::kServed);
  EXPECT_FALSE(plan.Due(0));
  EXPECT_FALSE(plan.Due(3600000));
  EXPECT_EQ(1000u, plan.SleepFrom(0, 1000));
}

// A change reloads at once and holds an empty find; a held find is read again
// after the settle time and then served, unless a change came meanwhile,
// which reads again at once, holding again.
TEST(ReloadPlan, AnEmptyFindAfterAChangeIsConfirmedAfterTheSettleTime) {
  ReloadPlan plan;
  plan.ChangeRecorded();
  EXPECT_TRUE(plan.Due(1000));
  EXPECT_EQ(EmptyFile::kHold, plan.EmptyFileAt(1000));
  EXPECT_EQ(0u, plan.SleepFrom(1000, 1000));
  plan.Reloaded(1000, LoadResult::kHeldEmpty);

  EXPECT_FALSE(plan.Due(1099));
  EXPECT_EQ(60u, plan.SleepFrom(1040, 1000));
  EXPECT_TRUE(plan.Due(1100));
  EXPECT_EQ(EmptyFile::kServe, plan.EmptyFileAt(1100)) << "stayed empty: served as such";
  plan.Reloaded(1100, LoadResult::kServed);
  EXPECT_FALSE(plan.Due(100000));

  // The same, with a change during the settle time.
  plan.ChangeRecorded();
  plan.Reloaded(2000, LoadResult::kHeldEmpty);
  plan.ChangeRecorded();
  EXPECT_TRUE(plan.Due(2010));
  EXPECT_EQ(EmptyFile::kHold, plan.EmptyFileAt(2010)) << "a change meanwhile reads again";
  plan.Reloaded(2010, LoadResult::kServed);
  EXPECT_FALSE(plan.Due(100000)) << "the file was read: nothing left to confirm";

  // A file that kept changing under every read is read again at once.
  plan.ChangeRecorded();
  plan.Reloaded(3000, LoadResult::kUnsettled);
  EXPECT_TRUE(plan.Due(3000));
}

// A file that cannot be read is read again after 1 s, 2 s, 4 s, ... up to
// 64 s; any change record brings it back to 1 s.
TEST(ReloadPlan, AnUnreadableFileBacksOffDoublingAndAChangeStartsOver) {
  ReloadPlan plan;
  std::uint64_t now = 10000;
  std::vector<std::uint64_t> waits;
  plan.ChangeRecorded();
  for (int i = 0; i < 9; ++i) {
    ASSERT_TRUE(plan.Due(now));
    plan.Reloaded(now, LoadResult::kUnreadable);
    const std::uint64_t wait = plan.SleepFrom(now, 100000);
    EXPECT_FALSE(plan.Due(now + wait - 1));
    waits.push_back(wait);
    now += wait;
  }
  EXPECT_EQ((std::vector<std::uint64_t>{1000, 2000, 4000, 8000, 16000, 32000, 64000, 64000, 64000}),
            waits);
  EXPECT_EQ(EmptyFile::kServe, plan.EmptyFileAt(now)) << "a retry serves a really empty file";

  plan.ChangeRecorded();
  EXPECT_TRUE(plan.Due(now + 1));
  plan.Reloaded(now + 1, LoadResult::kUnreadable);
  EXPECT_EQ(1000u, plan.SleepFrom(now + 1, 100000)) << "a change starts the back-off over";
  plan.Reloaded(now + 1001, LoadResult::kServed);
  EXPECT_FALSE(plan.Due(now + 1000000)) << "a load that reads the file ends the retries";

  // The object's own first load failing starts the back-off too, without
  // taking a change that waits for its reload as done.
  ReloadPlan fresh;
  fresh.LoadEndedElsewhere(500, LoadResult::kUnreadable);
  EXPECT_FALSE(fresh.Due(1499));
  EXPECT_TRUE(fresh.Due(1500));
  ReloadPlan changed;
  changed.ChangeRecorded();
  changed.LoadEndedElsewhere(500, LoadResult::kUnreadable);
  EXPECT_TRUE(changed.Due(500));
}

TEST(ReloadPlan, OverflowsThatGoOnReloadOnceASecond) {
  ReloadPlan plan;
  plan.OverflowRecorded(0);
  EXPECT_TRUE(plan.Due(0)) << "the first overflow reloads at once";
  EXPECT_EQ(EmptyFile::kHold, plan.EmptyFileAt(0));
  plan.Reloaded(0, LoadResult::kServed);
  plan.OverflowRecorded(300);
  plan.OverflowRecorded(600);
  EXPECT_FALSE(plan.Due(999));
  EXPECT_EQ(400u, plan.SleepFrom(600, 1000));
  EXPECT_TRUE(plan.Due(1000)) << "held back to a second after the last reload";
  plan.Reloaded(1000, LoadResult::kServed);
  EXPECT_FALSE(plan.Due(5000)) << "one reload for the overflows held back";
  plan.OverflowRecorded(1500);
  plan.ChangeRecorded();
  plan.Reloaded(1700, LoadResult::kServed);  // a change record reloaded meanwhile
  EXPECT_FALSE(plan.Due(5000)) << "that reload read the file after the overflow";
  plan.OverflowRecorded(2700);
  EXPECT_TRUE(plan.Due(2700));
}

struct FakeRead {
  unsigned char records[64];
};

// After the wait for a cancelled read gives up, that read may still complete
// and write its records: its memory is never handed to another read, and no
// other read goes out beside it. AddressSanitizer fails the test if a block
// is freed while its read could still write, or never freed.
TEST(OneReadAtATime, NoReadGoesOutOrReusesMemoryWhileAnEarlierOneMayComplete) {
  OneReadAtATime<FakeRead> reads;
  FakeRead* first = reads.Begin();
  ASSERT_NE(nullptr, first);
  EXPECT_TRUE(reads.Outstanding());
  EXPECT_EQ(nullptr, reads.Begin()) << "a second read beside one not completed";
  EXPECT_EQ(nullptr, reads.Begin());

  std::memset(first->records, 1, sizeof first->records);  // the late completion writes
  reads.Completed(first);
  EXPECT_FALSE(reads.Outstanding());

  FakeRead* second = reads.Begin();
  ASSERT_NE(nullptr, second);
  reads.NotIssued(second);  // no completion will come: freed at once
  FakeRead* third = reads.Begin();
  ASSERT_NE(nullptr, third);

  // The reads end without its completion: its block stays its own.
  reads.Abandon();
  EXPECT_FALSE(reads.Outstanding());
  EXPECT_EQ(nullptr, reads.Begin()) << "a read after the end";
  std::memset(third->records, 2, sizeof third->records);  // still valid memory
  reads.Completed(third);  // a completion that does come frees it
}

}  // namespace
}  // namespace stavora
