// The loader over a scripted profile service: what it asks, in which order,
// with which buffer, what it serves and what it reports for the log; loads
// built aside, served by a swap, in the order they started.
#include "store/Loader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "ScriptedSource.h"
#include "logging/Logger.h"

namespace stavora {
namespace {

using testing_support::ProfileCall;
using testing_support::RecordingLock;
using testing_support::ScriptedSource;
using testing_support::TestLogDirectory;

const WString kPath = u"C:\\DATA\\STAVORA.INI";
const std::string kSizeLine =
    "GetFileSize(): Failed to get file handle or file size for C:\\DATA\\STAVORA.INI";
const std::string kSectionsLine =
    "LoadRegistry(): GetPrivateProfileString() failed to retrieve sections.";

// Change reports counted by whoever watches the file.
class CountedChanges final : public IChangeEvidence {
 public:
  std::uint64_t ChangesSeen() override { return count; }
  std::uint64_t count = 0;
};

class LoaderTest : public ::testing::Test {
 protected:
  LoaderTest() : source(lock), served(store, lock) {}
  void SetUp() override { TestLogDirectory().Clear(); }
  void TearDown() override {
    EXPECT_EQ(0u, source.Unanswered()) << "scripted answers left unasked";
  }

  // One load as `request` asks, its lines written as the lookup object
  // writes them.
  LoadResult Load(EmptyFile emptyFile = EmptyFile::kServe) {
    request.emptyFile = emptyFile;
    const LoadReport report = LoadStore(served, source, kPath, request);
    WriteLogLines(report.logLines);
    return report.result;
  }

  std::vector<std::string> LogMessages() const { return TestLogDirectory().Messages(); }

  // The section list form, the key-list form or the value form, in that order
  // of checks; `size` is the buffer the call was given.
  static void ExpectSectionList(const ProfileCall& call, std::uint32_t size) {
    EXPECT_FALSE(call.hasSection) << "section list asked for section " << Narrow(call.section);
    EXPECT_FALSE(call.hasKey);
    EXPECT_EQ(size, call.size);
  }
  static void ExpectKeyList(const ProfileCall& call, const WString& section, std::uint32_t size) {
    EXPECT_TRUE(call.hasSection);
    EXPECT_EQ(section, call.section);
    EXPECT_FALSE(call.hasKey) << "key list asked for key " << Narrow(call.key);
    EXPECT_EQ(size, call.size);
  }
  static void ExpectValue(const ProfileCall& call, const WString& section, const WString& key,
                          std::uint32_t size) {
    EXPECT_TRUE(call.hasSection);
    EXPECT_EQ(section, call.section);
    EXPECT_TRUE(call.hasKey);
    EXPECT_EQ(key, call.key);
    EXPECT_EQ(size, call.size);
  }

  static std::string Narrow(const WString& text) {
    std::string narrow;
    for (char16_t unit : text) narrow += unit < 128 ? static_cast<char>(unit) : '?';
    return narrow;
  }

  RecordingLock lock;
  ScriptedSource source;
  SectionMap store;
  ServedStore served;
  LoadRequest request;
};

TEST_F(LoaderTest, ReadsListsThenValuesAndStoresUpperCasedNames) {
  source.SetFileSize(99);
  source.AnswerList({u"Beta", u"alpha"});
  source.AnswerList({u"b"});
  source.Answer(u"2");
  source.AnswerList({u"A", u"Path"});
  source.Answer(u"1");
  source.Answer(u"D:\\Data");
  Load();

  ASSERT_EQ(6u, source.calls.size());
  ExpectSectionList(source.calls[0], 100);
  ExpectKeyList(source.calls[1], u"BETA", 100);
  ExpectValue(source.calls[2], u"BETA", u"B", 100);
  ExpectKeyList(source.calls[3], u"ALPHA", 100);
  ExpectValue(source.calls[4], u"ALPHA", u"A", 100);
  ExpectValue(source.calls[5], u"ALPHA", u"PATH", 100);
  for (const ProfileCall& call : source.calls) EXPECT_EQ(kPath, call.path);
  EXPECT_EQ(1, source.fileSizeCalls);
  EXPECT_EQ(kPath, source.fileSizePath);

  const SectionMap expected = {
      {u"ALPHA", {{u"A", u"1"}, {u"PATH", u"D:\\Data"}}},
      {u"BETA", {{u"B", u"2"}}},
  };
  EXPECT_EQ(expected, store);
  EXPECT_EQ(std::vector<std::string>{}, LogMessages());
}

TEST_F(LoaderTest, OrdersNamesByUnsignedCodeUnitsShorterPrefixFirst) {
  // Sections in file order: a code unit above 0x7FFF, a longer and a shorter
  // name sharing a prefix, a Latin-1 letter and plain ASCII.
  source.AnswerList({u"\u8000x", u"ABC", u"\u00e4", u"AB", u"b", u"\uffff"});
  for (int i = 0; i < 6; ++i) {
    source.AnswerList({u"\uff21", u"k", u"K2", u"K"});  // K repeats k: one call each
    source.Answer(u"v1");
    source.Answer(u"v2");
    source.Answer(u"v3");
    source.Answer(u"v4");
  }
  Load();

  std::vector<WString> sections;
  for (const auto& entry : store) sections.push_back(entry.first);
  const std::vector<WString> expectedSections = {u"AB", u"ABC", u"B", u"\u00e4", u"\u8000X",
                                                 u"\uffff"};
  EXPECT_EQ(expectedSections, sections);

  std::vector<WString> keys;
  for (const auto& entry : store.at(u"AB")) keys.push_back(entry.first);
  const std::vector<WString> expectedKeys = {u"K", u"K2", u"\uff21"};
  EXPECT_EQ(expectedKeys, keys);
  EXPECT_EQ(1u + 6u + 6u * 4u, source.calls.size());
}

TEST_F(LoaderTest, UpperCasesOnlyAsciiLettersOfNamesAndKeepsValues) {
  source.AnswerList({u"Gr\u00f6\u00dfe"});
  source.AnswerList({u"stra\u00dfe", u"MiXed"});
  source.Answer(u"\u00e4 lower Case");
  source.Answer(u"MiXed value");
  Load();

  ASSERT_EQ(4u, source.calls.size());
  ExpectKeyList(source.calls[1], u"GR\u00f6\u00dfE", 4097);
  ExpectValue(source.calls[2], u"GR\u00f6\u00dfE", u"STRA\u00dfE", 4097);
  const SectionMap expected = {
      {u"GR\u00f6\u00dfE", {{u"STRA\u00dfE", u"\u00e4 lower Case"}, {u"MIXED", u"MiXed value"}}}};
  EXPECT_EQ(expected, store);
}

TEST_F(LoaderTest, KeepsTheFirstOfEqualSectionAndKeyNames) {
  // [Foo] and [FOO] both listed; the service is asked for both and only the
  // first answer is kept. The same for keys a and A.
  source.AnswerList({u"Foo", u"FOO", u"bar"});
  source.AnswerList({u"a", u"A"});
  source.Answer(u"first");
  source.Answer(u"second");
  source.AnswerList({u"other"});
  source.Answer(u"dropped");
  source.AnswerList({u"x"});
  source.Answer(u"1");
  Load();

  ASSERT_EQ(8u, source.calls.size());  // one call per listed name, duplicates included
  ExpectValue(source.calls[3], u"FOO", u"A", 4097);
  ExpectKeyList(source.calls[4], u"FOO", 4097);
  const SectionMap expected = {
      {u"BAR", {{u"X", u"1"}}},
      {u"FOO", {{u"A", u"first"}}},
  };
  EXPECT_EQ(expected, store);
}

TEST_F(LoaderTest, MissingFileLogsBothLinesAndLeavesTheStoreEmpty) {
  store[u"OLD"][u"KEY"] = u"stale";
  source.FileGone();
  source.SetFileSize(-1);
  source.AnswerNothing();
  source.AnswerNothing();
  // The first find is held, a look under the lock; the second confirms it,
  // the file stayed gone, and it is served: a look and a swap.
  EXPECT_EQ(LoadResult::kHeldEmpty, Load());
  EXPECT_EQ(1, lock.enters);
  EXPECT_EQ(1, lock.leaves);
  const LoadReport report = LoadStore(served, source, kPath, request);
  EXPECT_EQ(LoadResult::kServed, report.result);
  EXPECT_EQ(3, lock.enters);
  EXPECT_EQ(3, lock.leaves);

  ASSERT_EQ(2u, source.calls.size());
  ExpectSectionList(source.calls[0], 1025);  // 1024 taken for the size, plus one
  EXPECT_TRUE(store.empty()) << store.size() << " sections left";
  // The loader writes nothing itself: it hands its lines to the caller.
  EXPECT_EQ(std::vector<std::string>{}, LogMessages()) << "the loader wrote to the log";
  WriteLogLines(report.logLines);
  EXPECT_EQ((std::vector<std::string>{kSizeLine, kSectionsLine}), LogMessages());
}

TEST_F(LoaderTest, EmptyFileGetsABufferOfOneAndLogsOnlyTheSectionsLine) {
  source.FileOfSize(0);
  source.SetFileSize(0);
  source.AnswerNothing();
  Load();

  ASSERT_EQ(1u, source.calls.size());
  ExpectSectionList(source.calls[0], 1);
  EXPECT_TRUE(store.empty());
  EXPECT_EQ(std::vector<std::string>{kSectionsLine}, LogMessages());
}

TEST_F(LoaderTest, UnreadableSizeStillLoadsWhatTheServiceReads) {
  source.SetFileSize(-1);
  source.AnswerList({u"S"});
  source.AnswerList({u"K"});
  source.Answer(u"v");
  Load();

  ASSERT_EQ(3u, source.calls.size());
  ExpectValue(source.calls[2], u"S", u"K", 1025);
  EXPECT_EQ((SectionMap{{u"S", {{u"K", u"v"}}}}), store);
  EXPECT_EQ(std::vector<std::string>{kSizeLine}, LogMessages());
}

TEST_F(LoaderTest, SizeThatWrapsTheCountStartsLikeAnUnknownSize) {
  // 0xFFFFFFFF plus one would be a buffer of no code units at all.
  source.FileOfSize(0xFFFFFFFFll);
  source.SetFileSize(0xFFFFFFFFll);
  source.AnswerNothing();
  Load();

  ASSERT_EQ(1u, source.calls.size());
  ExpectSectionList(source.calls[0], 1025);
  EXPECT_EQ((std::vector<std::string>{kSectionsLine,
                                      "LoadRegistry(): Nothing could be read from the file, which "
                                      "has 4294967295 bytes; reading it again every second."}),
            LogMessages());
}

TEST_F(LoaderTest, EmptyValuesAndKeylessSectionsAreStoredAndLoadingGoesOn) {
  source.AnswerList({u"one", u"empty", u"two", u"three"});
  source.AnswerList({u"a"});
  source.Answer(u"1");
  source.AnswerNothing();  // [empty] lists no keys
  source.AnswerList({u"b", u"c"});
  source.AnswerNothing();  // b=
  source.Answer(u"3");
  source.AnswerList({u"d"});
  source.Answer(u"4");
  Load();

  EXPECT_EQ(9u, source.calls.size());
  const SectionMap expected = {
      {u"EMPTY", {}},
      {u"ONE", {{u"A", u"1"}}},
      {u"THREE", {{u"D", u"4"}}},
      {u"TWO", {{u"B", u""}, {u"C", u"3"}}},
  };
  EXPECT_EQ(expected, store);
  EXPECT_EQ(std::vector<std::string>{}, LogMessages());
}

TEST_F(LoaderTest, ValueThatFillsTheBufferIsAskedAgainWithTwiceTheRoom) {
  source.SetFileSize(9);  // buffer of 10
  source.AnswerList({u"S"});
  source.AnswerList({u"F", u"G"});  // F is full, G fits
  const WString nine = u"123456789";  // exactly size - 1: maybe cut short
  source.Answer(nine);
  source.Answer(nine);
  source.Answer(u"12345678");  // size - 2 in the grown buffer: complete
  Load();

  ASSERT_EQ(5u, source.calls.size());
  ExpectValue(source.calls[2], u"S", u"F", 10);
  ExpectValue(source.calls[3], u"S", u"F", 20);
  ExpectValue(source.calls[4], u"S", u"G", 20);  // the grown buffer is kept
  EXPECT_EQ((SectionMap{{u"S", {{u"F", nine}, {u"G", u"12345678"}}}}), store);
}

TEST_F(LoaderTest, ValueOneShortOfFullIsNotAskedAgain) {
  source.SetFileSize(9);
  source.AnswerList({u"S"});
  source.AnswerList({u"K"});
  source.Answer(u"12345678");
  Load();

  ASSERT_EQ(3u, source.calls.size());
  EXPECT_EQ(u"12345678", store.at(u"S").at(u"K"));
}

TEST_F(LoaderTest, HugeValueGrowsTheBufferUntilItFits) {
  source.SetFileSize(9);
  source.AnswerList({u"S"});
  source.AnswerList({u"K"});
  const WString huge(150, u'v');
  for (int i = 0; i < 5; ++i) source.Answer(huge);  // 10, 20, 40, 80 cut; 160 fits
  Load();

  ASSERT_EQ(7u, source.calls.size());
  const std::uint32_t sizes[] = {10, 20, 40, 80, 160};
  for (int i = 0; i < 5; ++i) ExpectValue(source.calls[2 + i], u"S", u"K", sizes[i]);
  EXPECT_EQ(huge, store.at(u"S").at(u"K"));
}

TEST_F(LoaderTest, ListsThatMayBeCutShortAreAskedAgain) {
  source.SetFileSize(9);  // buffer of 10
  // "ABC\0DEF\0GH\0" is 11 units: cut to size - 2 in 10, whole in 20.
  source.AnswerList({u"ABC", u"DEF", u"GH"});
  source.AnswerList({u"ABC", u"DEF", u"GH"});
  // 18 units: complete in the grown buffer of 20 but size - 2 all the same,
  // so asked again with 40.
  const std::initializer_list<const char16_t*> keys = {u"K1", u"K2", u"K3", u"K4", u"KEY", u"Z"};
  source.AnswerList(keys);
  source.AnswerList(keys);
  for (int i = 0; i < 6; ++i) source.Answer(u"x");
  source.AnswerList({u"q"});  // 2 units in 40: no repeat
  source.Answer(u"y");
  source.AnswerList({u"r"});
  source.Answer(u"z");
  Load();

  ASSERT_EQ(2u + 2u + 6u + 2u + 2u, source.calls.size());
  ExpectSectionList(source.calls[0], 10);
  ExpectSectionList(source.calls[1], 20);
  ExpectKeyList(source.calls[2], u"ABC", 20);
  ExpectKeyList(source.calls[3], u"ABC", 40);
  ExpectValue(source.calls[9], u"ABC", u"Z", 40);
  ExpectKeyList(source.calls[10], u"DEF", 40);
  std::vector<WString> sections;
  for (const auto& entry : store) sections.push_back(entry.first);
  EXPECT_EQ((std::vector<WString>{u"ABC", u"DEF", u"GH"}), sections);
  EXPECT_EQ(6u, store.at(u"ABC").size());
  EXPECT_EQ(u"x", store.at(u"ABC").at(u"KEY"));
  EXPECT_EQ(u"x", store.at(u"ABC").at(u"Z"));
}

TEST_F(LoaderTest, ListThreeShortOfFullIsNotAskedAgain) {
  source.SetFileSize(9);
  source.AnswerList({u"AB", u"CD"});  // 6 units in 10
  source.AnswerList({u"K"});
  source.Answer(u"1");
  source.AnswerList({u"K"});
  source.Answer(u"2");
  Load();
  ASSERT_EQ(5u, source.calls.size());
  ExpectSectionList(source.calls[0], 10);
}

TEST_F(LoaderTest, AnswersWithoutTheirZerosAreReadOnlyWithinTheBuffer) {
  // A faulty service writes every unit of the buffer and no zero; the loader
  // reads no further than the buffer (AddressSanitizer watches the reads).
  source.SetFileSize(9);  // buffer of 10
  source.AnswerUnterminated(3);  // section list: one name of the first 8 units
  source.AnswerUnterminated(4);  // key list: likewise
  source.AnswerUnterminated(2);  // value: the first 9 units, treated as complete
  Load();

  ASSERT_EQ(3u, source.calls.size());
  const WString eight(8, u'X');
  ExpectKeyList(source.calls[1], eight, 10);
  ExpectValue(source.calls[2], eight, eight, 10);
  EXPECT_EQ((SectionMap{{eight, {{eight, WString(9, u'x')}}}}), store);
}

// The file is read into a store of the load's own; the lock is taken once,
// for the swap that serves it.
TEST_F(LoaderTest, EveryCallHappensOutsideTheLockWhichIsTakenOnlyForTheSwap) {
  store = {{u"OLD", {}}};
  SectionMap seenAtLeave;
  lock.onLeave = [&] { seenAtLeave = store; };
  source.AnswerList({u"A", u"B"});
  source.AnswerList({u"K"});
  source.Answer(u"1");
  source.AnswerNothing();
  EXPECT_EQ(LoadResult::kServed, Load());

  EXPECT_FALSE(source.fileSizeLockHeld) << "GetFileSize ran under the lock";
  for (std::size_t i = 0; i < source.calls.size(); ++i) {
    EXPECT_FALSE(source.calls[i].lockHeld) << "call " << i << " ran under the lock";
  }
  EXPECT_EQ(1, lock.enters);
  EXPECT_EQ(1, lock.leaves);
  EXPECT_FALSE(lock.held);
  const SectionMap expected = {{u"A", {{u"K", u"1"}}}, {u"B", {}}};
  EXPECT_EQ(expected, seenAtLeave) << "the new version was whole when the lock was left";
  EXPECT_EQ(expected, store);
}

TEST_F(LoaderTest, ExceptionLeavesThePreviousVersionServed) {
  store[u"OLD"][u"KEY"] = u"stale";
  source.AnswerList({u"first", u"second", u"third"});
  source.AnswerList({u"a"});
  source.Answer(u"1");
  source.AnswerList({u"b", u"c"});
  source.Answer(u"2");
  source.Throw();  // memory runs out while [second] is read
  EXPECT_THROW(Load(), std::bad_alloc);

  EXPECT_EQ(0, lock.enters);
  EXPECT_FALSE(lock.held);
  EXPECT_EQ((SectionMap{{u"OLD", {{u"KEY", u"stale"}}}}), store);
  EXPECT_EQ(std::vector<std::string>{}, LogMessages());
}

// A save between the service's calls: the first read met the file half
// written (an empty section list, then an empty value), the file's state
// moved during it, and only the second, settled read is kept and logged.
TEST_F(LoaderTest, ReadThatTheFileChangedUnderIsDoneAgainAndOnlyTheKeptReadLogs) {
  store[u"OLD"][u"KEY"] = u"stale";
  source.StatesOfFile({1, 2, 2, 2});
  source.AnswerList({u"A"});
  source.AnswerList({u"K"});
  source.AnswerNothing();  // the value read while the file was empty
  source.AnswerList({u"A"});
  source.AnswerList({u"K"});
  source.Answer(u"v2");
  Load();

  EXPECT_EQ((SectionMap{{u"A", {{u"K", u"v2"}}}}), store);
  EXPECT_EQ(0u, source.Unanswered());
  EXPECT_EQ(4, source.fileStateCalls);
  EXPECT_EQ(std::vector<std::string>{}, LogMessages());
  EXPECT_EQ(1, lock.enters) << "one swap for both reads";
  EXPECT_EQ(1, lock.leaves);
}

// Four reads that each met a change: none is known to be whole, so none is
// served; the caller reads again.
TEST_F(LoaderTest, FileThatNeverSettlesServesNoneOfItsFourReads) {
  store = {{u"OLD", {}}};
  source.StatesOfFile({1, 2, 3, 4, 5, 6, 7, 8});
  for (const char16_t* value : {u"1", u"2", u"3", u"4"}) {
    source.AnswerList({u"A"});
    source.AnswerList({u"K"});
    source.Answer(value);
  }
  EXPECT_EQ(LoadResult::kUnsettled, Load());

  EXPECT_EQ((SectionMap{{u"OLD", {}}}), store);
  EXPECT_EQ(0u, source.Unanswered()) << "exactly four reads";
  EXPECT_EQ(std::vector<std::string>{}, LogMessages());
}

TEST_F(LoaderTest, ReloadReplacesThePreviousContents) {
  source.AnswerList({u"Old", u"Kept"});
  source.AnswerList({u"x"});
  source.Answer(u"1");
  source.AnswerList({u"y"});
  source.Answer(u"2");
  Load();
  ASSERT_EQ(2u, store.size());
  EXPECT_EQ(1, lock.enters) << "one swap per load served";
  EXPECT_EQ(1, lock.leaves);

  source.AnswerList({u"Kept", u"New"});
  source.AnswerList({u"z"});
  source.Answer(u"3");
  source.AnswerList({u"w"});
  source.Answer(u"4");
  Load();
  EXPECT_EQ((SectionMap{{u"KEPT", {{u"Z", u"3"}}}, {u"NEW", {{u"W", u"4"}}}}), store);
  EXPECT_EQ(2, lock.enters);
  EXPECT_EQ(2, lock.leaves);
}

// No section from a file that has bytes in it: nothing was read (held without
// read sharing, access denied, a share that failed for a moment). Such a load
// replaces nothing: the last version read stays served. It is reported as
// failed, each time until a load reads the file, and logged once per run; a
// file that is really empty or gone settles the run, and is served as such.
TEST_F(LoaderTest, FileWithBytesButNoSectionIsUnreadableUntilALoadReadsIt) {
  const std::string unreadableLine =
      "LoadRegistry(): Nothing could be read from the file, which has 120 bytes; reading it "
      "again every second.";
  store = {{u"OLD", {}}};
  source.FileOfSize(120);
  source.SetFileSize(-1);  // held without sharing: it cannot be opened either
  source.AnswerNothing();
  EXPECT_EQ(LoadResult::kUnreadable, Load());
  EXPECT_EQ((SectionMap{{u"OLD", {}}}), store) << "the last version read stays served";
  EXPECT_EQ((std::vector<std::string>{kSizeLine, kSectionsLine, unreadableLine}), LogMessages());

  source.AnswerNothing();
  EXPECT_EQ(LoadResult::kUnreadable, Load());
  EXPECT_EQ(3u, LogMessages().size()) << "a run of unreadable loads is logged once";

  source.SetFileSize(120);
  source.AnswerList({u"A"});
  source.AnswerList({u"K"});
  source.Answer(u"v");
  EXPECT_EQ(LoadResult::kServed, Load());
  EXPECT_EQ((SectionMap{{u"A", {{u"K", u"v"}}}}), store);
  const std::vector<std::string> afterRead = LogMessages();
  ASSERT_EQ(4u, afterRead.size());
  EXPECT_EQ("LoadRegistry(): The file was read after 2 loads that read nothing.", afterRead[3]);

  // A new run starts over, and ends when the file turns out really empty.
  source.AnswerNothing();
  EXPECT_EQ(LoadResult::kUnreadable, Load());
  EXPECT_EQ(unreadableLine, LogMessages().back());
  EXPECT_EQ((SectionMap{{u"A", {{u"K", u"v"}}}}), store);
  source.FileOfSize(0);
  source.SetFileSize(0);
  source.AnswerNothing();
  source.AnswerNothing();
  EXPECT_EQ(LoadResult::kHeldEmpty, Load());
  EXPECT_EQ(LoadResult::kServed, Load()) << "it stayed empty";
  EXPECT_EQ(kSectionsLine, LogMessages().back());
  EXPECT_EQ(SectionMap{}, store) << "a really empty file is served as such";

  // Or gone; and the next run is logged again, so the last one had ended.
  source.FileOfSize(50);
  source.AnswerNothing();
  EXPECT_EQ(LoadResult::kUnreadable, Load());
  EXPECT_EQ(unreadableLine.substr(0, 60), LogMessages().back().substr(0, 60));
  source.FileGone();
  source.SetFileSize(-1);
  source.AnswerNothing();
  EXPECT_EQ(LoadResult::kServed, Load());
  EXPECT_EQ(kSectionsLine, LogMessages().back());
  source.FileOfSize(50);
  source.AnswerNothing();
  EXPECT_EQ(LoadResult::kUnreadable, Load());
  EXPECT_EQ(unreadableLine.substr(0, 60), LogMessages().back().substr(0, 60));
}

// Right after a change record an empty or missing file may be a save half
// done: held, nothing replaced or logged, until a read that confirms it.
TEST_F(LoaderTest, EmptyOrGoneFileIsHeldAfterAChangeAndServedOnceConfirmed) {
  const SectionMap old = {{u"OLD", {{u"K", u"v"}}}};
  store = old;
  CountedChanges changes;
  request.evidence = &changes;
  const auto expectHeld = [&](EmptyFile emptyFile, const char* step) {
    SCOPED_TRACE(step);
    source.AnswerNothing();
    EXPECT_EQ(LoadResult::kHeldEmpty, Load(emptyFile));
    EXPECT_EQ(old, store);
    EXPECT_EQ(std::vector<std::string>{}, LogMessages());
  };
  source.FileOfSize(0);
  source.SetFileSize(0);
  expectHeld(EmptyFile::kHold, "emptied");
  source.FileGone();
  source.SetFileSize(-1);
  expectHeld(EmptyFile::kHold, "deleted");

  // Asked to confirm, but the file is no longer as it was held (created
  // empty again meanwhile): it did not stay so, and is held again.
  source.FileOfSize(0);
  source.SetFileSize(0);
  expectHeld(EmptyFile::kServe, "not in the state held");
  // In the state held, but a change was reported since (deleted and
  // created again, say): it may not have stayed so, and is held again.
  ++changes.count;
  expectHeld(EmptyFile::kServe, "a change reported since the hold");

  source.AnswerNothing();
  EXPECT_EQ(LoadResult::kServed, Load(EmptyFile::kServe)) << "it stayed so: served";
  EXPECT_EQ(SectionMap{}, store);
  EXPECT_EQ((std::vector<std::string>{kSectionsLine}), LogMessages());
}

// While the file is missing Wine answers from its cache of the file, which
// may hold part of a save: a file gone (or empty) at the end of a read holds
// no section, whatever the service said, and is held like an empty find.
TEST_F(LoaderTest, SectionsReadFromAFileThatIsGoneAreNotServed) {
  store = {{u"OLD", {{u"K", u"v"}}}};
  source.FileGone();
  source.AnswerList({u"A", u"B"});
  source.AnswerList({u"K"});
  source.Answer(u"cached");
  source.AnswerNothing();  // [B]'s keys are not in the cache
  EXPECT_EQ(LoadResult::kHeldEmpty, Load(EmptyFile::kHold));
  EXPECT_EQ((SectionMap{{u"OLD", {{u"K", u"v"}}}}), store);
}

// A profile service that answers from the file a test holds, and can stop a
// call until the test lets it go on: a slow load, seen from other threads.
class FileOfVersions final : public IProfileSource {
 public:
  // The file's one section S holds K=<value>.
  explicit FileOfVersions(WString value) : m_value(std::move(value)) {}

  std::uint32_t GetString(const char16_t* section, const char16_t* key, char16_t* buffer,
                          std::uint32_t size, const WString&) override {
    {
      std::unique_lock<std::mutex> hold(m_mutex);
      ++m_calls;
      if (m_calls == m_stopAt) {
        m_stopped = true;
        m_changed.notify_all();
        m_changed.wait(hold, [this] { return m_goOn; });
      }
    }
    const WString text = section == nullptr ? WString(u"S\0", 2)
                         : key == nullptr   ? WString(u"K\0", 2)
                                            : m_value;
    if (text.size() + 1 > size) return 0;
    text.copy(buffer, text.size());
    buffer[text.size()] = u'\0';
    return static_cast<std::uint32_t>(text.size());
  }
  std::int64_t GetFileSize(const WString&) override { return 64; }
  FileState GetFileState(const WString&) override {
    FileState state;
    state.exists = true;
    state.size = 64;
    return state;
  }

  // Call `call` (1: the section list) stops until GoOn.
  void StopAtCall(int call) { m_stopAt = call; }
  bool WaitUntilStopped() {
    std::unique_lock<std::mutex> hold(m_mutex);
    return m_changed.wait_for(hold, std::chrono::seconds(10), [this] { return m_stopped; });
  }
  void GoOn() {
    std::lock_guard<std::mutex> hold(m_mutex);
    m_goOn = true;
    m_changed.notify_all();
  }

 private:
  WString m_value;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  int m_calls = 0;
  int m_stopAt = 0;
  bool m_stopped = false;
  bool m_goOn = false;
};

// The store's lock as threads take it, with a lookup that gives up rather
// than hang when a load holds it.
class ThreadLock final : public IStoreLock {
 public:
  void Enter() override { m_mutex.lock(); }
  void Leave() override { m_mutex.unlock(); }
  bool TryEnterFor(std::chrono::milliseconds wait) { return m_mutex.try_lock_for(wait); }

 private:
  std::timed_mutex m_mutex;
};

WString ValueOfK(const SectionMap& store) {
  const auto section = store.find(u"S");
  if (section == store.end()) return u"(no section)";
  const auto key = section->second.find(u"K");
  return key == section->second.end() ? WString(u"(no key)") : key->second;
}

// A lookup arriving while a load is under way is answered at once, from the
// version before it; the new version is served whole once the load ends.
TEST(LoadAside, LookupDuringASlowLoadIsAnsweredAtOnceFromTheOldVersion) {
  ThreadLock lock;
  SectionMap store = {{u"S", {{u"K", u"old"}}}};
  ServedStore served(store, lock);
  FileOfVersions file(u"new");
  file.StopAtCall(3);  // stopped at the value, the lists read
  std::thread load([&] { LoadStore(served, file, kPath); });
  ASSERT_TRUE(file.WaitUntilStopped());

  const bool entered = lock.TryEnterFor(std::chrono::milliseconds(500));
  WString seen = entered ? ValueOfK(store) : WString(u"(lock held by the load)");
  if (entered) lock.Leave();
  file.GoOn();
  load.join();

  EXPECT_TRUE(entered) << "the lookup waited for the load";
  EXPECT_EQ(WString(u"old"), seen);
  EXPECT_EQ(WString(u"new"), ValueOfK(store));
}

// Two loads in flight: the one that started later is served, whichever ends
// last; the earlier one, ending after it, replaces nothing.
TEST(LoadAside, TwoLoadsPublishInTheOrderTheyStarted) {
  ThreadLock lock;
  SectionMap store = {{u"S", {{u"K", u"v0"}}}};
  ServedStore served(store, lock);
  FileOfVersions first(u"v1");
  first.StopAtCall(2);
  LoadReport firstReport;
  std::thread creation([&] { firstReport = LoadStore(served, first, kPath); });
  ASSERT_TRUE(first.WaitUntilStopped());

  FileOfVersions second(u"v2");  // a save, and the reload it brings
  EXPECT_EQ(LoadResult::kServed, LoadStore(served, second, kPath).result);
  EXPECT_EQ(WString(u"v2"), ValueOfK(store));
  first.GoOn();
  creation.join();

  EXPECT_EQ(LoadResult::kSuperseded, firstReport.result);
  EXPECT_EQ(WString(u"v2"), ValueOfK(store)) << "an older load replaced a newer one";

  FileOfVersions third(u"v3");
  EXPECT_EQ(LoadResult::kServed, LoadStore(served, third, kPath).result);
  EXPECT_EQ(WString(u"v3"), ValueOfK(store));
}

// A save that leaves the file's state as it was (same size, within one tick
// of the file system's clock) still brings a change record: a read that one
// arrived during is done again, and only the second read is served.
TEST_F(LoaderTest, ChangeReportedDuringAReadMakesItReadAgain) {
  CountedChanges changes;
  store = {{u"OLD", {}}};
  source.AnswerList({u"A"});
  source.AnswerList({u"K"});
  source.Answer(u"torn");
  source.AnswerList({u"A"});
  source.AnswerList({u"K"});
  source.Answer(u"whole");
  source.onCall = [&changes](std::size_t call) {
    if (call == 2) ++changes.count;  // the save lands between two calls
  };
  request.evidence = &changes;
  const LoadReport report = LoadStore(served, source, kPath, request);

  EXPECT_EQ(LoadResult::kServed, report.result);
  EXPECT_EQ(6u, source.calls.size()) << "the read was not done again";
  EXPECT_EQ((SectionMap{{u"A", {{u"K", u"whole"}}}}), store);
  EXPECT_EQ(std::vector<WString>{}, report.logLines);
}

// A load abandoned part way (its object is being released) stops at the next
// call of the service, replaces nothing, reports no line and says so.
TEST_F(LoaderTest, AbandonedLoadStopsAtTheNextCallAndLogsNothing) {
  std::atomic<bool> abandon{false};
  store = {{u"OLD", {}}};
  source.SetFileSize(-1);  // would log a line had the load run to its end
  source.AnswerList({u"A", u"B"});
  source.AnswerList({u"K1", u"K2"});
  source.Answer(u"1");
  // Set as the first value is asked for: the second is never asked.
  source.onCall = [&abandon](std::size_t count) {
    if (count == 3) abandon = true;
  };
  request.abandon = &abandon;
  const LoadReport report = LoadStore(served, source, kPath, request);
  EXPECT_EQ(LoadResult::kAbandoned, report.result);
  EXPECT_EQ(std::vector<WString>{}, report.logLines);
  EXPECT_EQ(3u, source.calls.size());
  EXPECT_EQ((SectionMap{{u"OLD", {}}}), store) << "an abandoned load replaced the store";
  EXPECT_EQ(std::vector<std::string>{}, LogMessages());
  EXPECT_FALSE(lock.held);
  EXPECT_EQ(lock.enters, lock.leaves);
}

}  // namespace
}  // namespace stavora
