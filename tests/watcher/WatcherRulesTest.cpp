// The watcher's decisions that need no platform: when a watched folder is
// opened again, when the clock reloads, and how the memory of change reads
// is handed out and given back.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "watcher/FolderIdentity.h"
#include "watcher/OneReadAtATime.h"
#include "watcher/ReloadSchedule.h"

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

TEST(ReloadSchedule, AnUnreadableFileIsReadAgainEverySecondUntilALoadSettles) {
  ReloadSchedule schedule;
  EXPECT_FALSE(schedule.Due(100000));
  EXPECT_EQ(1000u, schedule.SleepFrom(0, 1000));

  schedule.Reloaded(5000, false);
  EXPECT_FALSE(schedule.Due(5999));
  EXPECT_EQ(400u, schedule.SleepFrom(5600, 1000));
  EXPECT_TRUE(schedule.Due(6000));
  EXPECT_EQ(0u, schedule.SleepFrom(6100, 1000));
  schedule.Reloaded(6100, false);
  EXPECT_FALSE(schedule.Due(7099));
  EXPECT_TRUE(schedule.Due(7100));
  schedule.Reloaded(7100, true);
  EXPECT_FALSE(schedule.Due(100000)) << "a settled load ends the retries";
  EXPECT_EQ(1000u, schedule.SleepFrom(7200, 1000));
}

TEST(ReloadSchedule, OverflowsThatGoOnReloadOnceASecond) {
  ReloadSchedule schedule;
  EXPECT_TRUE(schedule.OverflowReloadsNow(0)) << "the first overflow reloads at once";
  schedule.Reloaded(0, true);
  EXPECT_FALSE(schedule.OverflowReloadsNow(300));
  EXPECT_FALSE(schedule.OverflowReloadsNow(600));
  EXPECT_FALSE(schedule.Due(999));
  EXPECT_TRUE(schedule.Due(1000)) << "held back to a second after the last reload";
  schedule.Reloaded(1000, true);
  EXPECT_FALSE(schedule.Due(5000)) << "one reload for the overflows held back";
  EXPECT_FALSE(schedule.OverflowReloadsNow(1500));
  schedule.Reloaded(1700, true);  // a change record reloaded meanwhile
  EXPECT_FALSE(schedule.Due(5000)) << "that reload read the file after the overflow";
  EXPECT_TRUE(schedule.OverflowReloadsNow(2700));

  // An overflow held back does not postpone a retry that falls due sooner.
  schedule.Reloaded(3000, false);
  EXPECT_FALSE(schedule.OverflowReloadsNow(3500));
  EXPECT_TRUE(schedule.Due(4000));
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
