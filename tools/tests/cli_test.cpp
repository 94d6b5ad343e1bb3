#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "cli.h"
#include "ffsformat.h"
#include "scriptsource.h"
#include "signing.h"

namespace fs = std::filesystem;

namespace {

class Cli : public ::testing::Test {
 protected:
  fs::path dir;
  std::string out, err;

  void SetUp() override {
    std::random_device rd;
    dir = fs::temp_directory_path() / ("ffsbuild-test-" + std::to_string(rd()));
    fs::create_directories(dir);
    Write("Uninstall.exe", Program(0x14C));
    fs::permissions(P("Uninstall.exe"), fs::perms::owner_exec, fs::perm_options::add);
    Write("viewer.txt", kSource);
  }
  void TearDown() override { fs::remove_all(dir); }

  static constexpr const char* kSource =
      "# Viewer\n"
      "COMPANY NAME: Acme\n"
      "PRODUCT NAME: Viewer\n"
      "REGISTRY PATH: Software\\Acme\\Viewer\n"
      "INSTALL DIR: Acme Viewer\n"
      "INSTALL PATH:\n"
      "FILE LIST: bin\\viewer.exe,\n"
      "           bin\\viewshell.dll\n"
      "UNINSTALL NAME: Uninstall.exe\n"
      "INSTALL:\n"
      "DONE:\n";

  // A stand-in for the uninstaller: a PE header for the machine, the
  // program's own text, and 30000 bytes in all.
  static std::string Program(unsigned machine, bool marked = true) {
    std::string image = "MZ";
    image.resize(0x3C, '\0');
    image += std::string("\x40\0\0\0PE\0\0", 8);
    image += static_cast<char>(machine & 0xFF);
    image += static_cast<char>(machine >> 8);
    if (marked) image += std::string(ffsfmt::kProgramMark);
    std::mt19937 rng(5);
    while (image.size() < 30002) image += static_cast<char>(rng());
    return image;
  }
  std::string P(const std::string& name) const { return (dir / name).string(); }
  void Write(const std::string& name, const std::string& data) const {
    std::ofstream(dir / name, std::ios::binary) << data;
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(dir / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  int Run(std::vector<std::string> args) {
    std::ostringstream o, e;
    const int code = ffsbuild::Run(args, o, e);
    out = o.str();
    err = e.str();
    return code;
  }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(Cli, BuildThenVerifyListExtract) {
  ASSERT_EQ(Run({"build", "--exe", P("Uninstall.exe"), P("viewer.txt"), "-o", P("Viewer-Uninstall.exe")}), 0) << err;
  EXPECT_EQ(err, "");
  EXPECT_EQ(Run({"verify", P("Viewer-Uninstall.exe")}), 0) << err;
  EXPECT_NE(out.find("archive OK, 9 commands"), std::string::npos) << out;

  ASSERT_EQ(Run({"list", P("Viewer-Uninstall.exe")}), 0) << err;
  EXPECT_NE(out.find("commands:     9"), std::string::npos) << out;
  EXPECT_NE(out.find("tag offset:   3000"), std::string::npos) << out;  // 30002 plus padding

  ASSERT_EQ(Run({"compile", P("viewer.txt"), "-o", P("install.dat")}), 0) << err;
  ASSERT_EQ(Run({"extract", P("Viewer-Uninstall.exe"), "-o", P("extracted.dat")}), 0) << err;
  EXPECT_EQ(Read("extracted.dat").substr(0, Read("install.dat").size()), Read("install.dat"));

  ASSERT_EQ(Run({"extract", P("Viewer-Uninstall.exe"), "--source"}), 0) << err;
  Write("again.txt", out);
  ASSERT_EQ(Run({"compile", P("again.txt"), "-o", P("again.dat")}), 0) << err;
  EXPECT_EQ(Read("again.dat"), Read("install.dat"));

  // The output keeps the executable's permissions.
  EXPECT_NE(fs::status(P("Viewer-Uninstall.exe")).permissions() & fs::perms::owner_exec, fs::perms::none);
}

TEST_F(Cli, AppendTakesBinaryOrSource) {
  ASSERT_EQ(Run({"compile", P("viewer.txt"), "-o", P("install.dat")}), 0) << err;
  ASSERT_EQ(Run({"append", "--exe", P("Uninstall.exe"), "--script", P("install.dat"), "-o", P("a.exe")}), 0) << err;
  ASSERT_EQ(Run({"append", "--exe", P("Uninstall.exe"), "--script", P("viewer.txt"), "-o", P("b.exe")}), 0) << err;
  EXPECT_EQ(Read("a.exe"), Read("b.exe"));
  // A damaged install.dat is not appended.
  Write("bad.dat",
        "\x16"
        "INSTALL:\r\n\x16"
        "NOPE:\r\n");
  EXPECT_EQ(Run({"append", "--exe", P("Uninstall.exe"), "--script", P("bad.dat"), "-o", P("c.exe")}), 1);
  EXPECT_EQ(err, "ffsbuild: install.dat: offset 0xB: unknown keyword 'NOPE'\n");
  EXPECT_FALSE(fs::exists(P("c.exe")));
}

TEST_F(Cli, RefusesExecutableWithArchiveUnlessReplace) {
  ASSERT_EQ(Run({"build", "--exe", P("Uninstall.exe"), P("viewer.txt"), "-o", P("v.exe")}), 0) << err;
  EXPECT_EQ(Run({"build", "--exe", P("v.exe"), P("viewer.txt"), "-o", P("w.exe")}), 1);
  EXPECT_NE(err.find("already carries an archive"), std::string::npos) << err;
  EXPECT_FALSE(fs::exists(P("w.exe")));

  Write("other.txt", "COMPANY NAME: Other\nINSTALL:\n");
  ASSERT_EQ(Run({"build", "--exe", P("v.exe"), P("other.txt"), "-o", P("v.exe"), "--replace"}), 0) << err;
  ASSERT_EQ(Run({"extract", P("v.exe"), "--source"}), 0);
  EXPECT_EQ(out, "COMPANY NAME: Other\nINSTALL:\n");
  EXPECT_EQ(Run({"verify", P("v.exe")}), 0) << err;
}

TEST_F(Cli, FailedCompileLeavesNoOutput) {
  Write("broken.txt", "COMPANY NAME: Acme\n# remark\nFOO: bar\n");
  Write("keep.dat", "previous");
  EXPECT_EQ(Run({"compile", P("broken.txt"), "-o", P("keep.dat")}), 1);
  EXPECT_EQ(err, "ffsbuild: line 3: unknown keyword 'FOO'\n");
  EXPECT_EQ(Read("keep.dat"), "previous");
  EXPECT_EQ(Run({"build", "--exe", P("Uninstall.exe"), P("broken.txt"), "-o", P("out.exe")}), 1);
  EXPECT_EQ(Run({"compile", P("broken.txt"), "-o", P("new.dat")}), 1);
  EXPECT_EQ(Entries(), (std::vector<std::string>{"Uninstall.exe", "broken.txt", "keep.dat", "viewer.txt"}));
  // An output that cannot be written leaves nothing behind either.
  EXPECT_EQ(Run({"compile", P("viewer.txt"), "-o", P("no/such/dir/x.dat")}), 1);
  EXPECT_NE(err.find("cannot write"), std::string::npos);
}

TEST_F(Cli, VerifyFindsDamage) {
  EXPECT_EQ(Run({"verify", P("Uninstall.exe")}), 1);
  EXPECT_NE(err.find("no archive"), std::string::npos) << err;
  ASSERT_EQ(Run({"build", "--exe", P("Uninstall.exe"), P("viewer.txt"), "-o", P("v.exe")}), 0);
  std::string file = Read("v.exe");
  const auto t =
      ffsfmt::LocateArchive(std::span(reinterpret_cast<const std::uint8_t*>(file.data()), file.size())).tagOffset;
  file[t + 4 + 3] ^= 0x20;  // a byte of the first command's keyword
  Write("damaged.exe", file);
  EXPECT_EQ(Run({"verify", P("damaged.exe")}), 1);
  EXPECT_NE(err.find("script offset 0x0: unknown keyword"), std::string::npos) << err;
  file[t] = 'G';
  Write("untagged.exe", file);
  EXPECT_EQ(Run({"verify", P("untagged.exe")}), 1);
  EXPECT_NE(err.find("tag"), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
}

// A program osslsigncode can sign: PE32 headers with 16 empty data
// directories, the program's own text, 30000 bytes in all.
std::string SignablePe() {
  std::string b(0x40 + 24 + 224, '\0');
  b[0] = 'M', b[1] = 'Z', b[0x3C] = 0x40;
  b.replace(0x40, 4, std::string("PE\0\0", 4));
  b[0x40 + 4] = 0x4C, b[0x40 + 5] = 0x01, b[0x40 + 20] = static_cast<char>(224);
  b[0x40 + 24] = 0x0B, b[0x40 + 25] = 0x01, b[0x40 + 24 + 92] = 16;
  b += std::string(ffsfmt::kProgramMark);
  b.resize(30000, 'i');
  return b;
}

// The maker's workflow with Debian's osslsigncode and a certificate made
// for the test: build, sign, verify; a changed script byte breaks the
// signature; building again on the signed file takes the signature off.
TEST_F(Cli, SignedWithOsslsigncode) {
  auto sh = [&](const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); };
  ASSERT_EQ(sh("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/CN=Acme Software Ltd' -addext "
               "extendedKeyUsage=codeSigning -keyout '" +
               P("maker.key") + "' -out '" + P("maker.pem") + "'"),
            0);
  auto sign = [&](const std::string& in, const std::string& out) {
    return sh("osslsigncode sign -certs '" + P("maker.pem") + "' -key '" + P("maker.key") +
              "' -h sha256 -n 'Acme Viewer' -in '" + P(in) + "' -out '" + P(out) + "'");
  };
  auto verifies = [&](const std::string& name) {
    return sh("osslsigncode verify -CAfile '" + P("maker.pem") + "' -in '" + P(name) + "'") == 0;
  };
  Write("pe.exe", SignablePe());
  ASSERT_EQ(Run({"keygen", "-o", P("updates")}), 0) << err;
  ASSERT_EQ(Run({"build", "--exe", P("pe.exe"), P("viewer.txt"), "--update-key", P("updates.pub"), "-o", P("v.exe")}),
            0)
      << err;
  ASSERT_EQ(sign("v.exe", "signed.exe"), 0);
  EXPECT_TRUE(verifies("signed.exe"));
  const std::string signedFile = Read("signed.exe");
  EXPECT_EQ(ffsfmt::FindCertificateTable(
                std::span(reinterpret_cast<const std::uint8_t*>(signedFile.data()), signedFile.size()))
                .offset,
            Read("v.exe").size())
      << "the signer added nothing between the archive and its table";

  ASSERT_EQ(Run({"verify", P("signed.exe")}), 0) << err;
  EXPECT_NE(out.find("archive OK, 9 commands"), std::string::npos) << out;
  EXPECT_NE(out.find(", signed (certificate table of "), std::string::npos) << out;
  EXPECT_NE(out.find("lies inside the signed part)"), std::string::npos) << out;
  EXPECT_EQ(err, "");
  ASSERT_EQ(Run({"list", P("signed.exe")}), 0) << err;
  EXPECT_NE(out.find("signature:    signed (certificate table of "), std::string::npos) << out;
  // The update key stays right before the tag, where the program reads it.
  EXPECT_NE(out.find("update key:   P-256, fingerprint"), std::string::npos) << out;
  ASSERT_EQ(Run({"extract", P("signed.exe"), "-o", P("from-signed.dat")}), 0) << err;
  ASSERT_EQ(Run({"extract", P("v.exe"), "-o", P("from-unsigned.dat")}), 0) << err;
  EXPECT_EQ(Read("from-signed.dat"), Read("from-unsigned.dat"));

  // One byte of the script: the signature no longer holds.
  std::string changed = Read("signed.exe");
  const auto info =
      ffsfmt::LocateArchive(std::span(reinterpret_cast<const std::uint8_t*>(changed.data()), changed.size()));
  changed[info.tagOffset + 4 + 3] ^= 0x20;
  Write("changed.exe", changed);
  EXPECT_FALSE(verifies("changed.exe"));

  // Built again on the signed file: no signature, and verify says so.
  Write("other.txt", "COMPANY NAME: Other\nINSTALL:\n");
  ASSERT_EQ(Run({"build", "--exe", P("signed.exe"), P("other.txt"), "-o", P("rebuilt.exe"), "--replace", "--update-key",
                 P("updates.pub")}),
            0)
      << err;
  EXPECT_NE(err.find("was signed; " + P("rebuilt.exe") + " is not"), std::string::npos) << err;
  EXPECT_NE(err.find("Sign " + P("rebuilt.exe") + " again."), std::string::npos) << err;
  ASSERT_EQ(Run({"verify", P("rebuilt.exe")}), 0) << err;
  EXPECT_NE(out.find(", not signed\n"), std::string::npos) << out;
  EXPECT_FALSE(verifies("rebuilt.exe"));
  ASSERT_EQ(Run({"list", P("rebuilt.exe")}), 0) << err;
  EXPECT_NE(out.find("signature:    not signed\n"), std::string::npos) << out;
  EXPECT_NE(out.find("update key:   P-256, fingerprint"), std::string::npos) << out;
  ASSERT_EQ(Run({"append", "--exe", P("signed.exe"), "--script", P("other.txt"), "-o", P("appended.exe"), "--replace",
                 "--update-key", P("updates.pub")}),
            0);
  EXPECT_EQ(Read("appended.exe"), Read("rebuilt.exe"));
  // Signed again, it verifies.
  ASSERT_EQ(sign("rebuilt.exe", "resigned.exe"), 0);
  EXPECT_TRUE(verifies("resigned.exe"));
}

TEST_F(Cli, VerifyWarnsOfAFileASignerWouldPad) {
  ASSERT_EQ(Run({"build", "--exe", P("Uninstall.exe"), P("viewer.txt"), "-o", P("v.exe")}), 0) << err;
  ASSERT_EQ(Run({"verify", P("v.exe")}), 0);
  EXPECT_EQ(err, "");
  // As an older builder left it: three more bytes of padding before the tag.
  std::string file = Read("v.exe");
  const auto t =
      ffsfmt::LocateArchive(std::span(reinterpret_cast<const std::uint8_t*>(file.data()), file.size())).tagOffset;
  file.insert(t, "\x83\x82\x81");
  for (int i = 0; i < 4; ++i) file[file.size() - 4 + i] = static_cast<char>((t + 3) >> (8 * i));
  Write("old.exe", file);
  ASSERT_EQ(Run({"verify", P("old.exe")}), 0) << err;
  EXPECT_NE(err.find("no multiple of 8: a signer would pad it"), std::string::npos) << err;
}

TEST_F(Cli, UsageAndHelp) {
  EXPECT_EQ(Run({"--help"}), 0);
  EXPECT_NE(out.find("usage: ffsbuild"), std::string::npos);
  EXPECT_EQ(Run({}), 2);
  EXPECT_EQ(Run({"frobnicate"}), 2);
  EXPECT_EQ(Run({"compile", P("viewer.txt")}), 2);  // no -o
  EXPECT_EQ(Run({"compile", P("viewer.txt"), "-o"}), 2);
  EXPECT_EQ(Run({"build", P("viewer.txt"), "-o", P("x.exe")}), 2);  // no --exe
  EXPECT_EQ(Run({"list", "--bogus", P("x")}), 2);
  EXPECT_EQ(Run({"compile", P("missing.txt"), "-o", P("x.dat")}), 1);
  EXPECT_EQ(err, "ffsbuild: cannot read '" + P("missing.txt") + "': no such file\n");
}

// The sample product compiles cleanly, names every property keyword, and its
// file list is the list of files the demo installs.
TEST(Example, ViewerScriptMatchesItsFiles) {
  const fs::path base = fs::path(FFSBUILD_EXAMPLES_DIR) / "viewer";
  std::ifstream src(base / "viewer.script.txt", std::ios::binary);
  ASSERT_TRUE(src) << base;
  const std::string text(std::istreambuf_iterator<char>(src), {});
  const auto r = script::CompileSource(text);
  ASSERT_TRUE(r.ok) << "line " << r.error.line << ": " << r.error.message;
  for (const auto& w : r.warnings) ADD_FAILURE() << "line " << w.line << ": " << w.message;

  std::map<std::string, std::vector<const script::Command*>> by;
  for (const auto& c : r.commands) by[c.keyword].push_back(&c);
  for (const char* k : {"COMPANY NAME", "PRODUCT NAME", "PRODUCT VERSION", "TEXT", "FILE LIST", "LISTSERVER",
                        "UPDATE URL", "REGISTRY PATH", "INSTALL SIZE", "INSTALL NAME", "UNINSTALL NAME", "INSTALL DIR",
                        "INSTALL PATH", "CREATE GROUP", "OLE", "INSTALL", "DONE"})
    EXPECT_EQ(by[k].size(), 1u) << k;
  EXPECT_EQ(by["COMPANY NAME"][0]->args[0], "Acme");
  EXPECT_EQ(by["PRODUCT NAME"][0]->args[0], "Viewer");
  EXPECT_EQ(by["CREATE GROUP"][0]->args[0], "Acme\\Viewer");
  EXPECT_EQ(by["OLE"][0]->args, (std::vector<std::string>{"REGISTER", "bin\\viewshell.dll"}));
  ASSERT_EQ(by["ADD ITEM"].size(), 3u);
  int registerItems = 0;
  for (const auto* c : by["ADD ITEM"]) registerItems += c->args[2] == "-Register";
  EXPECT_EQ(registerItems, 1);
  EXPECT_EQ(r.commands.back().keyword, "DONE");

  std::ifstream list(base / "files.txt");
  std::vector<std::string> files;
  for (std::string line; std::getline(list, line);)
    if (!line.empty()) files.push_back(line);
  std::vector<std::string> listed;
  std::stringstream entries(by["FILE LIST"][0]->args[0]);
  for (std::string e; std::getline(entries, e, ',');) listed.push_back(e);
  EXPECT_EQ(listed, files);
  EXPECT_GE(files.size(), 20u);
  EXPECT_NE(std::find(files.begin(), files.end(), "bin\\viewshell.dll"), files.end());
}

TEST_F(Cli, RefusesAnExecutableThatIsNoUninstaller) {
  std::string elf =
      "\x7F"
      "ELF" +
      std::string(ffsfmt::kProgramMark) + std::string(200, 'e');
  Write("host-program", elf);
  Write("x86-64.exe", Program(0x8664));
  EXPECT_EQ(Run({"build", "--exe", P("host-program"), P("viewer.txt"), "-o", P("ok1.exe")}), 0) << err;
  EXPECT_EQ(Run({"build", "--exe", P("x86-64.exe"), P("viewer.txt"), "-o", P("ok2.exe")}), 0) << err;

  const struct {
    const char* name;
    std::string image;
    const char* says;
  } cases[] = {
      {"text.exe", std::string(kSource), "is no program"},
      {"arm.exe", Program(0x1C4), "another processor (machine 0x01C4)"},
      {"other.exe", Program(0x14C, false), "not the uninstaller of either build"},
      {"elf",
       "\x7F"
       "ELF" +
           std::string(200, 'e'),
       "not the uninstaller of either build"},
      {"mz.exe", "MZ" + std::string(200, '\0'), "no PE header"},
      {"short.exe", "MZ", "is no program"},
  };
  for (const auto& c : cases) {
    Write(c.name, c.image);
    EXPECT_EQ(Run({"build", "--exe", P(c.name), P("viewer.txt"), "-o", P("out.exe")}), 1) << c.name;
    EXPECT_NE(err.find(c.says), std::string::npos) << c.name << ": " << err;
    EXPECT_EQ(Run({"append", "--exe", P(c.name), "--script", P("viewer.txt"), "-o", P("out.exe")}), 1) << c.name;
    EXPECT_FALSE(fs::exists(P("out.exe"))) << c.name;
  }
}

TEST_F(Cli, SigningInFiveCommands) {
  ASSERT_EQ(Run({"keygen", "-o", P("maker")}), 0) << err;
  EXPECT_EQ(fs::status(P("maker.key")).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  const std::string key = Read("maker.key");
  EXPECT_EQ(Run({"keygen", "-o", P("maker")}), 1);
  EXPECT_EQ(Read("maker.key"), key) << "overwritten without --force";
  ASSERT_EQ(Run({"keygen", "-o", P("maker"), "--force"}), 0) << err;
  EXPECT_NE(Read("maker.key"), key);

  // The key rides in front of the tag; a replaced archive takes its key along.
  Write("updating.txt", std::string(kSource) + "UPDATE URL: http://h/versions.txt\n");
  ASSERT_EQ(Run({"build", "--exe", P("Uninstall.exe"), P("updating.txt"), "-o", P("plain.exe")}), 0) << err;
  EXPECT_NE(err.find("not be authenticated"), std::string::npos) << err;
  ASSERT_EQ(Run({"build", "--exe", P("plain.exe"), P("updating.txt"), "-o", P("keyed.exe"), "--replace", "--update-key",
                 P("maker.pub")}),
            0)
      << err;
  EXPECT_EQ(err, "");
  ASSERT_EQ(Run({"build", "--exe", P("keyed.exe"), P("updating.txt"), "-o", P("again.exe"), "--replace", "--update-key",
                 P("maker.pub")}),
            0);
  EXPECT_EQ(Read("again.exe"), Read("keyed.exe"));
  const std::string image = Read("keyed.exe");
  const auto archive =
      ffsfmt::ReadArchive(std::span(reinterpret_cast<const std::uint8_t*>(image.data()), image.size()));
  ASSERT_TRUE(archive.ok);
  std::string why;
  EXPECT_EQ(archive.info.updateKey, signing::PublicPoint(Read("maker.pub"), &why));
  ASSERT_EQ(Run({"list", P("keyed.exe")}), 0);
  EXPECT_NE(out.find("update key:   P-256, fingerprint "), std::string::npos) << out;
  ASSERT_EQ(Run({"verify", P("plain.exe")}), 0);
  EXPECT_NE(out.find("update key none"), std::string::npos) << out;
  EXPECT_EQ(
      Run({"build", "--exe", P("Uninstall.exe"), P("viewer.txt"), "-o", P("x.exe"), "--update-key", P("maker.key")}),
      1);

  Write("setup.exe", "MZ the new installer");
  ASSERT_EQ(Run({"sign", "--key", P("maker.key"), "--entry", "Acme Viewer", "--version", "2.5", P("setup.exe")}), 0)
      << err;
  ASSERT_EQ(out.substr(0, 2),
            "\x16"
            "5");
  ASSERT_EQ(out.size(), 2u + 88 + 2);
  const std::string signature = out.substr(2, 88);
  const std::string file = Read("setup.exe");
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(file.data()), file.size());
  EXPECT_TRUE(signing::Verify(Read("maker.pub"), "Acme Viewer", "2.5", bytes, signature));
  EXPECT_FALSE(signing::Verify(Read("maker.pub"), "Acme Viewer", "2.6", bytes, signature));

  Write("list.txt",
        "# the maker's products\n[Acme Viewer]\nversion: 2.5\npage: http://h/viewer/\nurl: http://h/setup.exe\n"
        "file: setup.exe\n");
  ASSERT_EQ(Run({"versionlist", P("list.txt"), "--key", P("maker.key"), "-o", P("versions.txt")}), 0) << err;
  const std::string list = Read("versions.txt");
  EXPECT_EQ(list.substr(0, list.find("\x16"
                                     "5")),
            "\x16"
            "1Acme Viewer\r\n\x16"
            "22.5\r\n\x16"
            "3http://h/viewer/\r\n\x16"
            "4http://h/setup.exe\r\n");
  const std::size_t at = list.find(
                             "\x16"
                             "5") +
                         2;
  EXPECT_TRUE(signing::Verify(Read("maker.pub"), "Acme Viewer", "2.5", bytes, list.substr(at, 88)));
  // The page's own signature follows: a keyed product opens no other page.
  ASSERT_EQ(list.substr(at + 88, 4),
            "\r\n\x16"
            "6");
  const std::string page = list.substr(at + 92, 88);
  EXPECT_TRUE(signing::VerifyPage(Read("maker.pub"), "Acme Viewer", "http://h/viewer/", page));
  EXPECT_FALSE(signing::VerifyPage(Read("maker.pub"), "Acme Viewer", "http://evil/viewer/", page));
  EXPECT_FALSE(signing::VerifyPage(Read("maker.pub"), "Acme Editor", "http://h/viewer/", page));
  EXPECT_EQ(list.substr(at + 180),
            "\r\n\x16"
            "0\r\n");
  ASSERT_EQ(Run({"sign", "--key", P("maker.key"), "--entry", "Acme Viewer", "--page", "http://h/viewer/"}), 0) << err;
  ASSERT_EQ(out.substr(0, 2),
            "\x16"
            "6");
  EXPECT_TRUE(signing::VerifyPage(Read("maker.pub"), "Acme Viewer", "http://h/viewer/", out.substr(2, 88)));
}

TEST(ListSource, RefusesWhatWouldMakeABrokenList) {
  const struct {
    const char* text;
    const char* says;
  } cases[] = {
      {"version: 2\n", "before the first"},
      {"[Acme Viewer]\nurl: http://h/s.exe\nfile: s.exe\n", "names no version"},
      {"[Acme Viewer]\nversion: 2\nfile: s.exe\n", "no installer url"},
      {"[Acme Viewer]\nversion: 2\nurl: http://h/s.exe\n", "no installer file"},
      {"[Acme Viewer]\nversion: 2\nversion: 3\n", "given twice"},
      {"[Acme Viewer]\ncolour: red\n", "unknown name"},
      {"[Acme Viewer\n", "[Company Product]"},
      {"[Acme Viewer]\nversion: 2\x16"
       "4\n",
       "control characters"},
      {"# nothing\n", "names no product"},
  };
  for (const auto& c : cases) {
    const auto r = signing::ParseListSource(c.text);
    EXPECT_FALSE(r.ok) << c.text;
    EXPECT_NE(r.problem.find(c.says), std::string::npos) << c.text << ": " << r.problem;
  }
}

}  // namespace
