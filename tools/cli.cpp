#include "cli.h"

#include <filesystem>
#include <fstream>
#include <iomanip>
#include <ostream>
#include <random>
#include <sstream>

#include "ffsformat.h"
#include "scriptsource.h"
#include "signing.h"

namespace ffsbuild {

namespace fs = std::filesystem;

namespace {

constexpr const char* kUsage =
    "usage: ffsbuild COMMAND [ARGUMENTS]\n"
    "\n"
    "  compile SOURCE -o install.dat\n"
    "      compile a script source into the binary install.dat\n"
    "  decompile install.dat [-o SOURCE]\n"
    "      turn install.dat back into source (to standard output without -o)\n"
    "  build --exe Uninstall.exe SOURCE -o OUT.exe [--replace] [--update-key maker.pub]\n"
    "      compile SOURCE and append it to a copy of the uninstaller (with the\n"
    "      maker's public key, the program installs only updates it signed)\n"
    "  append --exe Uninstall.exe --script FILE -o OUT.exe [--replace] [--update-key maker.pub]\n"
    "      append install.dat (or a source, recognised by its content)\n"
    "  list EXE\n"
    "      show where the archive of EXE stands and what it holds\n"
    "  extract EXE -o install.dat\n"
    "  extract EXE --source [-o SOURCE]\n"
    "      take the script out of EXE, binary or as source\n"
    "  verify EXE\n"
    "      check the archive of EXE and its script; exit code 0 or 1\n"
    "      (list and verify also say whether EXE is signed; build and append\n"
    "      take a signature off, as a new archive would break it: sign OUT.exe)\n"
    "  keygen -o maker [--force]\n"
    "      make the maker's key pair: maker.key (private, yours only) and maker.pub\n"
    "  sign --key maker.key --entry \"Company Product\" --version 2.5 setup.exe [--page URL]\n"
    "  sign --key maker.key --entry \"Company Product\" --page URL\n"
    "      print the signature records of an installer and of a web page for a version list\n"
    "  versionlist SOURCE --key maker.key -o versions.txt\n"
    "      write a whole version list, each installer signed, from a readable source\n"
    "\n"
    "  --replace   replace the archive an executable already carries\n"
    "  --force     let keygen replace an existing key pair\n"
    "  --help      show this text\n"
    "\n"
    "The source format is described in docs/builder.md.\n";

struct Options {
  std::string command;
  std::vector<std::string> positional;
  std::string output, exe, script, key, updateKey, entry, version, page;
  bool replace = false, source = false, help = false, force = false;
};

class Tool {
 public:
  Tool(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

  int Run(const std::vector<std::string>& args) {
    Options o;
    if (!Parse(args, o)) return 2;
    if (o.help || o.command.empty()) {
      (o.help ? out_ : err_) << kUsage;
      return o.help ? 0 : 2;
    }
    if (o.command == "compile") return Compile(o);
    if (o.command == "decompile") return DecompileCmd(o);
    if (o.command == "build" || o.command == "append") return Append(o);
    if (o.command == "list") return List(o);
    if (o.command == "extract") return Extract(o);
    if (o.command == "verify") return Verify(o);
    if (o.command == "keygen") return KeyGen(o);
    if (o.command == "sign") return SignCmd(o);
    if (o.command == "versionlist") return VersionList(o);
    return Usage("unknown command '" + o.command + "' (see ffsbuild --help)");
  }

 private:
  std::ostream& out_;
  std::ostream& err_;

  int Usage(const std::string& msg) {
    err_ << "ffsbuild: " << msg << "\n";
    return 2;
  }
  int Problem(const std::string& msg) {
    err_ << "ffsbuild: " << msg << "\n";
    return 1;
  }

  bool Parse(const std::vector<std::string>& args, Options& o) {
    for (std::size_t i = 0; i < args.size(); ++i) {
      const std::string& a = args[i];
      auto value = [&](std::string& into) {
        if (i + 1 == args.size()) {
          Usage("option '" + a + "' needs a value");
          return false;
        }
        into = args[++i];
        return true;
      };
      if (a == "--help" || a == "-h")
        o.help = true;
      else if (a == "-o" || a == "--output") {
        if (!value(o.output)) return false;
      } else if (a == "--exe") {
        if (!value(o.exe)) return false;
      } else if (a == "--script") {
        if (!value(o.script)) return false;
      } else if (a == "--key") {
        if (!value(o.key)) return false;
      } else if (a == "--update-key") {
        if (!value(o.updateKey)) return false;
      } else if (a == "--entry") {
        if (!value(o.entry)) return false;
      } else if (a == "--version") {
        if (!value(o.version)) return false;
      } else if (a == "--page") {
        if (!value(o.page)) return false;
      } else if (a == "--force")
        o.force = true;
      else if (a == "--replace")
        o.replace = true;
      else if (a == "--source")
        o.source = true;
      else if (a.size() > 1 && a[0] == '-') {
        Usage("unknown option '" + a + "'");
        return false;
      } else if (o.command.empty())
        o.command = a;
      else
        o.positional.push_back(a);
    }
    if (o.command == "help") o.help = true;
    return true;
  }

  // One input file argument, exactly.
  bool Single(const Options& o, std::string& path, const char* what) {
    if (o.positional.size() != 1) {
      Usage(o.command + " takes one " + what + " (see ffsbuild --help)");
      return false;
    }
    path = o.positional[0];
    return true;
  }

  bool ReadFile(const std::string& path, ffsfmt::Bytes& data) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
      Problem("cannot read '" + path + "': no such file");
      return false;
    }
    std::ifstream in(path, std::ios::binary);
    const auto size = fs::file_size(path, ec);
    data.resize(ec ? 0 : size);
    if (in) in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (ec || !in || static_cast<std::uintmax_t>(in.gcount()) != data.size()) {
      Problem("cannot read '" + path + "'");
      return false;
    }
    return true;
  }

  // Writes beside the output under a temporary name, then renames, so an
  // output file is either complete or untouched.
  // A secret's file gets its permissions before its content.
  bool WriteFile(const std::string& path, std::span<const std::uint8_t> data,
                 std::optional<fs::perms> perms = std::nullopt, bool secret = false) {
    const fs::path target(path);
    std::random_device rd;
    std::ostringstream suffix;
    suffix << std::hex << rd();
    const fs::path tmp = target.parent_path() / ("." + target.filename().string() + ".ffsbuild-" + suffix.str());
    std::error_code ec;
    if (secret) {
      std::ofstream(tmp, std::ios::binary | std::ios::trunc).close();
      fs::permissions(tmp, *perms, ec);
      if (ec) {
        fs::remove(tmp, ec);
        Problem("cannot write '" + path + "' readable by its owner only");
        return false;
      }
    }
    {
      std::ofstream o(tmp, std::ios::binary | (secret ? std::ios::app : std::ios::trunc));
      if (o) o.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
      if (o) o.close();
      if (!o) {
        fs::remove(tmp, ec);
        Problem("cannot write '" + path + "'");
        return false;
      }
    }
    if (perms) fs::permissions(tmp, *perms, ec);
    fs::rename(tmp, target, ec);
    if (ec) {
      fs::remove(tmp, ec);
      Problem("cannot write '" + path + "'");
      return false;
    }
    return true;
  }

  void Warn(const std::vector<script::Diagnostic>& ws) {
    for (const auto& w : ws)
      err_ << "ffsbuild: " << (w.line > 0 ? "line " + std::to_string(w.line) + ": " : "") << "warning: " << w.message
           << "\n";
  }

  // Source text to install.dat bytes; reports the first error.
  bool CompileText(const ffsfmt::Bytes& text, ffsfmt::Bytes& binary) {
    const auto r = script::CompileSource(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()));
    if (!r.ok) {
      Problem((r.error.line > 0 ? "line " + std::to_string(r.error.line) + ": " : "") + r.error.message);
      return false;
    }
    Warn(r.warnings);
    if (r.commands.empty()) {
      Problem("the source holds no commands");
      return false;
    }
    binary = script::Encode(r.commands);
    return true;
  }

  int Compile(const Options& o) {
    std::string src;
    if (!Single(o, src, "source file")) return 2;
    if (o.output.empty()) return Usage("compile needs -o install.dat");
    ffsfmt::Bytes text, binary;
    if (!ReadFile(src, text) || !CompileText(text, binary)) return 1;
    return WriteFile(o.output, binary) ? 0 : 1;
  }

  bool DecodeOrReport(std::span<const std::uint8_t> data, std::vector<script::Command>& cmds) {
    auto r = script::DecodeBinary(data);
    if (!r.ok) {
      Problem("install.dat: " + r.error);
      return false;
    }
    cmds = std::move(r.commands);
    return true;
  }

  int EmitSource(const Options& o, const std::vector<script::Command>& cmds) {
    const std::string text = script::Decompile(cmds);
    if (o.output.empty()) {
      out_ << text;
      return 0;
    }
    return WriteFile(o.output, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())) ? 0 : 1;
  }

  int DecompileCmd(const Options& o) {
    std::string dat;
    if (!Single(o, dat, "install.dat file")) return 2;
    ffsfmt::Bytes data;
    std::vector<script::Command> cmds;
    if (!ReadFile(dat, data) || !DecodeOrReport(data, cmds)) return 1;
    return EmitSource(o, cmds);
  }

  int Append(const Options& o) {
    std::string scriptPath = o.script;
    if (o.command == "build") {
      if (!o.script.empty()) return Usage("build takes a source file, not --script");
      if (!Single(o, scriptPath, "source file")) return 2;
    } else if (!o.positional.empty() || scriptPath.empty()) {
      return Usage("append needs --script FILE (see ffsbuild --help)");
    }
    if (o.exe.empty()) return Usage(o.command + " needs --exe Uninstall.exe");
    if (o.output.empty()) return Usage(o.command + " needs -o OUT.exe");

    ffsfmt::Bytes image, input, binary;
    if (!ReadFile(o.exe, image) || !ReadFile(scriptPath, input)) return 1;
    if (const std::string why = ffsfmt::WhyNotProgram(image); !why.empty())
      return Problem(o.exe + ": refused as --exe: " + why);
    // A compiled script starts with the command marker (after any line
    // ends); anything else is taken for source.
    std::size_t first = 0;
    while (first < input.size() && (input[first] == '\r' || input[first] == '\n')) ++first;
    if (o.command == "append" && first < input.size() && input[first] == script::kMarker) {
      std::vector<script::Command> cmds;
      if (!DecodeOrReport(input, cmds)) return 1;
      binary = std::move(input);
    } else if (!CompileText(input, binary)) {
      return 1;
    }
    ffsfmt::Bytes point;
    if (!o.updateKey.empty()) {
      ffsfmt::Bytes pem;
      if (!ReadFile(o.updateKey, pem)) return 1;
      std::string why;
      point = signing::PublicPoint(std::string(pem.begin(), pem.end()), &why);
      if (point.empty()) return Problem(o.updateKey + ": " + why);
    } else if (NamesUpdateUrl(binary)) {
      err_ << "ffsbuild: warning: no --update-key: the product's updates will not be authenticated, and whoever "
              "answers for its update server can have any program run\n";
    }
    const auto r = ffsfmt::AppendArchive(image, binary, o.replace, point);
    if (!r.ok) return Problem(o.exe + ": " + r.problem);
    std::error_code ec;
    const auto perms = fs::status(o.exe, ec).permissions();
    if (!WriteFile(o.output, r.file, ec ? std::nullopt : std::optional(perms))) return 1;
    if (r.removed.named)
      err_ << "ffsbuild: " << o.exe << " was signed; " << o.output << " is not: its certificate table ("
           << r.removed.size << " bytes at " << r.removed.offset
           << ") is cut and its security directory cleared, as the new archive would break the signature. Sign "
           << o.output << " again.\n";
    return 0;
  }

  // 0 when the archive is open, else the exit code.
  int OpenArchive(const Options& o, ffsfmt::Archive& a, std::string& path) {
    if (!Single(o, path, "executable")) return 2;
    ffsfmt::Bytes file;
    if (!ReadFile(path, file)) return 1;
    a = ffsfmt::ReadArchive(file);
    if (!a.ok) return Problem(path + ": " + a.problem);
    return 0;
  }

  int List(const Options& o) {
    ffsfmt::Archive a;
    std::string path;
    if (const int code = OpenArchive(o, a, path)) return code;
    const auto& i = a.info;
    out_ << "file size:    " << i.fileSize << " bytes\n"
         << "tag offset:   " << i.tagOffset << " (0x" << std::hex << std::uppercase << std::setw(8) << std::setfill('0')
         << i.tagOffset << std::dec << std::setfill(' ') << ")\n"
         << "padding:      " << i.padding << " bytes\n"
         << "block size:   " << i.blockSize << " bytes\n"
         << "script size:  " << a.script.size() << " bytes\n";
    const auto r = script::DecodeBinary(a.script);
    if (!r.ok) {
      out_ << "commands:     unreadable\n";
      return Problem(path + ": script " + r.error);
    }
    out_ << "commands:     " << r.commands.size() << "\n"
         << "update key:   " << KeyText(i) << "\n"
         << "signature:    " << SignatureText(i) << "\n";
    return 0;
  }

  int Extract(const Options& o) {
    ffsfmt::Archive a;
    std::string path;
    if (const int code = OpenArchive(o, a, path)) return code;
    if (o.source) {
      std::vector<script::Command> cmds;
      if (!DecodeOrReport(a.script, cmds)) return 1;
      return EmitSource(o, cmds);
    }
    if (o.output.empty()) return Usage("extract needs -o install.dat, or --source");
    return WriteFile(o.output, a.script) ? 0 : 1;
  }

  int Verify(const Options& o) {
    ffsfmt::Archive a;
    std::string path;
    if (const int code = OpenArchive(o, a, path)) return code;
    for (std::size_t j = 0; j < 4; ++j)
      if (a.trailer[j] == ffsfmt::kCommandMarker)
        return Problem(path + ": trailer byte " + std::to_string(j) +
                       " descrambles to the command marker; the program would read it as a command");
    const auto r = script::DecodeBinary(a.script);
    if (!r.ok) return Problem(path + ": script " + r.error);
    if (r.commands.empty()) return Problem(path + ": the script holds no commands");
    out_ << path << ": archive OK, " << r.commands.size() << " commands, script " << a.script.size()
         << " bytes at tag offset " << a.info.tagOffset << ", update key " << KeyText(a.info) << ", "
         << SignatureText(a.info) << "\n";
    if (!a.info.signature.named && a.info.fileSize % 8 != 0)
      err_ << "ffsbuild: warning: " << path << " is " << a.info.fileSize
           << " bytes long, no multiple of 8: a signer would pad it before its certificate table and the program "
              "would no longer find its archive; build it again with this ffsbuild before signing\n";
    return 0;
  }

  // Whether a compiled script has an UPDATE URL with a value.
  static bool NamesUpdateUrl(const ffsfmt::Bytes& binary) {
    const auto r = script::DecodeBinary(binary);
    for (const auto& c : r.commands)
      if (c.keyword == "UPDATE URL" && !c.args.empty() && !c.args[0].empty()) return true;
    return false;
  }

  // The key as list and verify show it: its fingerprint, the SHA-256 of
  // the point.
  static std::string KeyText(const ffsfmt::ArchiveInfo& info) {
    if (info.updateKey.empty()) return "none (updates are not authenticated)";
    return "P-256, fingerprint " + signing::Fingerprint(info.updateKey);
  }

  // Whether the file is signed, as list and verify show it. Only the
  // table's place is checked here; osslsigncode verify checks the signature.
  static std::string SignatureText(const ffsfmt::ArchiveInfo& info) {
    if (!info.signature.named) return "not signed";
    return "signed (certificate table of " + std::to_string(info.signature.size) + " bytes at " +
           std::to_string(info.signature.offset) + ", ending the file; the archive, bytes " +
           std::to_string(info.tagOffset) + " to " + std::to_string(info.archiveEnd) + ", lies inside the signed part)";
  }

  bool ReadText(const std::string& path, std::string& text) {
    ffsfmt::Bytes data;
    if (!ReadFile(path, data)) return false;
    text.assign(data.begin(), data.end());
    return true;
  }

  int KeyGen(const Options& o) {
    if (o.output.empty() || !o.positional.empty()) return Usage("keygen needs -o NAME (writes NAME.key and NAME.pub)");
    const std::string priv = o.output + ".key", pub = o.output + ".pub";
    std::error_code ec;
    if (!o.force && (fs::exists(priv, ec) || fs::exists(pub, ec)))
      return Problem("'" + priv + "' or '" + pub +
                     "' exists; a new key pair would orphan every product built with "
                     "the old one (use --force to replace it)");
    const auto pair = signing::GenerateKeyPair();
    if (!pair.ok) return Problem(pair.problem);
    const auto bytes = [](const std::string& t) {
      return std::span(reinterpret_cast<const std::uint8_t*>(t.data()), t.size());
    };
    if (!WriteFile(priv, bytes(pair.privatePem), fs::perms::owner_read | fs::perms::owner_write, true)) return 1;
    if (!WriteFile(pub, bytes(pair.publicPem))) return 1;
    out_ << "wrote " << priv << " (private: keep it to yourself) and " << pub << " (for ffsbuild build --update-key)\n";
    return 0;
  }

  int SignCmd(const Options& o) {
    // A page alone needs no installer.
    const bool pageOnly = !o.page.empty() && o.positional.empty() && o.version.empty();
    std::string file;
    if (!pageOnly && !Single(o, file, "installer file")) return 2;
    if (o.key.empty() || o.entry.empty() || (!pageOnly && o.version.empty()))
      return Usage("sign needs --key maker.key, --entry \"Company Product\" and --version (or --page alone)");
    std::string pem;
    if (!ReadText(o.key, pem)) return 1;
    std::string why;
    if (!pageOnly) {
      ffsfmt::Bytes installer;
      if (!ReadFile(file, installer)) return 1;
      const std::string signature = signing::Sign(pem, o.entry, o.version, installer, &why);
      if (signature.empty()) return Problem(o.key + ": " + why);
      out_ << signing::Record('5', signature);
    }
    if (!o.page.empty()) {
      const std::string signature = signing::SignPage(pem, o.entry, o.page, &why);
      if (signature.empty()) return Problem(o.key + ": " + why);
      out_ << signing::Record('6', signature);
    }
    return 0;
  }

  int VersionList(const Options& o) {
    std::string sourcePath;
    if (!Single(o, sourcePath, "version list source")) return 2;
    if (o.output.empty()) return Usage("versionlist needs -o versions.txt");
    std::string text, pem;
    if (!ReadText(sourcePath, text)) return 1;
    if (!o.key.empty() && !ReadText(o.key, pem)) return 1;
    const auto source = signing::ParseListSource(text);
    if (!source.ok) return Problem(sourcePath + ": " + source.problem);
    if (o.key.empty())
      err_ << "ffsbuild: warning: no --key: the list carries no signatures, and products built with an update key "
              "will refuse its installers\n";
    std::string list;
    for (const auto& e : source.entries) {
      list += signing::Record('1', e.key) + signing::Record('2', e.version);
      if (!e.page.empty()) list += signing::Record('3', e.page);
      list += signing::Record('4', e.url);
      if (!o.key.empty()) {
        const fs::path installerPath = fs::path(sourcePath).parent_path() / e.file;
        ffsfmt::Bytes installer;
        if (!ReadFile(installerPath.string(), installer)) return 1;
        std::string why;
        const std::string signature = signing::Sign(pem, e.key, e.version, installer, &why);
        if (signature.empty()) return Problem(o.key + ": " + why);
        list += signing::Record('5', signature);
        if (!e.page.empty()) {
          const std::string page = signing::SignPage(pem, e.key, e.page, &why);
          if (page.empty()) return Problem(o.key + ": " + why);
          list += signing::Record('6', page);
        }
      }
      list += signing::Record('0', "");
    }
    return WriteFile(o.output, std::span(reinterpret_cast<const std::uint8_t*>(list.data()), list.size())) ? 0 : 1;
  }
};

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) { return Tool(out, err).Run(args); }

}  // namespace ffsbuild
