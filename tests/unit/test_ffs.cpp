// The archive reader: the layout at the end of the executable, the
// descrambling and every way an archive is refused.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ffs.h"
#include "os.h"
#include "support.h"
#include "tessel-core.h"

namespace {

std::string LittleEndian(std::uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

std::string Scrambled(std::string bytes) {
  FfsDescramble(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<std::uint32_t>(bytes.size()));
  return bytes;
}

// Loads the file and gives the log of the attempt; the result in *loaded.
std::string InitLog(const std::string& exe, const std::string& name, std::int32_t* loaded) {
  std::string log = TempPath(name);
  StartLog(log, LogFile);
  *loaded = FfsInit(exe.c_str());
  StopLog();
  return LogText(log);
}

class Ffs : public testing::Test {
 protected:
  void SetUp() override { MemoryInit(kHeapNoLimit, 0); }
  void TearDown() override {
    FfsRemove();
    EXPECT_EQ(MemoryStatistics().bytesInUse, 0);
  }
};

}  // namespace

// An executable image carrying script as its archive, as an installer
// builder writes it: image, padding, tag, scrambled block, plain offset.
std::string ArchivedExecutable(const std::string& image, const std::string& script, std::size_t padding) {
  std::string head = image + std::string(padding, '\x80');
  std::string block = Scrambled(script + std::string(4, '\0'));
  block.replace(block.size() - 4, 4, LittleEndian(static_cast<std::uint32_t>(head.size())));
  return head + "FFS?" + block;
}

TEST(FfsDescramble, IsItsOwnInverseAndFollowsTheKey) {
  std::string plain;
  for (int i = 0; i < 600; ++i) plain += static_cast<char>(i * 37 + 11);
  std::string once = Scrambled(plain);
  EXPECT_NE(once, plain);
  EXPECT_EQ(Scrambled(once), plain);

  std::string zeros = Scrambled(std::string(300, '\0'));
  // i = k = 0: the key's first byte alone; i = 14, k = 0: key[0] ^ 14.
  EXPECT_EQ(static_cast<unsigned char>(zeros[0]), 'S');
  EXPECT_EQ(static_cast<unsigned char>(zeros[14]), 'S' ^ 14);
  EXPECT_EQ(static_cast<unsigned char>(zeros[13]), 'y');  // 13 ^ 13 = 0
  EXPECT_EQ(static_cast<unsigned char>(zeros[15]), 'a' ^ (15 ^ 1));
  // The low eight bits of i ^ k: 256 = 18 * 14 + 4.
  EXPECT_EQ(static_cast<unsigned char>(zeros[256]), static_cast<unsigned char>('l' ^ ((256 ^ 4) & 0xFF)));
}

TEST_F(Ffs, LoadsTheBlockWithItsTrailer) {
  std::string exe = TempPath("ffs-good.exe");
  std::string script =
      "\x16"
      "COMPANY NAME:Acme\r\n";
  std::string file = ArchivedExecutable(std::string(1000, 'M'), script, 3);
  WriteWholeFile(exe, file);
  std::int32_t loaded = 0;
  EXPECT_EQ(InitLog(exe, "ffs-good.log", &loaded), "Flat/Fast File System Initialized...\n");
  ASSERT_EQ(loaded, 1);

  std::uint32_t size = 0;
  EXPECT_EQ(FfsGetSize("install.dat", &size), 1);
  EXPECT_EQ(size, script.size() + 4);
  std::uint32_t other = 0;
  FfsGetSize("anything.else", &other);
  EXPECT_EQ(other, size);

  std::string block(size, '\0');
  EXPECT_EQ(FfsRead("install.dat", block.data(), size), 1);
  EXPECT_EQ(block.substr(0, script.size()), script);
  // The offset field is descrambled along with the rest.
  std::string trailer = LittleEndian(1003);
  std::string descrambled = Scrambled(std::string(script.size(), '\0') + trailer).substr(script.size());
  EXPECT_EQ(block.substr(script.size()), descrambled);

  // The file is no longer needed once loaded.
  OsDeleteFile(exe.c_str());
  std::string part(5, '\0');
  FfsRead("install.dat", part.data(), 5);
  EXPECT_EQ(part, script.substr(0, 5));
}

TEST_F(Ffs, TagJustBeforeTheOffsetGivesFourBytes) {
  std::string exe = TempPath("ffs-four.exe");
  WriteWholeFile(exe, ArchivedExecutable("MZ", "", 0));
  std::int32_t loaded = 0;
  InitLog(exe, "ffs-four.log", &loaded);
  ASSERT_EQ(loaded, 1);
  std::uint32_t size = 0;
  FfsGetSize("install.dat", &size);
  EXPECT_EQ(size, 4u);
  std::string block(4, '\0');
  FfsRead("install.dat", block.data(), 4);
  EXPECT_EQ(block, Scrambled(LittleEndian(2)));
}

TEST_F(Ffs, RefusesFilesWithoutAnArchive) {
  std::int32_t loaded = 9;
  std::string missing = TempPath("ffs-missing.exe");
  EXPECT_EQ(InitLog(missing, "ffs-missing.log", &loaded), "Couldn't open flat file '" + missing + "'!\n");
  EXPECT_EQ(loaded, 0);

  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"empty", ""},
      {"short", "ab"},
      {"zero", std::string(20, 'x') + LittleEndian(0)},
      {"at-size", std::string(20, 'x') + LittleEndian(24)},
      {"beyond", std::string(20, 'x') + LittleEndian(0xFFFFFFF0u)},
  };
  for (const Case& c : cases) {
    std::string exe = TempPath(std::string("ffs-") + c.name + ".exe");
    WriteWholeFile(exe, c.bytes);
    loaded = 9;
    EXPECT_EQ(InitLog(exe, std::string("ffs-") + c.name + ".log", &loaded),
              "File '" + exe + "' doesn't contain FFS data!\n")
        << c.name;
    EXPECT_EQ(loaded, 0) << c.name;
  }
}

TEST_F(Ffs, RefusesAWrongTag) {
  std::string exe = TempPath("ffs-tag.exe");
  // 'F' 'F' 'S' and a blank at offset 10 of a 30-byte file.
  WriteWholeFile(exe, std::string(10, 'x') + "FFS " + std::string(12, 'y') + LittleEndian(10));
  std::int32_t loaded = 9;
  EXPECT_EQ(InitLog(exe, "ffs-tag.log", &loaded), "FFS Does not contain proper tag (Read 10 from 26)!!!\n");
  EXPECT_EQ(loaded, 0);

  // A tag that would run into the end of the file cannot be read whole.
  std::string tail = TempPath("ffs-tag-tail.exe");
  WriteWholeFile(tail, std::string(10, 'x') + LittleEndian(12));
  EXPECT_EQ(InitLog(tail, "ffs-tag-tail.log", &loaded), "FFS Does not contain proper tag (Read 12 from 10)!!!\n");
  EXPECT_EQ(loaded, 0);
  std::uint32_t size = 7;
  FfsGetSize("install.dat", &size);
  EXPECT_EQ(size, 0u);
}

TEST_F(Ffs, RemoveLogsAlwaysAndInitReplacesAnOpenArchive) {
  std::string log = TempPath("ffs-remove.log");
  StartLog(log, LogFile);
  EXPECT_EQ(FfsRemove(), 1);
  std::string exe = TempPath("ffs-twice.exe");
  WriteWholeFile(exe, ArchivedExecutable("MZ", "first", 0));
  EXPECT_EQ(FfsInit(exe.c_str()), 1);
  WriteWholeFile(exe, ArchivedExecutable("MZ", "second!", 1));
  EXPECT_EQ(FfsInit(exe.c_str()), 1);
  std::uint32_t size = 0;
  FfsGetSize("install.dat", &size);
  EXPECT_EQ(size, 11u);
  EXPECT_EQ(FfsRemove(), 1);
  StopLog();
  EXPECT_EQ(MemoryStatistics().bytesInUse, 0);
  EXPECT_EQ(LogText(log),
            "Flat/Fast File System Removed...\nFlat/Fast File System Initialized...\n"
            "Flat/Fast File System Initialized...\nFlat/Fast File System Removed...\n");
}

TEST(FfsDeathTest, ReadBeyondTheBlockAndNullPointers) {
  std::string exe = TempPath("ffs-death.exe");
  WriteWholeFile(exe, ArchivedExecutable("MZ", "abc", 0));
  std::string log = TempPath("ffs-death.log");
  EXPECT_EXIT(
      {
        StartLog(log, LogFile);
        MemoryInit(kHeapNoLimit, 0);
        FfsInit(exe.c_str());
        char buffer[64];
        FfsRead("install.dat", buffer, 8);
      },
      testing::ExitedWithCode(1), "");
  EXPECT_NE(LogText(log).find("ASSERT:Flat file read beyond its end (8 > 7)\n       (ffs/"), std::string::npos);

  std::string nullLog = TempPath("ffs-null.log");
  EXPECT_EXIT(
      {
        StartLog(nullLog, LogFile);
        std::uint32_t size;
        FfsGetSize(nullptr, &size);
      },
      testing::ExitedWithCode(1), "");
  EXPECT_NE(LogText(nullLog).find("ASSERT:Pointer is NULL...\n       (ffs/"), std::string::npos);
}

TEST_F(Ffs, TheMakersKeyBeforeTheTagIsReadAndTheArchiveStaysTheSame) {
  const std::string key = "\x04" + std::string(64, 'k');
  const std::string script =
      "\x16"
      "COMPANY NAME:Acme\r\n";
  const struct {
    const char* what;
    std::string before;  // the bytes right before the tag
    bool hasKey;
    bool damaged;  // the marker is there, the key is not: never "no key"
  } cases[] = {
      {"a key", key + LittleEndian(65) + "UKEY", true, false},
      {"no key", "", false, false},
      {"another length", key + LittleEndian(64) + "UKEY", false, true},
      {"another marker", key + LittleEndian(65) + "UKEZ", false, false},
      {"a marker without room for its key", LittleEndian(65) + "UKEY", false, true},
      {"no uncompressed point", "\x02" + std::string(64, 'k') + LittleEndian(65) + "UKEY", false, true},
  };
  for (const auto& c : cases) {
    const std::string exe = TempPath("keyed.exe");
    WriteWholeFile(exe, ArchivedExecutable("MZ image" + c.before, script, 0));
    std::int32_t loaded = 0;
    InitLog(exe, "keyed.log", &loaded);
    ASSERT_EQ(loaded, 1) << c.what;
    std::uint32_t size = 0;
    FfsGetSize("install.dat", &size);
    EXPECT_EQ(size, script.size() + 4) << c.what;
    unsigned char read[FfsUpdateKeySize] = {};
    EXPECT_EQ(FfsUpdateKey(read), c.hasKey ? 1 : 0) << c.what;
    EXPECT_EQ(FfsUpdateKeyDamaged(), c.damaged ? 1 : 0) << c.what;
    if (c.hasKey) {
      EXPECT_EQ(std::string(reinterpret_cast<char*>(read), sizeof read), key) << c.what;
    }
    FfsRemove();
    EXPECT_EQ(FfsUpdateKey(read), 0) << "released with the archive";
    EXPECT_EQ(FfsUpdateKeyDamaged(), 0) << "released with the archive";
  }
}

namespace {

// The headers of a PE program, 32-bit (PE32) or 64-bit (PE32+), with 16
// data directories, all empty.
std::string PeImage(bool plus) {
  std::string image = "MZ" + std::string(0x3A, '\0') + LittleEndian(0x40) + std::string("PE\0\0", 4);
  const std::size_t optionalSize = plus ? 240 : 224;
  std::string fileHeader(20, '\0');
  fileHeader[0] = plus ? '\x64' : '\x4C';
  fileHeader[1] = plus ? '\x86' : '\x01';
  fileHeader[16] = static_cast<char>(optionalSize);
  std::string optional(optionalSize, '\0');
  optional[0] = '\x0B';
  optional[1] = plus ? '\x02' : '\x01';
  optional.replace(plus ? 108 : 92, 4, LittleEndian(16));
  return image + fileHeader + optional + std::string(64, 'i');
}

// Where the security directory (data directory 4) of PeImage stands.
std::size_t SecurityEntry(bool plus) { return 0x40 + 24 + (plus ? 112 : 96) + 4 * 8; }

// The file with a certificate table of tableSize bytes appended, and the
// security directory naming offset and size.
std::string WithTable(std::string file, bool plus, std::uint32_t tableSize, std::uint32_t offset, std::uint32_t size) {
  std::string table = LittleEndian(tableSize) + std::string("\x00\x02\x02\x00", 4);
  table += std::string(tableSize - table.size(), 'c');
  file.replace(SecurityEntry(plus), 8, LittleEndian(offset) + LittleEndian(size));
  return file + table;
}

}  // namespace

TEST_F(Ffs, TheArchiveEndsWhereTheCertificateTableBegins) {
  const std::string script =
      "\x16"
      "COMPANY NAME:Acme\r\n";
  // The maker's update key stays right before the tag, inside the signed part.
  const std::string key = "\x04" + std::string(64, 'k');
  for (bool plus : {false, true}) {
    const std::string archived = ArchivedExecutable(PeImage(plus) + key + LittleEndian(65) + "UKEY", script, 0);
    const auto at = static_cast<std::uint32_t>(archived.size());
    const std::string exe = TempPath("signed.exe");
    WriteWholeFile(exe, WithTable(archived, plus, 1000, at, 1000));
    std::int32_t loaded = 0;
    EXPECT_EQ(InitLog(exe, "signed.log", &loaded), "Flat/Fast File System Initialized...\n") << plus;
    ASSERT_EQ(loaded, 1) << plus;
    std::uint32_t size = 0;
    FfsGetSize("install.dat", &size);
    ASSERT_EQ(size, script.size() + 4) << plus;
    std::string block(size, '\0');
    FfsRead("install.dat", block.data(), size);
    EXPECT_EQ(block.substr(0, script.size()), script) << plus;
    unsigned char read[FfsUpdateKeySize] = {};
    ASSERT_EQ(FfsUpdateKey(read), 1) << plus;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(read), sizeof read), key) << plus;
    FfsRemove();
  }
}

TEST_F(Ffs, ASecurityDirectoryThatNamesNoTableAtTheEndIsADamagedArchive) {
  const std::string script =
      "\x16"
      "COMPANY NAME:Acme\r\n";
  const std::string archived = ArchivedExecutable(PeImage(false), script, 0);
  const auto at = static_cast<std::uint32_t>(archived.size());
  const std::uint32_t file = at + 64;
  const struct {
    const char* what;
    std::string bytes;
    std::uint32_t offset, size;
  } cases[] = {
      {"past the end of the file", WithTable(archived, false, 64, at, 72), at, 72},
      {"beyond the file", WithTable(archived, false, 64, file + 8, 64), file + 8, 64},
      {"not at the end", WithTable(archived, false, 64, at, 64) + std::string(8, 'x'), at, 64},
      {"overlapping the archive", WithTable(archived, false, 64, at - 8, 72), at - 8, 72},
      {"an empty table", WithTable(archived, false, 64, at, 0), at, 0},
      // A second archive where the table should be: the first one must not
      // be taken for the program's.
      {"no certificate table",
       [&] {
         std::string second = ArchivedExecutable("", script, 4);
         std::string bytes = archived + second;
         bytes.replace(SecurityEntry(false), 8,
                       LittleEndian(at) + LittleEndian(static_cast<std::uint32_t>(second.size())));
         return bytes;
       }(),
       at, static_cast<std::uint32_t>(ArchivedExecutable("", script, 4).size())},
  };
  for (const auto& c : cases) {
    const std::string exe = TempPath("damaged-signature.exe");
    WriteWholeFile(exe, c.bytes);
    std::int32_t loaded = 9;
    EXPECT_EQ(InitLog(exe, "damaged-signature.log", &loaded),
              "Couldn't find the certificate table of '" + exe + "' (" + std::to_string(c.size) + " bytes at " +
                  std::to_string(c.offset) + ", file of " + std::to_string(c.bytes.size()) + " bytes)!\n")
        << c.what;
    EXPECT_EQ(loaded, 0) << c.what;
    std::uint32_t size = 7;
    FfsGetSize("install.dat", &size);
    EXPECT_EQ(size, 0u) << c.what;
  }
}

TEST_F(Ffs, ADirectoryThePeDoesNotHaveIsNotRead) {
  // Four data directories: the bytes where the fifth would be are the
  // section table's, whatever they hold.
  std::string image = PeImage(false);
  image.replace(0x40 + 24 + 92, 4, LittleEndian(4));
  image.replace(SecurityEntry(false), 8, LittleEndian(8) + LittleEndian(8));
  const std::string exe = TempPath("four-directories.exe");
  WriteWholeFile(exe, ArchivedExecutable(image, "\x16INSTALL:\r\n", 0));
  std::int32_t loaded = 0;
  EXPECT_EQ(InitLog(exe, "four-directories.log", &loaded), "Flat/Fast File System Initialized...\n");
  EXPECT_EQ(loaded, 1);
}
