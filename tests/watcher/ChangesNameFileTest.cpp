// Matching of hand-built change record batches against the INI file name.
// Every batch is handed over in a heap block of exactly the reported size, so
// AddressSanitizer stops any read past the reported end.
#include "watcher/ChangesNameFile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace stavora {
namespace {

using Bytes = std::vector<unsigned char>;

const WString kIniName = u"STAVORA.INI";

void PutUInt32(Bytes& bytes, std::size_t at, std::uint32_t value) {
  if (bytes.size() < at + 4) bytes.resize(at + 4);
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

// Writes one record at `at`: header, then the name in little-endian units.
// `nameBytes`, when given, overrides FileNameLength.
void PutRecord(Bytes& bytes, std::size_t at, std::uint32_t next, WStringView name,
               std::uint32_t action = 3, std::optional<std::uint32_t> nameBytes = {}) {
  PutUInt32(bytes, at, next);
  PutUInt32(bytes, at + 4, action);
  PutUInt32(bytes, at + 8,
            nameBytes.value_or(static_cast<std::uint32_t>(2 * name.size())));
  const std::size_t nameAt = at + kChangeRecordHeaderBytes;
  if (bytes.size() < nameAt + 2 * name.size()) bytes.resize(nameAt + 2 * name.size());
  for (std::size_t i = 0; i < name.size(); ++i) {
    bytes[nameAt + 2 * i] = static_cast<unsigned char>(name[i] & 0xff);
    bytes[nameAt + 2 * i + 1] = static_cast<unsigned char>(name[i] >> 8);
  }
}

// A well-formed batch: records each pointing at the next, the last with
// offset 0. Windows pads each record to 4 bytes (`padTo` 4); Wine packs them
// (`padTo` 2).
Bytes Batch(const std::vector<WString>& names, std::size_t padTo = 4) {
  Bytes bytes;
  std::size_t at = 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::size_t size = kChangeRecordHeaderBytes + 2 * names[i].size();
    size = (size + padTo - 1) / padTo * padTo;
    const bool last = i + 1 == names.size();
    PutRecord(bytes, at, last ? 0 : static_cast<std::uint32_t>(size), names[i],
              static_cast<std::uint32_t>(i % 5 + 1));
    at += size;
  }
  return bytes;
}

// An ordinal comparison that ignores case the way the Windows file systems'
// one does (CompareStringOrdinal with bIgnoreCase: each UTF-16 unit is
// upper-cased on its own by the system's table, so lengths never change),
// over a part of that table: a to z, and the Latin-1 letters U+00E0 to
// U+00FE but U+00F7, each one below by 0x20. It records the names it is given.
class FoldingComparison final : public IFileNameComparison {
 public:
  bool SameFileName(WStringView recorded, WStringView watched) const override {
    given.emplace_back(recorded);
    if (recorded.size() != watched.size()) return false;
    for (std::size_t i = 0; i < recorded.size(); ++i) {
      if (Upper(recorded[i]) != Upper(watched[i])) return false;
    }
    return true;
  }
  WStringView WatchedShortName() const override { return shortName; }
  mutable std::vector<WString> given;
  WString shortName;

 private:
  static char16_t Upper(char16_t unit) {
    if ((unit >= u'a' && unit <= u'z') || (unit >= 0xE0 && unit <= 0xFE && unit != 0xF7)) {
      return static_cast<char16_t>(unit - 0x20);
    }
    return unit;
  }
};

// Runs the match on the first `reported` bytes, copied into a block of exactly
// that size.
bool Matches(const Bytes& bytes, std::size_t reported, WStringView fileName = kIniName,
             const IFileNameComparison& sameName = FoldingComparison()) {
  std::unique_ptr<unsigned char[]> exact(new unsigned char[reported]);
  if (reported != 0) std::memcpy(exact.get(), bytes.data(), reported);
  return ChangesNameFile(exact.get(), reported, fileName, sameName);
}

bool Matches(const Bytes& bytes, WStringView fileName = kIniName,
             const IFileNameComparison& sameName = FoldingComparison()) {
  return Matches(bytes, bytes.size(), fileName, sameName);
}

TEST(ChangesNameFile, ComparesNamesAsTheFileSystemDoes) {
  EXPECT_TRUE(Matches(Batch({u"STAVORA.INI"}))) << "same name";
  EXPECT_TRUE(Matches(Batch({u"stavora.ini"}))) << "lower-case ASCII";
  EXPECT_FALSE(Matches(Batch({u"OTHER.INI"}))) << "another file";
  EXPECT_FALSE(Matches(Batch({u"STAVORA.IN_"}))) << "same length, last unit differs";

  // A non-ASCII letter in another case is the same file to the file system
  // (the path upper-cased by the name rule keeps a lower-case umlaut).
  EXPECT_TRUE(Matches(Batch({u"\u00e4pfel.ini"}), u"\u00c4PFEL.INI")) << "a-umlaut vs A-umlaut";
  EXPECT_TRUE(Matches(Batch({u"\u00c4PFEL.INI"}), u"\u00e4PFEL.INI")) << "A-umlaut vs a-umlaut";
  EXPECT_FALSE(Matches(Batch({u"\u00e5pfel.ini"}), u"\u00c4PFEL.INI")) << "another letter";

  // The records' names reach the comparison as they were recorded, in the
  // walk's order, and only those of the watched name's length.
  FoldingComparison recording;
  EXPECT_TRUE(Matches(Batch({u"A.TMP", u"StAvOrA.iNi"}), kIniName, recording));
  EXPECT_EQ((std::vector<WString>{u"StAvOrA.iNi"}), recording.given);
}

// A save made through the file's short name is recorded under that name
// (FILE_NOTIFY_INFORMATION: "the file name ... can be in either the long or
// short format"): the short name the file system gave the watched file names
// it as well, compared by the same rule; another file's does not.
TEST(ChangesNameFile, TheFilesShortNameNamesItToo) {
  const WString longName = u"VENDARA SETTINGS.INI";
  FoldingComparison withShortName;
  withShortName.shortName = u"VENDAR~1.INI";
  EXPECT_TRUE(Matches(Batch({u"A.TMP", u"VENDAR~1.INI"}), longName, withShortName));
  EXPECT_TRUE(Matches(Batch({u"vendar~1.ini"}, 2), longName, withShortName)) << "packed, another case";
  EXPECT_TRUE(Matches(Batch({u"Vendara Settings.ini"}), longName, withShortName)) << "the long name still";
  EXPECT_FALSE(Matches(Batch({u"VENDAR~2.INI", u"VENDAR~1.IN"}), longName, withShortName)) << "other files";
  // Without a short name of its own, no short name matches.
  EXPECT_FALSE(Matches(Batch({u"VENDAR~1.INI"}), longName));
}

TEST(ChangesNameFile, RejectsPrefixesEitherWay) {
  EXPECT_FALSE(Matches(Batch({u"STAVORA.INI.BAK"})));
  EXPECT_FALSE(Matches(Batch({u"STAVORA.INI~"})));
  EXPECT_FALSE(Matches(Batch({u"STAVORA.IN"})));
  EXPECT_FALSE(Matches(Batch({u"STAVORA"})));
  EXPECT_FALSE(Matches(Batch({u"X"}), u"XY"));
  // A name holding the file name plus a terminator is still longer.
  EXPECT_FALSE(Matches(Batch({WString(u"STAVORA.INI\0", 12)})));
}

TEST(ChangesNameFile, FollowsNextEntryOffsets) {
  EXPECT_TRUE(Matches(Batch({u"A.TMP", u"stavora.ini"}))) << "second record";
  EXPECT_TRUE(Matches(Batch({u"A", u"BB.TXT", u"CCC", u"Stavora.Ini"}))) << "fourth, padded";
  EXPECT_TRUE(Matches(Batch({u"STAVORA.INI", u"stavora.ini", u"STAVORA.INI"})))
      << "several matches";
  EXPECT_FALSE(Matches(Batch({u"A.TMP", u"B.TMP", u"STAVORA.BAK"})));

  // Wine's packed layout: a rename over the INI file, offsets of 34.
  const Bytes packed = Batch({u"stavora.tmp", u"stavora.ini"}, 2);
  ASSERT_EQ(68u, packed.size());
  EXPECT_EQ(34, packed[0]);
  EXPECT_TRUE(Matches(packed));
  EXPECT_TRUE(Matches(Batch({u"A", u"stavora.ini"}, 2))) << "offset 14";

  // Offsets may leave a gap after a record; the walk goes by the offset.
  Bytes gapped;
  PutRecord(gapped, 0, 64, u"A.TMP");
  PutRecord(gapped, 64, 0, u"STAVORA.INI");
  EXPECT_TRUE(Matches(gapped));
}

TEST(ChangesNameFile, CountsEveryAction) {
  for (std::uint32_t action : {0u, 1u, 2u, 3u, 4u, 5u, 0xffffffffu}) {
    Bytes bytes;
    PutRecord(bytes, 0, 0, u"STAVORA.INI", action);
    EXPECT_TRUE(Matches(bytes)) << "action " << action;
  }
}

TEST(ChangesNameFile, EmptyInputsNeverMatch) {
  EXPECT_FALSE(Matches(Bytes(), 0)) << "zero bytes reported";
  EXPECT_FALSE(ChangesNameFile(nullptr, 0, kIniName, FoldingComparison()));
  EXPECT_FALSE(ChangesNameFile(nullptr, 100, kIniName, FoldingComparison()));

  // A path ending in a backslash leaves an empty file name: nothing matches
  // it, not even a record with an empty name.
  Bytes emptyName;
  PutRecord(emptyName, 0, 0, u"");
  EXPECT_EQ(kChangeRecordHeaderBytes, emptyName.size());
  EXPECT_FALSE(Matches(emptyName, u""));
  EXPECT_FALSE(Matches(Batch({u"STAVORA.INI"}), u""));
  EXPECT_FALSE(Matches(emptyName)) << "empty record name against STAVORA.INI";
}

TEST(ChangesNameFile, NeverReadsPastTheReportedBytes) {
  const Bytes whole = Batch({u"A.TMP", u"STAVORA.INI"});
  const std::size_t second = (kChangeRecordHeaderBytes + 10 + 3) / 4 * 4;
  ASSERT_EQ(second + kChangeRecordHeaderBytes + 22, whole.size());

  // Every cut short of the full batch leaves the matching record incomplete.
  for (std::size_t reported = 0; reported < whole.size(); ++reported) {
    EXPECT_FALSE(Matches(whole, reported)) << "reported " << reported << " of " << whole.size();
  }
  EXPECT_TRUE(Matches(whole, whole.size()));

  // Header cut short: fewer than 12 bytes.
  Bytes shortHeader;
  PutUInt32(shortHeader, 0, 0);
  PutUInt32(shortHeader, 4, 1);
  EXPECT_FALSE(Matches(shortHeader));

  // A name length far beyond the end, including one that would wrap a
  // 32-bit sum.
  for (std::uint32_t nameBytes : {24u, 1000u, 0xfffffff4u, 0xffffffffu}) {
    Bytes bytes;
    PutRecord(bytes, 0, 0, u"STAVORA.INI", 3, nameBytes);
    EXPECT_FALSE(Matches(bytes)) << "FileNameLength " << nameBytes;
  }

  // An offset that leads to or past the end, including a huge one.
  for (std::uint32_t next : {36u, 40u, 0x7ffffffcu, 0xfffffffcu}) {
    Bytes bytes;
    PutRecord(bytes, 0, next, u"A.TMP");
    bytes.resize(36);
    EXPECT_FALSE(Matches(bytes)) << "NextEntryOffset " << next;
  }

  // The second record's name crosses the end although its header fits.
  Bytes crossing;
  PutRecord(crossing, 0, 20, u"A.TMP");
  PutRecord(crossing, 20, 0, u"STAVORA.INI", 3, 200);
  EXPECT_FALSE(Matches(crossing));
}

TEST(ChangesNameFile, MalformedOffsetsEndTheWalk) {
  // Each batch holds a well-formed matching record that only a malformed
  // offset could lead to; reaching it would be a fault.
  struct Case {
    std::uint32_t next;
    std::size_t matchAt;
    const char* what;
  };
  const Case cases[] = {
      {0, 24, "zero offset on the first record"},
      {27, 27, "odd offset"},
      {4, 4, "offset inside the record's own header"},
      {12, 12, "offset inside the record's own name"},
  };
  for (const Case& c : cases) {
    Bytes bytes;
    PutRecord(bytes, 0, c.next, u"A.TMP");
    PutRecord(bytes, c.matchAt, 0, u"STAVORA.INI");
    EXPECT_FALSE(Matches(bytes)) << c.what;
  }

  // A chain whose offsets are all valid but long still ends.
  Bytes chain;
  for (std::size_t i = 0; i < 1000; ++i) PutRecord(chain, 16 * i, 16, u"B");
  PutRecord(chain, 16 * 1000, 0, u"STAVORA.INI");
  EXPECT_TRUE(Matches(chain));
}

}  // namespace
}  // namespace stavora
